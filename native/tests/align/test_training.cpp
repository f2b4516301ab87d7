#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "align/ibm/model2.hpp"
#include "common/errors.hpp"
#include "test_helpers.hpp"

namespace {

using namespace zel::align;
using zel::Channel;
using zel::testing::MemoryHost;

// A Model2Trainer (or Model1Trainer) on an in-memory corpus, set up unless told otherwise.
template <class T>
struct SetUpTrainer {
    MemoryHost host;
    T trainer;

    SetUpTrainer(const std::string& src, const std::string& trg, bool character = false,
                 bool set_up = true) {
        host.files["src"] = src;
        host.files["trg"] = trg;
        trainer.init(host);
        trainer.src_path = "src";
        trainer.trg_path = "trg";
        trainer.character_based = character;
        if (set_up) trainer.setup(host);
    }
    double t(WordId s, WordId w) const { return trainer.model->trans_dist->at(s, w); }
    double count(WordId s, WordId w) const {
        const auto c = trainer.model->trans_dist->pattern().find(s, w);
        return c < 0 ? 0.0 : (*trainer.count_cooc_src2trg)[static_cast<std::size_t>(c)];
    }
    double entropy() { return trainer.model->calc_entropy(host, trainer.corpus_cells()); }
};

// Two pairs: "a b" / "x y" and "a" / "x". Ids: NULL 0, a 1, b 2; x 0, y 1.
constexpr const char* kSrc = "a b\na\n";
constexpr const char* kTrg = "x y\nx\n";

TEST(Model1, WorkedExampleFirstStep) {
    SetUpTrainer<Model1Trainer> s(kSrc, kTrg);
    EXPECT_EQ(s.host.messages_of(Channel::model1).back(),
              "word translation distribution matrix size: 3 [src words] x 2 [trg words] x 8 "
              "[bytes] = 48 [bytes]");
    for (WordId src = 0; src < 3; ++src) {
        for (WordId trg = 0; trg < 2; ++trg) EXPECT_EQ(s.t(src, trg), 0.5);
    }
    EXPECT_DOUBLE_EQ(s.entropy(), std::log(2.0));

    s.trainer.expect_step(s.host);
    const double expected[3][2] = {{5.0 / 6, 1.0 / 3}, {5.0 / 6, 1.0 / 3}, {1.0 / 3, 1.0 / 3}};
    for (WordId src = 0; src < 3; ++src) {
        for (WordId trg = 0; trg < 2; ++trg)
            EXPECT_NEAR(s.count(src, trg), expected[src][trg], 1e-15);
    }
    s.trainer.maximize_step(s.host);
    EXPECT_NEAR(s.t(0, 0), 5.0 / 7, 1e-15);
    EXPECT_NEAR(s.t(1, 1), 2.0 / 7, 1e-15);
    EXPECT_NEAR(s.t(2, 0), 0.5, 1e-15);
    const double h = ((-(std::log(9.0 / 14) + std::log(5.0 / 14)) / 2) - std::log(5.0 / 7)) / 2;
    EXPECT_NEAR(s.entropy(), h, 1e-15);
    EXPECT_NEAR(h, 0.5361, 1e-4);
}

TEST(Model1, RepeatedSourceWordAddsItsPosteriorTwice) {
    // Source ids [0, 1, 1] against target [0]: count[1, 0] = 2 t / (t0 + 2 t) = 2/3.
    SetUpTrainer<Model1Trainer> s("w w\n", "x\n");
    s.trainer.expect_step(s.host);
    EXPECT_NEAR(s.count(1, 0), 2.0 / 3, 1e-15);
    EXPECT_NEAR(s.count(0, 0), 1.0 / 3, 1e-15);
}

TEST(Model1, RepeatedTargetWordContributesTwoColumns) {
    SetUpTrainer<Model1Trainer> s("a\n", "x x\n");
    s.trainer.expect_step(s.host);
    EXPECT_NEAR(s.count(0, 0), 1.0, 1e-15);
    EXPECT_NEAR(s.count(1, 0), 1.0, 1e-15);
}

TEST(Model1, PairEntropyWithoutPerWordDivision) {
    SetUpTrainer<Model1Trainer> s(
        "a\n", "x\n");  // uniform t = 1 over the one target word... and 0.5 below
    TransTable& table = *s.trainer.model->trans_dist;
    for (std::size_t c = 0; c < table.cells(); ++c) table.set_value(c, 0.5);
    const WordId src[] = {0, 1}, trg[] = {0};
    std::vector<CellId> cells;
    const auto c = s.trainer.pair_cells->of(0, cells);
    EXPECT_EQ(s.trainer.model->calc_pair_entropy(src, trg, c, false), 0.6931471805599453);
}

// ZEL_THREADS set for a test's lifetime.
class Threads {
public:
    explicit Threads(const char* count) {
        if (const char* old = std::getenv("ZEL_THREADS")) old_ = old;
        setenv("ZEL_THREADS", count, 1);
    }
    ~Threads() {
        if (old_) {
            setenv("ZEL_THREADS", old_->c_str(), 1);
        } else {
            unsetenv("ZEL_THREADS");
        }
    }
    Threads(const Threads&) = delete;
    Threads& operator=(const Threads&) = delete;

private:
    std::optional<std::string> old_;
};

std::vector<double> counts_of(const CellCounts& counts) {
    std::vector<double> out(counts.size());
    for (std::size_t c = 0; c < counts.size(); ++c) out[c] = counts[c];
    return out;
}

// Counts kept beside the values are those of a table without slots; a trainer whose slots
// another trainer of the same model takes keeps its own counts, unchanged.
TEST(CellCounts, SlotsTakenByAnotherTrainerLeaveTheFirstItsCounts) {
    const Threads one("1");
    SetUpTrainer<Model1Trainer> a(kSrc, kTrg), b(kSrc, kTrg), plain(kSrc, kTrg, false, false);
    plain.trainer.count_slots = false;
    plain.trainer.setup(plain.host);
    b.trainer.model = a.trainer.model;
    a.trainer.expect_step(a.host);
    plain.trainer.expect_step(plain.host);
    ASSERT_EQ(a.trainer.count_cooc_src2trg->slots_of(), a.trainer.model->trans_dist);
    EXPECT_FALSE(plain.trainer.count_cooc_src2trg->slots_of());
    const std::vector<double> first = counts_of(*a.trainer.count_cooc_src2trg);
    EXPECT_EQ(first, counts_of(*plain.trainer.count_cooc_src2trg));

    a.trainer.maximize_step(a.host);
    b.trainer.expect_step(b.host);
    EXPECT_FALSE(a.trainer.count_cooc_src2trg->slots_of());
    EXPECT_EQ(counts_of(*a.trainer.count_cooc_src2trg), first);
    EXPECT_EQ(b.trainer.count_cooc_src2trg->slots_of(), a.trainer.model->trans_dist);
    EXPECT_NE(counts_of(*b.trainer.count_cooc_src2trg), first);
    // A step of the first trainer takes the slots back; the second keeps its counts.
    const std::vector<double> second = counts_of(*b.trainer.count_cooc_src2trg);
    a.trainer.expect_step(a.host);
    EXPECT_EQ(counts_of(*b.trainer.count_cooc_src2trg), second);
    EXPECT_EQ(counts_of(*a.trainer.count_cooc_src2trg), second);
}

// Counts overwritten after an M-step come back bit for bit: any magnitude (subnormal to near
// the largest), rows summing to 0 or NaN, infinite counts.
TEST(CountRecovery, BringsBackTheCountsOfTheLastMStep) {
    std::string src, trg;
    std::mt19937_64 rng(5);
    for (int p = 0; p < 60; ++p) {
        for (int k = 0; k < 4; ++k)
            src += std::string(1, static_cast<char>('a' + rng() % 12)) + " ";
        for (int k = 0; k < 4; ++k)
            trg += std::string(1, static_cast<char>('m' + rng() % 12)) + " ";
        src += "\n";
        trg += "\n";
    }
    SetUpTrainer<Model1Trainer> s(src, trg);
    TransTable& table = *s.trainer.model->trans_dist;
    const CooccurrencePattern& pattern = table.pattern();
    std::vector<double> counts(table.cells());
    std::uniform_real_distribution<double> mantissa(0.5, 1.0);
    for (std::size_t row = 0; row < pattern.rows(); ++row) {
        for (std::size_t c = pattern.row_begin(row); c < pattern.row_end(row); ++c) {
            const int exponent = static_cast<int>(rng() % 2000) - 1070;
            counts[c] = row == 1 ? 0.0 : std::ldexp(mantissa(rng), std::min(exponent, 1000));
        }
    }
    counts[pattern.row_begin(2)] = std::nan("");
    counts[pattern.row_begin(3)] = std::numeric_limits<double>::infinity();
    s.trainer.count_cooc_src2trg.emplace(counts);
    CountRecovery recovery;
    table.normalize_rows(*s.trainer.count_cooc_src2trg, &recovery);
    for (std::size_t c = 0; c < counts.size(); ++c) (*s.trainer.count_cooc_src2trg)[c] = 7.0;
    recovery.recover(table, *s.trainer.count_cooc_src2trg);
    for (std::size_t c = 0; c < counts.size(); ++c) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>((*s.trainer.count_cooc_src2trg)[c]),
                  std::bit_cast<std::uint64_t>(counts[c]))
            << "cell " << c;
    }
}

