#include "align/trainer.hpp"

#include "common/errors.hpp"
#include "common/format.hpp"

namespace zel::align {

void Trainer::init(Host&) { throw NotImplemented(); }
void Trainer::init_trans_dist(Host&) { throw NotImplemented(); }
void Trainer::init_align_dist(Host&) { throw NotImplemented(); }
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

CorpusCells Trainer::corpus_cells() const {
    if (!sent_pairs) throw Missing("the corpus", Missing::Use::length);
    if (!pair_cells) throw Missing("the pair cell index", Missing::Use::subscript);
    return {*sent_pairs, pair_cells.get()};
}

}  // namespace zel::align
