#include "align/model/trainer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "align/model/distribution_files.hpp"
#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/memory.hpp"

namespace zel::align {

namespace {

// Bytes a pair needs for each of its position pairs while it is worked on: its cell id, its
// posterior and its alignment probability.
constexpr std::size_t kBytesPerPosition = sizeof(CellId) + 2 * sizeof(double);

// The pair with the most position pairs sizes the work done a pair at a time, which grows with
// the square of a sentence's length: one too long for the memory at hand is refused at once,
// naming its line, instead of after minutes of building what it cannot finish.
void check_longest_pair(Host& host, const Corpus& corpus) {
    std::size_t longest = 0, positions = 0;
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        const std::size_t n = corpus.src(p).size() * corpus.trg(p).size();
        if (n > positions) longest = p, positions = n;
    }
    const std::size_t l = corpus.src(longest).size(), m = corpus.trg(longest).size();
    constexpr auto most = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    const std::size_t bytes =
        positions > most / kBytesPerPosition ? most : positions * kBytesPerPosition;
    const std::string what = "the sentence pair of line " + std::to_string(longest + 1) + " (" +
                             fmt::with_commas(static_cast<std::int64_t>(l - 1)) + " x " +
                             fmt::with_commas(static_cast<std::int64_t>(m)) + " words)";
    host.debug(Channel::align, "longest pair: " + what.substr(4) + ", " +
                                   fmt::with_commas(static_cast<std::int64_t>(bytes)) +
                                   " bytes a pass");
    check_allocation(bytes, what);
}

}  // namespace

void Trainer::init(Host&) { throw NotImplemented(); }
void Trainer::init_trans_dist(Host&) { throw NotImplemented(); }
void Trainer::init_align_dist(Host&) { throw NotImplemented(); }
std::optional<std::size_t> pair_cells_budget_from_environment() {
    const char* budget = std::getenv("ZEL_PAIR_INDEX_BUDGET_MB");
    if (!budget) return std::nullopt;
    char* end = nullptr;
    const double mib = std::strtod(budget, &end);
    if (end == budget || *end != '\0' || std::isnan(mib)) {
        throw ValueError("ZEL_PAIR_INDEX_BUDGET_MB must be a number of MiB, not '" +
                         std::string(budget) + "'");
    }
    return mib > 0 ? static_cast<std::size_t>(std::min(mib * 1048576.0, 1e18)) : 0;
}

void Trainer::expect_step(Host&) { throw NotImplemented(); }
void Trainer::maximize_step(Host&) { throw NotImplemented(); }
void Trainer::train(Host&, std::int32_t) { throw NotImplemented(); }

void Trainer::setup(Host& host) {
    if (sent_pairs) return;
    host.info(Channel::align, "----");
    host.info(Channel::align, "setting up to train/score IBM Models");
    Corpus corpus = model->vocab->load_sent_pairs(host, src_path, trg_path, character_based);
    // Nothing can be trained on no pairs: every later step would divide by the pair count.
    if (corpus.empty()) throw EmptyCorpus(src_path.value_or("None"), trg_path.value_or("None"));
    check_longest_pair(host, corpus);
    sent_pairs = std::move(corpus);
    const Vocab& v = *model->vocab;
    host.info(Channel::align, "source vocabulary size: " +
                                  fmt::with_commas(static_cast<std::int64_t>(v.src_enum.size())));
    host.info(Channel::align, "target vocabulary size: " +
                                  fmt::with_commas(static_cast<std::int64_t>(v.trg_enum.size())));
    host.info(Channel::align, "max source length: " + fmt::with_commas(v.max_src_len));
    host.info(Channel::align, "max target length: " + fmt::with_commas(v.max_trg_len));
}

void Trainer::train_step(Host& host) {
    if (!model->trans_dist) {
        // The host's len() of a missing table fails; an allocated table has at least the NULL
        // word's row, so the length test of the dense array reduces to this.
        throw Missing("the word translation distribution", Missing::Use::length);
    }
    if (model->trans_dist->rows() == 0) {
        setup(host);
        return;
    }
    expect_step(host);
    maximize_step(host);
}

void Trainer::save_trans_dist(Host& host, const std::string& path, const Threshold& threshold,
                              std::int64_t nbest) const {
    write_trans_dist(host, *model, path, threshold, nbest, true,
                     count_cooc_src2trg ? &*count_cooc_src2trg : nullptr);
}

void Trainer::save_align_dist(Host& host, const std::string& path,
                              const Threshold& threshold) const {
    write_align_dist(host, *model, path, threshold, true,
                     count_align_trg2src ? &*count_align_trg2src : nullptr);
}

TableShape Trainer::table_shape() const {
    if (shape) return *shape;
    const Vocab& v = *model->vocab;
    return {v.src_enum.size(), v.trg_enum.size(), static_cast<std::size_t>(v.max_src_len),
            static_cast<std::size_t>(v.max_trg_len)};
}

CorpusCells Trainer::corpus_cells() const {
    if (!sent_pairs) throw Missing("the corpus", Missing::Use::length);
    if (!pair_cells) throw Missing("the pair cell index", Missing::Use::subscript);
    return {*sent_pairs, pair_cells.get()};
}

}  // namespace zel::align
