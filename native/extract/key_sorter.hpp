// Counting sort of byte-string keys within a memory budget: keys are gathered in memory, each
// full batch sorted, its equal keys counted once, and written to a run file; the runs are then
// merged. Keys hold no line feed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/line_reader.hpp"

namespace zel::extract {

class KeySorter {
public:
    // Runs are written in `folder` as NAME.N; `budget` bytes bound the batch in memory.
    KeySorter(std::string folder, std::string name, std::size_t budget);
    ~KeySorter();
    KeySorter(const KeySorter&) = delete;
    KeySorter& operator=(const KeySorter&) = delete;

    // Adds `count` to `key`'s count.
    void add(std::string_view key, std::uint64_t count = 1);

    // Ends adding; then next() yields each key once, in byte order, with its total count.
    void finish();
    bool next(std::string_view& key, std::uint64_t& count);

    std::size_t runs() const { return runs_.size(); }

private:
    struct Entry {
        std::uint64_t offset;
        std::uint32_t size;
        std::uint64_t count;
    };
    struct Run {
        std::unique_ptr<ByteSource> source;
        std::unique_ptr<LineReader> lines;
        std::string key;
        std::uint64_t count = 0;
        bool read(const std::string& path);
    };
    std::string_view key_of(const Entry& e) const { return {arena_.data() + e.offset, e.size}; }
    void sort_batch();
    void spill();

    std::string folder_, name_;
    std::size_t budget_;
    std::string arena_;
    std::vector<Entry> batch_;
    std::vector<std::string> runs_;  // paths of the runs written
    // Merging: the runs being read (a batch that never spilled is read from memory).
    std::vector<Run> open_;
    std::vector<std::size_t> heap_;  // indices into open_, least key on top
    std::size_t in_memory_ = 0;      // next entry of the batch when nothing spilled
    bool finished_ = false;
    std::string current_;
};

}  // namespace zel::extract
