#include "align/model/model.hpp"

#include <algorithm>
#include <array>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

#include "align/corpus/pair_blocks.hpp"
#include "common/errors.hpp"
#include "common/float_flags.hpp"
#include "common/format.hpp"
#include "common/memory.hpp"
#include "common/pairwise_sum.hpp"

namespace zel::align {

namespace {

// The decoded link of target position j of a pair: the lowest source position of the largest
// a x t, NaN ranking below numbers, compared quietly (a NaN raises nothing). Every product also
// goes to use(v), in source order.
template <class Use>
std::size_t decode_position(const PairBlock& block, const TransTable& trans,
                            std::span<const CellId> cells, std::span<const WordId> src,
                            std::size_t j, Use&& use) {
    std::size_t best = 0;
    double best_value = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < src.size(); ++i) {
        const double v = block.at(j, i) * trans_value(trans, cells[i * block.m + j], src[i]);
        use(v);
        if (std::isnan(best_value) ? !std::isnan(v) : std::isgreater(v, best_value)) {
            best = i;
            best_value = v;
        }
    }
    return best;
}

}  // namespace

Model::Model(Host& host) {
    host.debug(Channel::align, "base model cinit");
    Model::init();
}

void Model::init() { vocab = std::make_unique<Vocab>(); }

double Model::calc_pair_entropy(std::span<const WordId>, std::span<const WordId>,
                                std::span<const CellId>, bool) const {
    throw NotImplemented();
}

double Model::entropy_of_columns(std::span<const double>, std::size_t, bool) const {
    throw NotImplemented();
}

void Model::pair_entropies(
    Host& host, const CorpusCells& c, DecodedLinks* links,
    const std::function<void(std::size_t, std::size_t, const std::vector<double>&)>& after) const {
    const std::size_t threads = thread_count();
    std::vector<std::vector<CellId>> scratch(threads);
    std::vector<double> entropy(kBlock);
    auto progress = host.progress("progress", c.corpus.size());
    FloatFlags flags;
    for_blocks(
        host, *progress, c.corpus.size(), threads, &flags,
        [&](std::size_t p, std::size_t worker) {
            const auto cells = c.cells->of(p, scratch[worker]);
            const auto src = c.corpus.src(p), trg = c.corpus.trg(p);
            if (!links) {
                entropy[p % kBlock] = calc_pair_entropy(src, trg, cells, true);
                return;
            }
            // calc_pair_entropy's column sums of a x t, and the links decoded from the same
            // products.
            const std::size_t l = src.size(), m = trg.size();
            const PairBlock block(*align_dist, l, m);
            SmallBuffer<double, kPairScratch> columns(m);
            const std::size_t first = c.corpus.trg_start(p);
            for (std::size_t j = 0; j < m; ++j) {
                links->set(first + j, decode_position(block, *trans_dist, cells, src, j,
                                                      [&](double v) { columns[j] += v; }));
            }
            entropy[p % kBlock] = entropy_of_columns(columns.span(), l, true);
        },
        [&](std::size_t begin, std::size_t end) { after(begin, end, entropy); });
    report_entropy_flags(host, flags.divide_by_zero(), flags.invalid());
}

bool Model::keeps_links(const CorpusCells& c, DecodedLinks& links) const {
    if (!trans_dist || !align_dist || pair_columns() != Columns::weighted_by_alignment)
        return false;
    std::size_t longest = 0;
    for (std::size_t p = 0; p < c.corpus.size(); ++p)
        longest = std::max(longest, c.corpus.src(p).size());
    return links.make(c.corpus.trg_start(c.corpus.size()), longest);
}

bool DecodedLinks::make(std::size_t tokens, std::size_t positions) {
    kept_ = false;
    bytes_.clear();
    if (positions > std::size_t{1} << 16) return false;
    width_ = positions > 256 ? 2 : 1;
    try {
        allocate_checked(tokens * width_, "decoded alignment",
                         [&] { bytes_.resize(tokens * width_); });
    } catch (const MemoryError&) {
        return false;  // decoded by a pass of their own
    }
    kept_ = true;
    return true;
}

void Model::calc_and_save_scores(Host& host, const std::string& path, const CorpusCells& c,
                                 DecodedLinks* links) const {
    host.info(Channel::align, "calculating and storing alignment scores into file: " + path);
    LineWriter out(host.open_write(path));
    if (links && !keeps_links(c, *links)) links = nullptr;
    pair_entropies(host, c, links, [&](std::size_t begin, std::size_t end, const auto& entropy) {
        for (std::size_t p = begin; p < end; ++p) {
            fmt::append_float_repr(out.line(), entropy[p % kBlock]);
            out.end_line();
        }
    });
    out.close();
}

void Model::decode_and_save_align(Host& host, const std::string& path, const CorpusCells& c,
                                  const DecodedLinks* links) const {
    host.info(Channel::align, "decoding and storing alignment into file: " + path);
    LineWriter out(host.open_write(path));
    if (links && (!links->kept() || links->size() != c.corpus.trg_start(c.corpus.size())))
        links = nullptr;
    const std::size_t threads = thread_count();
    std::vector<std::vector<CellId>> scratch(threads);
    std::vector<std::vector<std::size_t>> decoded(threads);
    std::vector<std::string> lines(kBlock);
    auto progress = host.progress("progress", c.corpus.size());
    for_blocks(
        host, *progress, c.corpus.size(), threads, nullptr,
        [&](std::size_t p, std::size_t worker) {
            const auto src = c.corpus.src(p);
            const auto trg = c.corpus.trg(p);
            const std::size_t l = src.size(), m = trg.size();
            std::vector<std::size_t>& best = decoded[worker];
            best.assign(m, 0);
            if (links) {
                const std::size_t first = c.corpus.trg_start(p);
                for (std::size_t j = 0; j < m; ++j) best[j] = links->get(first + j);
            } else {
                const auto cells = c.cells->of(p, scratch[worker]);
                if (!trans_dist || !align_dist)
                    throw Missing("a distribution", Missing::Use::subscript);
                const PairBlock block(*align_dist, l, m);
                for (std::size_t j = 0; j < m; ++j)
                    best[j] = decode_position(block, *trans_dist, cells, src, j, [](double) {});
            }
            std::string& line = lines[p % kBlock];
            line.clear();
            for (std::size_t j = 0; j < m; ++j) {
                if (j > 0) line += ' ';
                fmt::append_integer(line, j + 1);
                line += '-';
                fmt::append_integer(line, best[j]);
            }
        },
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p < end; ++p) {
                out.line() += lines[p % kBlock];
                out.end_line();
            }
        });
    out.close();
}

}  // namespace zel::align
