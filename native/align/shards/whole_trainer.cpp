#include "align/shards/whole_trainer.hpp"

#include "align/model/distribution_files.hpp"
#include "common/errors.hpp"

namespace zel::align {

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
