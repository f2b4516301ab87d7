// The floating-point exception flags a computation raised: divisions by zero and invalid
// operations give inf and NaN without stopping it, and the flags say whether any happened, as
// array libraries read them to warn about it afterwards.
#pragma once

#include <atomic>
#include <cfenv>

namespace zel {

// Flags raised from construction on, by the calling thread and by every piece of work run
// between watch() and collect() on other threads.
class FloatFlags {
public:
    FloatFlags() { watch(); }

    // Starts watching the calling thread.
    static void watch() { std::feclearexcept(kWatched); }
    // Adds what the calling thread raised since watch().
    void collect() { raised_.fetch_or(std::fetestexcept(kWatched)); }

    bool divide_by_zero() { return raised(FE_DIVBYZERO); }
    bool invalid() { return raised(FE_INVALID); }

private:
    static constexpr int kWatched = FE_DIVBYZERO | FE_INVALID;
    bool raised(int flag) {
        collect();
        return (raised_.load() & flag) != 0;
    }
    std::atomic<int> raised_{0};
};

}  // namespace zel
