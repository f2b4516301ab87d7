#include "align/hmm/trainer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <span>

#include "align/model/distribution_files.hpp"
#include "align/model/em_loop.hpp"
#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/line_reader.hpp"

namespace zel::align {

JumpTable read_jumps(Host& host, const std::string& path) {
    auto source = host.open_read(path, std::nullopt);
    LineReader lines(*source);
    JumpTable table{};
    std::array<bool, kJumpBuckets + 1> seen{};  // the widths, then the NULL probability
    std::string_view line;
    while (lines.next(line)) {
        const auto fail = [&](const std::string& why) {
            throw ValueError(path + ", line " + std::to_string(lines.line_number()) + ": " + why);
        };
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) fail("not \"KEY<TAB>VALUE\"");
        const std::string_view key = line.substr(0, tab), text = line.substr(tab + 1);
        double value = 0.0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
            value < 0.0)
            fail("not a finite number >= 0: '" + std::string(text) + "'");
        if (key == "null") {
            if (seen[kJumpBuckets]) fail("null is listed twice");
            if (!(value < 1.0)) fail("the NULL probability must be below 1");
            table.null_prob = value;
            seen[kJumpBuckets] = true;
            continue;
        }
        std::ptrdiff_t width = 0;
        const auto [at, bad] = std::from_chars(key.data(), key.data() + key.size(), width);
        if (bad != std::errc() || at != key.data() + key.size() || width < -kJumpBound ||
            width > kJumpBound)
            fail("not \"null\" nor a width from " + std::to_string(-kJumpBound) + " to " +
                 std::to_string(kJumpBound) + ": '" + std::string(key) + "'");
        if (seen[JumpTable::bucket(width)]) fail("width " + std::string(key) + " is listed twice");
        table.weight[JumpTable::bucket(width)] = value;
        seen[JumpTable::bucket(width)] = true;
    }
    for (std::size_t b = 0; b <= kJumpBuckets; ++b) {
        if (!seen[b]) {
            throw ValueError(
                path + ": no line for " +
                (b == kJumpBuckets
                     ? std::string("null")
                     : "width " + std::to_string(static_cast<std::ptrdiff_t>(b) - kJumpBound)));
        }
    }
    double total = 0.0;
    for (const double w : table.weight) total += w;
    if (!(total > 0.0)) throw ValueError(path + ": every jump weight is 0, so no link is possible");
    return table;
}

void check_probability(const std::string& path, std::string_view src, std::string_view trg,
                       double p) {
    if (p >= 0.0 && p <= 1.0) return;
    throw ValueError(path + ": the probability of '" + std::string(trg) + "' given '" +
                     std::string(src) + "' is " + fmt::float_repr(p) +
                     ", not a probability from 0 to 1");
}

namespace {

// The values the table holds, each checked by check_probability.
void check_probabilities(const std::string& path, const Model& model) {
    const TransTable& table = *model.trans_dist;
    const CooccurrencePattern& pattern = table.pattern();
    for (std::size_t s = 0; s < table.rows(); ++s) {
        for (std::size_t c = pattern.row_begin(s); c < pattern.row_end(s); ++c) {
            check_probability(path,
                              model.vocab->src_enum.id2str(static_cast<StringEnumerator::Id>(s)),
                              model.vocab->trg_enum.id2str(pattern.col(c)), table.value(c));
        }
    }
}

// Words of a corpus that hold a tab cannot be written to a translation file, whose fields are
// separated by tabs: refused with the first line that has one, before anything is trained.
void refuse_tab_words(const Model1Trainer& t, const HmmSettings& settings) {
    const auto marked = [](const StringEnumerator& words) {
        std::vector<bool> tab(words.size());
        bool any = false;
        for (std::size_t id = 0; id < words.size(); ++id) {
            if (words.id2str(static_cast<StringEnumerator::Id>(id)).find('\t') ==
                std::string_view::npos)
                continue;
            tab[id] = true;
            any = true;
        }
        return any ? tab : std::vector<bool>{};
    };
    const std::vector<bool> src = marked(t.model->vocab->src_enum);
    const std::vector<bool> trg = marked(t.model->vocab->trg_enum);
    if (src.empty() && trg.empty()) return;
    const Corpus& corpus = *t.sent_pairs;
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        const auto holds = [](const std::vector<bool>& tab, std::span<const WordId> ids) {
            return !tab.empty() &&
                   std::any_of(ids.begin(), ids.end(), [&](WordId id) { return tab[id]; });
        };
        const bool in_src = holds(src, corpus.src(p));
        if (!in_src && !holds(trg, corpus.trg(p))) continue;
        const auto& path = in_src ? settings.src_path : settings.trg_path;
        throw ValueError(path.value_or("None") + ", line " + std::to_string(p + 1) +
                         ": a word holds a tab, which the translation files cannot hold (their "
                         "fields are separated by tabs)");
    }
}

