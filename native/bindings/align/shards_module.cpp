// zel.smt.align._shards: the native halves of training one corpus as shards in several
// processes (see zel.smt.align.distributed, which moves their arrays between processes).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cfenv>
#include <optional>
#include <string>
#include <vector>

#include "align/shard.hpp"
#include "bindings/support.hpp"

namespace nb = nanobind;
using zel::align::BlockKey;
using zel::align::QuietHost;
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

}  // namespace

NB_MODULE(_shards, m) {
    m.doc() = "Native halves of training one corpus as shards in several processes.";
    zel::bind::init_module(m);
    m.def(
        "report_flags",
        [](int raised, const std::string& operation) {
            if (operation != "log" && operation != "divide")
                throw nb::value_error("operation must be 'log' or 'divide'");
            zel::align::report_raised(zel::bind::toolkit_host(), raised,
                                      operation == "log" ? zel::FloatEvent::Operation::log
                                                         : zel::FloatEvent::Operation::divide);
        },
        nb::arg("raised"), nb::arg("operation"),
        "Reports the floating-point flags a shard's work raised, as one process reports them "
        "(numpy.seterr decides).");

    nb::class_<Shard>(m, "ShardTrainer", "One shard's pairs, tables and E-steps.")
        .def(
            "__init__",
            [](Shard* self, nb::bytes src, nb::bytes trg, bool character) {
                new (self) Shard();
                std::string s(src.c_str(), src.size()), t(trg.c_str(), trg.size());
                nb::gil_scoped_release quiet;
                self->trainer.emplace(self->host, std::move(s), std::move(t), character);
            },
            nb::arg("src"), nb::arg("trg"), nb::arg("character") = false,
            "Reads the pairs of two texts of lines, words numbered as they first appear.")
        .def_prop_ro("pairs", [](Shard& s) { return s.get().pairs(); })
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
            [](Shard& s, const In<double>& trans, const In<double>& align,
               const In<std::uint8_t>& tail_zero) {
                s.get().set_values(span_of(trans), span_of(align), span_of(tail_zero));
            },
            nb::arg("trans"), nb::arg("align"), nb::arg("tail_zero"))
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
            "make_tables",
            [](WholeTrainer& w, const In<std::uint64_t>& keys, const In<std::uint64_t>& blocks) {
                w.make_tables(zel::bind::toolkit_host(), span_of(keys), blocks_of(blocks));
            },
            nb::arg("keys"), nb::arg("blocks"))
        .def(
            "trans_counts",
            [](nb::handle self) {
                auto c = nb::cast<WholeTrainer&>(self).trans_counts();
                return view(c.data(), c.size(), self);
            },
            "The translation counts (writable, shared).")
        .def(
            "align_counts",
            [](nb::handle self) {
                auto c = nb::cast<WholeTrainer&>(self).align_counts();
                return view(c.data(), c.size(), self);
            },
            "The alignment counts (writable, shared).")
        .def("zero_counts", &WholeTrainer::zero_counts)
        .def(
            "maximize",
            [](WholeTrainer& w, int model) {
                if (model != 1 && model != 2) throw nb::value_error("model must be 1 or 2");
                w.maximize(zel::bind::toolkit_host(), model);
            },
            nb::arg("model"))
        .def(
            "trans_values",
            [](nb::handle self) {
                const auto& t = nb::cast<WholeTrainer&>(self).trans();
                return view(t.value_data(), t.cells(), self);
            },
            "The translation values, one per cell (shared).")
        .def(
            "align_values",
            [](nb::handle self) {
                const auto& a = nb::cast<WholeTrainer&>(self).align();
                return nb::make_tuple(view(a.values.data(), a.values.size(), self),
                                      view(a.tail_zero.data(), a.tail_zero.size(), self));
            },
            "The stored alignment values and their rows' tail flags (shared).")
        .def(
            "save_trans",
            [](const WholeTrainer& w, nb::handle path, double threshold,
               const std::string& threshold_text, std::int64_t nbest) {
                w.save_trans(zel::bind::toolkit_host(), zel::bind::path_argument(path),
                             {threshold, threshold_text}, nbest);
            },
            nb::arg("path"), nb::arg("threshold"), nb::arg("threshold_text"), nb::arg("nbest"))
        .def(
            "save_align",
            [](const WholeTrainer& w, nb::handle path, double threshold,
               const std::string& threshold_text) {
                w.save_align(zel::bind::toolkit_host(), zel::bind::path_argument(path),
                             {threshold, threshold_text});
            },
            nb::arg("path"), nb::arg("threshold"), nb::arg("threshold_text"));
}
