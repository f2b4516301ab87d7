// The EM loop's stopping rule and log lines, with a phase whose signals are scripted.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "align/model/em_loop.hpp"
#include "test_helpers.hpp"

namespace zel::align {
namespace {

using testing::MemoryHost;

class ScriptedPhase : public EmPhase {
public:
    ScriptedPhase(std::optional<double> start, std::vector<std::optional<double>> after)
        : start_(start), after_(std::move(after)) {}
    std::optional<double> initial(Host&, bool step_follows) override {
        follows.push_back(step_follows);
        return start_;
    }
    std::optional<double> step(Host&, std::int32_t s, bool step_follows) override {
        follows.push_back(step_follows);
        steps.push_back(s);
        return after_.at(static_cast<std::size_t>(s));
    }
    void stopped() override { ++stops; }

    std::vector<bool> follows;
    std::vector<std::int32_t> steps;
    int stops = 0;

private:
    std::optional<double> start_;
    std::vector<std::optional<double>> after_;
};

struct LoopCase {
    const char* name;
    std::optional<double> start;
    std::vector<std::optional<double>> after;
    std::int32_t limit;
    std::size_t steps_taken;
    int stops;
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class EmLoopStops : public ::testing::TestWithParam<LoopCase> {};

TEST_P(EmLoopStops, TakesStepsUntilTheSignalStopsFalling) {
    const LoopCase& c = GetParam();
    MemoryHost host;
    ScriptedPhase phase(c.start, c.after);
    run_em(host, {Channel::model1, "a title", "step", ""}, phase, c.limit);
    EXPECT_EQ(phase.steps.size(), c.steps_taken);
    EXPECT_EQ(phase.stops, c.stops);
    // Every call but the last step's is told whether a step follows.
    ASSERT_EQ(phase.follows.size(), phase.steps.size() + 1);
    for (std::size_t k = 0; k < phase.follows.size(); ++k)
        EXPECT_EQ(phase.follows[k], static_cast<std::int32_t>(k) < c.limit) << k;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, EmLoopStops,
    ::testing::Values(LoopCase{"falls", 3.0, {2.0, 1.0, 0.5}, 3, 3, 0},
                      LoopCase{"rises", 3.0, {2.0, 2.5, 1.0}, 3, 2, 1},
                      LoopCase{"equal", 3.0, {3.0, 1.0}, 2, 1, 1},
                      LoopCase{"nan", 3.0, {kNaN, 5.0, 4.0}, 3, 3, 0},
                      LoopCase{"none", std::nullopt, {std::nullopt, std::nullopt}, 2, 2, 0},
                      LoopCase{"no_steps", 3.0, {}, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EmLoop, LogsTitleStepsAndEntropies) {
    MemoryHost host;
    ScriptedPhase phase(2.5, {1.5, 2.0});
    run_em(host, {Channel::model2, "start", "step", ""}, phase, 2);
    EXPECT_EQ(
        host.messages_of(Channel::model2),
        (std::vector<std::string>{"----", "start", "initial entropy: 2.5", "--", "step: 1 / 2",
                                  "entropy: 1.5", "--", "step: 2 / 2", "entropy: 2.0"}));
}

TEST(EmLoop, PhaseWithoutSignalOrTitleLogsOnlyItsSteps) {
    MemoryHost host;
    ScriptedPhase phase(std::nullopt, {std::nullopt});
    run_em(host, {Channel::hmm, "", "HMM step", " (by agreement)"}, phase, 1);
    EXPECT_EQ(host.messages_of(Channel::hmm),
              (std::vector<std::string>{"--", "HMM step: 1 / 1 (by agreement)"}));
}

}  // namespace
}  // namespace zel::align