// Cells below the threshold leave the table and read the floor from then on, through the
// training that follows; the others keep their values, and no row's mass is lost for a target
// word whose every cell went.
TEST(Model1, KeptCellsTrainOnAndPrunedOnesReadTheFloor) {
    SetUpTrainer<Model1Trainer> s("a b c\na b\nc\n", "x y z\nx y\nz\n");
    s.trainer.train(s.host, 3);
    std::vector<std::pair<std::array<WordId, 2>, double>> before;
    const CooccurrencePattern& full = s.trainer.model->trans_dist->pattern();
    for (WordId src = 0; src < full.rows(); ++src) {
        for (std::size_t c = full.row_begin(src); c < full.row_end(src); ++c)
            before.push_back({{src, full.col(c)}, s.trainer.model->trans_dist->value(c)});
    }
    constexpr double kThreshold = 0.2, kFloor = 1e-3;
    const std::size_t kept = s.trainer.keep_cells(kThreshold, kFloor);
    s.trainer.index_cells(s.host);
    EXPECT_GT(kept, 0U);
    EXPECT_LT(kept, before.size());
    for (const auto& [cell, value] : before)
        EXPECT_EQ(s.t(cell[0], cell[1]), value >= kThreshold ? value : kFloor);
    s.trainer.train(s.host, 2);
    EXPECT_TRUE(std::isfinite(s.entropy()));
    const TransTable& table = *s.trainer.model->trans_dist;
    ASSERT_EQ(table.cells(), kept);
    for (const auto& [cell, value] : before) {
        if (value < kThreshold) {
            EXPECT_EQ(s.t(cell[0], cell[1]), kFloor);
        }
    }
}

