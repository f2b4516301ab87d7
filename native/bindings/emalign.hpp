// Registration functions of the zel.smt.align.emalign module, one per area. Each adds its
// classes to the module and its internal entry points to `capi`, the table of C entry points
// (name -> capsule) that the sibling modules read at import as the module's ``__capi__``.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "align/corpus.hpp"
#include "align/vocab.hpp"

namespace zel::bind {

void register_vocab(nanobind::module_& m, nanobind::dict capi);
void register_array_helpers(nanobind::module_& m, nanobind::dict capi);

}  // namespace zel::bind
