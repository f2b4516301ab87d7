// The floating-point exception flags a computation raised: divisions by zero and invalid
// operations give inf and NaN without stopping it, and the flags say whether any happened, as
// array libraries read them to warn about it afterwards.
#pragma once

#include <atomic>
#include <cfenv>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

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

// Runs f() with the calling thread's flags set aside: the flags f raises are added to `raised`
// (FE_ bits) and the thread's flags are afterwards as they were. Made per item of millions: on
// x86-64 it reads and sets the SSE status register, where double arithmetic keeps its flags,
// directly; the <cfenv> calls also save and restore the x87 state and cost far more.
template <class F>
auto flags_apart(int& raised, F&& f) {
#if defined(__SSE2__)
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved & ~static_cast<unsigned>(_MM_EXCEPT_DIV_ZERO | _MM_EXCEPT_INVALID));
    const auto result = f();
    const unsigned now = _mm_getcsr();
    if (now & _MM_EXCEPT_DIV_ZERO) raised |= FE_DIVBYZERO;
    if (now & _MM_EXCEPT_INVALID) raised |= FE_INVALID;
    _mm_setcsr(saved);
#else
    constexpr int kFlags = FE_DIVBYZERO | FE_INVALID;
    std::fexcept_t others;
    std::fegetexceptflag(&others, kFlags);
    std::feclearexcept(kFlags);
    const auto result = f();
    raised |= std::fetestexcept(kFlags);
    std::fesetexceptflag(&others, kFlags);
#endif
    return result;
}

}  // namespace zel
