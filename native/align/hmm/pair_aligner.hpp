// A trained HMM read from its files, which aligns sentence pairs given in memory.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "align/corpus/vocab.hpp"
#include "align/hmm/lattice.hpp"
#include "align/links/links.hpp"
#include "common/host.hpp"

namespace zel::align {

// How a pair's links are chosen: the links whose posterior (the product of the two
// directions') reaches `posterior_threshold`, or, without one, each direction's most probable
// links combined by `heuristic`.
struct Decoding {
    std::optional<double> posterior_threshold;
    links::Heuristic heuristic = links::Heuristic::grow_diag_final_and;
};

struct PairLinks {
    std::vector<std::vector<links::Link>> links;  // source-target positions, a list a pair
    std::vector<std::vector<double>> posteriors;  // each link's, when asked for
};

// The model is read once; each batch of pairs is then aligned as a corpus of those pairs is
// aligned with the same files by zel-align --score-only: t(f | e) is the files' value where
// they list the pair of words, else 1 / V, V the target words of the files and of the batch.
class PairAligner {
public:
    // Reads both directions' translation and jump files (source-to-target first).
    PairAligner(Host& host, const std::array<std::string, 2>& trans,
                const std::array<std::string, 2>& jumps, bool character_based);

    // The links of the pairs of `src_text` and `trg_text`, one sentence a line, read as the
    // corpus files of zel-align are read. Nothing is logged or shown; `check` is called between
    // blocks of pairs on the calling thread (to stop on an interrupt, it throws). Several
    // threads may align at once.
    PairLinks align(std::string src_text, std::string trg_text, const Decoding& decoding,
                    bool with_posteriors, std::function<void()> check = {}) const;

    bool character_based() const { return character_based_; }

private:
    // One direction's model: its words as the file lists them and t(f | e) in rows by source
    // word, each row's target words ascending.
    struct Direction {
        Vocab vocab;
        std::vector<std::size_t> row_start;
        std::vector<WordId> cols;
        std::vector<double> probs;
        // t(f | e) as the file gives it, when it lists the pair.
        std::optional<double> listed(WordId e, WordId f) const;
    };
    static Direction read(Host& host, const std::string& path);

    std::array<Direction, 2> dirs_;
    std::array<JumpTable, 2> jumps_;
    bool character_based_;
};

}  // namespace zel::align
