// zel.smt.align.emalign: corpus loading, the base model and trainer, the training and scoring
// pipelines. Importing it also imports the IBM model modules, which derive from its classes.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "align/corpus/vocab.hpp"
#include "bindings/align/align_classes.hpp"
#include "bindings/align/emalign.hpp"
#include "bindings/support.hpp"

namespace nb = nanobind;

namespace {

// A pipeline function's signature: its settings as a mapping or a Config, others as keywords.
std::string conf_function(const char* name) {
    return std::string("def ") + name +
           "(conf: collections.abc.Mapping[str, typing.Any] | zel.common.config.Config, "
           "**others: typing.Any) -> bool";
}

}  // namespace

NB_MODULE(emalign, m) {
    m.doc() = "Word alignment with IBM Models 1 and 2: corpus, models, trainers, pipelines.";
    m.attr("argparse") = nb::module_::import_("argparse");
    m.attr("np") = nb::module_::import_("numpy");
    for (const char* name : {"text", "environ", "files", "progress", "logging"}) {
        m.attr(name) = nb::module_::import_(("zel.common." + std::string(name)).c_str());
    }
    m.attr("Config") = nb::module_::import_("zel.common.config").attr("Config");
    m.attr("StringEnumerator") = nb::module_::import_("zel.common.vocab").attr("StringEnumerator");

    zel::bind::init_module(m);

    m.attr("ITERATION_LIMIT") = 5;
    m.attr("THRESHOLD") = 0.001;
    m.attr("NBEST") = 100;
    m.attr("NULL_SYMBOL") = std::string(zel::align::kNullSymbol);

    nb::dict capi;
    zel::bind::register_vocab(m, capi);
    zel::bind::register_array_helpers(m, capi);
    zel::bind::bind_model<zel::align::Model>(
        m, "Model", "Base of the alignment models: vocabulary and distributions.");
    zel::bind::bind_trainer<zel::align::Trainer>(
        m, "Trainer", "Base of the EM trainers; build Model1Trainer or Model2Trainer instead.");
    m.attr("__capi__") = capi;

    m.def("check_train_config", &zel::bind::check_train_config, nb::arg("conf").none(),
          "Log the training configuration at debug level and accept it.");
    m.def("train_emalign", &zel::bind::train_emalign, nb::arg("conf").none(), nb::arg("others"),
          nb::sig(conf_function("train_emalign").c_str()),
          "Train IBM Model 1 then Model 2 as configured and write the requested files.");
    m.def("create_train_parser", &zel::bind::create_train_parser,
          "The train command line's parser.");
    m.def("train_model", &zel::bind::train_model, nb::arg("parser"), nb::arg("train_func"),
          "Parse the command line and run train_func(conf) in its logging configuration.");
    m.def("main_train", &zel::bind::main_train, "The train command line.");
    m.def("check_test_config", &zel::bind::check_test_config, nb::arg("conf").none(),
          "Accept a scoring configuration that asks for at least one output.");
    m.def("score_ibm_model", &zel::bind::score_ibm_model, nb::arg("conf").none(), nb::arg("others"),
          nb::sig(conf_function("score_ibm_model").c_str()),
          "Score and/or decode a corpus with stored IBM Model 2 distribution files.");
    m.def("create_score_parser", &zel::bind::create_score_parser,
          "The score command line's parser.");
    m.def("score_model", &zel::bind::score_model, nb::arg("parser"), nb::arg("score_func"),
          "Parse the command line and run score_func(conf) in its logging configuration.");
    m.def("main_score", &zel::bind::main_score, "The score command line.");

    // The model modules derive from the classes above and read the table: load them last.
    // lexone loads lextwo once Model1 exists; when lexone is the module being imported, this
    // import returns it unfinished and lexone's own initialisation goes on to load lextwo.
    nb::module_::import_("zel.smt.align.lexone");
}
