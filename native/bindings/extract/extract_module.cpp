// zel.smt.trans_models._extract: the native road from a word-aligned corpus to a Moses phrase
// table (see zel.smt.trans_models.extract).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "bindings/support.hpp"
#include "common/errors.hpp"
#include "extract/phrase_table.hpp"

namespace nb = nanobind;

NB_MODULE(_extract, m) {
    m.doc() = "Phrase pairs extracted from a word-aligned corpus, counted and scored.";
    zel::bind::init_module(m);
    m.def(
        "build_phrase_table",
        [](nb::handle src, nb::handle trg, nb::handle links, nb::handle out, std::size_t max_length,
           std::size_t memory_bytes, nb::handle temp_folder, std::size_t pairs_hint) {
            zel::extract::ExtractSettings settings;
            settings.max_length = max_length;
            settings.memory_bytes = memory_bytes;
            settings.temp_folder = zel::bind::path_argument(temp_folder);
            settings.pairs_hint = pairs_hint;
            const std::string table = zel::bind::path_argument(out);
            const auto r = zel::naming_memory("making the phrase table " + table, [&] {
                return zel::extract::build_phrase_table(
                    zel::bind::toolkit_host(), zel::bind::path_argument(src),
                    zel::bind::path_argument(trg), zel::bind::path_argument(links), table,
                    settings);
            });
            nb::dict report;
            report["pairs"] = r.pairs;
            report["instances"] = r.instances;
            report["phrase_pairs"] = r.phrase_pairs;
            report["runs"] = r.runs;
            return report;
        },
        nb::arg("src"), nb::arg("trg"), nb::arg("links"), nb::arg("out"), nb::arg("max_length"),
        nb::arg("memory_bytes"), nb::arg("temp_folder"), nb::arg("pairs_hint") = 0,
        "Writes the phrase table of a word-aligned corpus; returns counts of what was done.");
}
