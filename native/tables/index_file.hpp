// A rule-table index saved in one file and opened by memory mapping.
//
// Layout (integers little-endian, 8 bytes each):
//   "ZELINDEX" | version | header size | section count | (offset, size) per section |
//   checksum of everything before it | header bytes | sections, each at a multiple of 8
// The header is the binding's description of the table (opaque here); each section is one
// trie as TextTrie::serialize makes it, carrying its own checksum, checked on first use.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tables/text_trie.hpp"

namespace zel::tables {

// Writes `header` and `tries` to `path` through a temporary file in the same folder, renamed
// over `path` once complete: `path` is either left as it was or holds the whole index. A
// symbolic link is saved through, to its target; a path that names something other than a
// regular file is a ValueError.
// `step(done, total)` is called between pieces (progress and interruption); an exception from
// it, or any failure, removes the temporary file and propagates.
void save_index(const std::string& path, std::string_view header,
                std::span<const TextTrie* const> tries,
                const std::function<void(std::size_t done, std::size_t total)>& step);

// An opened index file. Opening reads the fixed part only (ValueError naming the file for
// anything that is not a complete index of this version); the tries read their own pages when
// first used.
class IndexFile {
public:
    // `mapped`: read in place, page by page as searches need them; otherwise read whole into
    // memory now, so that nothing done to the file later can reach the table.
    static std::shared_ptr<const IndexFile> open(const std::string& path, bool mapped = true);
    ~IndexFile();
    IndexFile(const IndexFile&) = delete;
    IndexFile& operator=(const IndexFile&) = delete;

    std::string_view header() const { return header_; }
    std::size_t sections() const { return sections_.size(); }
    // Section k as a trie that keeps this file mapped.
    TextTrie trie(std::size_t k) const;

    // A mapped file rewritten in place (not replaced by a rename) since it was opened is a
    // ValueError saying so: reading its pages could end the process (a file cut short) or give
    // answers from other bytes. Checked before a trie first reads its pages.
    void check_unchanged() const;

private:
    IndexFile() = default;
    std::string path_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    std::string memory_;  // the whole file, when it is not mapped
    int fd_ = -1;         // the mapped file, to see whether it changed
    struct timespec mtime_{};
    std::string_view header_;
    std::vector<std::string_view> sections_;
    std::weak_ptr<const IndexFile> self_;
};

}  // namespace zel::tables
