#include "align/shards/shard.hpp"

#include <algorithm>
#include <stdexcept>

#include "align/model/distribution_files.hpp"
#include "common/errors.hpp"

namespace zel::align {

namespace {

void check_ids(std::span<const WordId> ids, std::size_t words, const char* side) {
    for (const WordId id : ids) {
        if (id >= words) {
            throw std::invalid_argument(std::string(side) + " word id " + std::to_string(id) +
                                        " is not below the whole's " + std::to_string(words) +
                                        " words");
        }
    }
}

}  // namespace

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
    const std::string src = host.serve(std::move(src_text));
    const std::string trg = host.serve(std::move(trg_text));
    trainer_.sent_pairs = trainer_.model->vocab->load_sent_pairs(host, src, trg, character_based);
    host.clear();
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
    const std::string path = host.new_path();
    trainer_.model->calc_and_save_scores(host, path, trainer_.corpus_cells(),
                                         keep_links ? &links_ : nullptr);
    return host.take(path);
}

std::string ShardTrainer::decoded(QuietHost& host) {
    require_joined();
    const std::string path = host.new_path();
    trainer_.model->decode_and_save_align(host, path, trainer_.corpus_cells(), &links_);
    links_ = DecodedLinks();
    return host.take(path);
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
    const std::string symmetrized = host.new_path();
    const std::array<std::string, 2> links{host.new_path(), host.new_path()};
    passes.save_symmetrized_links(host, symmetrized, heuristic, links[0], links[1]);
    for (int d = 0; d < 2; ++d) {
        const auto k = static_cast<std::size_t>(d);
        out.links[k] = host.take(links[k]);
        if (scores) {
            const std::string path = host.new_path();
            passes.save_scores(host, d, path);
            out.scores[k] = host.take(path);
        }
    }
    out.symmetrized = host.take(symmetrized);
    if (posterior_threshold) {
        const std::string path = host.new_path();
        HmmPasses::save_links(host, path, passes.posterior_links(host, *posterior_threshold));
        out.posterior = host.take(path);
    }
    return out;
}

}  // namespace zel::align
