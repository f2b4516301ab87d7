// The HMM with fertility, sampled: the HMM trained by agreement as HmmTrainer trains it, then
// each direction sampled from its Viterbi links (see gibbs.hpp). The sampled model takes the
// HMM's place: its point estimates become the translation and jump tables the files hold, and
// its link marginals the posteriors its links come from.
#pragma once

#include "align/hmm/trainer.hpp"
#include "align/sampler/gibbs.hpp"

namespace zel::align {

class FertilityTrainer : public HmmTrainer {
public:
    // With `sized`, the iterations of each sampling phase follow the corpus's size
    // (default_sampling_iterations) instead of `gibbs`.
    FertilityTrainer(HmmSettings hmm, GibbsSettings gibbs, bool sized)
        : HmmTrainer(std::move(hmm)), gibbs_(gibbs), sized_(sized) {}

    // An interruption while sampling keeps the HMM as its iterations left it, and so do
    // sampling phases of no iterations.
    void train(Host& host) override;

protected:
    std::size_t memory_after_training(const Corpus& corpus, std::size_t cells) const override {
        return sampling_memory(corpus, cells);
    }

private:
    GibbsSettings gibbs_;
    bool sized_;
};

}  // namespace zel::align
