#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "align/shards/row_ranges.hpp"
#include "align/shards/shard.hpp"
#include "align/shards/whole_trainer.hpp"
#include "test_helpers.hpp"

namespace {

using namespace zel::align;
using zel::QuietHost;
using zel::testing::MemoryHost;

constexpr const char* kSrc = "a b c\nb c\na\nd a b\nc d\nb\n";
constexpr const char* kTrg = "x y\ny z z\nx\nw x y\nz w\ny\n";

std::string lines(const std::string& text, std::size_t first, std::size_t count) {
    std::size_t begin = 0;
    for (std::size_t k = 0; k < first; ++k) begin = text.find('\n', begin) + 1;
    std::size_t end = begin;
    for (std::size_t k = 0; k < count; ++k) end = text.find('\n', end) + 1;
    return text.substr(begin, end - begin);
}

// The corpus cut after `cut` pairs into two shards (one when cut is 6), trained as the cluster
// driver trains them: the whole's rows in two ranges, its alignment table apart, one Model 1
// and one Model 2 step, then gathered into the whole; beside it one process's trainer after the
// same steps.
struct Joined {
    MemoryHost host;
    std::deque<ShardTrainer> shards;
    QuietHost quiet;
    WholeTrainer whole{host};
    Model2Trainer one;
    std::vector<std::uint64_t> keys;
    std::vector<BlockKey> blocks;
    std::deque<RowRange> ranges;
    std::vector<RowRange::Values> values;
    std::optional<AlignRows> align;
    AlignRows::Values align_values;

    explicit Joined(std::size_t cut) {
        for (auto [first, count] : {std::pair<std::size_t, std::size_t>{0, cut}, {cut, 6 - cut}}) {
            if (count > 0)
                shards.emplace_back(quiet, lines(kSrc, first, count), lines(kTrg, first, count),
                                    false);
        }
        std::vector<std::vector<WordId>> src_ids, trg_ids;
        for (const ShardTrainer& s : shards) {
            for (const bool source : {true, false}) {
                std::vector<std::string> words;
                for (std::string_view w : s.words(source)) words.emplace_back(w);
                (source ? src_ids : trg_ids).push_back(whole.add_words(source, words));
            }
            whole.add_lengths(s.max_src_len(), s.max_trg_len());
        }
        const TableShape shape = whole.shape();
        for (std::size_t k = 0; k < shards.size(); ++k) {
            shards[k].join(quiet, src_ids[k], trg_ids[k], shape);
            for (const auto key : shards[k].cell_keys()) keys.push_back(key);
            for (const auto& b : shards[k].block_keys()) {
                if (std::find(blocks.begin(), blocks.end(), b) == blocks.end()) blocks.push_back(b);
            }
        }
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        const std::size_t half = shape.n_src / 2;
        const auto middle = std::lower_bound(keys.begin(), keys.end(), half * shape.n_trg);
        ranges.emplace_back(0, half, shape.n_trg, std::span(keys.begin(), middle));
        ranges.emplace_back(half, shape.n_src - half, shape.n_trg, std::span(middle, keys.end()));
        for (const RowRange& r : ranges) values.push_back(r.initial());
        align.emplace(shape.s_max, shape.t_max, blocks);
        align_values = align->initial();
        for (const int model : {1, 2}) step(model);
        gather();

        host.files["src"] = kSrc;
        host.files["trg"] = kTrg;
        one.init(host);
        one.src_path = "src";
        one.trg_path = "trg";
        one.setup(host);
        one.Model1Trainer::expect_step(host);
        one.Model1Trainer::maximize_step(host);
        one.Model2Trainer::expect_step(host);
        one.Model2Trainer::maximize_step(host);
    }

    // Where a cell lies: its range and its place there.
    std::pair<std::size_t, std::size_t> locate(std::uint64_t key) const {
        const std::size_t at = static_cast<std::size_t>(
            std::lower_bound(keys.begin(), keys.end(), key) - keys.begin());
        const std::size_t first = ranges[0].cells();
        return at < first ? std::pair{std::size_t{0}, at} : std::pair{std::size_t{1}, at - first};
    }

    void step(int model) {
        // Per range, per shard: where its counts go among the range's cells, and the counts.
        std::vector<std::vector<std::vector<std::uint32_t>>> at(ranges.size());
        std::vector<std::vector<std::vector<double>>> pieces(ranges.size());
        std::vector<double> align_counts(align_values.values.size(), 0.0);
        for (ShardTrainer& s : shards) {
            send_values(s);
            const auto shard_keys = s.cell_keys();
            s.expect(quiet, model);
            const auto shard_counts = s.trans_counts();
            for (std::size_t r = 0; r < ranges.size(); ++r) {
                at[r].emplace_back();
                pieces[r].emplace_back();
            }
            for (std::size_t c = 0; c < shard_counts.size(); ++c) {
                const auto [r, cell] = locate(shard_keys[c]);
                at[r].back().push_back(static_cast<std::uint32_t>(cell));
                pieces[r].back().push_back(shard_counts[c]);
            }
            if (model == 2) {
                const auto positions = align_positions(s);
                for (std::size_t i = 0; i < positions.size(); ++i)
                    align_counts[positions[i]] += s.align_counts()[i];
            }
        }
        for (std::size_t r = 0; r < ranges.size(); ++r) {
            const std::vector<std::span<const std::uint32_t>> a(at[r].begin(), at[r].end());
            const std::vector<std::span<const double>> c(pieces[r].begin(), pieces[r].end());
            values[r] = ranges[r].maximize(values[r].values, values[r].row_default, a, c);
        }
        if (model == 2)
            align_values =
                align->maximize(align_values.values, align_values.tail_zero, align_counts);
    }

