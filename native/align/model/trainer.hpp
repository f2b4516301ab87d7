// The EM trainer base: owns the model, the corpus and the expected counts of the last E-step.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "align/corpus/cooccurrence.hpp"
#include "align/corpus/corpus.hpp"
#include "align/model/model.hpp"
#include "common/host.hpp"

namespace zel::align {

// The dimensions a trainer's tables are made for: its vocabularies' sizes and longest
// sentences (NULL word included).
struct TableShape {
    std::size_t n_src = 0, n_trg = 0, s_max = 0, t_max = 0;
};

// ZEL_PAIR_INDEX_BUDGET_MB, the memory of the pair cell index in MiB (fractions allowed; 0 or
// below: no index), or unset when the variable is; a value that is not a number is a
// ValueError naming the variable.
std::optional<std::size_t> pair_cells_budget_from_environment();

class Trainer {
public:
    Trainer() = default;
    virtual ~Trainer() = default;
    Trainer(const Trainer&) = delete;
    Trainer& operator=(const Trainer&) = delete;

    // Abstract in the base (NotImplemented); the model trainers create their model here.
    virtual void init(Host& host);
    virtual void init_trans_dist(Host& host);
    virtual void init_align_dist(Host& host);
    virtual void expect_step(Host& host);
    virtual void maximize_step(Host& host);
    virtual void save_align_dist(Host& host, const std::string& path,
                                 const Threshold& threshold) const;
    virtual void save_trans_dist(Host& host, const std::string& path, const Threshold& threshold,
                                 std::int64_t nbest) const;
    // Loads the corpus once and reports the vocabulary.
    virtual void setup(Host& host);
    virtual void train(Host& host, std::int32_t iteration_limit);
    // One EM iteration: E-step then M-step, or setup when nothing is initialised yet.
    virtual void train_step(Host& host);

    // The corpus with its cells, for the model's corpus-wide operations.
    CorpusCells corpus_cells() const;
    // The dimensions of the tables setup makes: `shape` when set, else the vocabulary's.
    TableShape table_shape() const;

    std::shared_ptr<Model> model;
    std::optional<std::string> src_path, trg_path;
    // Set for a trainer of one part of a larger corpus, whose word ids and tables are the whole
    // corpus's: the dimensions of the whole.
    std::optional<TableShape> shape;
    std::optional<Corpus> sent_pairs;
    bool character_based = false;
    std::optional<CellCounts> count_cooc_src2trg;            // one per pattern cell
    std::optional<std::vector<double>> count_align_trg2src;  // one per stored alignment cell

    // Where the cells of each pair are; made with the translation distribution.
    std::unique_ptr<PairCells> pair_cells;
    // Whether the counts are those the last M-step re-estimated from, as its CountRecovery
    // describes them, and whether the alignment counts are as that step saved them (see
    // Model1Trainer::run_phase).
    bool counts_recoverable = false;
    bool align_counts_saved = false;
    // Whether the translation table keeps its cells' counts beside their values, which makes
    // E-steps faster; only training needs it.
    bool count_slots = true;
    // Memory the pair cell index may take (beyond it, cells are searched for); unset, it
    // follows the memory the process may still use (see pair_index_budget).
    std::optional<std::size_t> pair_cells_budget = pair_cells_budget_from_environment();
    // Models trained together in this process whose tables are not made yet, this one's
    // included: the pair cell index counts on its share of the memory left.
    std::size_t memory_share = 1;
    // The pair cell index as ranks (2 bytes a position pair) even where cells (4 bytes) would
    // fit: for models that keep several corpora's tables at once.
    bool compact_index = false;
    // The memory a model takes after its EM training, given the corpus and the cells of its
    // pattern, which the pair cell index leaves free.
    std::function<std::size_t(const Corpus&, std::size_t)> later_bytes;
};

}  // namespace zel::align
