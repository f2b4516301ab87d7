// The translation and alignment distribution files: written from a model (and a trainer's
// counts) and read back into a model.
//
// A line is split at every tab after its line ending ("\n" or "\r\n") is removed; nothing
// else is stripped, so a field that is an empty word (possible in word mode) keeps its place.
// Lines with another number of fields than the format's are skipped.
#pragma once

#include <string>

#include "align/corpus/vocab.hpp"
#include "align/model/model.hpp"
#include "common/host.hpp"

namespace zel::align {

class CellCounts;

// Writers of the two distribution files, shared by the model and trainer variants: with
// `counts` the trainer variant (".8f" probabilities and ".2f" counts), else the model variant
// (shortest form of the 32-bit value). `has_counts` false makes the first counted entry fail
// as reading a missing count table does.
void write_trans_dist(Host& host, const Model& model, const std::string& path,
                      const Threshold& threshold, std::int64_t nbest, bool with_counts,
                      const CellCounts* counts);
void write_align_dist(Host& host, const Model& model, const std::string& path,
                      const Threshold& threshold, bool with_counts,
                      const std::vector<double>* counts);

// Registers the source and target words of every 3- or 4-field line of a translation file.
void register_trans_words(Host& host, const std::string& path, Vocab& vocab);

// One line of a translation file: t(trg | src) = p, the words as ids of the vocabulary read.
struct TransEntry {
    WordId src, trg;
    double p;
    std::size_t line;
};

// Every 3- or 4-field line of a translation file, its words registered in `vocab`.
std::vector<TransEntry> read_trans_entries(Host& host, const std::string& path, Vocab& vocab);

// Sets t(target | source) from each 3- or 4-field line (later lines win). Values of cells no
// pair of the model's corpus can read are checked and dropped.
void load_trans_dist(Host& host, const std::string& path, Model& model);

// Sets p_align from each 5- or 6-field line: align_dist[l - 1, m - 1, j - 1, i] = p, with the
// index checks and negative wrapping of the dense array; unread cells are dropped.
void load_align_dist(Host& host, const std::string& path, Model& model);

}  // namespace zel::align
