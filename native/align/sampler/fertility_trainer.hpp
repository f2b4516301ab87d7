// The HMM with fertility, sampled: the HMM trained by agreement as HmmTrainer trains it, then
// each direction sampled from its Viterbi links (see gibbs.hpp). The sampled model takes the
// HMM's place: its point estimates become the translation and jump tables the files hold, and
// its link marginals the posteriors its links come from.
#pragma once

#include "align/hmm/trainer.hpp"
#include "align/sampler/gibbs.hpp"

namespace zel::align {

// The HMM's pruning threshold before sampling by default, and the corpus size from which it
// applies. On generated corpora of 100,000 and a million pairs, pruning at 1e-6 keeps 30% and
// 3-5% of the cells, and the links' error against the true links stays as it was (0.0231 to
// 0.0227, 0.0222 to 0.0221); on the gold sets of 150 to 10,447 pairs it costs 0.004-0.007, so
// smaller corpora keep every cell.
inline constexpr double kSampledPrune = 1e-6;
inline constexpr std::size_t kSampledPruneFrom = 100000;

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
    // kSampledPrune from kSampledPruneFrom pairs: the sampling draws links at any cell, and at
    // that size loses none it needs.
    double default_prune(std::size_t pairs) const override {
        return pairs >= kSampledPruneFrom ? kSampledPrune : 0.0;
    }

private:
    GibbsSettings gibbs_;
    bool sized_;
};

}  // namespace zel::align
