// Corpus-wide loops on the threads. Pairs are taken in blocks: the pairs of a block are shared
// out among the threads, each writing only its own pairs' results, and whatever is summed over
// pairs is summed afterwards in pair order, so every result is the same for any thread count.
// Between blocks the calling thread advances the progress display and checks for Ctrl-C.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "common/float_flags.hpp"
#include "common/host.hpp"
#include "common/parallel.hpp"

namespace zel::align {

// Pairs a block holds: large enough that starting the threads costs little beside the work,
// small enough that an interruption is felt at once and the block's buffers stay small.
inline constexpr std::size_t kPairsPerBlock = 4096;

// Source rows a block of the translation file holds.
inline constexpr std::size_t kRowsPerBlock = 4096;

// For each block [begin, end) of the pairs [0, total): each(p, worker) for every pair of the
// block on the threads, then after(begin, end) on the calling thread. `flags`, when given,
// gathers the floating-point flags the threads raise.
template <class Each, class After>
void for_pair_blocks(Host& host, Progress& progress, std::size_t total, std::size_t threads,
                     FloatFlags* flags, Each&& each, After&& after) {
    for (std::size_t begin = 0; begin < total; begin += kPairsPerBlock) {
        const std::size_t end = std::min(total, begin + kPairsPerBlock);
        host.check_interrupt();
        const std::size_t chunks = threads == 1 ? 1 : threads * 4;
        const std::size_t n = end - begin;
        // The pair each chunk failed at: the pairs before the first failure are still
        // finished, in order, as one thread would have finished them.
        std::vector<std::size_t> failed(chunks, end);
        try {
            parallel_for(chunks, threads, [&](std::size_t chunk, std::size_t worker) {
                const std::size_t first = begin + n * chunk / chunks;
                const std::size_t last = begin + n * (chunk + 1) / chunks;
                if (flags) FloatFlags::watch();
                std::size_t p = first;
                try {
                    for (; p < last; ++p) each(p, worker);
                } catch (...) {
                    failed[chunk] = p;
                    throw;
                }
                if (flags) flags->collect();
            });
        } catch (...) {
            after(begin, *std::min_element(failed.begin(), failed.end()));
            throw;
        }
        after(begin, end);
        progress.advance(end - begin);
    }
}

// One scratch object per thread.
template <class T>
class PerThread {
public:
    explicit PerThread(std::size_t threads) : items_(threads) {}
    T& operator[](std::size_t worker) { return items_[worker]; }

private:
    std::vector<T> items_;
};

}  // namespace zel::align
