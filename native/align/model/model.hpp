// The alignment model base: vocabulary, distributions, scoring, decoding and the
// distribution files.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "align/corpus/cooccurrence.hpp"
#include "align/corpus/corpus.hpp"
#include "align/corpus/pair_blocks.hpp"
#include "align/corpus/vocab.hpp"
#include "align/tables/probability_tables.hpp"
#include "common/float_flags.hpp"
#include "common/host.hpp"
#include "common/small_buffer.hpp"

namespace zel::align {

// Sentence lengths whose per-pair scratch stays on the stack (longer ones take the heap).
inline constexpr std::size_t kPairScratch = 256;

// A threshold as a number, with the text the host shows for it in messages.
struct Threshold {
    double value;
    std::string text;
};

// A corpus with, optionally, the precomputed cells of its pairs in the model's pattern.
struct CorpusCells {
    const Corpus& corpus;
    const PairCells* cells;  // null: cells are looked up in the pattern
};

// The source position each target position of every pair is aligned to, by target position
// over the corpus: a byte each when no source sentence has more than 256 positions (NULL
// included), else two.
class DecodedLinks {
public:
    // Room for `tokens` links into sentences of at most `positions` source positions; false,
    // and none kept, when that is more than two bytes hold or the memory is refused.
    bool make(std::size_t tokens, std::size_t positions);
    bool kept() const { return kept_; }
    std::size_t size() const { return bytes_.size() / width_; }
    void set(std::size_t k, std::size_t i) {
        if (width_ == 1) {
            bytes_[k] = static_cast<std::uint8_t>(i);
        } else {
            bytes_[2 * k] = static_cast<std::uint8_t>(i & 0xFF);
            bytes_[2 * k + 1] = static_cast<std::uint8_t>(i >> 8);
        }
    }
    std::size_t get(std::size_t k) const {
        return width_ == 1 ? bytes_[k]
                           : bytes_[2 * k] | static_cast<std::size_t>(bytes_[2 * k + 1]) << 8;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t width_ = 1;
    bool kept_ = false;
};

class CorpusEntropy;

class Model {
public:
    // Logs "base model cinit" and runs Model::init (never an override).
    explicit Model(Host& host);
    virtual ~Model() = default;
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    virtual void init();

    // Entropy of one pair (per target word when `per_word`). `cells` are the pair's cells,
    // l * m row-major. The base has none: it throws NotImplemented.
    virtual double calc_pair_entropy(std::span<const WordId> src, std::span<const WordId> trg,
                                     std::span<const CellId> cells, bool per_word) const;
    virtual double calc_entropy(Host& host, const CorpusCells& corpus) const;
    // Whether calc_entropy is the mean of the pairs' calc_pair_entropy, which lets an E-step
    // compute it along with the counts.
    virtual bool entropy_of_pairs() const { return true; }
    // What calc_pair_entropy sums down the source positions of each target position: an
    // E-step that sums the same columns in the same order gives them to CorpusEntropy.
    enum class Columns { none, translation, weighted_by_alignment };
    virtual Columns pair_columns() const { return Columns::none; }
    // calc_pair_entropy from the pair's column sums (one a target position) and its source
    // length l. The base has none: it throws NotImplemented.
    virtual double entropy_of_columns(std::span<const double> columns, std::size_t l,
                                      bool per_word) const;
    // Model::calc_entropy without its log line.
    double corpus_entropy(Host& host, const CorpusCells& corpus) const;
    // The sum, in pair order, of the pairs' entropies that corpus_entropy averages, and the
    // floating-point flags (FE_DIVBYZERO, FE_INVALID) they raised, unreported: for a corpus
    // that is one part of a larger one.
    struct EntropySum {
        double total;
        int raised;
    };
    EntropySum entropy_sum(Host& host, const CorpusCells& corpus) const;
    // With `links`, the scores pass also keeps the decoded links there when it can (a Model 2's
    // scores read the products a x t its links are decoded from), and decode_and_save_align
    // given them writes them without a pass of its own.
    virtual void calc_and_save_scores(Host& host, const std::string& path,
                                      const CorpusCells& corpus,
                                      DecodedLinks* links = nullptr) const;
    virtual void decode_and_save_align(Host& host, const std::string& path,
                                       const CorpusCells& corpus,
                                       const DecodedLinks* links = nullptr) const;
    virtual void save_align_dist(Host& host, const std::string& path,
                                 const Threshold& threshold) const;
    virtual void save_trans_dist(Host& host, const std::string& path, const Threshold& threshold,
                                 std::int64_t nbest) const;

