// zel.smt.align._shards: the native halves of training one corpus as shards in several
// processes (see zel.smt.align.cluster, which moves their arrays between processes).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <array>
#include <cfenv>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "align/hmm/trainer.hpp"
#include "align/ibm/model1.hpp"
#include "align/model/em_loop.hpp"
#include "align/shards/row_ranges.hpp"
#include "align/shards/shard.hpp"
#include "align/shards/whole_trainer.hpp"
#include "bindings/support.hpp"

namespace nb = nanobind;
using zel::QuietHost;
using zel::align::AlignRows;
using zel::align::BlockKey;
using zel::align::JumpCounts;
using zel::align::JumpTable;
using zel::align::kJumpBuckets;
using zel::align::RowRange;
using zel::align::ShardTrainer;
using zel::align::WholeTrainer;
using zel::align::WordId;

namespace {

template <class T>
using In = nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
template <class T>
using Out = nb::ndarray<nb::numpy, T, nb::ndim<1>>;

// A NumPy array that owns `values`.
template <class T>
nb::ndarray<nb::numpy, T> owned(std::vector<T> values) {
    const std::size_t n = values.size();
    return zel::bind::to_numpy(std::move(values), {n});
}

// A NumPy array over `n` values that `self` owns (read-only for const values).
template <class T>
Out<T> view(T* data, std::size_t n, nb::handle self) {
    return Out<T>(data, {n}, self);
}

template <class T>
std::span<const T> span_of(const In<T>& a) {
    return {a.data(), a.shape(0)};
}

// Arrays given in a list, as spans over them.
template <class T>
std::vector<std::span<const T>> spans_of(const std::vector<In<T>>& arrays) {
    std::vector<std::span<const T>> spans;
    spans.reserve(arrays.size());
    for (const auto& a : arrays) spans.push_back(span_of(a));
    return spans;
}

// A copy of an array, for native code that keeps or changes its values.
template <class T>
std::vector<T> vector_of(const In<T>& a) {
    return {a.data(), a.data() + a.shape(0)};
}

// Alignment blocks cross as a flat array: a0, b0, a1, b1, ...
std::vector<BlockKey> blocks_of(const In<std::uint64_t>& flat) {
    if (flat.shape(0) % 2 != 0) throw nb::value_error("alignment blocks come in (a, b) pairs");
    std::vector<BlockKey> keys(flat.shape(0) / 2);
    for (std::size_t k = 0; k < keys.size(); ++k) keys[k] = {flat(2 * k), flat(2 * k + 1)};
    return keys;
}

struct Shard {
    QuietHost host;
    std::optional<ShardTrainer> trainer;

    ShardTrainer& get() {
        if (!trainer) throw nb::value_error("the shard holds no pairs");
        return *trainer;
    }
};

std::vector<std::string> texts(const std::vector<std::string_view>& words) {
    return {words.begin(), words.end()};
}

nb::tuple row_values(RowRange::Values v) {
    nb::object counts = nb::none();
    if (v.counts) counts = nb::cast(owned(std::move(*v.counts)));
    return nb::make_tuple(owned(std::move(v.values)), owned(std::move(v.row_default)), counts);
}

// A jump table crosses as (weights from -JUMP_BOUND to JUMP_BOUND, NULL probability).
using JumpPair = std::pair<In<double>, double>;

JumpTable jump_table(const JumpPair& given) {
    const auto& [weights, null_prob] = given;
    if (weights.shape(0) != kJumpBuckets) {
        throw nb::value_error(
            ("jump weights must have " + std::to_string(kJumpBuckets) + " values").c_str());
    }
    JumpTable table{};
    std::copy(weights.data(), weights.data() + kJumpBuckets, table.weight.begin());
    table.null_prob = null_prob;
    return table;
}

std::array<JumpTable, 2> jump_tables(const std::vector<JumpPair>& given) {
    if (given.size() != 2) throw nb::value_error("one jump table for each direction");
    return {jump_table(given[0]), jump_table(given[1])};
}

// Jump counts cross as an array: the jumps, then the wide widths below and above, the NULL
// words and the real ones.
constexpr std::size_t kJumpCountValues = kJumpBuckets + 4;

nb::ndarray<nb::numpy, double> jump_counts_array(const JumpCounts& c) {
    std::vector<double> v(c.jumps.begin(), c.jumps.end());
    v.insert(v.end(), {c.wide_below, c.wide_above, c.null, c.real});
    return owned(std::move(v));
}

JumpCounts jump_counts_of(const In<double>& a) {
    if (a.shape(0) != kJumpCountValues) {
        throw nb::value_error(
            ("jump counts must have " + std::to_string(kJumpCountValues) + " values").c_str());
    }
    JumpCounts c;
    std::copy(a.data(), a.data() + kJumpBuckets, c.jumps.begin());
    c.wide_below = a(kJumpBuckets);
    c.wide_above = a(kJumpBuckets + 1);
    c.null = a(kJumpBuckets + 2);
    c.real = a(kJumpBuckets + 3);
    return c;
}

nb::bytes bytes_of(const std::string& text) { return nb::bytes(text.data(), text.size()); }

nb::tuple align_values(AlignRows::Values v) {
    return nb::make_tuple(owned(std::move(v.values)), owned(std::move(v.tail_zero)));
}

// A phase of the EM loop whose steps the client takes on the cluster: `initial()` and
// `step(s)` give the entropy of the model as it stands, or None.
class ClientPhase final : public zel::align::EmPhase {
public:
    ClientPhase(nb::callable initial, nb::callable step)
        : initial_(std::move(initial)), step_(std::move(step)) {}
    std::optional<double> initial(zel::Host&, bool) override {
        return nb::cast<std::optional<double>>(initial_());
    }
    std::optional<double> step(zel::Host&, std::int32_t s, bool) override {
        return nb::cast<std::optional<double>>(step_(s));
    }

private:
    nb::callable initial_, step_;
};

}  // namespace

