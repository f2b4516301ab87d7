// What the core asks of the program that hosts it: messages, files, progress, interruption.
// The Python binding implements it with the toolkit's loggers, files.open and progress
// display; tests implement it with memory buffers and a message list.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/line_reader.hpp"

namespace zel {

// A floating-point event of an array operation: the result is inf or NaN, and the host tells
// the user as its array library does (a warning, not an error).
struct FloatEvent {
    enum class Kind { divide_by_zero, invalid };
    enum class Operation { log, divide, scalar_divide };
    Kind kind;
    Operation operation;
};

// Which component speaks; the host maps each to its own logger.
enum class Channel { align, model1, model2, hmm, extract };
enum class Level { debug, info, warning };

// Where written bytes go: a file that is complete or untouched. Destroying a sink that was not
// closed drops what was written, and an earlier file of the name stays as it was.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(std::string_view bytes) = 0;
    // Puts what was written in place; an error is reported (and the file left untouched).
    virtual void close() = 0;
    // An error ended the writing after `lines` whole lines: they are put in place, and the
    // user is told the file is incomplete. Never throws.
    virtual void keep_incomplete(std::size_t lines) noexcept = 0;
};

// A progress display for one loop; destroying it ends the display.
class Progress {
public:
    virtual ~Progress() = default;
    virtual void advance(std::size_t n) = 0;
};

class Host {
public:
    virtual ~Host() = default;

    virtual void log(Channel channel, Level level, std::string_view message) = 0;
    void info(Channel channel, std::string_view message) { log(channel, Level::info, message); }
    void debug(Channel channel, std::string_view message) { log(channel, Level::debug, message); }
    void warning(Channel channel, std::string_view message) {
        log(channel, Level::warning, message);
    }

    // Opens `path` for reading (None when absent: the host decides what that means). With a
    // `progress_label`, reading shows progress under that label.
    virtual std::unique_ptr<ByteSource> open_read(
        const std::optional<std::string>& path, std::optional<std::string_view> progress_label) = 0;

    // Creates or truncates `path` for writing.
    virtual std::unique_ptr<ByteSink> open_write(const std::string& path) = 0;
    // The same for bytes already in the format the name says (a host that compresses by the
    // name's suffix writes them as they are).
    virtual std::unique_ptr<ByteSink> open_write_encoded(const std::string& path) {
        return open_write(path);
    }

    // Starts a progress display labelled `label` for `total` items.
    virtual std::unique_ptr<Progress> progress(std::string_view label, std::size_t total) = 0;

    // Throws when the user asked to stop; long loops call it between batches.
    virtual void check_interrupt() = 0;

    // Reports a floating-point event; throws when the host turns such warnings into errors.
    virtual void float_event(FloatEvent event) = 0;

    // A number text the plain parsers refuse ("1_0", "１２", digits beyond 64 bits), read by the
    // host's own int() (`integer`) or float(): the value as canonical text (decimal digits, or
    // the float's shortest repr), or nullopt when the host refuses the text too.
    virtual std::optional<std::string> read_number(std::string_view text, bool integer) {
        (void)text;
        (void)integer;
        return std::nullopt;
    }
};

// Writes text through a ByteSink in large blocks. Only whole lines reach the sink: if an error
// ends a walk, destroying the writer still delivers every line completed before it, and the
// sink keeps them as an incomplete file.
class LineWriter {
public:
    explicit LineWriter(std::unique_ptr<ByteSink> sink) : sink_(std::move(sink)) {}
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Whole lines, each ended by a line feed, after those already written.
    void write_lines(std::string_view lines);

    // The line being built; end it with end_line().
    std::string& line() { return pending_; }
    void end_line();
    // Delivers everything and closes the sink; errors propagate.
    void close();

private:
    static constexpr std::size_t kBlock = std::size_t{1} << 20;
    void deliver();

    std::unique_ptr<ByteSink> sink_;
    std::string buffer_;   // complete lines not yet delivered
    std::string pending_;  // the line being built
    std::size_t buffered_lines_ = 0, delivered_lines_ = 0;
    bool broken_ = false;  // a delivery failed part-way
};

// Runs `body(begin, end)` over [0, total) in batches, advancing `progress` and checking for
// interruption between batches.
template <class Body>
void in_batches(Host& host, Progress& progress, std::size_t total, std::size_t batch, Body&& body) {
    for (std::size_t begin = 0; begin < total; begin += batch) {
        const std::size_t end = begin + batch < total ? begin + batch : total;
        host.check_interrupt();
        body(begin, end);
        progress.advance(end - begin);
    }
}

}  // namespace zel
