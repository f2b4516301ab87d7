// Training the HMM alignment model in both directions at once, from IBM Model 1 translation
// probabilities, by EM or by agreement of the two directions (see passes.hpp).
//
// With a prior a > 0 the translation M-step is variational Bayes with a symmetric Dirichlet
// prior (normalize_rows_vb), which pushes rare words towards few translations.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "align/hmm/passes.hpp"
#include "align/model/em_loop.hpp"
#include "common/host.hpp"

namespace zel::align {

// A jump file as HmmTrainer::save_jumps writes it; a line that is not one of its lines is a
// ValueError naming the file and line.
JumpTable read_jumps(Host& host, const std::string& path);

// ValueError naming `path` and the words unless `p`, t(trg | src) as a file gives it, lies in
// [0, 1]: other values come from a damaged file and give no links (negative) or posteriors that
// overflow (huge).
void check_probability(const std::string& path, std::string_view src, std::string_view trg,
                       double p);

// How the HMM's iterations read in the log, on every road.
inline EmLog hmm_log(bool agreement) {
    return {Channel::hmm, "", "HMM step", agreement ? " (by agreement)" : ""};
}

struct HmmSettings {
    std::optional<std::string> src_path, trg_path;
    bool character_based = false;
    std::int32_t model1_iterations = 5;
    std::int32_t hmm_iterations = 5;
    bool agreement = true;
    double prior = 0.0;               // Dirichlet a of the translation tables; 0: plain EM
    std::optional<double> null_prob;  // fixed p0; unset: estimated, starting from 0.2
    // Translation cells below this after Model 1 are left out of the HMM's tables, which read
    // this value for them from then on: a large corpus keeps a small share of its cells, and
    // its tables and pair index shrink with them. 0 keeps every cell; unset, the model's
    // default_prune.
    std::optional<double> prune;
    std::optional<std::size_t> pair_cells_budget;  // see Trainer::pair_cells_budget
};

class HmmTrainer {
public:
    explicit HmmTrainer(HmmSettings settings) : settings_(std::move(settings)) {}
    virtual ~HmmTrainer() = default;
    HmmTrainer(const HmmTrainer&) = delete;
    HmmTrainer& operator=(const HmmTrainer&) = delete;

    // Loads the corpus both ways, runs the Model 1 iterations of each direction, then the HMM
    // iterations. An interruption between iterations keeps the model of the last one done.
    virtual void train(Host& host);
    // Reads both directions' translation and jump files (source-to-target first) instead, to
    // score and align the corpus with them.
    void load(Host& host, const std::array<std::string, 2>& trans,
              const std::array<std::string, 2>& jumps);
    bool trained() const { return trained_; }
    // ValueError unless a model exists (train() or load() got that far).
    void require_model() const;

    // Direction 0 is source to target, 1 target to source.
    const Model1Trainer& direction(int d) const { return d == 0 ? forward_ : backward_; }
    const JumpTable& jumps(int d) const { return jumps_[static_cast<std::size_t>(d)]; }
    const std::vector<double>& entropies(int d) const {
        return entropies_[static_cast<std::size_t>(d)];
    }

    // The jump file: "null<TAB>p0", then "width<TAB>weight" from -kJumpBound to kJumpBound.
    void save_jumps(Host& host, int d, const std::string& path) const;
    // The corpus passes (links, scores) under the model; ValueError unless there is one.
    HmmPasses passes() const {
        require_model();
        return {forward_,
                backward_,
                jumps_,
                {sampled_[0] ? &*sampled_[0] : nullptr, sampled_[1] ? &*sampled_[1] : nullptr}};
    }

protected:
    // The memory one direction's model takes after the HMM's training, given its corpus and
    // the cells of its pattern.
    virtual std::size_t memory_after_training(const Corpus&, std::size_t) const { return 0; }
    // The pruning threshold for a corpus of `pairs` when the settings leave it unset: none, as
    // the HMM alone finds links among cells Model 1 rates low, and loses them when pruned.
    virtual double default_prune(std::size_t) const { return 0.0; }

    Model1Trainer forward_, backward_;
    std::array<JumpTable, 2> jumps_{JumpTable::start(std::nullopt), JumpTable::start(std::nullopt)};
    // A sampled model's link marginals, which its links come from.
    std::array<std::optional<Marginals>, 2> sampled_;

private:
    class Phase;

    // ValueError when train() or load() ran already; marks that one runs now.
    void start_once();
    // Direction d's trainer, made for the corpus read its way.
    void start(Host& host, int d);
    // ValueError unless both directions read the same pairs.
    void check_pairs() const;
    void maximize(std::array<JumpCounts, 2>& jumps);
    // Direction d's translation cells below `threshold` left out (see HmmSettings::prune).
    void prune(Host& host, int d, double threshold);

    HmmSettings settings_;
    std::array<std::vector<double>, 2> entropies_;
    bool trained_ = false;
    bool started_ = false;  // train() or load() was called: they run once
};

}  // namespace zel::align
