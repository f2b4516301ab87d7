// The training and scoring roads of emalign: configuration checks, the two pipelines, their
// command-line parsers and entry points. Everything the host sees is here; the work is done by
// the core's trainers and the distribution-file loaders.
#include <nanobind/stl/string.h>

#include <initializer_list>
#include <limits>
#include <optional>
#include <string>

#include "align/ibm/model2.hpp"
#include "align/model/distribution_files.hpp"
#include "bindings/align/align_classes.hpp"
#include "bindings/align/emalign.hpp"
#include "bindings/support.hpp"
#include "common/errors.hpp"

namespace nb = nanobind;

namespace zel::bind {

namespace {

nb::module_ emalign() { return nb::module_::import_("zel.smt.align.emalign"); }
nb::object logger() { return emalign().attr("logger"); }
nb::object make_config(nb::handle conf, nb::handle others) {
    nb::object config = nb::module_::import_("zel.common.config").attr("Config")(conf);
    config.attr("update")(others);
    return config;
}
std::string text_of(nb::handle value) { return nb::cast<std::string>(nb::str(value)); }
std::string path_of(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) expected_type("str", value);
    return path_bytes(value);
}

// Runs `body` as the pipelines' protected block: the host error it ends with, if any, is
// returned for the caller to log, with core exceptions turned into the host errors they stand
// for. An empty corpus is not caught: there is nothing to save, and the call must fail.
template <class Body>
std::optional<nb::python_error> run_protected(Body&& body) {
    try {
        body();
    } catch (const EmptyCorpus&) {
        throw;
    } catch (nb::python_error& e) {
        return std::move(e);
    } catch (...) {
        return as_python_error(std::current_exception());
    }
    return std::nullopt;
}

// Logs an exception with its traceback through the module logger's `exception`.
void log_exception(const nb::python_error& e) {
    nb::object value = nb::borrow(e.value());
    nb::dict kwargs;
    kwargs["exc_info"] = value;
    logger().attr("exception")(value, **kwargs);
}

// The iteration limit as the trainers' integer argument takes it.
std::int32_t iteration_limit_of(nb::handle value) {
    if (!PyLong_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    const long limit = PyLong_AsLong(value.ptr());
    if (limit == -1 && PyErr_Occurred()) throw nb::python_error();
    if (limit > std::numeric_limits<std::int32_t>::max() ||
        limit < std::numeric_limits<std::int32_t>::min()) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        throw nb::python_error();
    }
    return static_cast<std::int32_t>(limit);
}

align::Threshold threshold_of(nb::handle value) {
    // The host's comparison of a float with the threshold: any real number, nothing else.
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return {v, text_of(value)};
}

// nbest as the host's slice [:nbest] takes it: None keeps every entry, an integer (or an object
// with __index__) beyond the native range keeps all entries or none, as the slice would.
std::int64_t nbest_of(nb::handle value) {
    if (value.is_none()) return std::numeric_limits<std::int64_t>::max();
    if (!PyIndex_Check(value.ptr())) {
        throw nb::type_error("slice indices must be integers or None or have an __index__ method");
    }
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
    if (overflow < 0) return std::numeric_limits<std::int64_t>::min();
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n;
}

// Refuses, before anything is read or written, an output that is the same file as an input.
void check_outputs(nb::handle conf, std::initializer_list<const char*> outputs,
                   std::initializer_list<const char*> inputs) {
    nb::list outs, ins;
    for (const char* key : outputs) outs.append(conf.attr("get")(key, nb::none()));
    for (const char* key : inputs) ins.append(conf.attr("get")(key, nb::none()));
    nb::module_::import_("zel.common.files").attr("check_outputs")(outs, ins);
}

// Checks, before any EM step, the settings that saving will read, so a value it would refuse
// fails at once instead of after training (which would lose the trained model), and warns of
// settings that keep no entry. A key that is absent still fails where saving reads it.
void check_save_settings(nb::handle conf) {
    nb::object data = conf.attr("data");
    const auto present = [&](const char* key) { return nb::getattr(data, key, nb::none()); };
    const auto check_path = [&](const char* key, bool optional) {
        nb::object value = present(key);
        if (!value.is_none() && (!optional || truthy(value))) path_of(value);
    };
    check_path("save_trans_path", false);
    if (nb::hasattr(data, "threshold")) {
        const align::Threshold threshold = threshold_of(data.attr("threshold"));
        if (!(threshold.value < 1.0)) {
            logger().attr("warning")("threshold " + threshold.text +
                                     " keeps no entry (no probability exceeds 1): the "
                                     "distribution files will be empty");
        }
    }
    if (nb::hasattr(data, "nbest") && nbest_of(data.attr("nbest")) == 0)
        logger().attr("warning")("nbest 0 keeps no entry: the translation file will be empty");
    check_path("save_align_path", true);
    check_path("save_scores", true);
    check_path("decode_align", true);
    check_outputs(conf, {"save_trans_path", "save_align_path", "save_scores", "decode_align"},
                  {"src_path", "trg_path"});
}

// Training ended by `first` before a model existed: nothing is written, and the error says why.
[[noreturn]] void nothing_written(nb::python_error& first) {
    // Formatted by the host: the error's text may name a file whose name is not UTF-8.
    const nb::object reason = first.matches(PyExc_KeyboardInterrupt)
                                  ? nb::object(nb::str("interrupted"))
                                  : nb::object(nb::str("{}: {}").format(
                                        nb::handle(first.type()).attr("__name__"), first.value()));
    nb::raise_from(first, PyExc_RuntimeError,
                   "nothing was written: training ended before a model existed (%U)", reason.ptr());
}

// Whether the settings ask for decoded links, looked at before the scores are written, so the
// scores pass can decode them along; the setting is read again, where it always was, after.
bool links_wanted(nb::handle data) {
    try {
        return truthy(nb::getattr(data, "decode_align", nb::none()));
    } catch (const nb::python_error&) {
        return false;  // reported where the setting is read
    }
}

}  // namespace

