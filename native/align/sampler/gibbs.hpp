// The HMM with fertility, trained by collapsed Gibbs sampling with Dirichlet priors (after
// Östling and Tiedemann 2016): one direction's links are resampled one target word at a time
// from counts of every other link in the corpus, so rare words, which EM's point estimates
// fit to noise, keep the few translations the whole corpus supports.
//
// A target word is linked to NULL with probability (null links + a0) / (links + 1), else to a
// real source position i with weight
//   (n(e_i, f) + a) / (n(e_i) + a V)   the word translation, V target words
//   * J(i - i') J(i'' - i) / J(i'' - i')  the jumps from the last real position i' before it and
//                                      to the next real position i'' after it (l + 1 past the
//                                      last word), J(d) = (c(d) + b) / (c + b D) a width of D
//                                      buckets, the outer ones spread over the widths they hold
//   * (c(e_i, phi + 1) + g) / (c(e_i, phi) + g)  the fertility phi of position i, growing by one
// where the counts leave out the word being resampled. Sampling starts from the given links and
// runs the HMM's factors first, then the fertility's too; the link marginals are the average of
// every sampled distribution over the second half of the last phase, of every chain.
//
// Each chain is one sequence of draws from a generator seeded by the seed, the direction and
// the chain's number, so results depend on those alone, never on the threads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "align/corpus/cooccurrence.hpp"
#include "align/corpus/corpus.hpp"
#include "align/hmm/lattice.hpp"
#include "align/hmm/marginals.hpp"
#include "align/tables/probability_tables.hpp"
#include "common/host.hpp"

namespace zel::align {

struct GibbsSettings {
    std::int32_t iterations = 50;            // draws of every link with the HMM's factors
    std::int32_t fertility_iterations = 50;  // then with fertility too
    std::int32_t chains = 3;                 // at most kMostChains
    std::uint64_t seed = 1;
    double lexical_prior = 1e-4;   // a
    double jump_prior = 0.5;       // b
    double fertility_prior = 0.5;  // g
    double null_prior = 0.2;       // a0
};

inline constexpr std::int32_t kMostChains = 1000;

// The iterations each phase takes by default for a corpus of `pairs`: 50 sqrt(10,000 / pairs),
// from 5 to kMostSamplingIterations. Small corpora need many draws for their marginals to
// settle, and a large one's counts settle in few (and each costs more): 100 up to 2,500 pairs,
// 50 at 10,000, 5 at a million.
inline constexpr std::int32_t kMostSamplingIterations = 100;
std::int32_t default_sampling_iterations(std::size_t pairs);

// One direction's sampled model: its marginals, and the point estimates of its translation
// cells (one per pattern cell, then each source word's value of the cells it lacks) and jumps.
struct SampledDirection {
    Marginals marginals;
    CellCounts values;
    std::vector<double> row_default;
    JumpTable jumps;
};

// What one direction is sampled from: its corpus (NULL first in each source side) and cells,
// the vocabulary sizes, and the starting link of every target token (0 for NULL), in corpus
// order. With `sums_in`, the chains' counts add up in that table's count slots (the table
// of the model being replaced, whose counts nothing reads any more), and the point estimates
// then take their place: the largest array of the sampling costs no memory of its own.
struct SamplerInput {
    const Corpus& corpus;
    const PairCells& cells;
    std::size_t pattern_cells, n_src, n_trg;
    std::span<const std::uint32_t> start;
    std::shared_ptr<TransTable> sums_in = nullptr;
};

// The memory sample_directions takes for one direction of `corpus` with `cells` pattern cells
// and its totals in a table's count slots: its link marginals, and a chain's counts and links.
std::size_t sampling_memory(const Corpus& corpus, std::size_t cells);

// Samples both directions (forward first), a chain after another in each, the two directions
// at once; the host's interrupts are felt between blocks of pairs.
std::vector<SampledDirection> sample_directions(Host& host, std::span<const SamplerInput> inputs,
                                                const GibbsSettings& settings);

}  // namespace zel::align
