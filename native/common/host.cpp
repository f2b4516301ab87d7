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
    if (!buffer_.empty()) {
        // A write that fails may have delivered part of a block: the file is then beyond
        // repair, and only dropping it keeps an earlier one.
        broken_ = true;
        sink_->write(buffer_);
        broken_ = false;
    }
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
    // let the original error be the one reported. If they cannot be delivered, the sink is
    // dropped and an earlier file stays untouched.
    if (!sink_ || broken_) return;
    try {
        deliver();
    } catch (...) {
        return;
    }
    sink_->keep_incomplete(delivered_lines_);
}

}  // namespace zel