// With the target words shared out to the threads, every count still receives its additions
// in pair order, and a pair's repeated cells in the order one thread adds them: the counts
// and entropies of training are the same to the bit for any thread count. The values are
// uneven, so any other order shows in the last bits; the corpus is more than a block.
TEST(ExpectedCounts, SameBitsForAnyThreadCount) {
    std::string src, trg;
    std::mt19937_64 rng(11);
    for (int p = 0; p < 3000; ++p) {
        for (std::uint64_t k = 0, n = rng() % 7; k < n; ++k)
            src += "s" + std::to_string(rng() % 9) + " ";
        for (std::uint64_t k = 0, n = 1 + rng() % 7; k < n; ++k)
            trg += "t" + std::to_string(rng() % 9) + " ";
        src += "\n";
        trg += "\n";
    }
    struct Run {
        std::vector<std::uint64_t> counts;
        std::vector<std::string> entropies;
        bool operator==(const Run&) const = default;
    };
    std::vector<Run> runs;
    for (const char* count : {"1", "2", "3"}) {
        const Threads threads(count);
        SetUpTrainer<Model2Trainer> s(src, trg);
        TransTable& table = *s.trainer.model->trans_dist;
        std::mt19937_64 values(3);
        for (std::size_t c = 0; c < table.cells(); ++c)
            table.set_value(c, 0.01 + static_cast<double>(values() % 1000) / 997.0);
        s.trainer.train(s.host, 2);
        Run run;
        const CellCounts& cooc = *s.trainer.count_cooc_src2trg;
        for (std::size_t c = 0; c < cooc.size(); ++c)
            run.counts.push_back(std::bit_cast<std::uint64_t>(cooc[c]));
        for (const double v : *s.trainer.count_align_trg2src)
            run.counts.push_back(std::bit_cast<std::uint64_t>(v));
        for (const std::string& line : s.host.messages_of(Channel::model2)) {
            if (line.find("entropy: ") != std::string::npos) run.entropies.push_back(line);
        }
        runs.push_back(std::move(run));
    }
    ASSERT_GE(runs[0].entropies.size(), 2U);
    EXPECT_TRUE(runs[1] == runs[0]);
    EXPECT_TRUE(runs[2] == runs[0]);
}

