// IBM Model 1: translation probabilities only, every source position equally likely.
#pragma once

#include <functional>
#include <memory>

#include "align/model/em_loop.hpp"
#include "align/model/model.hpp"
#include "align/model/trainer.hpp"

namespace zel::align {

class Model1 : public Model {
public:
    using Model::Model;

    double calc_pair_entropy(std::span<const WordId> src, std::span<const WordId> trg,
                             std::span<const CellId> cells, bool per_word) const override;
    Columns pair_columns() const override { return Columns::translation; }
    double entropy_of_columns(std::span<const double> columns, std::size_t l,
                              bool per_word) const override;
    const char* type_name() const override { return "zel.smt.align.lexone.Model1"; }
};

// How each model's EM phase reads in the log, on every road.
inline EmLog model1_log() { return {Channel::model1, "start training IBM Model 1", "step", ""}; }
inline EmLog model2_log() { return {Channel::model2, "start training IBM Model 2", "step", ""}; }

class Model1Trainer : public Trainer {
public:
    void init(Host& host) override;
    void init_trans_dist(Host& host) override;
    void expect_step(Host& host) override;
    void maximize_step(Host& host) override;
    void setup(Host& host) override;
    void train(Host& host, std::int32_t iteration_limit) override;
    void train_step(Host& host) override;

    // Keeps only the translation cells whose value is at least `threshold` (the others read
    // `floor` from then on; see keep_cells_from) and lets go of the counts of the last E-step
    // and of the pair cell index, which index_cells makes again before the next pass. Returns
    // the cells kept.
    std::size_t keep_cells(double threshold, double floor);
    void index_cells(Host& host);

protected:
    // Makes the pair cell index of `pattern` (`pruned` of cells the corpus has, when so)
    // within the memory this trainer may use.
    void index_pairs(Host& host, std::shared_ptr<const CooccurrencePattern> pattern,
                     const SourceOccurrences& occ, bool pruned);

    // One model's EM steps, as its own train_step runs them (never a subclass's).
    struct EmSteps {
        std::function<void()> announce;  // the E-step's log lines
        // The E-step's counts (and the entropy, when asked), with its log lines when asked.
        std::function<void(CorpusEntropy*, bool)> expect;
        std::function<void()> report;                  // its warnings
        std::function<void(CountRecovery*)> maximize;  // the M-step
        // Whether the E-step can sum the columns of the model's entropy.
        std::function<bool()> sums_entropy;
        // Whether what the E-step replaces can be brought back (and notes what it is).
        std::function<bool()> keep;
        std::function<void()> recover;  // brings back what keep noted
    };
    // One model's EM phase on this trainer, as the shared EM loop runs it. `next`, when given,
    // are the steps of the phase that runs on this trainer right after this one, with the same
    // limit, from the distributions this one leaves: its initial entropy is this phase's last,
    // so that phase's first E-step computes it here and hands it on (`carried_entropy_`).
    void run_phase(Host& host, const EmLog& log, std::int32_t iteration_limit, const EmSteps& steps,
                   const EmSteps* next = nullptr);
    EmSteps model1_steps(Host& host);
    // The E-step (its log lines when `announce`); with `entropy`, also the entropy of the
    // distributions it reads, as the model's calc_entropy gives it.
    void expect_counts(Host& host, CorpusEntropy* entropy, bool announce);
    void maximize(Host& host, CountRecovery* recovery);
    bool keep_cell_counts();
    void recover_cell_counts();

    class Phase;

    CountRecovery recovery_;
    bool counts_were_absent_ = false;
    std::unique_ptr<CorpusEntropy> carried_entropy_;
};

}  // namespace zel::align
