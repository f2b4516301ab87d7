#include "bindings/align/hmm_settings.hpp"

#include <cmath>

#include "bindings/support.hpp"

namespace nb = nanobind;

namespace zel::bind {

align::HmmSettings hmm_settings(nb::handle src_path, nb::handle trg_path,
                                std::int32_t model1_iterations, std::int32_t iterations,
                                bool agreement, double prior, std::optional<double> null_prob,
                                std::optional<double> prune, bool character) {
    if (model1_iterations < 0 || iterations < 0)
        throw nb::value_error("iteration counts must not be negative");
    if (!(prior >= 0.0) || !std::isfinite(prior))
        throw nb::value_error("prior must be a finite number >= 0");
    if (null_prob && !(*null_prob >= 0.0 && *null_prob < 1.0))
        throw nb::value_error("null_prob must be in [0, 1)");
    if (prune && !(*prune >= 0.0 && *prune <= 1.0))
        throw nb::value_error("prune must be in [0, 1]");
    align::HmmSettings s;
    s.src_path = path_argument(src_path);
    s.trg_path = path_argument(trg_path);
    s.model1_iterations = model1_iterations;
    s.hmm_iterations = iterations;
    s.agreement = agreement;
    s.prior = prior;
    s.null_prob = null_prob;
    s.prune = prune;
    s.character_based = character;
    s.pair_cells_budget = align::pair_cells_budget_from_environment();
    return s;
}

}  // namespace zel::bind
