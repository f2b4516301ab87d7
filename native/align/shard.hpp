// One corpus trained as shards in several processes: each shard is trained with the arithmetic
// of one process (the same pair-by-pair E-step, entropies and decoding), in the word ids of the
// whole corpus; ranges of the whole's rows add up their counts and re-estimate, and one model
// of the whole writes the files.
//
// Ids are those one process gives the whole corpus (order of first appearance) when the whole
// registers each shard's first appearances in shard order; its cells are the union of the
// shards' cells, in the order of one process's pattern, and its alignment blocks the shards'
// in shard order. So with a single shard every count, value and file equals one process's.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "align/hmm_passes.hpp"
#include "align/model2.hpp"

namespace zel::align {

// A host for work done away from the user: files in memory, no messages, no progress display,
// and floating-point events kept (as FE_* flags) for the caller to report.
class QuietHost : public Host {
public:
    explicit QuietHost(std::function<void()> check = {}) : check_(std::move(check)) {}

    std::map<std::string, std::string> files;  // path -> content, read and written
    int raised = 0;

    void log(Channel, Level, std::string_view) override {}
    std::unique_ptr<ByteSource> open_read(const std::optional<std::string>& path,
                                          std::optional<std::string_view>) override;
    std::unique_ptr<ByteSink> open_write(const std::string& path) override;
    std::unique_ptr<Progress> progress(std::string_view, std::size_t) override;
    void check_interrupt() override {
        if (check_) check_();
    }
    void float_event(FloatEvent event) override;

private:
    std::function<void()> check_;
};

using BlockKey = AlignTable::BlockKey;

// Reports to `host`, as events of `operation`, the FE_* flags a QuietHost kept.
void report_raised(Host& host, int raised, FloatEvent::Operation operation);

class ShardTrainer {
public:
    // Reads the shard's pairs from the lines of the two texts (as many pairs as the shorter
    // has), its words numbered in order of first appearance (the NULL word first). `model` is
    // the model whose entropy the shard computes: 2 for IBM Model 2 (trained first as a Model
    // 1), 1 for a Model 1 of its own (as the HMM starts from).
    ShardTrainer(QuietHost& host, std::string src_text, std::string trg_text, bool character_based,
                 int model = 2);

    // The shard's words, by their ids in the shard.
    std::vector<std::string_view> words(bool source) const;
    std::size_t pairs() const;
    std::size_t target_words() const;
    std::size_t max_src_len() const;
    std::size_t max_trg_len() const;

    // Renumbers the words with the whole corpus's ids (the shard's id k becomes src_ids[k] or
    // trg_ids[k]) and makes the shard's tables in the whole's dimensions, as one process
    // would make them for these pairs.
    void join(QuietHost& host, std::span<const WordId> src_ids, std::span<const WordId> trg_ids,
              const TableShape& whole);
    bool joined() const { return trainer_.model->trans_dist != nullptr; }

    // The shard's cells as s * n_trg + t, in its table's order (ascending), and its alignment
    // blocks in its table's order.
    std::vector<std::uint64_t> cell_keys() const;
    // The number of the shard's cells in each row of the whole.
    std::vector<std::uint64_t> row_lengths() const;
    std::vector<BlockKey> block_keys() const;

    // The whole's current values of the shard's cells (in cell_keys order, given in pieces
    // one after the other) and of its stored alignment values and rows (in block_keys order).
    void set_values(std::span<const std::span<const double>> trans, std::span<const double> align,
                    std::span<const std::uint8_t> tail_zero);
    // The translation values only, for a shard without alignment values (the HMM's).
    void set_trans_values(std::span<const std::span<const double>> trans);

    // The sum of the pairs' entropies under the current values.
    Model::EntropySum entropy_sum(QuietHost& host) const;
    // An E-step of IBM Model 1 (model 1) or 2, with the sum of the pairs' entropies under the
    // values it reads (as entropy_sum gives it); the counts are then trans_counts(), one per
    // cell, and for Model 2 align_counts(), one per stored alignment value.
    Model::EntropySum expect(QuietHost& host, int model);
    std::vector<double> trans_counts() const;
    const std::vector<double>& align_counts() const;

    // The pairs' scores and decoded links, as the lines one process writes for them.
    std::string scores(QuietHost& host, bool keep_links);
    std::string decoded(QuietHost& host);

    // The shard's trainer, for the HMM's passes over a shard read both ways.
    Model1Trainer& trainer();
    const Model1Trainer& trainer() const;

private:
    void require_joined() const;
    void require_alignment() const;  // joined, and a Model 2's

