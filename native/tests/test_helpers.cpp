#include "test_helpers.hpp"

#include <cstdio>
#include <stdexcept>

namespace zel::testing {

namespace {

// Written bytes reach the host's files only when closed or kept as incomplete.
class MemorySink : public ByteSink {
public:
    MemorySink(MemoryHost& host, std::string path) : host_(host), path_(std::move(path)) {}
    void write(std::string_view bytes) override { written_ += bytes; }
    void close() override { host_.files[path_] = written_; }
    void keep_incomplete(std::size_t lines) noexcept override {
        host_.files[path_] = written_;
        host_.incomplete[path_] = lines;
    }

private:
    MemoryHost& host_;
    std::string path_;
    std::string written_;
};

class NoProgress : public Progress {
public:
    void advance(std::size_t) override {}
};

}  // namespace

void MemoryHost::log(Channel channel, Level level, std::string_view message) {
    if (level == Level::warning) {
        warnings.emplace_back(message);
        return;
    }
    (level == Level::info ? messages : debug_messages).emplace_back(message);
    if (level == Level::info) channel_messages_.emplace_back(channel, message);
}

std::vector<std::string> MemoryHost::messages_of(Channel channel) const {
    std::vector<std::string> out;
    for (const auto& [c, m] : channel_messages_) {
        if (c == channel) out.push_back(m);
    }
    return out;
}

std::string escaped(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return out;
}

std::string case_name(std::size_t index, std::string_view text) {
    std::string name = std::to_string(index) + "_";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool kept =
            (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
        if (kept) {
            name += c;
        } else if (name.back() != '_') {
            name += '_';
        }
    }
    return name;
}

std::unique_ptr<ByteSource> MemoryHost::open_read(const std::optional<std::string>& path,
                                                  std::optional<std::string_view> label) {
    if (!path || !files.count(*path)) {
        throw std::runtime_error("no such file: " + path.value_or("None"));
    }
    opened.push_back(std::string(label.value_or("")) + ":" + *path);
    return string_source(files.at(*path));
}

std::unique_ptr<ByteSink> MemoryHost::open_write(const std::string& path) {
    return std::make_unique<MemorySink>(*this, path);
}

std::unique_ptr<Progress> MemoryHost::progress(std::string_view label, std::size_t) {
    progress_labels.emplace_back(label);
    return std::make_unique<NoProgress>();
}

}  // namespace zel::testing
