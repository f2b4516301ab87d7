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

// The host form of a corpus: a list of (source id list, target id list) tuples.
nanobind::list sent_pairs_to_list(const align::Corpus& corpus);

// Loads a corpus through the toolkit (progress display, file opening) and `module`'s logger.
align::Corpus load_corpus(align::Vocab& vocab, nanobind::handle module,
                          const std::optional<std::string>& src_path,
                          const std::optional<std::string>& trg_path, bool character_based);

}  // namespace zel::bind
