// Registration functions of the zel.smt.align.emalign module, one per area. Each adds its
// classes to the module and its internal entry points to `capi`, the table of C entry points
// (name -> capsule) that the sibling modules read at import as the module's ``__capi__``.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "align/corpus/corpus.hpp"
#include "align/corpus/vocab.hpp"

namespace zel::bind {

void register_vocab(nanobind::module_& m, nanobind::dict capi);
void register_array_helpers(nanobind::module_& m, nanobind::dict capi);

// Host-callable functions of the training and scoring roads.
nanobind::object check_train_config(nanobind::handle conf);
nanobind::object train_emalign(nanobind::handle conf, nanobind::kwargs others);
nanobind::object create_train_parser();
nanobind::object train_model(nanobind::handle parser, nanobind::handle train_func);
nanobind::object main_train();
nanobind::object check_test_config(nanobind::handle conf);
nanobind::object score_ibm_model(nanobind::handle conf, nanobind::kwargs others);
nanobind::object create_score_parser();
nanobind::object score_model(nanobind::handle parser, nanobind::handle score_func);
nanobind::object main_score();

}  // namespace zel::bind
