// Phrase-pair instances counted within a memory budget. Instances arrive as the ids their
// phrases were given on first sight; once every phrase is known, the ids are replaced by the
// phrases' places in the output order, and each distinct instance comes out once, in that
// order, with its count. Batches beyond the budget go to temporary files: first as they
// came, then, ranked and sorted with equal instances counted once, as runs that are merged.
#pragma once

#include <compare>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace zel::extract {

struct Instance {
    std::uint32_t src, trg, points;
    friend auto operator<=>(const Instance&, const Instance&) = default;
};

class InstanceCounts {
public:
    // Temporary files go in `folder`; `budget` bytes bound the instances held in memory.
    InstanceCounts(std::string folder, std::size_t budget);
    ~InstanceCounts();
    InstanceCounts(const InstanceCounts&) = delete;
    InstanceCounts& operator=(const InstanceCounts&) = delete;

    void add(const Instance& x);
    std::uint64_t size() const { return added_; }

    // Each id's place in the output order.
    struct Ranks {
        std::span<const std::uint32_t> src, trg, points;
    };
    // Replaces each id by its rank and sorts; `done(n)` is told of every n instances sorted.
    void finish(const Ranks& ranks, const std::function<void(std::size_t)>& done);

    // Each distinct instance once, in order, with its count.
    bool next(Instance& x, std::uint64_t& count);

    // Run files written (batches that did not fit).
    std::size_t runs() const { return runs_.size(); }

private:
    struct Counted {
        Instance x;
        std::uint32_t count;
    };
    // A run file read back a buffer at a time.
    struct Run {
        std::FILE* file = nullptr;
        std::vector<Counted> buffer;
        std::size_t at = 0;
        bool read(const std::string& path);
        const Counted& head() const { return buffer[at]; }
    };
    void spill_raw();
    void rank_and_sort(const Ranks& ranks);
    void write_run();

    std::string folder_;
    std::size_t capacity_;
    std::vector<Instance> batch_;
    std::uint64_t added_ = 0;
    std::string raw_path_;
    std::FILE* raw_ = nullptr;
    std::uint64_t raw_count_ = 0;
    std::vector<std::string> runs_;
    // Reading: the sorted batch itself when nothing spilled, else the runs merged.
    bool finished_ = false;
    std::size_t in_memory_ = 0;
    std::vector<Run> open_;
    std::vector<std::size_t> heap_;
};

}  // namespace zel::extract