TEST(Model2, FirstStepReadsAndUpdatesOnlyThePairsBlocks) {
    SetUpTrainer<Model2Trainer> s(kSrc, kTrg);
    EXPECT_EQ(
        s.host.messages_of(Channel::model2).back(),
        "word alignment distribution matrix size: 1 [src len] x 1 [trg len] x 2 [trg index] x 3 "
        "[src index] x 8 [bytes] = 192 [bytes]");
    const AlignTable& a = *s.trainer.model->align_dist;
    EXPECT_EQ(a.at(0, 1, 1, 2), 0.5);  // block [0, *] is 1/2 everywhere, even where no pair reads
    EXPECT_EQ(a.at(1, 0, 1, 0), 1.0 / 3);
    // Uniform alignment: Model 2's entropy is Model 1's.
    EXPECT_NEAR(s.entropy(), std::log(2.0), 1e-15);

    s.trainer.Model2Trainer::train_step(s.host);
    ASSERT_TRUE(s.trainer.count_align_trg2src);
    // Pair 1 (l 3, m 2) -> block [1, 1]; pair 2 (l 2, m 1) -> block [0, 0], row 0, positions 0..1.
    EXPECT_NEAR(a.at(0, 0, 0, 0) + a.at(0, 0, 0, 1), 1.0, 1e-15);
    EXPECT_EQ(a.at(0, 0, 0, 2), 0.0);  // re-estimated: beyond the pair's length
    EXPECT_EQ(a.at(0, 1, 0, 0), 0.5);  // never touched
    EXPECT_EQ(a.at(1, 1, 1, 2) + a.at(1, 1, 1, 1) + a.at(1, 1, 1, 0) > 0.999, true);
    EXPECT_EQ(a.at(1, 0, 0, 1), 1.0 / 3);
}

TEST(Model2, SizeMessageOfLargerArrays) {
    // S_max 4 (three words and NULL), T_max 3: shape [3, 3, 3, 4], 864 bytes.
    SetUpTrainer<Model2Trainer> s("a b c\na\n", "x y z\nx\n");
    EXPECT_EQ(
        s.host.messages_of(Channel::model2).back(),
        "word alignment distribution matrix size: 2 [src len] x 2 [trg len] x 3 [trg index] x 4 "
        "[src index] x 8 [bytes] = 864 [bytes]");
    const AlignTable& a = *s.trainer.model->align_dist;
    EXPECT_EQ(a.at(2, 2, 2, 3), 0.25);
    EXPECT_EQ(a.at(1, 0, 2, 0), 1.0 / 3);
}

TEST(Model2, EmptySidesWrapToTheLastBlock) {
    // Character mode: an empty source line has only NULL (l - 2 = -1), an empty target has m 0.
    SetUpTrainer<Model2Trainer> s("ab\n\n", "x\ny\n", true);
    Model2Trainer& t = s.trainer;
    t.Model2Trainer::train_step(s.host);
    // Pair 2 (l 1, m 1) wraps to block [S_max - 2, 0] = [1, 0], the block of pair 1 (l 3,
    // m 1): row 0, position 0 holds pair 1's NULL posterior 1/3 plus pair 2's 1.
    const auto cell = t.model->align_dist->cell(1, 0, 0, 0);
    ASSERT_GE(cell, 0);
    EXPECT_NEAR((*t.count_align_trg2src)[static_cast<std::size_t>(cell)], 1.0 + 1.0 / 3, 1e-15);
}

