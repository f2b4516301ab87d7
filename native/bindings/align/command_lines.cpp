// The train and score command lines of emalign: parsers, argument handling, logging scope.
#include "bindings/align/emalign.hpp"
#include "bindings/support.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace zel::bind {

namespace {

nb::module_ emalign() { return nb::module_::import_("zel.smt.align.emalign"); }
nb::object builtin(const char* name) { return nb::module_::import_("builtins").attr(name); }

constexpr const char* kSrcHelp = "file containing source-side lines of parallel text";
constexpr const char* kTrgHelp = "file containing target-side lines of parallel text";
constexpr const char* kScoresHelp = "output file to save entropy of each alignment";
constexpr const char* kDecodeHelp = "output file to save decoded alignment each alignment";

// The options both command lines share, after their positional arguments.
void add_output_options(nb::handle add) {
    add("--save-scores", "--scores", "-s", "type"_a = builtin("str"), "default"_a = nb::none(),
        "help"_a = kScoresHelp);
    add("--decode-align", "--decode", "-d", "type"_a = builtin("str"), "default"_a = nb::none(),
        "help"_a = kDecodeHelp);
}

void add_switches(nb::handle add) {
    add("--character", "-c", "action"_a = "store_true",
        "help"_a = "chacacter based alignment mode");
    add("--debug", "-D", "action"_a = "store_true", "help"_a = "debug mode");
    add("--quiet", "-q", "action"_a = "store_true", "help"_a = "not showing staging log");
}

nb::object parse_config(nb::handle parser) {
    nb::object args = parser.attr("parse_args")();
    return nb::module_::import_("zel.common.config").attr("Config")(builtin("vars")(args));
}

}  // namespace

nb::object create_train_parser() {
    nb::module_ m = emalign();
    nb::object parser = m.attr("argparse").attr("ArgumentParser")();
    nb::object add = parser.attr("add_argument");
    nb::object str = builtin("str");
    add("src_path", "type"_a = str, "metavar"_a = "src_path (in)", "help"_a = kSrcHelp);
    add("trg_path", "type"_a = str, "help"_a = kTrgHelp);
    add("save_trans_path", "type"_a = str,
        "help"_a = "output file to save translation probabilities");
    add("save_align_path", "type"_a = str, "nargs"_a = "?", "default"_a = nb::none(),
        "help"_a = "output file to save alignment probabilities");
    add_output_options(add);
    add("--iteration-limit", "-I", "type"_a = builtin("int"),
        "default"_a = m.attr("ITERATION_LIMIT"),
        "help"_a = "maximum iteration number of EM algorithm (default: %(default)s)");
    add("--threshold", "-t", "type"_a = builtin("float"), "default"_a = m.attr("THRESHOLD"),
        "help"_a = "threshold of translation distribution to save");
    add("--nbest", "-n", "type"_a = builtin("int"), "default"_a = m.attr("NBEST"),
        "help"_a = "limit number of records to save, taking top-n of \"p(trg|src)\"");
    add_switches(add);
    return parser;
}

nb::object create_score_parser() {
    nb::object parser = emalign().attr("argparse").attr("ArgumentParser")();
    nb::object add = parser.attr("add_argument");
    nb::object str = builtin("str");
    add("src_path", "type"_a = str, "metavar"_a = "src_path (in)", "help"_a = kSrcHelp);
    add("trg_path", "type"_a = str, "help"_a = kTrgHelp);
    add("trans_path", "type"_a = str, "help"_a = "path to load trained translation probabilities");
    add("align_path", "type"_a = str, "nargs"_a = "?", "default"_a = nb::none(),
        "help"_a = "path to load trained alignment probabilities");
    add_output_options(add);
    add_switches(add);
    return parser;
}

nb::object train_model(nb::handle parser, nb::handle train_func) {
    nb::module_ m = emalign();
    nb::object args = parser.attr("parse_args")();
    nb::object conf =
        nb::module_::import_("zel.common.config").attr("Config")(builtin("vars")(args));
    nb::list loggers;
    loggers.append(m.attr("__name__"));
    loggers.append("__main__");
    nb::object manager = m.attr("logging").attr("using_config")(
        loggers, "debug"_a = args.attr("debug"), "quiet"_a = args.attr("quiet"));
    with_context(manager, [&](nb::handle) {
        m.attr("dprint")(args);
        m.attr("dprint")(conf);
        train_func(conf);
    });
    return nb::none();
}

nb::object score_model(nb::handle parser, nb::handle score_func) {
    nb::module_ m = emalign();
    nb::object conf = parse_config(parser);
    nb::list loggers;
    loggers.append("zel");
    loggers.append("__main__");
    with_context(m.attr("logging").attr("using_config")(loggers), [&](nb::handle settings) {
        nb::object data = conf.attr("data");
        if (truthy(data.attr("debug"))) {
            settings.attr("set_debug")(true);
            settings.attr("set_quiet")(false);
        }
        if (truthy(data.attr("quiet"))) {
            settings.attr("set_quiet")(true);
            settings.attr("set_debug")(false);
        }
        m.attr("logger").attr("debug")(conf);
        score_func(conf);
    });
    return nb::none();
}

nb::object main_train() {
    nb::module_ m = emalign();
    return m.attr("train_model")(m.attr("create_train_parser")(), m.attr("train_emalign"));
}

nb::object main_score() {
    nb::module_ m = emalign();
    return m.attr("score_model")(m.attr("create_score_parser")(), m.attr("score_ibm_model"));
}

}  // namespace zel::bind
