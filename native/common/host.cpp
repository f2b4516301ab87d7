#include "common/host.hpp"

#include <algorithm>

namespace zel {

void LineWriter::end_line() {
    pending_ += '\n';
    write_lines(pending_);
    pending_.clear();
}

void LineWriter::write_lines(std::string_view lines) {
    buffer_ += lines;
    buffered_lines_ += static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
    if (buffer_.size() >= kBlock) deliver();
}

void LineWriter::deliver() {
    if (!buffer_.empty()) sink_->write(buffer_);
    buffer_.clear();
    delivered_lines_ += buffered_lines_;
    buffered_lines_ = 0;
}

void LineWriter::close() {
    if (!sink_) return;
    deliver();
    std::unique_ptr<ByteSink> sink = std::move(sink_);
    sink->close();
}

LineWriter::~LineWriter() {
    // Reached without close() only while an error propagates: keep the finished lines, and
    // let the original error be the one reported. If they cannot be delivered either, the
    // sink is dropped and an earlier file stays untouched.
    if (!sink_) return;
    try {
        deliver();
    } catch (...) {
        return;
    }
    sink_->keep_incomplete(delivered_lines_);
}

}  // namespace zel
