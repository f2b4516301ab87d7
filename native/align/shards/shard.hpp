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
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "align/hmm/passes.hpp"
#include "align/ibm/model2.hpp"
#include "common/quiet_host.hpp"

namespace zel::align {

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

}  // namespace zel::align