    // The alignment values and counts of a shard's blocks, where the whole stores them.
    std::vector<std::size_t> align_positions(const ShardTrainer& s) const {
        std::vector<std::size_t> at;
        const AlignTable start(whole.shape().s_max, whole.shape().t_max, blocks);
        for (const auto& b : s.block_keys()) {
            const auto k = static_cast<std::int64_t>(std::find(blocks.begin(), blocks.end(), b) -
                                                     blocks.begin());
            const std::size_t n = start.block_rows(k) * start.block_cols(k);
            for (std::size_t i = 0; i < n; ++i) at.push_back(start.block_offset(k) + i);
        }
        return at;
    }

    void send_values(ShardTrainer& s) {
        std::vector<double> trans, align_part;
        for (const auto key : s.cell_keys()) {
            const auto [r, at] = locate(key);
            trans.push_back(values[r].values[at]);
        }
        for (const std::size_t at : align_positions(s))
            align_part.push_back(align_values.values[at]);
        std::vector<std::uint8_t> tail;
        const AlignTable start(whole.shape().s_max, whole.shape().t_max, blocks);
        for (const auto& b : s.block_keys()) {
            const auto k = static_cast<std::int64_t>(std::find(blocks.begin(), blocks.end(), b) -
                                                     blocks.begin());
            for (std::size_t r = 0; r < start.block_rows(k); ++r)
                tail.push_back(align_values.tail_zero[start.block_first_row(k) + r]);
        }
        const std::span<const double> whole_piece = trans;
        s.set_values({&whole_piece, 1}, align_part, tail);
    }

    void gather() {
        whole.make_align(blocks);
        whole.align().values = align_values.values;
        whole.align().tail_zero = align_values.tail_zero;
    }

    // The ranges' lines of the translation file, one after the other.
    std::string trans_lines() const {
        std::string text;
        const TableShape shape = whole.shape();
        const auto trg_words = whole.words(false, 0, shape.n_trg);
        for (std::size_t r = 0; r < ranges.size(); ++r) {
            const auto src_words = whole.words(true, ranges[r].first(), ranges[r].pattern().rows());
            text += ranges[r].trans_lines(values[r], src_words, trg_words, {0.0, "0"}, 100);
        }
        return text;
    }
};

class Shards : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Shards, WholeIsOneProcessModel) {
    Joined j(GetParam());
    const TransTable& theirs = *j.one.model->trans_dist;
    std::vector<double> mine, defaults;
    for (std::size_t r = 0; r < j.ranges.size(); ++r) {
        const CooccurrencePattern& p = j.ranges[r].pattern();
        for (std::size_t c = 0; c < p.cells(); ++c)
            ASSERT_EQ(p.col(c), theirs.pattern().col(mine.size() + c));
        mine.insert(mine.end(), j.values[r].values.begin(), j.values[r].values.end());
        defaults.insert(defaults.end(), j.values[r].row_default.begin(),
                        j.values[r].row_default.end());
    }
    ASSERT_EQ(mine.size(), theirs.cells());
    ASSERT_EQ(j.whole.align().values.size(), j.one.model->align_dist->values.size());
    for (std::size_t c = 0; c < mine.size(); ++c) {
        // One shard: one process's bits; two: its sums in another order.
        if (j.shards.size() == 1) {
            EXPECT_EQ(mine[c], theirs.value(c)) << c;
        } else {
            EXPECT_NEAR(mine[c], theirs.value(c), 1e-15) << c;
        }
    }
    EXPECT_EQ(defaults, theirs.row_default);
    if (j.shards.size() == 1) {
        j.one.save_trans_dist(j.host, "one.trans", {0.0, "0"}, 100);
        EXPECT_EQ(j.trans_lines(), j.host.files["one.trans"]);
    }
    for (std::size_t i = 0; i < j.whole.align().values.size(); ++i)
        EXPECT_NEAR(j.whole.align().values[i], j.one.model->align_dist->values[i], 1e-15);
    double total = 0.0;
    for (ShardTrainer& s : j.shards) {
        j.send_values(s);
        total += s.entropy_sum(j.quiet).total;
    }
    EXPECT_NEAR(total / 6.0, j.one.model->calc_entropy(j.host, j.one.corpus_cells()), 1e-14);
}

INSTANTIATE_TEST_SUITE_P(Cuts, Shards, ::testing::Values(6, 2, 5));

