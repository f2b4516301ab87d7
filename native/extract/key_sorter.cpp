#include "extract/key_sorter.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/number_text.hpp"
#include "common/parallel.hpp"

namespace zel::extract {

namespace {

constexpr std::size_t kEntryBytes = sizeof(std::uint64_t) * 3;

[[noreturn]] void io_failed(const std::string& what, const std::string& path) {
    throw std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

KeySorter::KeySorter(std::string folder, std::string name, std::size_t budget)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      budget_(std::max<std::size_t>(budget, 1)) {}

KeySorter::~KeySorter() {
    open_.clear();
    for (const std::string& path : runs_) std::remove(path.c_str());
}

void KeySorter::add(std::string_view key, std::uint64_t count) {
    if (finished_) throw std::logic_error("keys added after the sort finished");
    batch_.push_back({arena_.size(), static_cast<std::uint32_t>(key.size()), count});
    arena_ += key;
    if (arena_.size() + batch_.size() * kEntryBytes >= budget_) spill();
}

void KeySorter::sort_batch() {
    const auto before = [this](const Entry& a, const Entry& b) { return key_of(a) < key_of(b); };
    // Parts sorted on the threads, then merged: the order is the keys' own, whatever the parts.
    const std::size_t n = batch_.size(), parts = std::min<std::size_t>(thread_count(), 8);
    std::vector<std::size_t> cut(parts + 1);
    for (std::size_t k = 0; k <= parts; ++k) cut[k] = n * k / parts;
    const auto at = [&](std::size_t k) { return batch_.begin() + static_cast<std::ptrdiff_t>(k); };
    parallel_for(parts, parts, [&](std::size_t k, std::size_t) {
        std::sort(at(cut[k]), at(cut[k + 1]), before);
    });
    for (std::size_t width = 1; width < parts; width *= 2) {
        parallel_for((parts + 2 * width - 1) / (2 * width), parts, [&](std::size_t k, std::size_t) {
            const std::size_t lo = 2 * width * k, mid = std::min(lo + width, parts),
                              hi = std::min(lo + 2 * width, parts);
            if (mid < hi) std::inplace_merge(at(cut[lo]), at(cut[mid]), at(cut[hi]), before);
        });
    }
    // Equal keys become one, their counts added.
    std::size_t kept = 0;
    for (std::size_t k = 0; k < batch_.size(); ++k) {
        if (kept > 0 && key_of(batch_[kept - 1]) == key_of(batch_[k])) {
            batch_[kept - 1].count += batch_[k].count;
        } else {
            batch_[kept++] = batch_[k];
        }
    }
    batch_.resize(kept);
}

void KeySorter::spill() {
    sort_batch();
    const std::string path = folder_ + "/" + name_ + "." + std::to_string(runs_.size());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) io_failed("write the sort run", path);
    runs_.push_back(path);
    std::string line;
    for (const Entry& e : batch_) {
        line.assign(key_of(e));
        line += '\t';
        fmt::append_integer(line, e.count);
        line += '\n';
        if (std::fwrite(line.data(), 1, line.size(), f) != line.size()) {
            std::fclose(f);
            io_failed("write the sort run", path);
        }
    }
    if (std::fclose(f) != 0) io_failed("write the sort run", path);
    arena_.clear();
    arena_.shrink_to_fit();
    batch_.clear();
    batch_.shrink_to_fit();
}

bool KeySorter::Run::read(const std::string& path) {
    std::string_view line;
    if (!lines->next(line)) return false;
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    const auto tab = line.rfind('\t');
    long long n = 0;
    if (tab == std::string_view::npos || !parse_plain_int(line.substr(tab + 1), n))
        throw std::runtime_error("the sort run " + path + " is damaged");
    key.assign(line.substr(0, tab));
    count = static_cast<std::uint64_t>(n);
    return true;
}

void KeySorter::finish() {
    finished_ = true;
    if (runs_.empty()) {
        sort_batch();
        return;
    }
    if (!batch_.empty()) spill();
    open_.resize(runs_.size());
    for (std::size_t k = 0; k < runs_.size(); ++k) {
        open_[k].source = open_file_source(runs_[k]);
        open_[k].lines = std::make_unique<LineReader>(*open_[k].source, std::size_t{1} << 16);
        if (open_[k].read(runs_[k])) heap_.push_back(k);
    }
    const auto later = [this](std::size_t a, std::size_t b) { return open_[a].key > open_[b].key; };
    std::make_heap(heap_.begin(), heap_.end(), later);
}

bool KeySorter::next(std::string_view& key, std::uint64_t& count) {
    if (!finished_) throw std::logic_error("keys read before the sort finished");
    if (runs_.empty()) {
        if (in_memory_ >= batch_.size()) return false;
        key = key_of(batch_[in_memory_]);
        count = batch_[in_memory_++].count;
        return true;
    }
    if (heap_.empty()) return false;
    const auto later = [this](std::size_t a, std::size_t b) { return open_[a].key > open_[b].key; };
    current_ = open_[heap_.front()].key;
    count = 0;
    // Every run holding the least key gives its count.
    while (!heap_.empty() && open_[heap_.front()].key == current_) {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        const std::size_t k = heap_.back();
        count += open_[k].count;
        if (open_[k].read(runs_[k])) {
            std::push_heap(heap_.begin(), heap_.end(), later);
        } else {
            heap_.pop_back();
        }
    }
    key = current_;
    return true;
}

}  // namespace zel::extract