    // The host's name of the class, for debug output.
    virtual const char* type_name() const { return "zel.smt.align.emalign.Model"; }

    std::unique_ptr<Vocab> vocab;
    std::shared_ptr<TransTable> trans_dist;
    std::unique_ptr<AlignTable> align_dist;

private:
    // Every pair's calc_pair_entropy (per word) on the threads; after(begin, end, entropies)
    // gets each block's, indexed by pair % kBlock, in pair order.
    // With `links`, a Model 2's, which also decodes every pair's links there.
    void pair_entropies(Host& host, const CorpusCells& c, DecodedLinks* links,
                        const std::function<void(std::size_t, std::size_t,
                                                 const std::vector<double>&)>& after) const;
    // Fills `entropy` with every pair's.
    void sum_entropies(Host& host, const CorpusCells& c, CorpusEntropy& entropy) const;
    // Whether a scores pass can decode the links along (a Model 2 with both distributions,
    // source sentences short enough), with `links` made their size if so.
    bool keeps_links(const CorpusCells& c, DecodedLinks& links) const;
};

// A pair's entropy from its column sums: -sum_j ln(columns[j] / divisor), the logarithms summed
// pairwise, as whole-array reductions sum them; per target word when `per_word`.
double entropy_of_column_sums(std::span<const double> columns, double divisor, bool per_word);

// Reports the floating-point events of per-pair entropies (the logarithm of a zero probability,
// a division by a zero target length) as the host reports them.
void report_entropy_flags(Host& host, bool divide_by_zero, bool invalid);

// The corpus entropy as Model::calc_entropy gives it, from the pairs' entropies made on the
// threads (their floating-point flags kept apart from whatever else the threads compute) and
// summed in pair order.
class CorpusEntropy {
public:
    CorpusEntropy(const Model& model, const Corpus& corpus);

    // Pair p's entropy, on any thread.
    void pair(const CorpusCells& c, std::size_t p, std::span<const CellId> cells);
    // Pair p's column sums, one a target position, as the model's pair_columns() says: the
    // E-step's threads write them for the pairs of the block being computed.
    double* columns(std::size_t p) {
        return columns_.data() + (corpus_.trg_start(p) - corpus_.trg_start(p - p % kBlock));
    }
    // Runs sum_columns(), on any thread: the flags it raises count for the entropy, as the
    // entropy's own pass would raise them, and stay raised for the caller too.
    template <class SumColumns>
    void sum(SumColumns&& sum_columns) {
        int raised = 0;
        flags_apart(raised, [&] {
            sum_columns();
            return 0;
        });
        if (raised) {
            std::feraiseexcept(raised);
            raised_.fetch_or(raised);
        }
    }
    // The entropies of the block's pairs [begin, end) from their columns, made on the
    // threads, then added in pair order, on the calling thread.
    void add_columns(std::size_t begin, std::size_t end, std::size_t threads);
    // Adds the entropies of a block's pairs [begin, end) in pair order, on the calling thread.
    void add(std::size_t begin, std::size_t end);
    // The mean over the corpus, after reporting the flags the pairs raised.
    double mean(Host& host, std::size_t pairs);
    double total() const { return total_; }
    int raised() const { return raised_.load(); }

private:
    const Model& model_;
    const Corpus& corpus_;
    std::vector<double> entropy_;  // of the block's pairs, by pair % kBlock
    std::vector<double> columns_;  // of the block's pairs, back to back
    double total_ = 0.0;
    std::atomic<int> raised_{0};
};

// Pairs between progress updates and interruption checks.
inline constexpr std::size_t kPairBatch = 256;

}  // namespace zel::align