nb::object check_train_config(nb::handle conf) {
    emalign().attr("dprint")("conf => " + nb::cast<std::string>(nb::repr(conf)));
    return nb::bool_(true);
}

nb::object train_emalign(nb::handle conf_in, nb::kwargs others) {
    nb::object conf = make_config(conf_in, others);
    if (!truthy(emalign().attr("check_train_config")(conf))) return nb::bool_(false);
    nb::object trainer_obj =
        nb::module_::import_("zel.smt.align.lextwo").attr("Model2Trainer")(conf, **others);
    auto& trainer = native<align::Model2Trainer>(trainer_obj);
    Host& host = toolkit_host();
    nb::object data = conf.attr("data");
    check_save_settings(conf);
    std::optional<nb::python_error> failure = run_protected([&] {
        const std::int32_t limit = iteration_limit_of(data.attr("iteration_limit"));
        trainer.train_models(host, limit);
    });
    if (failure) {
        if (failure->matches(PyExc_KeyboardInterrupt)) {
            logger().attr("warning")("interuppted by keyboard");
            logger().attr("info")("forcing to dump alignments and scores");
        } else if (failure->matches(PyExc_Exception)) {
            log_exception(*failure);
        } else {
            throw std::move(*failure);
        }
    }
    host.info(Channel::align, "----");
    {
        // Read in the order the call lists them, so a missing key is reported as the host would.
        const std::string path = path_of(data.attr("save_trans_path"));
        const align::Threshold threshold = threshold_of(data.attr("threshold"));
        const std::int64_t nbest = nbest_of(data.attr("nbest"));
        if (failure && !(trainer.model && trainer.model->trans_dist && trainer.count_cooc_src2trg))
            nothing_written(*failure);
        trainer.save_trans_dist(host, path, threshold, nbest);
    }
    nb::object align_path = data.attr("save_align_path");
    if (truthy(align_path)) {
        const std::string path = path_of(align_path);
        trainer.save_align_dist(host, path, threshold_of(data.attr("threshold")));
    }
    nb::object scores = data.attr("save_scores");
    align::DecodedLinks links;
    if (truthy(scores)) {
        trainer.model->calc_and_save_scores(host, path_of(scores), trainer.corpus_cells(),
                                            links_wanted(data) ? &links : nullptr);
    }
    nb::object decode = data.attr("decode_align");
    if (truthy(decode))
        trainer.model->decode_and_save_align(host, path_of(decode), trainer.corpus_cells(), &links);
    host.info(Channel::align, "----");
    return nb::bool_(true);
}

nb::object check_test_config(nb::handle conf) {
    logger().attr("debug")("conf => " + nb::cast<std::string>(nb::repr(conf)));
    if (truthy(conf.attr("get")("save_scores", nb::none())) ||
        truthy(conf.attr("get")("decode_align", nb::none()))) {
        return nb::bool_(true);
    }
    logger().attr("error")("At least one of following arguments is necessary:");
    logger().attr("error")("* --save-scores | --scores | -s");
    logger().attr("error")("* --decode-align | --decode | -d");
    return nb::bool_(false);
}

nb::object score_ibm_model(nb::handle conf_in, nb::kwargs others) {
    nb::object conf = make_config(conf_in, others);
    if (!truthy(emalign().attr("check_test_config")(conf))) return nb::bool_(false);
    nb::object trainer_obj = nb::module_::import_("zel.smt.align.lextwo")
                                 .attr("Model2Trainer")(conf, **nb::dict(others));
    auto& trainer = native<align::Model2Trainer>(trainer_obj);
    const bool character = truthy(conf.attr("get")("character", false));
    check_outputs(conf, {"save_scores", "decode_align"},
                  {"src_path", "trg_path", "trans_path", "align_path"});
    Host& host = toolkit_host();
    nb::object data = conf.attr("data");
    std::optional<nb::python_error> failure = run_protected([&] {
        align::Vocab& vocab = *trainer.model->vocab;
        const auto optional_path = [](nb::handle v) -> std::optional<std::string> {
            if (v.is_none()) return std::nullopt;
            return path_of(v);
        };
        const align::Corpus sent_pairs =
            vocab.load_sent_pairs(host, optional_path(data.attr("src_path")),
                                  optional_path(data.attr("trg_path")), character);
        const std::string trans_path = path_of(data.attr("trans_path"));
        align::register_trans_words(host, trans_path, vocab);
        trainer.count_slots = false;  // nothing is trained
        trainer.setup(host);
        align::load_trans_dist(host, trans_path, *trainer.model);
        nb::object align_path = data.attr("align_path");
        if (!align_path.is_none())
            align::load_align_dist(host, path_of(align_path), *trainer.model);
        const align::CorpusCells cells{sent_pairs, trainer.corpus_cells().cells};
        nb::object scores = data.attr("save_scores");
        align::DecodedLinks links;
        if (truthy(scores)) {
            trainer.model->calc_and_save_scores(host, path_of(scores), cells,
                                                links_wanted(data) ? &links : nullptr);
        }
        nb::object decode = data.attr("decode_align");
        if (truthy(decode))
            trainer.model->decode_and_save_align(host, path_of(decode), cells, &links);
    });
    if (failure) {
        if (!failure->matches(PyExc_Exception) && !failure->matches(PyExc_KeyboardInterrupt))
            throw std::move(*failure);
        log_exception(*failure);
    }
    return nb::bool_(true);
}

}  // namespace zel::bind
