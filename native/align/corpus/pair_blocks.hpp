// Corpus-wide loops on the threads. Items (sentence pairs, or source rows of a table) are taken
// in blocks: the items of a block are shared out among the threads, each writing only its own
// items' results, and whatever is summed or written over items is done afterwards in item
// order, so every result is the same for any thread count. Between blocks the calling thread
// advances the progress display and checks for Ctrl-C.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "common/float_flags.hpp"
#include "common/host.hpp"
#include "common/parallel.hpp"

namespace zel::align {

// Items a block holds: large enough that starting the threads costs little beside the work,
// small enough that an interruption is felt at once and the block's buffers stay small.
inline constexpr std::size_t kBlock = 2048;

// What an error in an item leaves to after(): the items before it, or those and the part of
// its own result made before the error.
enum class Failed { dropped, kept };

// For each block [begin, end) of the items [0, total), Block items long: each(k, worker) for
// every item of the block on the threads, then after(begin, end) on the calling thread.
// `flags`, when given, gathers the floating-point flags the threads raise.
template <std::size_t Block = kBlock, class Each, class After>
void for_blocks(Host& host, Progress& progress, std::size_t total, std::size_t threads,
                FloatFlags* flags, Each&& each, After&& after,
                Failed failed_item = Failed::dropped) {
    for (std::size_t begin = 0; begin < total; begin += Block) {
        const std::size_t end = std::min(total, begin + Block);
        host.check_interrupt();
        const std::size_t chunks = threads == 1 ? 1 : threads * 4;
        const std::size_t n = end - begin;
        // The item each chunk failed at: the items before the first failure are still
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
            const std::size_t at = *std::min_element(failed.begin(), failed.end());
            after(begin, failed_item == Failed::kept ? std::min(at + 1, end) : at);
            throw;
        }
        after(begin, end);
        progress.advance(end - begin);
    }
}

}  // namespace zel::align