TEST(Model2, ZeroColumnGivesNanCountsAndLeavesItsRowsUnchanged) {
    SetUpTrainer<Model2Trainer> s("a\nb\n", "x\ny\n");
    TransTable& t = *s.trainer.model->trans_dist;
    // Nothing of pair 1 can produce x: its column sums to 0 and its posteriors are 0 / 0.
    for (WordId src : {0U, 1U})
        t.set_value(static_cast<std::size_t>(t.pattern().find(src, 0)), 0.0);
    const double before = t.at(1, 1);
    s.trainer.Model2Trainer::train_step(s.host);
    EXPECT_TRUE(std::isnan(s.count(1, 0)));
    EXPECT_EQ(t.at(1, 1), before);  // row "a" summed to NaN: kept
    EXPECT_EQ(t.at(2, 1), 1.0);     // row "b" re-estimated
    // Reported as the array operations report them: 0 / 0 in the E-step, then log(0).
    using K = zel::FloatEvent::Kind;
    using O = zel::FloatEvent::Operation;
    ASSERT_EQ(s.host.float_events.size(), 1U);
    EXPECT_EQ(s.host.float_events[0].kind, K::invalid);
    EXPECT_EQ(s.host.float_events[0].operation, O::divide);
    s.host.float_events.clear();
    EXPECT_TRUE(std::isinf(s.entropy()));
    ASSERT_EQ(s.host.float_events.size(), 1U);
    EXPECT_EQ(s.host.float_events[0].kind, K::divide_by_zero);
    EXPECT_EQ(s.host.float_events[0].operation, O::log);
}

// The EM loop computes entropies along with E-steps; its warnings, counts and values are those
// of the plain order of steps, whatever raises the warnings.
using Spoil = void (*)(TransTable&);
class EmLoopWarnings : public ::testing::TestWithParam<Spoil> {};