TEST(Shards, MergedKeysKnowWhereEachListLies) {
    // Rows 0 to 2 of 4 targets; row 1 is in both lists, row 3 in neither.
    const std::vector<std::uint64_t> a = {1, 5, 7, 9}, b = {2, 4, 5}, none = {}, unsorted = {3, 3},
                                     outside = {12};
    const std::vector<std::span<const std::uint64_t>> lists = {a, none, b};
    const KeyUnion u = merge_keys(lists, 0, 4, 4);
    EXPECT_EQ(u.keys, (std::vector<std::uint64_t>{1, 2, 4, 5, 7, 9}));
    EXPECT_EQ(u.positions, (std::vector<std::vector<std::uint32_t>>{{0, 3, 4, 5}, {}, {1, 2, 3}}));
    for (const auto& bad : {unsorted, outside}) {
        const std::vector<std::span<const std::uint64_t>> given = {a, bad};
        EXPECT_THROW(merge_keys(given, 0, 3, 4), std::invalid_argument);
    }
}

TEST(Shards, RefuseInconsistentParts) {
    EXPECT_THROW(CooccurrencePattern::from_rows(2, 3, {0, 2, 3}, {1, 0, 2}), std::invalid_argument);
    EXPECT_THROW(CooccurrencePattern::from_rows(2, 3, {0, 1, 3}, {1, 2, 3}), std::invalid_argument);
    EXPECT_THROW(CooccurrencePattern::from_rows(2, 3, {0, 1}, {1}), std::invalid_argument);
    const std::vector<BlockKey> outside = {{0, 0}, {4, 0}};
    EXPECT_THROW(AlignTable(3, 3, outside), std::out_of_range);
    Joined j(6);
    EXPECT_THROW(j.shards[0].set_values({}, {}, {}), std::invalid_argument);
    const std::vector<std::uint64_t> unsorted = {3, 1}, outside_rows = {9};
    EXPECT_THROW(RowRange(0, 2, 3, unsorted), std::invalid_argument);
    EXPECT_THROW(RowRange(0, 2, 3, outside_rows), std::invalid_argument);
    EXPECT_THROW(j.ranges[0].maximize({}, {}, {}, {}), std::invalid_argument);
    const std::vector<std::uint32_t> beyond = {static_cast<std::uint32_t>(j.ranges[0].cells())};
    const std::vector<double> one = {1.0};
    const std::vector<std::span<const std::uint32_t>> at = {beyond};
    const std::vector<std::span<const double>> counts = {one};
    EXPECT_THROW(j.ranges[0].maximize(j.values[0].values, j.values[0].row_default, at, counts),
                 std::invalid_argument);
}

// A shard read both ways for the HMM, joined to its own vocabularies.
ShardTrainer& hmm_direction(std::deque<ShardTrainer>& held, QuietHost& quiet,
                            const std::string& src, const std::string& trg) {
    MemoryHost host;
    WholeTrainer whole(host);
    ShardTrainer& shard = held.emplace_back(quiet, src, trg, false, 1);
    std::vector<WordId> ids[2];
    for (const bool source : {true, false}) {
        std::vector<std::string> words;
        for (std::string_view w : shard.words(source)) words.emplace_back(w);
        ids[source ? 0 : 1] = whole.add_words(source, words);
    }
    whole.add_lengths(shard.max_src_len(), shard.max_trg_len());
    shard.join(quiet, ids[0], ids[1], whole.shape());
    return shard;
}

TEST(Shards, HmmShardsRefuseWhatTheyDoNotHold) {
    QuietHost quiet;
    std::deque<ShardTrainer> held;
    ShardTrainer& forward = hmm_direction(held, quiet, kSrc, kTrg);
    ShardTrainer& backward = hmm_direction(held, quiet, kTrg, kSrc);
    ShardTrainer& other = hmm_direction(held, quiet, lines(kTrg, 0, 5) + "x y\n", kSrc);
    EXPECT_THROW(ShardTrainer(quiet, kSrc, kTrg, false, 3), std::invalid_argument);
    EXPECT_THROW(forward.block_keys(), std::invalid_argument);
    EXPECT_THROW(forward.set_values({}, {}, {}), std::invalid_argument);
    EXPECT_THROW(forward.expect(quiet, 2), std::invalid_argument);
    const std::array<JumpTable, 2> jumps{JumpTable::uniform(0.2), JumpTable::uniform(0.2)};
    // Pairs of other lengths would have the passes read beyond a pair's posteriors.
    EXPECT_THROW(hmm_expect(quiet, forward, other, jumps, true), std::invalid_argument);
    EXPECT_THROW(hmm_outputs(quiet, forward, forward, jumps, zel::links::Heuristic::intersection,
                             false, std::nullopt),
                 std::invalid_argument);
    const HmmShardStep step = hmm_expect(quiet, forward, backward, jumps, true);
    EXPECT_TRUE(std::isfinite(step.logs[0]) && step.logs[0] < 0.0);
    EXPECT_EQ(forward.trans_counts().size(), forward.cell_keys().size());
}

}  // namespace
