#include "extract/instance_counts.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "extract/parallel_sort.hpp"

namespace zel::extract {

namespace {

constexpr std::size_t kReadBuffer = std::size_t{1} << 16;  // records read from a run at once

[[noreturn]] void io_failed(const std::string& what, const std::string& path) {
    throw std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(errno));
}

template <class T>
void write_all(std::FILE* file, const std::vector<T>& items, std::size_t n,
               const std::string& path) {
    if (n > 0 && std::fwrite(items.data(), sizeof(T), n, file) != n)
        io_failed("write the temporary file", path);
}

}  // namespace

InstanceCounts::InstanceCounts(std::string folder, std::size_t budget)
    : folder_(std::move(folder)),
      // The sort's merges borrow up to half a batch again.
      capacity_(std::max<std::size_t>(budget / (sizeof(Instance) * 3 / 2), 16)),
      raw_path_(folder_ + "/instances") {}

InstanceCounts::~InstanceCounts() {
    for (Run& run : open_)
        if (run.file) std::fclose(run.file);
    if (raw_) std::fclose(raw_);
    std::remove(raw_path_.c_str());
    for (const std::string& path : runs_) std::remove(path.c_str());
}

void InstanceCounts::add(const Instance& x) {
    if (finished_) throw std::logic_error("instances added after counting finished");
    if (batch_.empty()) batch_.reserve(std::min<std::size_t>(capacity_, std::size_t{1} << 20));
    batch_.push_back(x);
    ++added_;
    if (batch_.size() >= capacity_) spill_raw();
}

void InstanceCounts::spill_raw() {
    if (!raw_) {
        raw_ = std::fopen(raw_path_.c_str(), "w+b");
        if (!raw_) io_failed("write the temporary file", raw_path_);
    }
    write_all(raw_, batch_, batch_.size(), raw_path_);
    raw_count_ += batch_.size();
    batch_.clear();
}

void InstanceCounts::rank_and_sort(const Ranks& ranks) {
    for (Instance& x : batch_) x = {ranks.src[x.src], ranks.trg[x.trg], ranks.points[x.points]};
    parallel_sort(batch_.begin(), batch_.end(), std::less<>());
}

void InstanceCounts::write_run() {
    const std::string path = folder_ + "/instances." + std::to_string(runs_.size());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) io_failed("write the temporary file", path);
    runs_.push_back(path);
    std::vector<Counted> out;
    out.reserve(kReadBuffer);
    const auto flush = [&] {
        write_all(file, out, out.size(), path);
        out.clear();
    };
    for (std::size_t k = 0; k < batch_.size();) {
        std::size_t end = k + 1;
        while (end < batch_.size() && batch_[end] == batch_[k]) ++end;
        out.push_back({batch_[k], static_cast<std::uint32_t>(end - k)});
        if (out.size() == kReadBuffer) flush();
        k = end;
    }
    flush();
    if (std::fclose(file) != 0) io_failed("write the temporary file", path);
}

bool InstanceCounts::Run::read(const std::string& path) {
    if (++at < buffer.size()) return true;
    buffer.resize(kReadBuffer);
    const std::size_t n = std::fread(buffer.data(), sizeof(Counted), kReadBuffer, file);
    if (n == 0 && std::ferror(file)) io_failed("read the temporary file", path);
    buffer.resize(n);
    at = 0;
    return n > 0;
}

void InstanceCounts::finish(const Ranks& ranks, const std::function<void(std::size_t)>& done) {
    finished_ = true;
    if (!raw_) {
        rank_and_sort(ranks);
        done(batch_.size());
        return;
    }
    spill_raw();
    batch_.shrink_to_fit();
    if (std::fflush(raw_) != 0 || std::fseek(raw_, 0, SEEK_SET) != 0)
        io_failed("read the temporary file", raw_path_);
    for (std::uint64_t left = raw_count_; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, capacity_));
        batch_.resize(n);
        if (std::fread(batch_.data(), sizeof(Instance), n, raw_) != n)
            io_failed("read the temporary file", raw_path_);
        left -= n;
        rank_and_sort(ranks);
        write_run();
        done(n);
    }
    std::fclose(raw_);
    raw_ = nullptr;
    std::remove(raw_path_.c_str());
    batch_.clear();
    batch_.shrink_to_fit();
    open_.resize(runs_.size());
    for (std::size_t k = 0; k < runs_.size(); ++k) {
        open_[k].file = std::fopen(runs_[k].c_str(), "rb");
        if (!open_[k].file) io_failed("read the temporary file", runs_[k]);
        open_[k].at = 0;
        if (open_[k].read(runs_[k])) heap_.push_back(k);
    }
    const auto later = [this](std::size_t a, std::size_t b) {
        return open_[b].head().x < open_[a].head().x;
    };
    std::make_heap(heap_.begin(), heap_.end(), later);
}

bool InstanceCounts::next(Instance& x, std::uint64_t& count) {
    if (!finished_) throw std::logic_error("instances read before counting finished");
    if (runs_.empty()) {
        if (in_memory_ >= batch_.size()) return false;
        x = batch_[in_memory_];
        const std::size_t start = in_memory_;
        while (in_memory_ < batch_.size() && batch_[in_memory_] == x) ++in_memory_;
        count = in_memory_ - start;
        return true;
    }
    if (heap_.empty()) return false;
    const auto later = [this](std::size_t a, std::size_t b) {
        return open_[b].head().x < open_[a].head().x;
    };
    x = open_[heap_.front()].head().x;
    count = 0;
    // Every run holding the least instance gives its count.
    while (!heap_.empty() && open_[heap_.front()].head().x == x) {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        const std::size_t k = heap_.back();
        count += open_[k].head().count;
        if (open_[k].read(runs_[k])) {
            std::push_heap(heap_.begin(), heap_.end(), later);
        } else {
            heap_.pop_back();
        }
    }
    return true;
}

}  // namespace zel::extract
