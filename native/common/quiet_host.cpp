#include "common/quiet_host.hpp"

#include <cfenv>
#include <stdexcept>

#include "common/line_reader.hpp"

namespace zel {

namespace {

class StringSink : public ByteSink {
public:
    StringSink(std::map<std::string, std::string>& files, std::string path)
        : files_(files), path_(std::move(path)) {}
    void write(std::string_view bytes) override { text_ += bytes; }
    void close() override { files_[path_] = std::move(text_); }
    void keep_incomplete(std::size_t) noexcept override {}

private:
    std::map<std::string, std::string>& files_;
    std::string path_, text_;
};

class NoProgress : public Progress {
public:
    void advance(std::size_t) override {}
};

}  // namespace

std::string QuietHost::new_path() { return "<memory " + std::to_string(++paths_) + ">"; }

std::string QuietHost::serve(std::string text) {
    std::string path = new_path();
    files_[path] = std::move(text);
    return path;
}

std::string QuietHost::take(const std::string& path) {
    const auto found = files_.find(path);
    if (found == files_.end()) return {};
    std::string text = std::move(found->second);
    files_.erase(found);
    return text;
}

std::unique_ptr<ByteSource> QuietHost::open_read(const std::optional<std::string>& path,
                                                 std::optional<std::string_view>) {
    const auto found = path ? files_.find(*path) : files_.end();
    if (found == files_.end()) throw std::invalid_argument("no text " + path.value_or("None"));
    return string_source(found->second);
}

std::unique_ptr<ByteSink> QuietHost::open_write(const std::string& path) {
    return std::make_unique<StringSink>(files_, path);
}

std::unique_ptr<Progress> QuietHost::progress(std::string_view, std::size_t) {
    return std::make_unique<NoProgress>();
}

void QuietHost::float_event(FloatEvent event) {
    raised |= event.kind == FloatEvent::Kind::divide_by_zero ? FE_DIVBYZERO : FE_INVALID;
}

void report_raised(Host& host, int raised, FloatEvent::Operation operation) {
    if (raised & FE_DIVBYZERO) host.float_event({FloatEvent::Kind::divide_by_zero, operation});
    if (raised & FE_INVALID) host.float_event({FloatEvent::Kind::invalid, operation});
}

}  // namespace zel
