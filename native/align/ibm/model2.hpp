// IBM Model 2: Model 1 with an alignment distribution over source positions.
#pragma once

#include "align/ibm/model1.hpp"

namespace zel::align {

class Model2 : public Model1 {
public:
    using Model1::Model1;

    double calc_pair_entropy(std::span<const WordId> src, std::span<const WordId> trg,
                             std::span<const CellId> cells, bool per_word) const override;
    Columns pair_columns() const override { return Columns::weighted_by_alignment; }
    double entropy_of_columns(std::span<const double> columns, std::size_t l,
                              bool per_word) const override;
    const char* type_name() const override { return "zel.smt.align.lextwo.Model2"; }
};

class Model2Trainer : public Model1Trainer {
public:
    void init(Host& host) override;
    void init_align_dist(Host& host) override;
    void expect_step(Host& host) override;
    void maximize_step(Host& host) override;
    void setup(Host& host) override;
    void train(Host& host, std::int32_t iteration_limit) override;
    void train_step(Host& host) override;
    // Model 1's EM and then Model 2's, as train of each in turn runs them (the same log lines,
    // warnings, counts and values), with a pass over the corpus fewer when both take steps:
    // the entropy after Model 1's last step is Model 2's initial entropy, and Model 2's first
    // E-step computes it.
    void train_models(Host& host, std::int32_t iteration_limit);
    // The E-step of Model 1 (which 1) or Model 2 that also gives `entropy` the pairs' entropies
    // under the values it reads, as the EM loop's passes do: one pass over the corpus for both.
    void expect_with_entropy(Host& host, int which, CorpusEntropy& entropy);

private:
    EmSteps model2_steps(Host& host);
    void expect_counts(Host& host, CorpusEntropy* entropy, bool announce);
    void report_expectation(Host& host);
    void maximize(Host& host, CountRecovery* recovery);

    bool invalid_posteriors_ = false;  // the last E-step divided 0 by 0
    std::vector<double> saved_align_counts_;
    bool align_were_absent_ = false;
};

}  // namespace zel::align