    Model2Trainer trainer_;
    int model_;
    DecodedLinks links_;
};

// What an E-step of the HMM over a shard gives beside the shards' translation counts (then
// trans_counts() of each direction's shard): each direction's sum of the pairs'
// log-likelihoods, in pair order, and jump counts.
struct HmmShardStep {
    std::array<double, 2> logs{};
    std::array<JumpCounts, 2> jumps{};
};
// `forward` and `backward` are one shard read source to target and target to source.
HmmShardStep hmm_expect(QuietHost& host, ShardTrainer& forward, ShardTrainer& backward,
                        const std::array<JumpTable, 2>& tables, bool agreement);

// The lines of a shard's HMM outputs, as one process writes them for its pairs: each
// direction's Viterbi links and (when asked) scores, the symmetrised links, and the posterior
// links when a threshold is given.
struct HmmShardTexts {
    std::array<std::string, 2> links, scores;
    std::string symmetrized, posterior;
};
HmmShardTexts hmm_outputs(QuietHost& host, const ShardTrainer& forward,
                          const ShardTrainer& backward, const std::array<JumpTable, 2>& tables,
                          links::Heuristic heuristic, bool scores,
                          std::optional<double> posterior_threshold);

// The union of sorted, distinct lists of cell keys s * n_trg + t of rows [first, first + count),
// and where each list's keys lie in it.
struct KeyUnion {
    std::vector<std::uint64_t> keys;
    std::vector<std::vector<std::uint32_t>> positions;  // per list, per key
};
KeyUnion merge_keys(std::span<const std::span<const std::uint64_t>> lists, std::size_t first,
                    std::size_t count, std::size_t n_trg);

// Rows [first, first + count) of the whole's translation table, re-estimated apart from the
// other rows. A row's re-estimation reads only that row's cells and counts, so any cut of the
// rows into ranges gives the whole's values bit for bit. The values are passed in and given
// back rather than kept, so a range's re-estimation is a pure function of its inputs (what a
// cluster needs to make it again after losing it).
class RowRange {
public:
    struct Values {
        std::vector<double> values;       // one per cell
        std::vector<double> row_default;  // one per row: the value of the row's other cells
        // One per cell: those of the M-step that made the values (none before the first).
        std::optional<std::vector<double>> counts;
    };

    // The cells given as sorted, distinct keys s * n_trg + t, every s in the range.
    RowRange(std::size_t first, std::size_t count, std::size_t n_trg,
             std::span<const std::uint64_t> keys);

    std::size_t first() const { return first_; }
    std::size_t cells() const { return pattern_->cells(); }
    const CooccurrencePattern& pattern() const { return *pattern_; }
    std::vector<std::uint64_t> keys() const;

    // Every value 1 / n_trg, as a table starts.
    Values initial() const;
    // The values after an M-step from these: the counts of each cell are the shards' counts
    // added up in shard order (shard k's count i belongs to cell positions[k][i]); rows whose
    // total is positive become counts / total, the others keep theirs. With a `prior` above 0,
    // every row is re-estimated by variational Bayes instead (normalize_rows_vb).
    Values maximize(std::span<const double> values, std::span<const double> row_default,
                    std::span<const std::span<const std::uint32_t>> positions,
                    std::span<const std::span<const double>> counts, double prior = 0.0) const;

    // The lines of the translation file for these rows under `v`, as the whole's file has
    // them: `src_words` are the rows' words, `trg_words` all target words. `with_counts`: the
    // trainer's file, with each cell's count (`v` has them), else the model's, without.
    std::string trans_lines(Values v, std::span<const std::string> src_words,
                            std::span<const std::string> trg_words, const Threshold& threshold,
                            std::int64_t nbest, bool with_counts = true) const;

private:
    std::size_t first_;
    std::shared_ptr<const CooccurrencePattern> pattern_;
};

// The whole's alignment table, re-estimated apart from the translation table (the same
// passing of values in and out).
class AlignRows {
public:
    struct Values {
        std::vector<double> values;
        std::vector<std::uint8_t> tail_zero;
    };

    AlignRows(std::size_t s_max, std::size_t t_max, std::span<const BlockKey> blocks);

    Values initial() const;
    Values maximize(std::span<const double> values, std::span<const std::uint8_t> tail_zero,
                    const std::vector<double>& counts) const;

private:
    AlignTable start_;
};

// The model of the whole corpus, in the process that writes the files: its vocabulary, made
// from the shards' words, and the alignment table its alignment rows give it at the end (the
// row ranges write their own lines of the translation file).
class WholeTrainer {
public:
    explicit WholeTrainer(Host& host);

    // Registers the words of a shard (its first appearances, in order) and gives their ids.
    std::vector<WordId> add_words(bool source, std::span<const std::string> words);
    // A shard's longest sentences (NULL word included on the source side).
    void add_lengths(std::size_t src_len, std::size_t trg_len);
    TableShape shape() const { return trainer_.table_shape(); }

    // The words of ids [first, first + count) of one side.
    std::vector<std::string> words(bool source, std::size_t first, std::size_t count) const;

    // Makes the alignment table from its blocks; its values are then set through align(), and
    // the counts of the last M-step, which the file shows beside them, through align_counts()
    // (zero until set).
    void make_align(std::span<const BlockKey> blocks);
    AlignTable& align();
    const AlignTable& align() const;
    std::span<double> align_counts();

    void save_align(Host& host, const std::string& path, const Threshold& threshold) const;

private:
    Model2Trainer trainer_;
};

}  // namespace zel::align
