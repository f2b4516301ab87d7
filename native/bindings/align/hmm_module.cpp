// zel.smt.align.hmm: the HMM alignment model trained in both directions (by agreement or
// apart), its files and its links; and the one-pair kernels, for checking them.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <limits>
#include <string>
#include <vector>

#include "align/hmm/pair_aligner.hpp"
#include "align/hmm/trainer.hpp"
#include "align/links/links.hpp"
#include "align/model/distribution_files.hpp"
#include "bindings/align/hmm_settings.hpp"
#include "bindings/support.hpp"
#include "common/errors.hpp"
#include "common/format.hpp"

namespace nb = nanobind;
using zel::align::HmmLattice;
using zel::align::HmmTrainer;
using zel::align::JumpTable;
using zel::align::kJumpBuckets;
using zel::align::PairAligner;

namespace {

using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Vector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

int direction_of(int d) {
    if (d != 0 && d != 1) throw nb::value_error("direction must be 0 (source to target) or 1");
    return d;
}

JumpTable table_of(const Vector& weights, double null_prob) {
    if (weights.shape(0) != kJumpBuckets) {
        throw nb::value_error(
            ("jump weights must have " + std::to_string(kJumpBuckets) + " values").c_str());
    }
    JumpTable table{};
    for (std::size_t b = 0; b < kJumpBuckets; ++b) table.weight[b] = weights(b);
    table.null_prob = null_prob;
    return table;
}

std::optional<std::string> optional_path(nb::handle p) {
    if (p.is_none()) return std::nullopt;
    return zel::bind::path_argument(p);
}

// A lattice whose emissions are `emit` (m rows of l + 1, the NULL word's first).
HmmLattice lattice_of(const Matrix& emit) {
    HmmLattice lattice;
    const std::size_t m = emit.shape(0), n = emit.shape(1);
    if (n == 0) throw nb::value_error("emissions need a column for the NULL word");
    lattice.reset(n - 1, m);
    std::copy(emit.data(), emit.data() + m * n, lattice.emit());
    return lattice;
}

}  // namespace

