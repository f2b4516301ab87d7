// The HMM's training settings as its aligners' constructors take them, checked once for both.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>

#include "align/hmm/trainer.hpp"

namespace zel::bind {

// ValueError (named) for a negative iteration count, a prior that is not a finite number >= 0,
// a NULL probability outside [0, 1) or a pruning threshold outside [0, 1].
align::HmmSettings hmm_settings(nanobind::handle src_path, nanobind::handle trg_path,
                                std::int32_t model1_iterations, std::int32_t iterations,
                                bool agreement, double prior, std::optional<double> null_prob,
                                std::optional<double> prune, bool character);

}  // namespace zel::bind