// The lattice of a pair holds every (target position, source position) cell in several arrays
// a thread, and its time grows with their number too: the user is told of a pair whose
// lattice passes this, which makes a run slow and large for one line.
constexpr std::size_t kLargeLattice = std::size_t{1} << 20;
constexpr std::size_t kLatticeBytesPerCell = 8 * sizeof(double);

void warn_of_long_pairs(Host& host, const Corpus& corpus) {
    std::size_t largest = 0, at = 0, count = 0;
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        const std::size_t cells = corpus.src(p).size() * corpus.trg(p).size();
        if (cells <= kLargeLattice) continue;
        ++count;
        if (cells > largest) largest = cells, at = p;
    }
    if (count == 0) return;
    const auto commas = [](std::size_t n) {
        return fmt::with_commas(static_cast<std::int64_t>(n));
    };
    host.warning(Channel::hmm,
                 "line " + commas(at + 1) + ": a pair of " + commas(corpus.src(at).size() - 1) +
                     " x " + commas(corpus.trg(at).size()) + " words, whose HMM lattice takes " +
                     commas(largest * kLatticeBytesPerCell >> 20) +
                     " MB a thread and time that grows with the product of its lengths" +
                     (count > 1 ? " (" + commas(count - 1) + " more pairs pass " +
                                      commas(kLargeLattice) + " cells)"
                                : std::string()));
}

}  // namespace

void HmmTrainer::start_once() {
    if (started_) throw ValueError("an HmmAligner trains or loads once; make another");
    started_ = true;
}

void HmmTrainer::require_model() const {
    if (!trained_) throw ValueError("no model yet: train() or load() first");
}

void HmmTrainer::start(Host& host, int d) {
    Model1Trainer& t = d == 0 ? forward_ : backward_;
    t.src_path = d == 0 ? settings_.src_path : settings_.trg_path;
    t.trg_path = d == 0 ? settings_.trg_path : settings_.src_path;
    t.character_based = settings_.character_based;
    t.pair_cells_budget = settings_.pair_cells_budget;
    t.memory_share = d == 0 ? 2 : 1;  // the other direction's tables come after these
    t.compact_index = true;           // both directions' tables live at once
    // The first direction's share halves what it counts on; the second counts on what is left,
    // which the first's later needs come out of too (the same pairs, the same cells transposed).
    t.later_bytes = [this, d](const Corpus& corpus, std::size_t cells) {
        return memory_after_training(corpus, cells) * (d == 0 ? 1 : 2);
    };
    t.init(host);
}

void HmmTrainer::check_pairs() const {
    const Corpus& a = *forward_.sent_pairs;
    const Corpus& b = *backward_.sent_pairs;
    if (a.size() != b.size()) {
        throw ValueError("the two directions read different numbers of pairs (" +
                         std::to_string(a.size()) + " and " + std::to_string(b.size()) + ")");
    }
    for (std::size_t p = 0; p < a.size(); ++p) {
        if (a.src(p).size() != b.trg(p).size() + 1 || a.trg(p).size() + 1 != b.src(p).size())
            throw ValueError("the two directions read different pairs at line " +
                             std::to_string(p + 1));
    }
}

void HmmTrainer::load(Host& host, const std::array<std::string, 2>& trans,
                      const std::array<std::string, 2>& jumps) {
    start_once();
    for (int d = 0; d < 2; ++d) {
        Model1Trainer& t = d == 0 ? forward_ : backward_;
        const auto k = static_cast<std::size_t>(d);
        start(host, d);
        register_trans_words(host, trans[k], *t.model->vocab);
        t.count_slots = false;  // nothing is trained
        t.setup(host);
        load_trans_dist(host, trans[k], *t.model);
        check_probabilities(trans[k], *t.model);
        jumps_[k] = read_jumps(host, jumps[k]);
    }
    check_pairs();
    warn_of_long_pairs(host, *forward_.sent_pairs);
    trained_ = true;
}

