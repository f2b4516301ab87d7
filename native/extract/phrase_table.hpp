// A Moses phrase table from a word-aligned corpus: phrase pairs extracted, counted and scored.
//
// Each line: source ||| target ||| p(f|e) lex(f|e) p(e|f) lex(e|f) ||| points ||| c(e) c(f)
// c(f,e), sorted by source side then target side in byte order. The lexical weights read the
// pair's most frequent internal alignment (of several as frequent, the least in byte order),
// from lexical translation tables estimated on the links, unaligned words counted against
// NULL. Numbers are written as the records print them, so a record reads every line back and
// prints it unchanged.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/host.hpp"

namespace zel::extract {

struct ExtractSettings {
    std::size_t max_length = 7;
    std::size_t memory_bytes = std::size_t{1} << 30;  // for each sort's batch in memory
    std::string temp_folder;                          // where sort runs are written
    std::size_t pairs_hint = 0;                       // pairs expected, for the progress display
};

struct ExtractReport {
    std::size_t pairs = 0;         // sentence pairs read
    std::size_t instances = 0;     // phrase pairs extracted, repeats included
    std::size_t phrase_pairs = 0;  // lines written
    std::size_t runs = 0;          // sort runs written to the temporary folder
};

// Reads the corpus and its links (three files of lines, in lock step; as many pairs as the
// shortest has) and writes the phrase table to `out`. Bad input is a ValueError or DecodeError
// naming file and line; the output is complete or not written.
ExtractReport build_phrase_table(Host& host, const std::string& src_path,
                                 const std::string& trg_path, const std::string& links_path,
                                 const std::string& out_path, const ExtractSettings& settings);

}  // namespace zel::extract
