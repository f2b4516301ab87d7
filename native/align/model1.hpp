// IBM Model 1: translation probabilities only, every source position equally likely.
#pragma once

#include <functional>

#include "align/model.hpp"
#include "align/trainer.hpp"

namespace zel::align {

class Model1 : public Model {
public:
    using Model::Model;

    double calc_pair_entropy(std::span<const WordId> src, std::span<const WordId> trg,
                             std::span<const CellId> cells, bool per_word) const override;
    const char* type_name() const override { return "zel.smt.align.lexone.Model1"; }
};

class Model1Trainer : public Trainer {
public:
    void init(Host& host) override;
    void init_trans_dist(Host& host) override;
    void expect_step(Host& host) override;
    void maximize_step(Host& host) override;
    void setup(Host& host) override;
    void train(Host& host, std::int32_t iteration_limit) override;
    void train_step(Host& host) override;

protected:
    // The EM loop shared by both models; `step` runs one iteration of the caller's model.
    void run_em(Host& host, Channel channel, const char* title, std::int32_t iteration_limit,
                const std::function<void()>& step);
};

}  // namespace zel::align