// The HMM's iterations: each E-step gives both directions' entropies under the model it reads,
// which the log shows; every allowed step is taken.
class HmmTrainer::Phase : public EmPhase {
public:
    explicit Phase(HmmTrainer& trainer) : t_(trainer) {}

    std::optional<double> initial(Host&, bool) override { return std::nullopt; }

    std::optional<double> step(Host& host, std::int32_t s, bool) override {
        std::array<JumpCounts, 2> counts{};
        const auto logs = naming_memory("taking HMM step " + std::to_string(s + 1), [&] {
            return t_.passes().expect(
                host, t_.settings_.agreement,
                {&t_.forward_.count_cooc_src2trg, &t_.backward_.count_cooc_src2trg}, counts);
        });
        for (int d = 0; d < 2; ++d) {
            const auto k = static_cast<std::size_t>(d);
            const std::size_t words = t_.direction(d).sent_pairs->trg_tokens();
            const double entropy = words > 0 ? -logs[k] / static_cast<double>(words) : 0.0;
            t_.entropies_[k].push_back(entropy);
            host.info(Channel::hmm, std::string("entropy ") + direction_name(d) + ": " +
                                        fmt::float_repr(entropy));
        }
        t_.maximize(counts);
        return std::nullopt;
    }

private:
    HmmTrainer& t_;
};

void HmmTrainer::train(Host& host) {
    start_once();
    for (int d = 0; d < 2; ++d) {
        host.info(Channel::hmm,
                  std::string("HMM alignment model, ") + direction_name(d) + ": IBM Model 1 first");
        start(host, d);
        Model1Trainer& t = d == 0 ? forward_ : backward_;
        t.setup(host);
        if (d == 0) {
            refuse_tab_words(t, settings_);
            warn_of_long_pairs(host, *t.sent_pairs);
        }
        naming_memory(std::string("training IBM Model 1 ") + direction_name(d),
                      [&] { t.train(host, settings_.model1_iterations); });
        const double threshold = settings_.prune.value_or(default_prune(t.sent_pairs->size()));
        if (threshold > 0.0) prune(host, d, threshold);
    }
    // A pruned direction's pair index is made once the other's full table is gone: it would
    // sit unread beside that table while Model 1 trains the other direction.
    for (int d = 0; d < 2; ++d) {
        Model1Trainer& t = d == 0 ? forward_ : backward_;
        if (t.pair_cells) continue;
        naming_memory(std::string("indexing the pairs' cells ") + direction_name(d),
                      [&] { t.index_cells(host); });
    }
    check_pairs();
    for (auto& table : jumps_) table = JumpTable::start(settings_.null_prob);
    trained_ = true;
    Phase phase(*this);
    run_em(host, hmm_log(settings_.agreement), phase, settings_.hmm_iterations);
}

void HmmTrainer::prune(Host& host, int d, double threshold) {
    Model1Trainer& t = d == 0 ? forward_ : backward_;
    const std::size_t before = t.model->trans_dist->cells();
    const std::size_t kept = naming_memory(std::string("pruning ") + direction_name(d),
                                           [&] { return t.keep_cells(threshold, threshold); });
    const auto commas = [](std::size_t n) {
        return fmt::with_commas(static_cast<std::int64_t>(n));
    };
    host.info(Channel::hmm, std::string("translation cells kept for the HMM, ") +
                                direction_name(d) + ": " + commas(kept) + " of " + commas(before) +
                                " (t >= " + fmt::float_repr(threshold) + ")");
}

void HmmTrainer::maximize(std::array<JumpCounts, 2>& counts) {
    Model1Trainer* both[] = {&forward_, &backward_};
    for (std::size_t d = 0; d < 2; ++d) {
        Model1Trainer& t = *both[d];
        TransTable& table = *t.model->trans_dist;
        if (settings_.prior > 0.0) {
            normalize_rows_vb(table, *t.count_cooc_src2trg, settings_.prior, table.cols());
        } else {
            table.normalize_rows(*t.count_cooc_src2trg);
        }
        jumps_[d] = reestimate_jumps(counts[d], settings_.null_prob);
    }
}

void HmmTrainer::save_jumps(Host& host, int d, const std::string& path) const {
    require_model();
    write_jumps(host, jumps(d), path);
}

}  // namespace zel::align
