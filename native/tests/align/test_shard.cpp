#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "align/shard.hpp"
#include "test_helpers.hpp"

namespace {

using namespace zel::align;
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

// The corpus cut after `cut` pairs into two shards (one when cut is 6), joined into a whole
// as the cluster driver joins them, after one Model 1 and one Model 2 step; beside it one
// process's trainer after the same steps.
struct Joined {
    MemoryHost host;
    std::deque<ShardTrainer> shards;
    QuietHost quiet;
    WholeTrainer whole{host};
    Model2Trainer one;

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
        std::vector<std::uint64_t> keys;
        std::vector<BlockKey> blocks;
        for (std::size_t k = 0; k < shards.size(); ++k) {
            shards[k].join(quiet, src_ids[k], trg_ids[k], whole.shape());
            for (const auto key : shards[k].cell_keys()) keys.push_back(key);
            for (const auto& b : shards[k].block_keys()) {
                if (std::find(blocks.begin(), blocks.end(), b) == blocks.end()) blocks.push_back(b);
            }
        }
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        whole.make_tables(host, keys, blocks);
        for (const int model : {1, 2}) step(model, keys, blocks);

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

    void step(int model, const std::vector<std::uint64_t>& keys,
              const std::vector<BlockKey>& blocks) {
        whole.zero_counts();
        for (ShardTrainer& s : shards) {
            const auto shard_keys = s.cell_keys();
            s.expect(quiet, model);
            const auto counts = s.trans_counts();
            for (std::size_t c = 0; c < counts.size(); ++c) {
                const auto at = std::lower_bound(keys.begin(), keys.end(), shard_keys[c]);
                whole.trans_counts()[static_cast<std::size_t>(at - keys.begin())] += counts[c];
            }
            if (model == 2) add_align(s, blocks);
        }
        whole.maximize(host, model);
        for (ShardTrainer& s : shards) send_values(s, keys, blocks);
    }

    // The alignment values and counts of a shard's blocks, where the whole stores them.
    std::vector<std::size_t> align_positions(const ShardTrainer& s,
                                             const std::vector<BlockKey>& blocks) const {
        std::vector<std::size_t> at;
        for (const auto& b : s.block_keys()) {
            const auto k = static_cast<std::int64_t>(std::find(blocks.begin(), blocks.end(), b) -
                                                     blocks.begin());
            const std::size_t n = whole.align().block_rows(k) * whole.align().block_cols(k);
            for (std::size_t i = 0; i < n; ++i) at.push_back(whole.align().block_offset(k) + i);
        }
        return at;
    }

    void add_align(const ShardTrainer& s, const std::vector<BlockKey>& blocks) {
        const auto at = align_positions(s, blocks);
        const auto& counts = s.align_counts();
        for (std::size_t i = 0; i < at.size(); ++i) whole.align_counts()[at[i]] += counts[i];
    }

    void send_values(ShardTrainer& s, const std::vector<std::uint64_t>& keys,
                     const std::vector<BlockKey>& blocks) {
        std::vector<double> trans, align;
        for (const auto key : s.cell_keys()) {
            const auto at = std::lower_bound(keys.begin(), keys.end(), key) - keys.begin();
            trans.push_back(whole.trans().value(static_cast<std::size_t>(at)));
        }
        for (const std::size_t at : align_positions(s, blocks))
            align.push_back(whole.align().values[at]);
        std::vector<std::uint8_t> tail;
        for (const auto& b : s.block_keys()) {
            const auto k = static_cast<std::int64_t>(std::find(blocks.begin(), blocks.end(), b) -
                                                     blocks.begin());
            for (std::size_t r = 0; r < whole.align().block_rows(k); ++r)
                tail.push_back(whole.align().tail_zero[whole.align().block_first_row(k) + r]);
        }
        s.set_values(trans, align, tail);
    }
};

class Shards : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Shards, WholeIsOneProcessModel) {
    Joined j(GetParam());
    const TransTable& mine = j.whole.trans();
    const TransTable& theirs = *j.one.model->trans_dist;
    ASSERT_EQ(mine.cells(), theirs.cells());
    ASSERT_EQ(j.whole.align().values.size(), j.one.model->align_dist->values.size());
    for (std::size_t c = 0; c < mine.cells(); ++c) {
        ASSERT_EQ(mine.pattern().col(c), theirs.pattern().col(c));
        // One shard: one process's bits; two: its sums in another order.
        if (j.shards.size() == 1) {
            EXPECT_EQ(mine.value(c), theirs.value(c)) << c;
        } else {
            EXPECT_NEAR(mine.value(c), theirs.value(c), 1e-15) << c;
        }
    }
    for (std::size_t i = 0; i < j.whole.align().values.size(); ++i)
        EXPECT_NEAR(j.whole.align().values[i], j.one.model->align_dist->values[i], 1e-15);
    double total = 0.0;
    for (const ShardTrainer& s : j.shards) total += s.entropy_sum(j.quiet).total;
    EXPECT_NEAR(total / 6.0, j.one.model->calc_entropy(j.host, j.one.corpus_cells()), 1e-14);
}

INSTANTIATE_TEST_SUITE_P(Cuts, Shards, ::testing::Values(6, 2, 5));

TEST(Shards, RefuseInconsistentParts) {
    EXPECT_THROW(CooccurrencePattern::from_rows(2, 3, {0, 2, 3}, {1, 0, 2}), std::invalid_argument);
    EXPECT_THROW(CooccurrencePattern::from_rows(2, 3, {0, 1, 3}, {1, 2, 3}), std::invalid_argument);
    EXPECT_THROW(CooccurrencePattern::from_rows(2, 3, {0, 1}, {1}), std::invalid_argument);
    const std::vector<BlockKey> outside = {{0, 0}, {4, 0}};
    EXPECT_THROW(AlignTable(3, 3, outside), std::out_of_range);
    Joined j(6);
    EXPECT_THROW(j.shards[0].set_values({}, {}, {}), std::invalid_argument);
    const std::vector<std::uint64_t> unsorted = {3, 1};
    EXPECT_THROW(j.whole.make_tables(j.host, unsorted, {}), std::invalid_argument);
}

}  // namespace
