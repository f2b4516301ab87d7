#include "align/shard.hpp"

#include <algorithm>
#include <cfenv>
#include <stdexcept>

#include "align/distribution_files.hpp"
#include "common/errors.hpp"
#include "common/parallel.hpp"

namespace zel::align {

namespace {

class StringSink : public ByteSink {
public:
    StringSink(std::map<std::string, std::string>& files, std::string path)
        : files_(files), path_(std::move(path)) {}
    void write(std::string_view bytes) override { text_ += bytes; }
    void close() override { files_[path_] = std::move(text_); }
    void keep_incomplete(std::size_t) noexcept override {}

private:
    std::map<std::string, std::string>& files_;
    std::string path_, text_;
};

class NoProgress : public Progress {
public:
    void advance(std::size_t) override {}
};

void check_ids(std::span<const WordId> ids, std::size_t words, const char* side) {
    for (const WordId id : ids) {
        if (id >= words) {
            throw std::invalid_argument(std::string(side) + " word id " + std::to_string(id) +
                                        " is not below the whole's " + std::to_string(words) +
                                        " words");
        }
    }
}

void check_size(std::size_t given, std::size_t wanted, const char* what) {
    if (given != wanted) {
        throw std::invalid_argument(std::string(what) + ": " + std::to_string(given) +
                                    " values given for " + std::to_string(wanted));
    }
}

}  // namespace

std::unique_ptr<ByteSource> QuietHost::open_read(const std::optional<std::string>& path,
                                                 std::optional<std::string_view>) {
    const auto found = path ? files.find(*path) : files.end();
    if (found == files.end()) throw std::invalid_argument("no text " + path.value_or("None"));
    return string_source(found->second);
}

std::unique_ptr<ByteSink> QuietHost::open_write(const std::string& path) {
    return std::make_unique<StringSink>(files, path);
}

std::unique_ptr<Progress> QuietHost::progress(std::string_view, std::size_t) {
    return std::make_unique<NoProgress>();
}

void QuietHost::float_event(FloatEvent event) {
    raised |= event.kind == FloatEvent::Kind::divide_by_zero ? FE_DIVBYZERO : FE_INVALID;
}

void report_raised(Host& host, int raised, FloatEvent::Operation operation) {
    if (raised & FE_DIVBYZERO) host.float_event({FloatEvent::Kind::divide_by_zero, operation});
    if (raised & FE_INVALID) host.float_event({FloatEvent::Kind::invalid, operation});
}

ShardTrainer::ShardTrainer(QuietHost& host, std::string src_text, std::string trg_text,
                           bool character_based, int model) {
    if (model != 1 && model != 2) throw std::invalid_argument("a shard trains Model 1 or 2");
    trainer_.init(host);
    if (model == 1) {
        trainer_.model = std::make_shared<Model1>(host);
        // The HMM's shards hold both directions' tables at once, as one process's HMM does.
        trainer_.compact_index = true;
    }
    model_ = model;
    trainer_.character_based = character_based;
    host.files["src"] = std::move(src_text);
    host.files["trg"] = std::move(trg_text);
    trainer_.sent_pairs =
        trainer_.model->vocab->load_sent_pairs(host, "src", "trg", character_based);
    host.files.clear();
}

std::vector<std::string_view> ShardTrainer::words(bool source) const {
    const Vocab& v = *trainer_.model->vocab;
    const StringEnumerator& e = source ? v.src_enum : v.trg_enum;
    std::vector<std::string_view> out(e.size());
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = e.id2str(static_cast<WordId>(k));
    return out;
}

std::size_t ShardTrainer::pairs() const { return trainer_.sent_pairs->size(); }

std::size_t ShardTrainer::target_words() const { return trainer_.sent_pairs->trg_tokens(); }

std::size_t ShardTrainer::max_src_len() const {
    return static_cast<std::size_t>(trainer_.model->vocab->max_src_len);
}

std::size_t ShardTrainer::max_trg_len() const {
    return static_cast<std::size_t>(trainer_.model->vocab->max_trg_len);
}

void ShardTrainer::join(QuietHost& host, std::span<const WordId> src_ids,
                        std::span<const WordId> trg_ids, const TableShape& whole) {
    if (joined()) throw std::logic_error("the shard is joined already");
    const Vocab& v = *trainer_.model->vocab;
    check_size(src_ids.size(), v.src_enum.size(), "source word ids");
    check_size(trg_ids.size(), v.trg_enum.size(), "target word ids");
    check_ids(src_ids, whole.n_src, "source");
    check_ids(trg_ids, whole.n_trg, "target");
    const Corpus& local = *trainer_.sent_pairs;
    Corpus corpus;
    std::vector<WordId> src, trg;
    for (std::size_t p = 0; p < local.size(); ++p) {
        src.clear();
        trg.clear();
        for (const WordId w : local.src(p)) src.push_back(src_ids[w]);
        for (const WordId w : local.trg(p)) trg.push_back(trg_ids[w]);
        corpus.push_back(src, trg);
    }
    corpus.shrink_to_fit();
    trainer_.sent_pairs = std::move(corpus);
    trainer_.shape = whole;
    trainer_.model->vocab->init();  // the shard's own words are not needed again
    if (model_ == 1) {
        trainer_.Model1Trainer::setup(host);  // a Model 1 has no alignment table
    } else {
        trainer_.setup(host);
    }
}

void ShardTrainer::require_joined() const {
    if (!joined()) throw std::logic_error("the shard is not joined to a whole yet");
}

void ShardTrainer::require_alignment() const {
    require_joined();
    if (model_ != 2) throw std::invalid_argument("a shard of Model 1 has no alignment table");
}

std::vector<std::uint64_t> ShardTrainer::cell_keys() const {
    require_joined();
    const CooccurrencePattern& p = trainer_.model->trans_dist->pattern();
    std::vector<std::uint64_t> keys(p.cells());
    for (std::size_t s = 0; s < p.rows(); ++s) {
        for (std::size_t c = p.row_begin(s); c < p.row_end(s); ++c)
            keys[c] = std::uint64_t{s} * p.cols() + p.col(c);
    }
    return keys;
}

std::vector<std::uint64_t> ShardTrainer::row_lengths() const {
    require_joined();
    const CooccurrencePattern& p = trainer_.model->trans_dist->pattern();
    std::vector<std::uint64_t> lengths(p.rows());
    for (std::size_t s = 0; s < p.rows(); ++s) lengths[s] = p.row_end(s) - p.row_begin(s);
    return lengths;
}

std::vector<BlockKey> ShardTrainer::block_keys() const {
    require_alignment();
    const AlignTable& a = *trainer_.model->align_dist;
    std::vector<BlockKey> keys(a.blocks());
    for (std::size_t k = 0; k < keys.size(); ++k) keys[k] = a.block_key(k);
    return keys;
}

void ShardTrainer::set_values(std::span<const std::span<const double>> trans,
                              std::span<const double> align,
                              std::span<const std::uint8_t> tail_zero) {
    require_alignment();
    AlignTable& a = *trainer_.model->align_dist;
    check_size(align.size(), a.values.size(), "alignment values");
    check_size(tail_zero.size(), a.tail_zero.size(), "alignment rows");
    set_trans_values(trans);
    std::copy(align.begin(), align.end(), a.values.begin());
    std::copy(tail_zero.begin(), tail_zero.end(), a.tail_zero.begin());
}

void ShardTrainer::set_trans_values(std::span<const std::span<const double>> trans) {
    require_joined();
    TransTable& t = *trainer_.model->trans_dist;
    std::size_t given = 0;
    for (const auto piece : trans) given += piece.size();
    check_size(given, t.cells(), "translation values");
    std::size_t c = 0;
    for (const auto piece : trans) {
        for (const double v : piece) t.set_value(c++, v);
    }
    links_ = DecodedLinks();
}

Model1Trainer& ShardTrainer::trainer() {
    require_joined();
    return trainer_;
}

const Model1Trainer& ShardTrainer::trainer() const {
    require_joined();
    return trainer_;
}

Model::EntropySum ShardTrainer::entropy_sum(QuietHost& host) const {
    require_joined();
    return trainer_.model->entropy_sum(host, trainer_.corpus_cells());
}

Model::EntropySum ShardTrainer::expect(QuietHost& host, int model) {
    if (model == 2) require_alignment();
    require_joined();
    CorpusEntropy entropy(*trainer_.model, *trainer_.sent_pairs);
    trainer_.expect_with_entropy(host, model, entropy);
    return {entropy.total(), entropy.raised()};
}

std::vector<double> ShardTrainer::trans_counts() const {
    if (!trainer_.count_cooc_src2trg) throw Missing("the expected counts", Missing::Use::subscript);
    const CellCounts& counts = *trainer_.count_cooc_src2trg;
    std::vector<double> out(counts.size());
    for (std::size_t c = 0; c < out.size(); ++c) out[c] = counts[c];
    return out;
}

const std::vector<double>& ShardTrainer::align_counts() const {
    if (!trainer_.count_align_trg2src)
        throw Missing("the expected counts", Missing::Use::subscript);
    return *trainer_.count_align_trg2src;
}

std::string ShardTrainer::scores(QuietHost& host, bool keep_links) {
    require_joined();
    trainer_.model->calc_and_save_scores(host, "scores", trainer_.corpus_cells(),
                                         keep_links ? &links_ : nullptr);
    return std::move(host.files["scores"]);
}

std::string ShardTrainer::decoded(QuietHost& host) {
    require_joined();
    trainer_.model->decode_and_save_align(host, "decoded", trainer_.corpus_cells(), &links_);
    links_ = DecodedLinks();
    return std::move(host.files["decoded"]);
}

namespace {

// The HMM's passes read each pair's positions in both directions at once.
void check_directions(const ShardTrainer& forward, const ShardTrainer& backward) {
    const Corpus& a = *forward.trainer().sent_pairs;
    const Corpus& b = *backward.trainer().sent_pairs;
    bool same = a.size() == b.size();
    for (std::size_t p = 0; same && p < a.size(); ++p)
        same = a.src(p).size() == b.trg(p).size() + 1 && a.trg(p).size() + 1 == b.src(p).size();
    if (!same) throw std::invalid_argument("the two directions of a shard read different pairs");
}

}  // namespace

HmmShardStep hmm_expect(QuietHost& host, ShardTrainer& forward, ShardTrainer& backward,
                        const std::array<JumpTable, 2>& tables, bool agreement) {
    check_directions(forward, backward);
    Model1Trainer& f = forward.trainer();
    Model1Trainer& b = backward.trainer();
    HmmShardStep step;
    step.logs =
        HmmPasses(f, b, tables)
            .expect(host, agreement, {&f.count_cooc_src2trg, &b.count_cooc_src2trg}, step.jumps);
    return step;
}

HmmShardTexts hmm_outputs(QuietHost& host, const ShardTrainer& forward,
                          const ShardTrainer& backward, const std::array<JumpTable, 2>& tables,
                          links::Heuristic heuristic, bool scores,
                          std::optional<double> posterior_threshold) {
    check_directions(forward, backward);
    const HmmPasses passes(forward.trainer(), backward.trainer(), tables);
    HmmShardTexts out;
    passes.save_symmetrized_links(host, "symmetrized", heuristic, "links 0", "links 1");
    for (int d = 0; d < 2; ++d) {
        const auto k = static_cast<std::size_t>(d);
        out.links[k] = std::move(host.files["links " + std::to_string(d)]);
        if (scores) {
            passes.save_scores(host, d, "scores");
            out.scores[k] = std::move(host.files["scores"]);
        }
    }
    out.symmetrized = std::move(host.files["symmetrized"]);
    if (posterior_threshold) {
        HmmPasses::save_links(host, "posterior",
                              passes.posterior_links(host, *posterior_threshold));
        out.posterior = std::move(host.files["posterior"]);
    }
    host.files.clear();
    return out;
}

KeyUnion merge_keys(std::span<const std::span<const std::uint64_t>> lists, std::size_t first,
                    std::size_t count, std::size_t n_trg) {
    KeyUnion out;
    out.positions.resize(lists.size());
    for (std::size_t k = 0; k < lists.size(); ++k) {
        const auto l = lists[k];
        out.positions[k].resize(l.size());
        for (std::size_t i = 0; i < l.size(); ++i) {
            if ((i > 0 && l[i] <= l[i - 1]) || l[i] / n_trg < first ||
                l[i] / n_trg - first >= count)
                throw std::invalid_argument(
                    "a list of keys is not sorted, distinct cells of the rows");
        }
    }
    // Row by row: the row's targets in any list are marked once, sorted, numbered; then each
    // list's keys in the row look up their number. Linear but for the sort of each row.
    constexpr std::uint32_t kUnseen = 0xFFFFFFFFU;
    std::vector<std::uint32_t> slot(n_trg, kUnseen);
    std::vector<std::size_t> next(lists.size(), 0);
    std::vector<std::uint32_t> cols;
    for (std::size_t s = first; s < first + count; ++s) {
        const std::uint64_t base = std::uint64_t{s} * n_trg, end = base + n_trg;
        cols.clear();
        for (std::size_t k = 0; k < lists.size(); ++k) {
            const auto l = lists[k];
            for (std::size_t i = next[k]; i < l.size() && l[i] < end; ++i) {
                const auto t = static_cast<std::uint32_t>(l[i] - base);
                if (slot[t] == kUnseen) {
                    slot[t] = 0;
                    cols.push_back(t);
                }
            }
        }
        std::sort(cols.begin(), cols.end());
        if (out.keys.size() + cols.size() >= kNoCell)
            throw MemoryError("more than 2^32 - 2 cells in one range of rows: use more ranges");
        for (std::size_t i = 0; i < cols.size(); ++i) {
            slot[cols[i]] = static_cast<std::uint32_t>(out.keys.size() + i);
        }
        for (const std::uint32_t t : cols) out.keys.push_back(base + t);
        for (std::size_t k = 0; k < lists.size(); ++k) {
            const auto l = lists[k];
            std::size_t& i = next[k];
            for (; i < l.size() && l[i] < end; ++i)
                out.positions[k][i] = slot[static_cast<std::size_t>(l[i] - base)];
        }
        for (const std::uint32_t t : cols) slot[t] = kUnseen;
    }
    return out;
}

RowRange::RowRange(std::size_t first, std::size_t count, std::size_t n_trg,
                   std::span<const std::uint64_t> keys)
    : first_(first) {
    if (n_trg == 0) throw std::invalid_argument("no target words");
    std::vector<std::uint64_t> row_start(count + 1, 0);
    std::vector<std::uint32_t> cols(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
        const std::uint64_t s = keys[k] / n_trg;
        if (s < first || s - first >= count || (k > 0 && keys[k] <= keys[k - 1]))
            throw std::invalid_argument("cell keys are not sorted, distinct cells of the rows");
        ++row_start[s - first + 1];
        cols[k] = static_cast<std::uint32_t>(keys[k] % n_trg);
    }
    for (std::size_t s = 0; s < count; ++s) row_start[s + 1] += row_start[s];
    pattern_ = CooccurrencePattern::from_rows(count, n_trg, std::move(row_start), std::move(cols));
}

std::vector<std::uint64_t> RowRange::keys() const {
    const CooccurrencePattern& p = *pattern_;
    std::vector<std::uint64_t> keys(p.cells());
    for (std::size_t s = 0; s < p.rows(); ++s) {
        for (std::size_t c = p.row_begin(s); c < p.row_end(s); ++c)
            keys[c] = std::uint64_t{first_ + s} * p.cols() + p.col(c);
    }
    return keys;
}

RowRange::Values RowRange::initial() const {
    const double v = 1.0 / static_cast<double>(pattern_->cols());
    return {std::vector<double>(cells(), v), std::vector<double>(pattern_->rows(), v),
            std::nullopt};
}

RowRange::Values RowRange::maximize(std::span<const double> values,
                                    std::span<const double> row_default,
                                    std::span<const std::span<const std::uint32_t>> positions,
                                    std::span<const std::span<const double>> counts,
                                    double prior) const {
    check_size(values.size(), cells(), "translation values");
    check_size(row_default.size(), pattern_->rows(), "row defaults");
    check_size(counts.size(), positions.size(), "shards' counts");
    for (std::size_t k = 0; k < positions.size(); ++k) {
        check_size(counts[k].size(), positions[k].size(), "a shard's counts");
        const auto at = positions[k];
        for (std::size_t i = 0; i < at.size(); ++i) {
            if (at[i] >= cells() || (i > 0 && at[i] <= at[i - 1]))
                throw std::invalid_argument("a shard's cells are not distinct cells of the range");
        }
    }
    // The threads add up parts of the cells, each cell's counts in shard order. A shard's
    // positions ascend, so its counts in a part are found by search.
    std::vector<double> total(cells(), 0.0);
    const std::size_t threads = thread_count();
    const std::size_t parts = threads == 1 ? 1 : threads * 4;
    parallel_for(parts, threads, [&](std::size_t part, std::size_t) {
        const std::size_t lo = cells() * part / parts, hi = cells() * (part + 1) / parts;
        for (std::size_t k = 0; k < positions.size(); ++k) {
            const auto at = positions[k];
            const auto first = std::lower_bound(at.begin(), at.end(), lo);
            const auto last = std::lower_bound(first, at.end(), hi);
            for (auto i = static_cast<std::size_t>(first - at.begin());
                 i < static_cast<std::size_t>(last - at.begin()); ++i)
                total[at[i]] += counts[k][i];
        }
    });
    TransTable table(pattern_, std::vector<double>(values.begin(), values.end()),
                     std::vector<double>(row_default.begin(), row_default.end()));
    CellCounts held(std::move(total));
    if (prior > 0.0) {
        normalize_rows_vb(table, held, prior, pattern_->cols());
    } else {
        table.normalize_rows(held);
    }
    return {table.release_values(), std::move(table.row_default), held.release()};
}

std::string RowRange::trans_lines(Values v, std::span<const std::string> src_words,
                                  std::span<const std::string> trg_words,
                                  const Threshold& threshold, std::int64_t nbest,
                                  bool with_counts) const {
    check_size(src_words.size(), pattern_->rows(), "source words");
    check_size(trg_words.size(), pattern_->cols(), "target words");
    if (with_counts) {
        if (!v.counts) throw Missing("the expected counts", Missing::Use::subscript);
        check_size(v.counts->size(), cells(), "translation counts");
    }
    QuietHost host;
    Model2Trainer t;
    t.init(host);
    // The rows' own vocabulary: row s is the range's word s.
    for (const auto& [words, e] : {std::pair{src_words, &t.model->vocab->src_enum},
                                   std::pair{trg_words, &t.model->vocab->trg_enum}}) {
        const std::vector<std::string_view> views(words.begin(), words.end());
        std::vector<WordId> ids(views.size());
        e->str2ids(views, ids.data());
        if (e->size() != views.size()) throw std::invalid_argument("the words are not distinct");
    }
    t.model->trans_dist =
        std::make_shared<TransTable>(pattern_, std::move(v.values), std::move(v.row_default));
    if (with_counts) {
        t.count_cooc_src2trg.emplace(std::move(*v.counts));
        t.save_trans_dist(host, "trans", threshold, nbest);
    } else {
        write_trans_dist(host, *t.model, "trans", threshold, nbest, false, nullptr);
    }
    return std::move(host.files["trans"]);
}

AlignRows::AlignRows(std::size_t s_max, std::size_t t_max, std::span<const BlockKey> blocks)
    : start_(s_max, t_max, blocks) {}

AlignRows::Values AlignRows::initial() const { return {start_.values, start_.tail_zero}; }

AlignRows::Values AlignRows::maximize(std::span<const double> values,
                                      std::span<const std::uint8_t> tail_zero,
                                      const std::vector<double>& counts) const {
    check_size(values.size(), start_.values.size(), "alignment values");
    check_size(tail_zero.size(), start_.tail_zero.size(), "alignment rows");
    check_size(counts.size(), start_.values.size(), "alignment counts");
    AlignTable table = start_;
    std::copy(values.begin(), values.end(), table.values.begin());
    std::copy(tail_zero.begin(), tail_zero.end(), table.tail_zero.begin());
    table.normalize_rows(counts);
    return {std::move(table.values), std::move(table.tail_zero)};
}

WholeTrainer::WholeTrainer(Host& host) {
    trainer_.init(host);
    trainer_.count_slots = false;
}

std::vector<WordId> WholeTrainer::add_words(bool source, std::span<const std::string> words) {
    Vocab& v = *trainer_.model->vocab;
    std::vector<std::string_view> views(words.begin(), words.end());
    std::vector<WordId> ids(views.size());
    (source ? v.src_enum : v.trg_enum).str2ids(views, ids.data());
    return ids;
}

void WholeTrainer::add_lengths(std::size_t src_len, std::size_t trg_len) {
    Vocab& v = *trainer_.model->vocab;
    v.max_src_len = std::max(v.max_src_len, static_cast<std::int32_t>(src_len));
    v.max_trg_len = std::max(v.max_trg_len, static_cast<std::int32_t>(trg_len));
}

std::vector<std::string> WholeTrainer::words(bool source, std::size_t first,
                                             std::size_t count) const {
    const Vocab& v = *trainer_.model->vocab;
    const StringEnumerator& e = source ? v.src_enum : v.trg_enum;
    if (first > e.size() || count > e.size() - first)
        throw std::out_of_range("words beyond the vocabulary");
    std::vector<std::string> out;
    out.reserve(count);
    for (std::size_t k = first; k < first + count; ++k)
        out.emplace_back(e.id2str(static_cast<WordId>(k)));
    return out;
}

AlignTable& WholeTrainer::align() {
    if (!trainer_.model->align_dist) throw Missing("the tables", Missing::Use::subscript);
    return *trainer_.model->align_dist;
}

const AlignTable& WholeTrainer::align() const { return const_cast<WholeTrainer*>(this)->align(); }

void WholeTrainer::make_align(std::span<const BlockKey> blocks) {
    const TableShape dims = shape();
    trainer_.model->align_dist = std::make_unique<AlignTable>(dims.s_max, dims.t_max, blocks);
    trainer_.count_align_trg2src.emplace(trainer_.model->align_dist->values.size(), 0.0);
}

std::span<double> WholeTrainer::align_counts() {
    align();
    return *trainer_.count_align_trg2src;
}

void WholeTrainer::save_align(Host& host, const std::string& path,
                              const Threshold& threshold) const {
    align();
    trainer_.save_align_dist(host, path, threshold);
}

}  // namespace zel::align
