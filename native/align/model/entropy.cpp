// Corpus and pair entropies: the mean of the pairs' entropies, computed on the threads and
// summed in pair order.
#include <cfenv>
#include <cmath>

#include "align/corpus/pair_blocks.hpp"
#include "align/model/model.hpp"
#include "common/errors.hpp"
#include "common/float_flags.hpp"
#include "common/pairwise_sum.hpp"
#include "common/parallel.hpp"

namespace zel::align {

void report_entropy_flags(Host& host, bool divide_by_zero, bool invalid) {
    using K = FloatEvent::Kind;
    using O = FloatEvent::Operation;
    if (divide_by_zero) host.float_event({K::divide_by_zero, O::log});
    if (invalid) host.float_event({K::invalid, O::scalar_divide});
}

double entropy_of_column_sums(std::span<const double> columns, double divisor, bool per_word) {
    const std::size_t m = columns.size();
    SmallBuffer<double, kPairScratch> logs(m);
    for (std::size_t j = 0; j < m; ++j) logs[j] = std::log(columns[j] / divisor);
    const double h = -pairwise_sum(logs.data(), m);
    return per_word ? h / static_cast<double>(m) : h;
}

double Model::calc_entropy(Host& host, const CorpusCells& c) const {
    host.info(Channel::align, "calculating entropy");
    return corpus_entropy(host, c);
}

double Model::corpus_entropy(Host& host, const CorpusCells& c) const {
    CorpusEntropy entropy(*this, c.corpus);
    sum_entropies(host, c, entropy);
    return entropy.mean(host, c.corpus.size());
}

Model::EntropySum Model::entropy_sum(Host& host, const CorpusCells& c) const {
    CorpusEntropy entropy(*this, c.corpus);
    sum_entropies(host, c, entropy);
    return {entropy.total(), entropy.raised()};
}

void Model::sum_entropies(Host& host, const CorpusCells& c, CorpusEntropy& entropy) const {
    std::vector<std::vector<CellId>> scratch(thread_count());
    auto progress = host.progress("progress", c.corpus.size());
    for_blocks(
        host, *progress, c.corpus.size(), scratch.size(), nullptr,
        [&](std::size_t p, std::size_t worker) {
            entropy.pair(c, p, c.cells->of(p, scratch[worker]));
        },
        [&](std::size_t begin, std::size_t end) { entropy.add(begin, end); });
}

CorpusEntropy::CorpusEntropy(const Model& model, const Corpus& corpus)
    : model_(model), corpus_(corpus), entropy_(kBlock) {
    std::uint64_t largest = 0;
    for (std::size_t b = 0; b < corpus.size(); b += kBlock) {
        const std::size_t e = std::min(corpus.size(), b + kBlock);
        largest = std::max(largest, corpus.trg_start(e) - corpus.trg_start(b));
    }
    columns_.resize(largest);
}

void CorpusEntropy::pair(const CorpusCells& c, std::size_t p, std::span<const CellId> cells) {
    int raised = 0;
    entropy_[p % kBlock] = flags_apart(raised, [&] {
        return model_.calc_pair_entropy(c.corpus.src(p), c.corpus.trg(p), cells, true);
    });
    if (raised) raised_.fetch_or(raised);
}

void CorpusEntropy::add_columns(std::size_t begin, std::size_t end, std::size_t threads) {
    const std::size_t n = end - begin;
    const std::size_t chunks = threads == 1 ? 1 : threads * 4;
    parallel_for(chunks, threads, [&](std::size_t chunk, std::size_t) {
        int raised = 0;
        for (std::size_t p = begin + n * chunk / chunks; p < begin + n * (chunk + 1) / chunks;
             ++p) {
            const std::span<const double> sums(columns(p), corpus_.trg(p).size());
            entropy_[p % kBlock] = flags_apart(raised, [&] {
                return model_.entropy_of_columns(sums, corpus_.src(p).size(), true);
            });
        }
        if (raised) raised_.fetch_or(raised);
    });
    add(begin, end);
}

void CorpusEntropy::add(std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) total_ += entropy_[p % kBlock];
}

double CorpusEntropy::mean(Host& host, std::size_t pairs) {
    report_entropy_flags(host, (raised_.load() & FE_DIVBYZERO) != 0,
                         (raised_.load() & FE_INVALID) != 0);
    if (pairs == 0) throw ZeroDivision("float division");
    return total_ / static_cast<double>(pairs);
}

}  // namespace zel::align
