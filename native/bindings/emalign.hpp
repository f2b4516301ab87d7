// Registration functions of the zel.smt.align.emalign module, one per area.
#pragma once

#include <nanobind/nanobind.h>

namespace zel::bind {

void register_vocab(nanobind::module_& m);

// Adds the exported table of native array helpers (grid_indices, sub_matrix, normalize).
void register_array_helpers(nanobind::module_& m);

}  // namespace zel::bind
