#include "extract/gzip_members.hpp"

#include <zlib.h>

#include <stdexcept>

#include "common/parallel.hpp"

namespace zel::extract {

namespace {

constexpr int kLevel = 6;  // gzip's own default: most of level 9's size at several times its speed

}  // namespace

std::string gzip_member(std::string_view text, int level) {
    z_stream z{};
    // 15 + 16: the largest window, in a gzip wrapper (zlib writes a time stamp of 0).
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("cannot start gzip compression");
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int done = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (done != Z_STREAM_END) throw std::runtime_error("gzip compression failed");
    return out;
}

GzipMembers::GzipMembers(std::unique_ptr<ByteSink> sink, std::size_t member_bytes)
    : sink_(std::move(sink)), member_bytes_(member_bytes) {}

void GzipMembers::write(std::string_view text) {
    current_ += text;
    if (current_.size() < member_bytes_) return;
    pending_.push_back(std::move(current_));
    current_.clear();
    if (pending_.size() >= 2 * thread_count()) compress_pending();
}

void GzipMembers::compress_pending() {
    parallel_for(pending_.size(), thread_count(), [&](std::size_t k, std::size_t) {
        pending_[k] = gzip_member(pending_[k], kLevel);
    });
    for (const std::string& member : pending_) sink_->write(member);
    pending_.clear();
}

void GzipMembers::close() {
    if (!current_.empty() || pending_.empty()) pending_.push_back(std::move(current_));
    current_.clear();
    compress_pending();
    sink_->close();
}

}  // namespace zel::extract
