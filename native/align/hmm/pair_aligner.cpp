#include "align/hmm/pair_aligner.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "align/hmm/passes.hpp"
#include "align/hmm/trainer.hpp"
#include "align/model/distribution_files.hpp"
#include "common/quiet_host.hpp"

namespace zel::align {

std::optional<double> PairAligner::Direction::listed(WordId e, WordId f) const {
    if (e + 1 >= row_start.size()) return std::nullopt;
    const auto begin = cols.begin() + static_cast<std::ptrdiff_t>(row_start[e]);
    const auto end = cols.begin() + static_cast<std::ptrdiff_t>(row_start[e + 1]);
    const auto at = std::lower_bound(begin, end, f);
    if (at == end || *at != f) return std::nullopt;
    return probs[static_cast<std::size_t>(at - cols.begin())];
}

PairAligner::Direction PairAligner::read(Host& host, const std::string& path) {
    Direction d;
    std::vector<TransEntry> entries = read_trans_entries(host, path, d.vocab);
    for (const TransEntry& e : entries)
        check_probability(path, d.vocab.src_enum.id2str(e.src), d.vocab.trg_enum.id2str(e.trg),
                          e.p);
    // A pair listed twice keeps its later line, as loading a table does.
    std::sort(entries.begin(), entries.end(), [](const TransEntry& a, const TransEntry& b) {
        return a.src != b.src ? a.src < b.src : a.trg != b.trg ? a.trg < b.trg : a.line > b.line;
    });
    const auto same = [](const TransEntry& a, const TransEntry& b) {
        return a.src == b.src && a.trg == b.trg;
    };
    entries.erase(std::unique(entries.begin(), entries.end(), same), entries.end());
    d.row_start.assign(d.vocab.src_enum.size() + 1, 0);
    for (const TransEntry& e : entries) ++d.row_start[e.src + 1];
    std::partial_sum(d.row_start.begin(), d.row_start.end(), d.row_start.begin());
    d.cols.reserve(entries.size());
    d.probs.reserve(entries.size());
    for (const TransEntry& e : entries) {
        d.cols.push_back(e.trg);
        d.probs.push_back(e.p);
    }
    return d;
}

PairAligner::PairAligner(Host& host, const std::array<std::string, 2>& trans,
                         const std::array<std::string, 2>& jumps, bool character_based)
    : character_based_(character_based) {
    for (std::size_t d = 0; d < 2; ++d) {
        dirs_[d] = read(host, trans[d]);
        jumps_[d] = read_jumps(host, jumps[d]);
    }
}

namespace {

// Ids in `base` of the words of `local` (-1: not there).
std::vector<std::int64_t> ids_in(const StringEnumerator& local, const StringEnumerator& base) {
    std::vector<std::int64_t> ids(local.size());
    for (std::size_t w = 0; w < ids.size(); ++w)
        ids[w] = base.find(local.id2str(static_cast<StringEnumerator::Id>(w)));
    return ids;
}

}  // namespace

PairLinks PairAligner::align(std::string src_text, std::string trg_text, const Decoding& decoding,
                             bool with_posteriors, std::function<void()> check) const {
    QuietHost quiet(std::move(check));
    const std::string src = quiet.serve(std::move(src_text));
    const std::string trg = quiet.serve(std::move(trg_text));
    std::array<Model1Trainer, 2> trainers;
    for (std::size_t d = 0; d < 2; ++d) {
        Model1Trainer& t = trainers[d];
        t.src_path = d == 0 ? src : trg;
        t.trg_path = d == 0 ? trg : src;
        t.character_based = character_based_;
        t.count_slots = false;
        // A batch's index is small: every cell, never sized by the memory left.
        t.pair_cells_budget = std::numeric_limits<std::size_t>::max();
        t.init(quiet);
        t.setup(quiet);

        const Direction& model = dirs_[d];
        const Vocab& words = *t.model->vocab;
        const auto src_ids = ids_in(words.src_enum, model.vocab.src_enum);
        const auto trg_ids = ids_in(words.trg_enum, model.vocab.trg_enum);
        const auto unknown =
            static_cast<std::size_t>(std::count(trg_ids.begin(), trg_ids.end(), -1));
        const double uniform = 1.0 / static_cast<double>(model.vocab.trg_enum.size() + unknown);
        TransTable& table = *t.model->trans_dist;
        std::fill(table.row_default.begin(), table.row_default.end(), uniform);
        const CooccurrencePattern& pattern = table.pattern();
        for (std::size_t s = 0; s < pattern.rows(); ++s) {
            for (std::size_t c = pattern.row_begin(s); c < pattern.row_end(s); ++c) {
                std::optional<double> p;
                const std::int64_t e = src_ids[s], f = trg_ids[pattern.col(c)];
                if (e >= 0 && f >= 0)
                    p = model.listed(static_cast<WordId>(e), static_cast<WordId>(f));
                table.set_value(c, p.value_or(uniform));
            }
        }
    }
    const HmmPasses passes(trainers[0], trainers[1], jumps_);
    PairLinks out;
    if (decoding.posterior_threshold) {
        out.links = passes.posterior_links(quiet, *decoding.posterior_threshold,
                                           with_posteriors ? &out.posteriors : nullptr);
    } else {
        out.links = passes.symmetrized_links(quiet, decoding.heuristic);
        if (with_posteriors) out.posteriors = passes.link_posteriors(quiet, out.links);
    }
    return out;
}

}  // namespace zel::align
