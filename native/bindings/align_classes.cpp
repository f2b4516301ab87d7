#include "bindings/align_classes.hpp"

#include <cstdlib>

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
    return nb::cast<std::string>(value);
}

nb::object counts_view(const std::optional<std::vector<double>>& counts, nb::handle owner) {
    if (!counts) return nb::none();
    return nb::cast(nb::ndarray<nb::numpy, const double>(counts->data(), {counts->size()}, owner));
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
    if (nb::cast<bool>(config.attr("has")(keys))) {
        nb::object data = config.attr("data");
        trainer.src_path = text_or_none(data.attr("src_path"));
        trainer.trg_path = text_or_none(data.attr("trg_path"));
    }
    trainer.character_based = PyObject_IsTrue(config.attr("get")("character", false).ptr()) == 1;
    // Memory for the per-pair cell index, which makes EM steps several times faster; corpora
    // whose index would not fit look cells up instead.
    if (const char* budget = std::getenv("ZEL_PAIR_INDEX_BUDGET_MB")) {
        trainer.pair_cells_budget = static_cast<std::size_t>(std::strtoull(budget, nullptr, 10))
                                    << 20;
    }
}

nb::tuple trainer_state(nb::handle self) {
    auto& t = nb::cast<align::Trainer&>(self);
    nb::object pairs = t.sent_pairs ? nb::object(sent_pairs_to_list(*t.sent_pairs)) : nb::none();
    return nb::make_tuple(t.model, t.src_path, t.trg_path, pairs, t.character_based,
                          counts_view(t.count_cooc_src2trg, self),
                          counts_view(t.count_align_trg2src, self));
}

void require_capi(nb::handle module, std::initializer_list<const char*> names) {
    nb::object table = nb::getattr(module, "__capi__", nb::none());
    for (const char* name : names) {
        if (table.is_none() || !nb::cast<bool>(table.attr("__contains__")(name))) {
            PyErr_Format(PyExc_ImportError, "%s does not export the native function %s",
                         nb::cast<std::string>(module.attr("__name__")).c_str(), name);
            throw nb::python_error();
        }
    }
}

}  // namespace zel::bind
