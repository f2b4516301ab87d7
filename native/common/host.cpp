#include "common/host.hpp"

namespace zel {

void LineWriter::end_line() {
    pending_ += '\n';
    write_lines(pending_);
    pending_.clear();
}

void LineWriter::write_lines(std::string_view lines) {
    buffer_ += lines;
    if (buffer_.size() >= kBlock) {
        sink_->write(buffer_);
        buffer_.clear();
    }
}

void LineWriter::close() {
    if (!sink_) return;
    if (!buffer_.empty()) sink_->write(buffer_);
    buffer_.clear();
    sink_.reset();
}

LineWriter::~LineWriter() {
    // Reached without close() only while an error propagates: keep the finished lines, and
    // let the original error be the one reported.
    try {
        close();
    } catch (...) {
    }
}

}  // namespace zel
