// The core's Host made of the toolkit: logging, files, progress and interrupts.
#include "bindings/support.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "common/errors.hpp"
#include "common/format.hpp"

namespace zel::bind {

using namespace nb::literals;

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

namespace {

// Owns a host object and calls its close() when destroyed, so files are closed and progress
// bars ended as soon as a walk is over. An error from close() is dropped: it runs when the
// outcome (success or another error) is already decided.
class Closing {
public:
    explicit Closing(nb::object object) : object_(std::move(object)) {}
    ~Closing() {
        try {
            object_.attr("close")();
        } catch (const nb::python_error&) {
        }
    }
    Closing(const Closing&) = delete;
    Closing& operator=(const Closing&) = delete;

    nb::object method(const char* name) const { return object_.attr(name); }

private:
    nb::object object_;
};

// Reads through a host file object's readinto, one call per block of the line reader.
class PyByteSource : public ByteSource {
public:
    explicit PyByteSource(nb::object file)
        : file_(std::move(file)), readinto_(file_.method("readinto")) {}

    std::size_t read(char* buffer, std::size_t capacity) override {
        check_signals();
        nb::object view = nb::steal(
            PyMemoryView_FromMemory(buffer, static_cast<Py_ssize_t>(capacity), PyBUF_WRITE));
        if (!view.is_valid()) throw nb::python_error();
        nb::object n = readinto_(view);
        // The view points into our buffer; make sure nothing can write through it later.
        view.attr("release")();
        return n.is_none() ? 0 : nb::cast<std::size_t>(n);
    }

private:
    Closing file_;
    nb::object readinto_;
};

// A file of the toolkit's opened for writing: put in place when closed, dropped when destroyed
// unclosed (an earlier file of the name stays untouched).
class PyByteSink : public ByteSink {
public:
    PyByteSink(nb::object file, nb::object path)
        : file_(std::move(file)), path_(std::move(path)), write_(file_.attr("write")) {}
    ~PyByteSink() override {
        if (!file_.is_valid()) return;
        try {
            file_.attr("discard")();
        } catch (const nb::python_error&) {
        }
    }
    PyByteSink(const PyByteSink&) = delete;
    PyByteSink& operator=(const PyByteSink&) = delete;

    void write(std::string_view bytes) override { write_(nb::bytes(bytes.data(), bytes.size())); }

    void close() override {
        nb::object file = std::move(file_);
        file.attr("close")();
    }

    void keep_incomplete(std::size_t lines) noexcept override {
        try {
            close();
            toolkit_host().warning(Channel::align,
                                   path_bytes(path_) + " is incomplete: it holds the " +
                                       fmt::with_commas(static_cast<std::int64_t>(lines)) +
                                       " lines written before the error");
        } catch (...) {
            // Already dropped: the error that ended the writing is the one reported.
        }
    }

private:
    nb::object file_;
    nb::object path_;
    nb::object write_;
};

class PyProgress : public Progress {
public:
    explicit PyProgress(nb::object bar) : bar_(std::move(bar)), advance_(bar_.method("advance")) {}
    void advance(std::size_t n) override { advance_(n); }

private:
    Closing bar_;
    nb::object advance_;
};

class ToolkitHost : public Host {
public:
    void log(Channel channel, Level level, std::string_view message) override {
        nb::object logger = logging().attr("getColorLogger")(logger_name(channel));
        const char* method = level == Level::info      ? "info"
                             : level == Level::warning ? "warning"
                                                       : "debug_print";
        logger.attr(method)(path_object(message));
    }

    std::unique_ptr<ByteSource> open_read(const std::optional<std::string>& path,
                                          std::optional<std::string_view> label) override {
        nb::object file;
        nb::object name = nb::none();
        if (path) name = path_object(*path);
        if (label) {
            file =
                progress_module().attr("FileReader")(name, nb::str(label->data(), label->size()));
        } else {
            file = files().attr("open")(name, "rb");
        }
        return std::make_unique<PyByteSource>(std::move(file));
    }

    std::unique_ptr<ByteSink> open_write(const std::string& path) override {
        nb::object name = path_object(path);
        return std::make_unique<PyByteSink>(files().attr("open")(name, "wb"), name);
    }

    std::unique_ptr<ByteSink> open_write_encoded(const std::string& path) override {
        nb::object name = path_object(path);
        nb::object output = files().attr("Output")(name, "binary"_a = true, "compressed"_a = true);
        return std::make_unique<PyByteSink>(std::move(output), name);
    }

    std::unique_ptr<Progress> progress(std::string_view label, std::size_t total) override {
        return std::make_unique<PyProgress>(
            progress_module().attr("Bar")(nb::str(label.data(), label.size()), total));
    }

    void check_interrupt() override { check_signals(); }

    std::optional<std::string> read_number(std::string_view text, bool integer) override {
        nb::object convert = nb::module_::import_("builtins").attr(integer ? "int" : "float");
        PyObject* value = PyObject_CallOneArg(convert.ptr(), to_str(text).ptr());
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
            PyErr_Clear();
            return std::nullopt;
        }
        nb::object number = nb::steal(value);
        return std::string(nb::str(integer ? nb::str(number) : nb::repr(number)).c_str());
    }

    // As NumPy handles the same event of the same operation: worded as it words it, and
    // ignored, warned about or raised as its error state (np.errstate) says.
    void float_event(FloatEvent event) override {
        const bool divide = event.kind == FloatEvent::Kind::divide_by_zero;
        const char* operation = "log";
        if (event.operation == FloatEvent::Operation::divide) operation = "divide";
        if (event.operation == FloatEvent::Operation::scalar_divide) operation = "scalar divide";
        const std::string text = std::string(divide ? "divide by zero" : "invalid value") +
                                 " encountered in " + operation;
        nb::object mode =
            nb::module_::import_("numpy").attr("geterr")()[divide ? "divide" : "invalid"];
        if (mode.equal(nb::str("ignore"))) return;
        if (mode.equal(nb::str("raise"))) {
            PyErr_SetString(PyExc_FloatingPointError, text.c_str());
            throw nb::python_error();
        }
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) throw nb::python_error();
    }

private:
    static const char* logger_name(Channel channel) {
        switch (channel) {
            case Channel::model1:
                return "zel.smt.align.lexone";
            case Channel::model2:
                return "zel.smt.align.lextwo";
            case Channel::hmm:
                return "zel.smt.align.hmm";
            case Channel::extract:
                return "zel.smt.trans_models.extract";
            case Channel::align:
                break;
        }
        return "zel.smt.align.emalign";
    }
    static nb::module_ logging() { return nb::module_::import_("zel.common.logging"); }
    static nb::module_ files() { return nb::module_::import_("zel.common.files"); }
    static nb::module_ progress_module() { return nb::module_::import_("zel.common.progress"); }
};

}  // namespace

Host& toolkit_host() {
    // Native work on a host thread reaches its host first: the thread is made ready to throw
    // before the work may run out of memory.
    ready_to_throw();
    // Never destroyed: it holds no Python objects, so it may outlive the interpreter.
    static ToolkitHost* host = new ToolkitHost();
    return *host;
}

}  // namespace zel::bind
