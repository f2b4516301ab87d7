#include "bindings/align/align_classes.hpp"

#include <algorithm>

#include <cstdlib>
#include <limits>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

namespace zel::bind {

nb::list sent_pairs_to_list(const align::Corpus& corpus) {
    const auto ids_list = [](std::span<const align::WordId> ids) {
        nb::list out;
        for (const align::WordId id : ids) out.append(id);
        return out;
    };
    nb::list pairs;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        pairs.append(nb::make_tuple(ids_list(corpus.src(i)), ids_list(corpus.trg(i))));
    }
    return pairs;
}

namespace {

std::optional<std::string> text_or_none(nb::handle value) {
    if (value.is_none()) return std::nullopt;
    if (!PyUnicode_Check(value.ptr())) expected_type("str", value);
    return path_bytes(value);
}

nb::object counts_view(const std::optional<std::vector<double>>& counts, nb::handle owner) {
    if (!counts) return nb::none();
    return nb::cast(nb::ndarray<nb::numpy, const double>(counts->data(), {counts->size()}, owner));
}

nb::object counts_view(const std::optional<align::CellCounts>& counts, nb::handle owner) {
    if (!counts) return nb::none();
    // Counts in a table's slots live as long as the table, whatever the trainer does next.
    nb::object keeper = nb::borrow(owner);
    if (const auto& table = counts->slots_of()) {
        keeper = nb::capsule(new std::shared_ptr<align::TransTable>(table), [](void* p) noexcept {
            delete static_cast<std::shared_ptr<align::TransTable>*>(p);
        });
    }
    const std::size_t shape[1] = {counts->size()};
    const std::int64_t strides[1] = {static_cast<std::int64_t>(counts->stride())};
    return nb::cast(
        nb::ndarray<nb::numpy, const double>(counts->data(), 1, shape, keeper, strides));
}

}  // namespace

void configure_trainer(align::Trainer& trainer, nb::handle conf, nb::dict others) {
    Host& host = toolkit_host();
    host.debug(Channel::align, "base trainer __init__");
    trainer.init(host);
    nb::object config = nb::module_::import_("zel.common.config").attr("Config")(conf);
    config.attr("update")(others);
    nb::list keys;
    keys.append("src_path");
    keys.append("trg_path");
    if (truthy(config.attr("has")(keys))) {
        nb::object data = config.attr("data");
        trainer.src_path = text_or_none(data.attr("src_path"));
        trainer.trg_path = text_or_none(data.attr("trg_path"));
    }
    trainer.character_based = truthy(config.attr("get")("character", false));
}

nb::tuple trainer_state(nb::handle self) {
    auto& t = native<align::Trainer>(self);
    nb::object pairs = t.sent_pairs ? nb::object(sent_pairs_to_list(*t.sent_pairs)) : nb::none();
    const auto path = [](const std::optional<std::string>& p) -> nb::object {
        return p ? nb::object(path_object(*p)) : nb::none();
    };
    nb::tuple fields = nb::make_tuple(t.model, path(t.src_path), path(t.trg_path), pairs,
                                      t.character_based, counts_view(t.count_cooc_src2trg, self),
                                      counts_view(t.count_align_trg2src, self));
    // A host subclass's own attributes travel after the fields.
    nb::object own = nb::getattr(self, "__dict__", nb::none());
    if (own.is_none() || nb::len(own) == 0) return fields;
    return nb::borrow<nb::tuple>(fields + nb::make_tuple(own));
}

namespace {

std::vector<align::WordId> word_ids(nb::handle ids) {
    std::vector<align::WordId> out;
    for (nb::handle id : ids) {
        const long long v = PyLong_AsLongLong(id.ptr());
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        if (v < 0 || v > static_cast<long long>(std::numeric_limits<align::WordId>::max())) {
            throw nb::value_error("a word id of a trainer's state is out of range");
        }
        out.push_back(static_cast<align::WordId>(v));
    }
    return out;
}

std::optional<align::Corpus> corpus_of(nb::handle pairs) {
    if (pairs.is_none()) return std::nullopt;
    align::Corpus corpus;
    for (nb::handle pair : pairs) {
        if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2) {
            expected_type("tuple of two id lists", pair);
        }
        corpus.push_back(word_ids(nb::borrow<nb::tuple>(pair)[0]),
                         word_ids(nb::borrow<nb::tuple>(pair)[1]));
    }
    return corpus;
}

std::optional<std::vector<double>> counts_of(nb::handle array) {
    if (array.is_none()) return std::nullopt;
    nb::object flat = nb::module_::import_("numpy").attr("ascontiguousarray")(array, "float64");
    nb::ndarray<const double, nb::ndim<1>, nb::c_contig> values;
    if (!nb::try_cast(flat, values)) expected_type("1-D array of counts", array);
    return std::vector<double>(values.data(), values.data() + values.shape(0));
}

}  // namespace

void set_trainer_state(nb::handle self, nb::handle state) {
    auto& t = native<align::Trainer>(self);
    if (!PyTuple_Check(state.ptr())) expected_type("tuple", state);
    const nb::tuple fields = nb::borrow<nb::tuple>(state);
    if (fields.size() != 7 && fields.size() != 8) {
        throw nb::value_error("a trainer's state has 7 fields (8 with a subclass's attributes)");
    }
    std::shared_ptr<align::Model> model;
    if (!fields[0].is_none() && !nb::try_cast(fields[0], model)) {
        expected_type("Model", fields[0]);
    }
    // Everything is converted before the trainer changes, so a bad state leaves it as it was.
    auto src_path = text_or_none(fields[1]);
    auto trg_path = text_or_none(fields[2]);
    auto sent_pairs = corpus_of(fields[3]);
    const bool character = truthy(fields[4]);
    auto cooc = counts_of(fields[5]);
    auto align_counts = counts_of(fields[6]);
    t.model = std::move(model);
    t.src_path = std::move(src_path);
    t.trg_path = std::move(trg_path);
    t.sent_pairs = std::move(sent_pairs);
    t.character_based = character;
    t.count_cooc_src2trg.reset();
    if (cooc) t.count_cooc_src2trg.emplace(std::move(*cooc));
    t.count_align_trg2src = std::move(align_counts);
    t.counts_recoverable = t.align_counts_saved = false;
    if (fields.size() == 8) self.attr("__dict__").attr("update")(fields[7]);
}

void require_capi(nb::handle module, std::initializer_list<const char*> names) {
    nb::object table = nb::getattr(module, "__capi__", nb::none());
    for (const char* name : names) {
        if (table.is_none() || !truthy(table.attr("__contains__")(name))) {
            PyErr_Format(PyExc_ImportError, "%s does not export the native function %s",
                         nb::cast<std::string>(module.attr("__name__")).c_str(), name);
            throw nb::python_error();
        }
    }
}

}  // namespace zel::bind
