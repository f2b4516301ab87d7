#include <gtest/gtest.h>

#include <stdexcept>

#include "test_helpers.hpp"

namespace zel {
namespace {

using testing::MemoryHost;

// A sink whose n-th write fails, as a full disk would.
class FailingSink : public ByteSink {
public:
    FailingSink(MemoryHost& host, int fail_at) : host_(host), fail_at_(fail_at) {}
    void write(std::string_view bytes) override {
        if (++writes_ == fail_at_) throw std::runtime_error("no space left");
        written_ += bytes;
    }
    void close() override { host_.files["out"] = written_; }
    void keep_incomplete(std::size_t lines) noexcept override {
        host_.files["out"] = written_;
        host_.incomplete["out"] = lines;
    }

private:
    MemoryHost& host_;
    int fail_at_;
    int writes_ = 0;
    std::string written_;
};

TEST(LineWriter, AnErrorKeepsTheFinishedLinesAndCountsThem) {
    MemoryHost host;
    host.files["out"] = "earlier\n";
    try {
        LineWriter out(host.open_write("out"));
        out.write_lines("a\nb\n");
        out.line() += "c";
        out.end_line();
        out.line() += "half";
        throw std::runtime_error("the walk failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(host.files["out"], "a\nb\nc\n");
    EXPECT_EQ(host.incomplete["out"], 3U);
}

TEST(LineWriter, AFailedDeliveryLeavesTheEarlierFile) {
    MemoryHost host;
    host.files["out"] = "earlier\n";
    {
        LineWriter out(std::make_unique<FailingSink>(host, 1));
        out.write_lines("a\n");
        EXPECT_THROW(out.close(), std::runtime_error);
    }
    EXPECT_EQ(host.files["out"], "earlier\n");
    EXPECT_TRUE(host.incomplete.empty());
}

}  // namespace
}  // namespace zel
