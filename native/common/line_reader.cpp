#include "common/line_reader.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace zel {

namespace {

class FileSource : public ByteSource {
public:
    explicit FileSource(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {
        if (!file_) throw std::system_error(errno, std::generic_category(), path);
    }
    ~FileSource() override { std::fclose(file_); }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::size_t read(char* buffer, std::size_t capacity) override {
        const std::size_t n = std::fread(buffer, 1, capacity, file_);
        if (n == 0 && std::ferror(file_)) throw std::system_error(errno, std::generic_category());
        return n;
    }

private:
    std::FILE* file_;
};

class StringSource : public ByteSource {
public:
    explicit StringSource(std::string text) : text_(std::move(text)) {}
    std::size_t read(char* buffer, std::size_t capacity) override {
        const std::size_t n = std::min(capacity, text_.size() - pos_);
        std::memcpy(buffer, text_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    std::string text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> open_file_source(const std::string& path) {
    return std::make_unique<FileSource>(path);
}

std::unique_ptr<ByteSource> string_source(std::string text) {
    return std::make_unique<StringSource>(std::move(text));
}

LineReader::LineReader(ByteSource& source, std::size_t block_size)
    : source_(source), buffer_(block_size) {}

bool LineReader::refill() {
    if (exhausted_) return false;
    // Move the partial line to the front, and make room when one line outgrows the buffer.
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
    const std::size_t n = source_.read(buffer_.data() + end_, buffer_.size() - end_);
    if (n == 0) exhausted_ = true;
    end_ += n;
    return n > 0;
}

bool LineReader::next(std::string_view& line) {
    std::size_t scanned = begin_;
    for (;;) {
        const void* nl = std::memchr(buffer_.data() + scanned, '\n', end_ - scanned);
        if (nl) {
            const auto stop =
                static_cast<std::size_t>(static_cast<const char*>(nl) - buffer_.data()) + 1;
            line = {buffer_.data() + begin_, stop - begin_};
            begin_ = stop;
            ++line_number_;
            return true;
        }
        const std::size_t pending = end_ - begin_;
        if (!refill()) {
            if (pending == 0) return false;
            line = {buffer_.data() + begin_, pending};
            begin_ = end_;
            ++line_number_;
            return true;
        }
        scanned = begin_ + pending;
    }
}

}  // namespace zel