TEST_P(EmLoopWarnings, LookAheadsWarnAndCountAsThePlainOrderOfSteps) {
    SetUpTrainer<Model2Trainer> looped("a\nb\n", "x\ny\n"), plain("a\nb\n", "x\ny\n");
    GetParam()(*looped.trainer.model->trans_dist);
    GetParam()(*plain.trainer.model->trans_dist);
    looped.trainer.train(looped.host, 3);
    double prev = plain.entropy();
    for (int step = 0; step < 3; ++step) {
        plain.trainer.Model2Trainer::train_step(plain.host);
        const double cur = plain.entropy();
        if (cur >= prev) break;
        prev = cur;
    }
    ASSERT_FALSE(plain.host.float_events.empty());
    ASSERT_EQ(looped.host.float_events.size(), plain.host.float_events.size());
    for (std::size_t k = 0; k < plain.host.float_events.size(); ++k) {
        EXPECT_EQ(looped.host.float_events[k].kind, plain.host.float_events[k].kind) << k;
        EXPECT_EQ(looped.host.float_events[k].operation, plain.host.float_events[k].operation) << k;
    }
    const auto bits = [](const CellCounts& counts) {
        std::vector<std::uint64_t> out;
        for (std::size_t c = 0; c < counts.size(); ++c)
            out.push_back(std::bit_cast<std::uint64_t>(counts[c]));
        return out;
    };
    EXPECT_EQ(bits(*looped.trainer.count_cooc_src2trg), bits(*plain.trainer.count_cooc_src2trg));
    EXPECT_EQ(looped.t(2, 1), plain.t(2, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Spoiled, EmLoopWarnings,
    ::testing::Values(
        // Every E-step divides 0 by 0 and every entropy takes log(0).
        +[](TransTable& t) {
            for (WordId src : {0U, 1U})
                t.set_value(static_cast<std::size_t>(t.pattern().find(src, 0)), 0.0);
        },
        // A signalling NaN: the column sums of both passes raise, not the logarithms.
        +[](TransTable& t) {
            t.set_value(static_cast<std::size_t>(t.pattern().find(1, 0)),
                        std::numeric_limits<double>::signaling_NaN());
        }),
    [](const auto& info) {
        return zel::testing::case_name(info.index,
                                       info.index == 0 ? "zero translations" : "signalling NaN");
    });

// A Model 1 whose corpus entropies are scripted, to watch the stop rule.
class ScriptedModel : public Model1 {
public:
    ScriptedModel(zel::Host& host, std::vector<double> script)
        : Model1(host), script_(std::move(script)) {}
    double calc_entropy(zel::Host&, const CorpusCells&) const override {
        return script_.at(calls_++);
    }
    bool entropy_of_pairs() const override { return false; }

private:
    std::vector<double> script_;
    mutable std::size_t calls_ = 0;
};

TEST(EmLoop, StopsWhenEntropyStopsFalling) {
    SetUpTrainer<Model1Trainer> s(kSrc, kTrg);
    auto scripted =
        std::make_shared<ScriptedModel>(s.host, std::vector<double>{10.0, 8.0, 7.0, 7.0, 1.0});
    scripted->vocab = std::move(s.trainer.model->vocab);
    scripted->trans_dist = std::move(s.trainer.model->trans_dist);
    s.trainer.model = scripted;
    s.host.messages.clear();
    s.trainer.train(s.host, 5);
    const auto steps =
        std::count_if(s.host.messages.begin(), s.host.messages.end(),
                      [](const std::string& m) { return m.rfind("step: ", 0) == 0; });
    EXPECT_EQ(steps, 3);
    EXPECT_EQ(s.host.messages.back(), "entropy: 7.0");
}

// A host whose stop_at-th interruption check fails.
struct InterruptedHost : MemoryHost {
    std::size_t calls = 0, stop_at = 0;
    void check_interrupt() override {
        if (++calls == stop_at) throw std::runtime_error("interrupted");
    }
};

// A T trained by train(trainer, host) on a three-pair corpus under a host whose stop_at-th
// interruption check fails (none when 0); `calls`, when given, gets the checks made.
template <class T, class Train>
std::unique_ptr<T> interrupted_training(std::size_t stop_at, std::size_t* calls, Train&& train) {
    InterruptedHost host;
    host.files["src"] = "a b c\na c\nb\n";
    host.files["trg"] = "x y\nz x y\ny z\n";
    host.stop_at = stop_at;
    auto trainer = std::make_unique<T>();
    trainer->init(host);
    trainer->src_path = "src";
    trainer->trg_path = "trg";
    try {
        train(*trainer, host);
    } catch (const std::runtime_error&) {
    }
    if (calls) *calls = host.calls;
    return trainer;
}

// An E-step computed ahead and interrupted leaves the counts of the step before, or none
// before the first step.
TEST(EmLoop, AnInterruptedLookAheadLeavesTheLastStepsCounts) {
    const auto trained = [](std::int32_t limit, std::size_t stop_at, std::size_t* calls) {
        return interrupted_training<Model1Trainer>(
            stop_at, calls, [&](Model1Trainer& t, zel::Host& host) { t.train(host, limit); });
    };
    for (const char* threads : {"1", "2"}) {  // counts beside the values, and apart
        const Threads set(threads);
        std::size_t one_step = 0;
        const auto reference = trained(1, 0, &one_step);
        // The checks of the initial entropy, one step and the entropy after it; the last of
        // them is the first check of the pass after the step, here the E-step of step 2.
        const auto interrupted = trained(3, one_step, nullptr);
        EXPECT_EQ(counts_of(*interrupted->count_cooc_src2trg),
                  counts_of(*reference->count_cooc_src2trg));
        const TransTable& a = *interrupted->model->trans_dist;
        const TransTable& b = *reference->model->trans_dist;
        for (std::size_t c = 0; c < a.cells(); ++c) EXPECT_EQ(a.value(c), b.value(c));
        // The check before it is the first of the initial entropy's pass.
        const auto first = trained(3, one_step - 1, nullptr);
        EXPECT_FALSE(first->count_cooc_src2trg);
        const TransTable& untrained = *first->model->trans_dist;
        for (std::size_t c = 0; c < a.cells(); ++c) EXPECT_EQ(untrained.value(c), 1.0 / 3);
    }
}

// Training both models in one go hands Model 1's last entropy on as Model 2's initial entropy,
// computed by Model 2's first E-step: a pass less, and everything else as the two trains in
// turn give it, for a loop that runs to its limit, one that stops early (a single pair is
// learnt in one step), no step at all, and passes that warn.
struct BothModels {
    const char* src;
    const char* trg;
    std::int32_t limit;
    std::optional<double> x;  // the value of every cell of target word x, when set
    bool pass_less;           // Model 1's loop runs to its limit, which is not 0
};
class TrainModels : public ::testing::TestWithParam<BothModels> {};

TEST_P(TrainModels, MatchTheTwoTrainsInTurnWithAPassLess) {
    const BothModels& c = GetParam();
    SetUpTrainer<Model2Trainer> both(c.src, c.trg), turns(c.src, c.trg);
    for (auto* s : {&both, &turns}) {
        // 0: every E-step divides 0 by 0 and every entropy takes log(0), and the loops stop at
        // once; a signalling NaN: every pass raises, and the entropy never stops the loops.
        TransTable& t = *s->trainer.model->trans_dist;
        for (WordId src : {0U, 1U}) {
            if (c.x) t.set_value(static_cast<std::size_t>(t.pattern().find(src, 0)), *c.x);
        }
        s->host.progress_labels.clear();
    }
    both.trainer.train_models(both.host, c.limit);
    turns.trainer.Model1Trainer::train(turns.host, c.limit);
    turns.trainer.train(turns.host, c.limit);
    EXPECT_EQ(both.host.messages, turns.host.messages);
    ASSERT_EQ(both.host.float_events.size(), turns.host.float_events.size());
    for (std::size_t k = 0; k < both.host.float_events.size(); ++k) {
        EXPECT_EQ(both.host.float_events[k].kind, turns.host.float_events[k].kind) << k;
        EXPECT_EQ(both.host.float_events[k].operation, turns.host.float_events[k].operation) << k;
    }
    const auto bits = [](const Model2Trainer& t) {
        std::vector<std::uint64_t> out;
        for (std::size_t c = 0; c < t.model->trans_dist->cells(); ++c)
            out.push_back(std::bit_cast<std::uint64_t>(t.model->trans_dist->value(c)));
        if (t.count_cooc_src2trg) {
            for (std::size_t c = 0; c < t.count_cooc_src2trg->size(); ++c)
                out.push_back(std::bit_cast<std::uint64_t>((*t.count_cooc_src2trg)[c]));
        }
        if (t.count_align_trg2src) {
            for (const double v : *t.count_align_trg2src)
                out.push_back(std::bit_cast<std::uint64_t>(v));
        }
        for (const double v : t.model->align_dist->values)
            out.push_back(std::bit_cast<std::uint64_t>(v));
        return out;
    };
    EXPECT_EQ(bits(both.trainer), bits(turns.trainer));
    EXPECT_EQ(both.host.progress_labels.size() + (c.pass_less ? 1 : 0),
              turns.host.progress_labels.size());
}

INSTANTIATE_TEST_SUITE_P(
    Corpora, TrainModels,
    ::testing::Values(BothModels{"a b c\na c\nb\n", "x y\nz x y\ny z\n", 3, {}, true},
                      BothModels{"a b c\na c\nb\n", "x y\nz x y\ny z\n", 0, {}, false},
                      BothModels{"a\n", "x\n", 3, {}, false},
                      BothModels{"a\nb\n", "x\ny\n", 2, 0.0, false},
                      BothModels{"a\nb\n", "x\ny\n", 2,
                                 std::numeric_limits<double>::signaling_NaN(), true}),
    [](const ::testing::TestParamInfo<BothModels>& info) {
        const auto& x = info.param.x;
        return zel::testing::case_name(info.index,
                                       "limit " + std::to_string(info.param.limit) +
                                           (!x               ? ""
                                            : std::isnan(*x) ? " x NaN"
                                                             : " x " + std::to_string(*x)));
    });

// Interrupted in its last pass, Model 1's phase leaves what it leaves when that pass is its
// own: its counts, and no alignment counts.
TEST(TrainModels, InterruptedInModel1sLastPassLeavesModel1sCounts) {
    const auto run = [](bool both, std::size_t stop_at, std::size_t* calls) {
        return interrupted_training<Model2Trainer>(stop_at, calls,
                                                   [&](Model2Trainer& t, zel::Host& host) {
                                                       if (both) {
                                                           t.train_models(host, 2);
                                                       } else {
                                                           t.Model1Trainer::train(host, 2);
                                                       }
                                                   });
    };
    std::size_t model1_checks = 0;
    const auto reference = run(false, 0, &model1_checks);
    // A corpus of one block: the last check of Model 1's train is its last pass's only one.
    const auto interrupted = run(true, model1_checks, nullptr);
    EXPECT_EQ(counts_of(*interrupted->count_cooc_src2trg),
              counts_of(*reference->count_cooc_src2trg));
    EXPECT_FALSE(interrupted->count_align_trg2src);
}

// A scores pass that keeps the decoded links writes the same scores and warnings, and the links
// it keeps decode to the same file without the distributions: products that are NaN, 0 and
// tied included.
TEST(DecodedLinks, KeptByTheScoresPassDecodeAsTheirOwnPass) {
    SetUpTrainer<Model2Trainer> s("a b c\na c\nb b\n\n", "x y\nz x y\ny z\nx\n");
    s.trainer.train(s.host, 2);
    TransTable& t = *s.trainer.model->trans_dist;
    t.set_value(static_cast<std::size_t>(t.pattern().find(1, 0)), std::nan(""));
    t.set_value(static_cast<std::size_t>(t.pattern().find(3, 2)), 0.0);
    const CorpusCells cells = s.trainer.corpus_cells();
    const Model& model = *s.trainer.model;
    model.calc_and_save_scores(s.host, "scores", cells);
    model.decode_and_save_align(s.host, "links", cells);
    const auto events = s.host.float_events.size();
    DecodedLinks links;
    model.calc_and_save_scores(s.host, "kept scores", cells, &links);
    ASSERT_TRUE(links.kept());
    ASSERT_EQ(s.host.float_events.size(), 2 * events);
    for (std::size_t k = 0; k < events; ++k)
        EXPECT_EQ(s.host.float_events[events + k].kind, s.host.float_events[k].kind) << k;
    const auto trans = std::move(s.trainer.model->trans_dist);
    model.decode_and_save_align(s.host, "kept links", cells, &links);
    EXPECT_EQ(s.host.files["kept scores"], s.host.files["scores"]);
    EXPECT_EQ(s.host.files["kept links"], s.host.files["links"]);
    EXPECT_NE(s.host.files["links"].find("1-0"), std::string::npos);
}

TEST(DecodedLinks, HoldEveryPositionTheirSentencesHave) {
    DecodedLinks links;
    for (const std::size_t positions :
         {std::size_t{1}, std::size_t{256}, std::size_t{257}, std::size_t{1} << 16}) {
        ASSERT_TRUE(links.make(3, positions));
        // The last position, the first, and one with both bytes set where there are two.
        const std::vector<std::size_t> kept{positions - 1, 0,
                                            std::min(positions - 1, std::size_t{0x1FF})};
        for (std::size_t k = 0; k < 3; ++k) links.set(k, kept[k]);
        for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(links.get(k), kept[k]) << positions;
    }
    EXPECT_FALSE(links.make(3, (std::size_t{1} << 16) + 1));
    EXPECT_FALSE(links.kept());
}

TEST(EmLoop, LimitZeroRunsNoStep) {
    SetUpTrainer<Model1Trainer> s(kSrc, kTrg);
    s.trainer.train(s.host, 0);
    EXPECT_EQ(s.host.messages.back(), "initial entropy: 0.6931471805599453");
    EXPECT_FALSE(s.trainer.count_cooc_src2trg);
    EXPECT_EQ(s.t(1, 1), 0.5);
}

TEST(EmLoop, EmptyCorpusIsRefusedBeforeAnyStep) {
    SetUpTrainer<Model1Trainer> s("", "", false, false);
    Model1Trainer& trainer = s.trainer;
    try {
        trainer.train(s.host, 3);
        FAIL() << "an empty corpus was trained on";
    } catch (const zel::EmptyCorpus& e) {
        EXPECT_NE(std::string(e.what()).find("src and trg"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(trainer.sent_pairs);
    EXPECT_FALSE(trainer.model->trans_dist);
}

TEST(Trainer, BaseOperationsAreAbstract) {
    MemoryHost host;
    Trainer t;
    EXPECT_THROW(t.init(host), zel::NotImplemented);
    EXPECT_THROW(t.expect_step(host), zel::NotImplemented);
    EXPECT_THROW(t.train(host, 1), zel::NotImplemented);
}

}  // namespace
