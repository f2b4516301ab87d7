#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "align/corpus/vocab.hpp"
#include "bindings/align/align_classes.hpp"
#include "bindings/align/emalign.hpp"
#include "bindings/capi.hpp"
#include "bindings/support.hpp"

namespace nb = nanobind;

namespace zel::bind {

namespace {

nb::object load_sent_pairs(align::Vocab& vocab, std::optional<std::string> src_path,
                           std::optional<std::string> trg_path, bool character_based) {
    return sent_pairs_to_list(
        vocab.load_sent_pairs(toolkit_host(), src_path, trg_path, character_based));
}

// Loads without building the host lists and reports sizes: what benchmarks need.
nb::dict load_corpus_summary(align::Vocab& vocab, std::optional<std::string> src_path,
                             std::optional<std::string> trg_path, bool character_based) {
    const align::Corpus corpus =
        vocab.load_sent_pairs(toolkit_host(), src_path, trg_path, character_based);
    nb::dict d;
    d["pairs"] = corpus.size();
    d["src_tokens"] = corpus.src_tokens();
    d["trg_tokens"] = corpus.trg_tokens();
    d["corpus_bytes"] = corpus.memory_bytes();
    d["vocab_bytes"] = vocab.src_enum.memory_bytes() + vocab.trg_enum.memory_bytes();
    d["src_words"] = vocab.src_enum.size();
    d["trg_words"] = vocab.trg_enum.size();
    d["max_src_len"] = vocab.max_src_len;
    d["max_trg_len"] = vocab.max_trg_len;
    return d;
}

std::pair<std::string, std::string> ids_pair_to_str_pair(const align::Vocab& vocab,
                                                         const std::vector<align::WordId>& src_ids,
                                                         const std::vector<align::WordId>& trg_ids,
                                                         bool character_based) {
    return vocab.ids_pair_to_str_pair(src_ids, trg_ids, character_based);
}

}  // namespace

void register_vocab(nb::module_& m, nb::dict capi) {
    auto cls = nb::class_<align::Vocab>(
        m, "Vocab",
        "Source and target vocabularies of a parallel corpus, and its reading into word ids.",
        Instances<align::Vocab>::slots());
    cls.def("__init__", [](nb::handle) {});
    refuse_pickling(cls);

    capi["load_sent_pairs"] = make_capi_entry<&load_sent_pairs>(
        "load_sent_pairs", "zel.smt.align.emalign.load_sent_pairs");
    capi["load_corpus_summary"] = make_capi_entry<&load_corpus_summary>(
        "load_corpus_summary", "zel.smt.align.emalign.load_corpus_summary");
    capi["ids_pair_to_str_pair"] = make_capi_entry<&ids_pair_to_str_pair>(
        "ids_pair_to_str_pair", "zel.smt.align.emalign.ids_pair_to_str_pair");
}

}  // namespace zel::bind
