// Scratch space for one pair or one line, on the stack when small.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace zel {

// `n` values of T, value-initialised: in the object itself up to N, on the heap beyond. Loops on
// worker threads use it instead of thread-local buffers, which the C library allocates on a
// thread's first use and whose refusal (under a memory limit) aborts the process.
template <class T, std::size_t N>
class SmallBuffer {
public:
    explicit SmallBuffer(std::size_t n) : n_(n) {
        if (n > N)
            heap_.assign(n, T{});
        else
            for (std::size_t k = 0; k < n; ++k) local_[k] = T{};
    }
    SmallBuffer(const SmallBuffer&) = delete;
    SmallBuffer& operator=(const SmallBuffer&) = delete;

    T* data() { return n_ > N ? heap_.data() : local_; }
    T& operator[](std::size_t k) { return data()[k]; }
    std::span<T> span() { return {data(), n_}; }

private:
    std::size_t n_;
    T local_[N];
    std::vector<T> heap_;
};

}  // namespace zel
