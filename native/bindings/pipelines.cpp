// The training and scoring roads of emalign: configuration checks, the two pipelines, their
// command-line parsers and entry points. Everything the host sees is here; the work is done by
// the core's trainers and the distribution-file loaders.
#include <nanobind/stl/string.h>

#include <string>

#include "align/distribution_files.hpp"
#include "align/model2.hpp"
#include "bindings/align_classes.hpp"
#include "bindings/emalign.hpp"
#include "bindings/support.hpp"

namespace nb = nanobind;

namespace zel::bind {

namespace {

nb::module_ emalign() { return nb::module_::import_("zel.smt.align.emalign"); }
nb::object logger() { return emalign().attr("logger"); }
bool truthy(nb::handle value) {
    const int t = PyObject_IsTrue(value.ptr());
    if (t < 0) throw nb::python_error();
    return t == 1;
}
nb::object make_config(nb::handle conf, nb::handle others) {
    nb::object config = nb::module_::import_("zel.common.config").attr("Config")(conf);
    config.attr("update")(others);
    return config;
}
std::string text_of(nb::handle value) { return nb::cast<std::string>(nb::str(value)); }
std::string path_of(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) expected_type("str", value);
    return nb::cast<std::string>(value);
}

// Runs `body` so that core exceptions arrive as host exceptions (nb::python_error), the way
// a host caller would see them, whatever their C++ type.
template <class Body>
void as_host_call(Body&& body) {
    nb::object call = nb::cpp_function([&]() { body(); });
    call();
}

// Logs an exception with its traceback through the module logger's `exception`.
void log_exception(const nb::python_error& e) {
    nb::object value = nb::borrow(e.value());
    nb::dict kwargs;
    kwargs["exc_info"] = value;
    logger().attr("exception")(value, **kwargs);
}

std::int32_t iteration_limit_of(nb::handle value) {
    if (!PyLong_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    return nb::cast<std::int32_t>(value);
}

align::Threshold threshold_of(nb::handle value) {
    return {nb::cast<double>(nb::float_(value)), text_of(value)};
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
    auto& trainer = nb::cast<align::Model2Trainer&>(trainer_obj);
    Host& host = toolkit_host();
    nb::object data = conf.attr("data");
    try {
        as_host_call([&] {
            const std::int32_t limit = iteration_limit_of(data.attr("iteration_limit"));
            trainer.Model1Trainer::train(host, limit);
            trainer.train(host, limit);
        });
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_KeyboardInterrupt)) {
            logger().attr("warning")("interuppted by keyboard");
            logger().attr("info")("forcing to dump alignments and scores");
        } else if (e.matches(PyExc_Exception)) {
            log_exception(e);
        } else {
            throw;
        }
    }
    host.info(Channel::align, "----");
    {
        // Read in the order the call lists them, so a missing key is reported as the host would.
        const std::string path = path_of(data.attr("save_trans_path"));
        const align::Threshold threshold = threshold_of(data.attr("threshold"));
        const auto nbest = nb::cast<std::int64_t>(data.attr("nbest"));
        trainer.save_trans_dist(host, path, threshold, nbest);
    }
    nb::object align_path = data.attr("save_align_path");
    if (truthy(align_path)) {
        const std::string path = path_of(align_path);
        trainer.save_align_dist(host, path, threshold_of(data.attr("threshold")));
    }
    nb::object scores = data.attr("save_scores");
    if (truthy(scores))
        trainer.model->calc_and_save_scores(host, path_of(scores), trainer.corpus_cells());
    nb::object decode = data.attr("decode_align");
    if (truthy(decode))
        trainer.model->decode_and_save_align(host, path_of(decode), trainer.corpus_cells());
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
    auto& trainer = nb::cast<align::Model2Trainer&>(trainer_obj);
    const bool character = truthy(conf.attr("get")("character", false));
    Host& host = toolkit_host();
    nb::object data = conf.attr("data");
    try {
        as_host_call([&] {
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
            trainer.setup(host);
            align::load_trans_dist(host, trans_path, *trainer.model);
            nb::object align_path = data.attr("align_path");
            if (!align_path.is_none())
                align::load_align_dist(host, path_of(align_path), *trainer.model);
            const align::CorpusCells cells{sent_pairs, trainer.corpus_cells().cells};
            nb::object scores = data.attr("save_scores");
            if (truthy(scores)) trainer.model->calc_and_save_scores(host, path_of(scores), cells);
            nb::object decode = data.attr("decode_align");
            if (truthy(decode)) trainer.model->decode_and_save_align(host, path_of(decode), cells);
        });
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception) && !e.matches(PyExc_KeyboardInterrupt)) throw;
        log_exception(e);
    }
    return nb::bool_(true);
}

}  // namespace zel::bind