NB_MODULE(_shards, m) {
    m.doc() = "Native halves of training one corpus as shards in several processes.";
    zel::bind::init_module(m);
    m.def(
        "report_flags",
        [](int raised, const std::string& operation) {
            if (operation != "log" && operation != "divide")
                throw nb::value_error("operation must be 'log' or 'divide'");
            zel::report_raised(zel::bind::toolkit_host(), raised,
                               operation == "log" ? zel::FloatEvent::Operation::log
                                                  : zel::FloatEvent::Operation::divide);
        },
        nb::arg("raised"), nb::arg("operation"),
        "Reports the floating-point flags a shard's work raised, as one process reports them "
        "(numpy.seterr decides).");

    m.def(
        "run_em",
        [](const std::string& model, std::int32_t limit, nb::callable initial, nb::callable step,
           bool agreement) {
            zel::align::EmLog log;
            if (model == "model1") {
                log = zel::align::model1_log();
            } else if (model == "model2") {
                log = zel::align::model2_log();
            } else if (model == "hmm") {
                log = zel::align::hmm_log(agreement);
            } else {
                throw nb::value_error("model must be 'model1', 'model2' or 'hmm'");
            }
            ClientPhase phase(std::move(initial), std::move(step));
            zel::align::run_em(zel::bind::toolkit_host(), log, phase, limit);
        },
        nb::arg("model"), nb::arg("limit"), nb::arg("initial"), nb::arg("step"),
        nb::arg("agreement") = true,
        "Runs one EM phase of `model` ('model1', 'model2' or 'hmm', by agreement or not) as one "
        "process runs it, with its log lines and stopping rule: `initial()` and `step(s)` give "
        "the entropy of the model as it stands, or None.");

    m.def(
        "merge_keys",
        [](const std::vector<In<std::uint64_t>>& lists, std::size_t first, std::size_t count,
           std::size_t n_trg) {
            const auto spans = spans_of(lists);
            zel::align::KeyUnion u;
            {
                nb::gil_scoped_release quiet;
                u = zel::align::merge_keys(spans, first, count, n_trg);
            }
            nb::list positions;
            for (auto& p : u.positions) positions.append(owned(std::move(p)));
            return nb::make_tuple(owned(std::move(u.keys)), positions);
        },
        nb::arg("lists"), nb::arg("first"), nb::arg("count"), nb::arg("n_trg"),
        "The union of sorted, distinct arrays of cell keys of rows [first, first + count), and "
        "where each array's keys lie in it.");

    nb::class_<Shard>(m, "ShardTrainer", "One shard's pairs, tables and E-steps.")
        .def(
            "__init__",
            [](Shard* self, nb::bytes src, nb::bytes trg, bool character, int model) {
                new (self) Shard();
                std::string s(src.c_str(), src.size()), t(trg.c_str(), trg.size());
                nb::gil_scoped_release quiet;
                self->trainer.emplace(self->host, std::move(s), std::move(t), character, model);
            },
            nb::arg("src"), nb::arg("trg"), nb::arg("character") = false, nb::arg("model") = 2,
            "Reads the pairs of two texts of lines, words numbered as they first appear; model "
            "2 for IBM Model 2 (trained first as Model 1), 1 for Model 1 alone (the HMM's "
            "start).")
        .def_prop_ro("pairs", [](Shard& s) { return s.get().pairs(); })
        .def_prop_ro("target_words", [](Shard& s) { return s.get().target_words(); })
        .def_prop_ro("max_lengths",
                     [](Shard& s) {
                         return std::vector<std::size_t>{s.get().max_src_len(),
                                                         s.get().max_trg_len()};
                     })
        .def(
            "words", [](Shard& s, bool source) { return texts(s.get().words(source)); },
            nb::arg("source"), "The shard's words by their ids in the shard.")
        .def(
            "join",
            [](Shard& s, const In<WordId>& src_ids, const In<WordId>& trg_ids,
               const std::vector<std::size_t>& shape) {
                if (shape.size() != 4) throw nb::value_error("the shape has four sizes");
                const zel::align::TableShape whole{shape[0], shape[1], shape[2], shape[3]};
                nb::gil_scoped_release quiet;
                s.get().join(s.host, span_of(src_ids), span_of(trg_ids), whole);
            },
            nb::arg("src_ids"), nb::arg("trg_ids"), nb::arg("shape"),
            "Renumbers the words with the whole corpus's ids and makes the tables.")
        .def("cell_keys", [](Shard& s) { return owned(s.get().cell_keys()); })
        .def("row_lengths", [](Shard& s) { return owned(s.get().row_lengths()); })
        .def("block_keys",
             [](Shard& s) {
                 std::vector<std::uint64_t> flat;
                 for (const auto& [a, b] : s.get().block_keys()) {
                     flat.push_back(a);
                     flat.push_back(b);
                 }
                 return owned(std::move(flat));
             })
        .def(
            "set_values",
            [](Shard& s, const std::vector<In<double>>& trans, const In<double>& align,
               const In<std::uint8_t>& tail_zero) {
                s.get().set_values(spans_of(trans), span_of(align), span_of(tail_zero));
            },
            nb::arg("trans"), nb::arg("align"), nb::arg("tail_zero"))
        .def(
            "set_trans_values",
            [](Shard& s, const std::vector<In<double>>& trans) {
                s.get().set_trans_values(spans_of(trans));
            },
            nb::arg("trans"))
        .def("entropy_sum",
             [](Shard& s) {
                 zel::align::Model::EntropySum sum{};
                 {
                     nb::gil_scoped_release quiet;
                     sum = s.get().entropy_sum(s.host);
                 }
                 return nb::make_tuple(sum.total, sum.raised);
             })
        .def(
            "expect",
            [](Shard& s, int model) {
                if (model != 1 && model != 2) throw nb::value_error("model must be 1 or 2");
                s.host.raised = 0;
                std::vector<double> trans, align;
                zel::align::Model::EntropySum entropy{};
                {
                    nb::gil_scoped_release quiet;
                    entropy = s.get().expect(s.host, model);
                    trans = s.get().trans_counts();
                    if (model == 2) align = s.get().align_counts();
                }
                return nb::make_tuple(nb::make_tuple(entropy.total, entropy.raised),
                                      owned(std::move(trans)), owned(std::move(align)),
                                      s.host.raised);
            },
            nb::arg("model"),
            "An E-step: ((entropy sum, its flags), translation counts, alignment counts "
            "(Model 2), flags raised).")
        .def(
            "outputs",
            [](Shard& s, bool scores, bool decoded) {
                std::string score_text, decoded_text;
                s.host.raised = 0;
                {
                    nb::gil_scoped_release quiet;
                    if (scores) score_text = s.get().scores(s.host, decoded);
                    if (decoded) decoded_text = s.get().decoded(s.host);
                }
                return nb::make_tuple(nb::bytes(score_text.data(), score_text.size()),
                                      nb::bytes(decoded_text.data(), decoded_text.size()),
                                      s.host.raised);
            },
            nb::arg("scores"), nb::arg("decoded"),
            "The lines of the pairs' scores and decoded links, as bytes.");

    m.def(
        "hmm_expect",
        [](Shard& forward, Shard& backward, const std::vector<JumpPair>& jumps, bool agreement) {
            const auto tables = jump_tables(jumps);
            forward.host.raised = 0;
            zel::align::HmmShardStep step;
            std::vector<double> counts[2];
            {
                nb::gil_scoped_release quiet;
                step = zel::align::hmm_expect(forward.host, forward.get(), backward.get(), tables,
                                              agreement);
                counts[0] = forward.get().trans_counts();
                counts[1] = backward.get().trans_counts();
            }
            return nb::make_tuple(
                nb::make_tuple(step.logs[0], step.logs[1]), owned(std::move(counts[0])),
                owned(std::move(counts[1])),
                nb::make_tuple(jump_counts_array(step.jumps[0]), jump_counts_array(step.jumps[1])),
                forward.host.raised);
        },
        nb::arg("forward"), nb::arg("backward"), nb::arg("jumps"), nb::arg("agreement"),
        "An E-step of the HMM over one shard read both ways: ((each direction's sum of "
        "log-likelihoods), forward counts, backward counts, (each direction's jump counts), "
        "flags raised).");
    m.def(
        "estimate_jumps",
        [](const std::vector<In<double>>& counts, std::optional<double> null_prob) {
            JumpCounts total;
            for (const auto& c : counts) total.add(jump_counts_of(c));
            const JumpTable t = zel::align::reestimate_jumps(total, null_prob);
            return nb::make_tuple(owned(std::vector<double>(t.weight.begin(), t.weight.end())),
                                  t.null_prob);
        },
        nb::arg("counts"), nb::arg("null_prob") = nb::none(),
        "The jump table of the shards' jump counts, added up in order: (weights, NULL "
        "probability); a given null_prob is kept.");
    m.def(
        "uniform_jumps",
        [](std::optional<double> null_prob) {
            const JumpTable t = JumpTable::start(null_prob);
            return nb::make_tuple(owned(std::vector<double>(t.weight.begin(), t.weight.end())),
                                  t.null_prob);
        },
        nb::arg("null_prob").none(),
        "The jump table training starts from: (weights, NULL probability); a given null_prob "
        "is kept.");
    m.def(
        "save_jumps",
        [](nb::handle path, const JumpPair& jumps) {
            zel::align::write_jumps(zel::bind::toolkit_host(), jump_table(jumps),
                                    zel::bind::path_argument(path));
        },
        nb::arg("path"), nb::arg("jumps"), "Writes a jump file.");
    m.def(
        "hmm_outputs",
        [](Shard& forward, Shard& backward, const std::vector<JumpPair>& jumps,
           const std::string& heuristic, bool scores, std::optional<double> posterior_threshold) {
            const auto h = zel::links::heuristic_named(heuristic);
            if (!h) throw nb::value_error(("unknown heuristic '" + heuristic + "'").c_str());
            const auto tables = jump_tables(jumps);
            zel::align::HmmShardTexts t;
            {
                nb::gil_scoped_release quiet;
                t = zel::align::hmm_outputs(forward.host, forward.get(), backward.get(), tables, *h,
                                            scores, posterior_threshold);
            }
            return nb::make_tuple(nb::make_tuple(bytes_of(t.links[0]), bytes_of(t.links[1])),
                                  nb::make_tuple(bytes_of(t.scores[0]), bytes_of(t.scores[1])),
                                  bytes_of(t.symmetrized), bytes_of(t.posterior));
        },
        nb::arg("forward"), nb::arg("backward"), nb::arg("jumps"), nb::arg("heuristic"),
        nb::arg("scores"), nb::arg("posterior_threshold") = nb::none(),
        "A shard's HMM outputs as bytes: ((each direction's Viterbi links), (each direction's "
        "scores, when asked), symmetrised links, posterior links (with a threshold)).");

    nb::class_<RowRange>(m, "RowRange", "A range of the whole's rows, re-estimated apart.")
        .def(
            "__init__",
            [](RowRange* self, std::size_t first, std::size_t count, std::size_t n_trg,
               const In<std::uint64_t>& keys) {
                new (self) RowRange(first, count, n_trg, span_of(keys));
            },
            nb::arg("first"), nb::arg("count"), nb::arg("n_trg"), nb::arg("keys"),
            "The rows [first, first + count) with the cells of the sorted, distinct keys "
            "s * n_trg + t.")
        .def_prop_ro("first", &RowRange::first)
        .def_prop_ro("cells", &RowRange::cells)
        .def("keys", [](const RowRange& r) { return owned(r.keys()); })
        .def("initial", [](const RowRange& r) { return row_values(r.initial()); })
        .def(
            "maximize",
            [](const RowRange& r, const In<double>& values, const In<double>& row_default,
               const std::vector<In<std::uint32_t>>& positions,
               const std::vector<In<double>>& counts, double prior) {
                if (!(prior >= 0.0) || !std::isfinite(prior))
                    throw nb::value_error("prior must be a finite number >= 0");
                const auto at = spans_of(positions);
                const auto c = spans_of(counts);
                RowRange::Values out;
                {
                    nb::gil_scoped_release quiet;
                    out = r.maximize(span_of(values), span_of(row_default), at, c, prior);
                }
                return row_values(std::move(out));
            },
            nb::arg("values"), nb::arg("row_default"), nb::arg("positions"), nb::arg("counts"),
            nb::arg("prior") = 0.0,
            "The (values, row defaults, counts) of an M-step from these, with each shard's "
            "counts of the cells at its positions (variational Bayes with a prior above 0).")
        .def(
            "trans_lines",
            [](const RowRange& r, const In<double>& values, const In<double>& row_default,
               const std::optional<In<double>>& counts, const std::vector<std::string>& src_words,
               const std::vector<std::string>& trg_words, double threshold,
               const std::string& threshold_text, std::int64_t nbest, bool with_counts) {
                std::string text;
                {
                    RowRange::Values v{vector_of(values), vector_of(row_default), std::nullopt};
                    if (counts) v.counts = vector_of(*counts);
                    nb::gil_scoped_release quiet;
                    text = r.trans_lines(std::move(v), src_words, trg_words,
                                         {threshold, threshold_text}, nbest, with_counts);
                }
                return bytes_of(text);
            },
            nb::arg("values"), nb::arg("row_default"), nb::arg("counts").none(),
            nb::arg("src_words"), nb::arg("trg_words"), nb::arg("threshold"),
            nb::arg("threshold_text"), nb::arg("nbest"), nb::arg("with_counts") = true,
            "The rows' lines of the translation file, as bytes: the trainer's, with each "
            "cell's count, or the model's (with_counts false).");

    nb::class_<AlignRows>(m, "AlignRows", "The whole's alignment table, re-estimated apart.")
        .def(
            "__init__",
            [](AlignRows* self, std::size_t s_max, std::size_t t_max,
               const In<std::uint64_t>& blocks) {
                new (self) AlignRows(s_max, t_max, blocks_of(blocks));
            },
            nb::arg("s_max"), nb::arg("t_max"), nb::arg("blocks"))
        .def("initial", [](const AlignRows& a) { return align_values(a.initial()); })
        .def(
            "maximize",
            [](const AlignRows& a, const In<double>& values, const In<std::uint8_t>& tail_zero,
               const In<double>& counts) {
                return align_values(
                    a.maximize(span_of(values), span_of(tail_zero), vector_of(counts)));
            },
            nb::arg("values"), nb::arg("tail_zero"), nb::arg("counts"),
            "The (values, tail flags) an M-step makes of these and the counts.");

    nb::class_<WholeTrainer>(m, "WholeTrainer", "The model of the whole corpus.")
        .def(
            "__init__",
            [](WholeTrainer* self) { new (self) WholeTrainer(zel::bind::toolkit_host()); },
            "An empty model.")
        .def(
            "add_words",
            [](WholeTrainer& w, bool source, const std::vector<std::string>& words) {
                return owned(w.add_words(source, words));
            },
            nb::arg("source"), nb::arg("words"),
            "Registers a shard's words in order and gives their ids.")
        .def("add_lengths", &WholeTrainer::add_lengths, nb::arg("src_len"), nb::arg("trg_len"))
        .def_prop_ro("shape",
                     [](const WholeTrainer& w) {
                         const auto d = w.shape();
                         return std::vector<std::size_t>{d.n_src, d.n_trg, d.s_max, d.t_max};
                     })
        .def(
            "words",
            [](const WholeTrainer& w, bool source, std::size_t first, std::size_t count) {
                return w.words(source, first, count);
            },
            nb::arg("source"), nb::arg("first"), nb::arg("count"),
            "The words of ids [first, first + count) of one side.")
        .def(
            "make_align",
            [](WholeTrainer& w, const In<std::uint64_t>& blocks) {
                w.make_align(blocks_of(blocks));
            },
            nb::arg("blocks"))
        .def(
            "align_values",
            [](nb::handle self) {
                auto& w = nb::cast<WholeTrainer&>(self);
                auto& a = w.align();
                const auto c = w.align_counts();
                return nb::make_tuple(view(a.values.data(), a.values.size(), self),
                                      view(a.tail_zero.data(), a.tail_zero.size(), self),
                                      view(c.data(), c.size(), self));
            },
            "The stored alignment values, their rows' tail flags and the counts the file shows "
            "(writable, shared).")
        .def(
            "save_align",
            [](const WholeTrainer& w, nb::handle path, double threshold,
               const std::string& threshold_text) {
                w.save_align(zel::bind::toolkit_host(), zel::bind::path_argument(path),
                             {threshold, threshold_text});
            },
            nb::arg("path"), nb::arg("threshold"), nb::arg("threshold_text"));
}
