#include "align/sampler/fertility_trainer.hpp"

#include <array>
#include <string>

#include "common/errors.hpp"

namespace zel::align {

void FertilityTrainer::train(Host& host) {
    HmmTrainer::train(host);
    if (sized_) {
        gibbs_.iterations = gibbs_.fertility_iterations =
            default_sampling_iterations(forward_.sent_pairs->size());
    }
    if (gibbs_.iterations <= 0 && gibbs_.fertility_iterations <= 0) return;  // the HMM as is
    const std::array<Model1Trainer*, 2> both{&forward_, &backward_};
    std::array<std::vector<std::uint32_t>, 2> start;
    std::vector<SamplerInput> inputs;
    for (std::size_t d = 0; d < 2; ++d) {
        start[d] = passes().best_positions(host, static_cast<int>(d));
        const Model1Trainer& t = *both[d];
        const TransTable& table = *t.model->trans_dist;
        // The HMM's last counts give way to the chains' sums (see SamplerInput).
        both[d]->count_cooc_src2trg.reset();
        inputs.push_back({*t.sent_pairs, *t.pair_cells, table.pattern().cells(), table.rows(),
                          table.cols(), start[d], t.model->trans_dist});
    }
    host.info(Channel::hmm, "----");
    host.info(Channel::hmm,
              "sampling the HMM with fertility from its links: " + std::to_string(gibbs_.chains) +
                  " chains of " + std::to_string(gibbs_.iterations) + " + " +
                  std::to_string(gibbs_.fertility_iterations) + " iterations, seed " +
                  std::to_string(gibbs_.seed));
    auto sampled =
        naming_memory("sampling", [&] { return sample_directions(host, inputs, gibbs_); });
    for (std::size_t d = 0; d < 2; ++d) {
        TransTable& table = *both[d]->model->trans_dist;
        const CellCounts& values = sampled[d].values;
        for (std::size_t c = 0; c < values.size(); ++c) table.set_value(c, values[c]);
        // The defaults are what a cell without counts holds, pruned ones included.
        table.row_default = std::move(sampled[d].row_default);
        table.floor = 0.0;
        jumps_[d] = sampled[d].jumps;
        const Marginals& marginals = sampled[d].marginals;
        host.debug(Channel::hmm, "link marginals, " + std::string(d == 0 ? "src-trg" : "trg-src") +
                                     ": " + std::to_string(marginals.memory_bytes() >> 20) +
                                     " MiB, " + std::to_string(marginals.crowded()) +
                                     " target words with more than " +
                                     std::to_string(Marginals::kSlots) + " positions");
        sampled_[d].emplace(std::move(sampled[d].marginals));
    }
}

}  // namespace zel::align