NB_MODULE(hmm, m) {
    m.doc() = "The HMM alignment model, trained in both directions by EM or by agreement.";
    zel::bind::init_module(m);
    m.attr("JUMP_BOUND") = zel::align::kJumpBound;

    nb::class_<HmmTrainer> cls(m, "HmmAligner",
                               "Both directions of the HMM alignment model over one corpus.");
    cls.def(
        "__init__",
        [](HmmTrainer* self, nb::handle src_path, nb::handle trg_path,
           std::int32_t model1_iterations, std::int32_t iterations, bool agreement, double prior,
           std::optional<double> null_prob, std::optional<double> prune, bool character) {
            new (self) HmmTrainer(zel::bind::hmm_settings(src_path, trg_path, model1_iterations,
                                                          iterations, agreement, prior, null_prob,
                                                          prune, character));
        },
        nb::arg("src_path"), nb::arg("trg_path"), nb::kw_only(), nb::arg("model1_iterations") = 5,
        nb::arg("iterations") = 5, nb::arg("agreement") = true, nb::arg("prior") = 0.0,
        nb::arg("null_prob") = nb::none(), nb::arg("prune") = nb::none(),
        nb::arg("character") = false,
        "Settings of training; nothing is read before train(). prune: translation cells below "
        "it after Model 1 are left out of the HMM, in less memory and with somewhat fewer "
        "right links (0 or None keeps them all).");
    cls.def(
        "train", [](HmmTrainer& t) { t.train(zel::bind::toolkit_host()); },
        "Model 1 iterations of each direction, then the HMM iterations. Ctrl-C between "
        "iterations keeps the model of the last one done (if Model 1 was done).");
    cls.def(
        "load",
        [](HmmTrainer& t, nb::handle trans_forward, nb::handle trans_backward,
           nb::handle jumps_forward, nb::handle jumps_backward) {
            const std::array<std::string, 2> trans{zel::bind::path_argument(trans_forward),
                                                   zel::bind::path_argument(trans_backward)};
            const std::array<std::string, 2> jumps{zel::bind::path_argument(jumps_forward),
                                                   zel::bind::path_argument(jumps_backward)};
            zel::naming_memory("reading the model files",
                               [&] { t.load(zel::bind::toolkit_host(), trans, jumps); });
        },
        nb::arg("trans_forward"), nb::arg("trans_backward"), nb::arg("jumps_forward"),
        nb::arg("jumps_backward"),
        "Instead of train(): reads the corpus and both directions' translation and jump files "
        "(source-to-target first), to score and align the corpus with them.");
    cls.def_prop_ro("trained", &HmmTrainer::trained);
    cls.def(
        "entropies", [](const HmmTrainer& t, int d) { return t.entropies(direction_of(d)); },
        nb::arg("direction"), "The per-word entropy of each HMM E-step of a direction.");
    cls.def(
        "jumps",
        [](const HmmTrainer& t, int d) {
            const JumpTable& j = t.jumps(direction_of(d));
            std::vector<double> w(j.weight.begin(), j.weight.end());
            return nb::make_tuple(zel::bind::to_numpy(std::move(w), {kJumpBuckets}), j.null_prob);
        },
        nb::arg("direction"), "(jump weights from -JUMP_BOUND to JUMP_BOUND, NULL probability).");
    cls.def(
        "translations",
        [](const HmmTrainer& t, int d) {
            t.require_model();
            const auto& model = *t.direction(direction_of(d)).model;
            const auto& table = *model.trans_dist;
            nb::list src, trg;
            for (std::size_t s = 0; s < table.rows(); ++s)
                src.append(zel::bind::to_str(
                    model.vocab->src_enum.id2str(static_cast<zel::StringEnumerator::Id>(s))));
            for (std::size_t w = 0; w < table.cols(); ++w)
                trg.append(zel::bind::to_str(
                    model.vocab->trg_enum.id2str(static_cast<zel::StringEnumerator::Id>(w))));
            std::vector<double> dense(table.rows() * table.cols());
            for (std::size_t s = 0; s < table.rows(); ++s)
                for (std::size_t w = 0; w < table.cols(); ++w)
                    dense[s * table.cols() + w] = table.at(s, w);
            return nb::make_tuple(
                src, trg, zel::bind::to_numpy(std::move(dense), {table.rows(), table.cols()}));
        },
        nb::arg("direction"),
        "(source words, target words, t[source, target]) of a direction, dense: for small "
        "vocabularies.");
    cls.def(
        "save_translations",
        [](const HmmTrainer& t, int d, nb::handle path, double threshold,
           std::optional<std::int64_t> nbest) {
            const int dir = direction_of(d);
            t.require_model();
            zel::Host& host = zel::bind::toolkit_host();
            const std::string name = zel::bind::path_argument(path);
            zel::naming_memory("writing " + name, [&] {
                zel::align::write_trans_dist(
                    host, *t.direction(dir).model, name,
                    {threshold, zel::fmt::float_repr(threshold)},
                    nbest.value_or(std::numeric_limits<std::int64_t>::max()), false, nullptr);
            });
        },
        nb::arg("direction"), nb::arg("path"), nb::arg("threshold") = 0.001,
        nb::arg("nbest") = nb::none(),
        "The translation distribution of a direction, in the format of zel-train's (each "
        "source word's nbest most probable entries above threshold; None: all of them).");
    cls.def(
        "save_jumps",
        [](const HmmTrainer& t, int d, nb::handle path) {
            const int dir = direction_of(d);
            const std::string name = zel::bind::path_argument(path);
            zel::naming_memory("writing " + name,
                               [&] { t.save_jumps(zel::bind::toolkit_host(), dir, name); });
        },
        nb::arg("direction"), nb::arg("path"),
        "The jump distribution of a direction: \"null<TAB>p0\", then \"width<TAB>weight\" "
        "for widths -JUMP_BOUND to JUMP_BOUND (the ends stand for every wider jump).");
    cls.def(
        "save_viterbi_links",
        [](const HmmTrainer& t, int d, nb::handle path) {
            const int dir = direction_of(d);
            zel::Host& host = zel::bind::toolkit_host();
            const std::string name = zel::bind::path_argument(path);
            zel::naming_memory("writing " + name, [&] {
                zel::align::HmmPasses::save_links(host, name, t.passes().viterbi(host, dir));
            });
        },
        nb::arg("direction"), nb::arg("path"),
        "A direction's most probable links, \"i-j\" lines in source-target orientation.");
    cls.def(
        "save_symmetrized_links",
        [](const HmmTrainer& t, nb::handle path, const std::string& heuristic,
           nb::handle forward_path, nb::handle backward_path, nb::handle posteriors_path) {
            const auto h = zel::links::heuristic_named(heuristic);
            if (!h) throw nb::value_error(("unknown heuristic '" + heuristic + "'").c_str());
            const std::string name = zel::bind::path_argument(path);
            zel::naming_memory("writing " + name, [&] {
                t.passes().save_symmetrized_links(
                    zel::bind::toolkit_host(), name, *h, optional_path(forward_path),
                    optional_path(backward_path), optional_path(posteriors_path));
            });
        },
        nb::arg("path"), nb::arg("heuristic"), nb::arg("forward_path") = nb::none(),
        nb::arg("backward_path") = nb::none(), nb::arg("posteriors_path") = nb::none(),
        "Both directions' most probable links combined by a symmetrisation heuristic; each "
        "direction's own links also to forward_path and backward_path, and each combined "
        "link's posterior (\"i-j p\" tokens, a line a pair) to posteriors_path, when given.");
    cls.def(
        "save_posterior_links",
        [](const HmmTrainer& t, nb::handle path, double threshold, nb::handle posteriors_path) {
            zel::Host& host = zel::bind::toolkit_host();
            const std::string name = zel::bind::path_argument(path);
            const auto posteriors_name = optional_path(posteriors_path);
            zel::naming_memory("writing " + name, [&] {
                std::vector<std::vector<double>> posteriors;
                const auto links = t.passes().posterior_links(
                    host, threshold, posteriors_name ? &posteriors : nullptr);
                zel::align::HmmPasses::save_links(host, name, links);
                if (posteriors_name)
                    zel::align::HmmPasses::save_link_posteriors(host, *posteriors_name, links,
                                                                posteriors);
            });
        },
        nb::arg("path"), nb::arg("threshold") = 0.2, nb::arg("posteriors_path") = nb::none(),
        "Links whose posterior, the product of the two directions', is at least threshold; "
        "each link's posterior too (\"i-j p\" tokens, a line a pair) to posteriors_path when "
        "given.");
    cls.def(
        "save_scores",
        [](const HmmTrainer& t, int d, nb::handle path) {
            const int dir = direction_of(d);
            const std::string name = zel::bind::path_argument(path);
            zel::naming_memory("writing " + name, [&] {
                t.passes().save_scores(zel::bind::toolkit_host(), dir, name);
            });
        },
        nb::arg("direction"), nb::arg("path"),
        "Each pair's entropy per target word (natural logarithm) under a direction, a line a "
        "pair.");
    zel::bind::refuse_pickling(cls);

    nb::class_<PairAligner> pairs(
        m, "PairAligner",
        "A trained HMM read from its files, aligning sentence pairs given in memory.");
    pairs.def(
        "__init__",
        [](PairAligner* self, nb::handle trans_forward, nb::handle trans_backward,
           nb::handle jumps_forward, nb::handle jumps_backward, bool character) {
            namespace bind = zel::bind;
            new (self) PairAligner(
                bind::toolkit_host(),
                {bind::path_argument(trans_forward), bind::path_argument(trans_backward)},
                {bind::path_argument(jumps_forward), bind::path_argument(jumps_backward)},
                character);
        },
        nb::arg("trans_forward"), nb::arg("trans_backward"), nb::arg("jumps_forward"),
        nb::arg("jumps_backward"), nb::kw_only(), nb::arg("character") = false,
        "Reads both directions' translation and jump files, source-to-target first.");
    pairs.def_prop_ro("character", &PairAligner::character_based);
    pairs.def(
        "align",
        [](const PairAligner& a, std::string src_text, std::string trg_text,
           std::optional<double> threshold, const std::string& heuristic, bool posteriors) {
            zel::align::Decoding decoding;
            decoding.posterior_threshold = threshold;
            const auto h = zel::links::heuristic_named(heuristic);
            if (!h) throw nb::value_error(("unknown heuristic '" + heuristic + "'").c_str());
            decoding.heuristic = *h;
            // An interrupt is taken under the lock, and raised once the work has stopped.
            struct Stopped {};
            const auto check = [] {
                nb::gil_scoped_acquire held;
                if (PyErr_CheckSignals() != 0) throw Stopped{};
            };
            zel::align::PairLinks out;
            try {
                nb::gil_scoped_release released;
                out = zel::naming_memory("aligning the pairs", [&] {
                    return a.align(std::move(src_text), std::move(trg_text), decoding, posteriors,
                                   check);
                });
            } catch (const Stopped&) {
                throw nb::python_error();
            }
            std::vector<std::int64_t> starts{0};
            std::vector<std::uint32_t> flat;
            std::vector<double> probs;
            for (std::size_t p = 0; p < out.links.size(); ++p) {
                for (const auto& link : out.links[p]) {
                    flat.push_back(link.src);
                    flat.push_back(link.trg);
                }
                starts.push_back(static_cast<std::int64_t>(flat.size() / 2));
                if (posteriors)
                    probs.insert(probs.end(), out.posteriors[p].begin(), out.posteriors[p].end());
            }
            const std::size_t pairs = starts.size(), links = flat.size() / 2, kept = probs.size();
            return nb::make_tuple(zel::bind::to_numpy(std::move(starts), {pairs}),
                                  zel::bind::to_numpy(std::move(flat), {links, 2}),
                                  zel::bind::to_numpy(std::move(probs), {kept}));
        },
        nb::arg("src_text"), nb::arg("trg_text"), nb::kw_only(), nb::arg("threshold") = 0.2,
        nb::arg("heuristic") = "grow-diag-final-and", nb::arg("posteriors") = false,
        "The links of the pairs of two texts of one sentence a line, as (starts, links, "
        "posteriors): pair p's links are links[starts[p]:starts[p + 1]] (source, target "
        "positions), their posteriors the same slice of posteriors (empty unless asked for). "
        "threshold None: each direction's most probable links combined by heuristic. The "
        "interpreter lock is released while the pairs are aligned.");
    zel::bind::refuse_pickling(pairs);

    m.def(
        "pair_posteriors",
        [](const Matrix& emit, const Vector& weights, double null_prob) {
            HmmLattice lattice = lattice_of(emit);
            const std::size_t rows = emit.shape(0), cols = emit.shape(1);
            std::vector<double> post(rows * cols, 0.0);
            zel::align::JumpCounts counts;
            const double ll =
                lattice.posteriors(table_of(weights, null_prob), post.data(), &counts);
            std::vector<double> jumps(counts.jumps.begin(), counts.jumps.end());
            return nb::make_tuple(ll, zel::bind::to_numpy(std::move(post), {rows, cols}),
                                  zel::bind::to_numpy(std::move(jumps), {kJumpBuckets}),
                                  counts.wide_below, counts.wide_above, counts.null, counts.real);
        },
        nb::arg("emit"), nb::arg("weights"), nb::arg("null_prob"),
        "One pair's forward-backward: (log-likelihood, posteriors [m, l + 1], expected jumps, "
        "expected widths there were below and above the bound, expected NULL words, expected "
        "real words). `emit` holds t(f_j | NULL), t(f_j | e_i).");
    m.def(
        "pair_viterbi",
        [](const Matrix& emit, const Vector& weights, double null_prob) {
            HmmLattice lattice = lattice_of(emit);
            std::vector<std::uint32_t> best(emit.shape(0));
            lattice.viterbi(table_of(weights, null_prob), best.data());
            return zel::bind::to_numpy(std::move(best), {emit.shape(0)});
        },
        nb::arg("emit"), nb::arg("weights"), nb::arg("null_prob"),
        "One pair's most probable source position of each target word (0 for NULL).");
}
