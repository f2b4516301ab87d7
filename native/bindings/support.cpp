#include "bindings/support.hpp"

#include <algorithm>
#include <system_error>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "common/errors.hpp"
#include "common/format.hpp"

namespace zel::bind {

namespace {

// A table that does not exist yet is None to host code: the error is the host's for the same
// operation on None.
void set_missing_error(const Missing& e) {
    switch (e.use) {
        case Missing::Use::length:
            PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
            return;
        case Missing::Use::subscript:
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
            return;
        case Missing::Use::iteration:
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
            return;
        case Missing::Use::item_assignment:
            PyErr_SetString(PyExc_TypeError, "'NoneType' object does not support item assignment");
            return;
        case Missing::Use::attribute:
            PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%s'",
                         e.attribute);
            return;
    }
}

// Sets `type` with `message`, whose bytes may name a file that is not UTF-8 (decoded as
// os.fsdecode decodes names).
void set_error(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "surrogateescape");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

// Sets the host error of a core exception; false for any other exception.
bool set_core_error(const std::exception_ptr& p) {
    try {
        std::rethrow_exception(p);
    } catch (const DecodeError& e) {
        const std::string reason =
            std::string(e.reason) + " (" + e.path + ", line " + std::to_string(e.line) + ")";
        PyObject* exc = PyUnicodeDecodeError_Create(
            "utf-8", e.bytes.data(), static_cast<Py_ssize_t>(e.bytes.size()),
            static_cast<Py_ssize_t>(e.start), static_cast<Py_ssize_t>(e.end), reason.c_str());
        if (exc) {
            PyErr_SetObject(PyExceptionInstance_Class(exc), exc);
            Py_DECREF(exc);
        }
    } catch (const Missing& e) {
        set_missing_error(e);
    } catch (const EmptyCorpus& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const MemoryError& e) {
        set_error(PyExc_MemoryError, e.what());
    } catch (const TypeError& e) {
        set_error(PyExc_TypeError, e.what());
    } catch (const ValueError& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const KeyError& e) {
        PyErr_SetObject(PyExc_KeyError, nb::str(e.what()).ptr());
    } catch (const AttributeError& e) {
        set_error(PyExc_AttributeError, e.what());
    } catch (const NotImplemented&) {
        PyErr_SetNone(PyExc_NotImplementedError);
    } catch (const ZeroDivision& e) {
        set_error(PyExc_ZeroDivisionError, e.what());
    } catch (const std::system_error& e) {
        // (errno, text): the host picks the OSError subclass of the errno, as open() does.
        nb::object args = nb::make_tuple(e.code().value(), path_object(e.what()));
        PyErr_SetObject(PyExc_OSError, args.ptr());
    } catch (const std::bad_alloc&) {
        // Large requests are named by the core (zel::MemoryError); this is a small one that
        // failed, so the machine is out of memory as a whole.
        PyErr_SetString(PyExc_MemoryError, "out of memory: a small allocation failed");
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_MemoryError,
                        "out of memory: a requested size is beyond what "
                        "can be allocated");
    } catch (const nb::cast_error&) {
        // A binding converts every value a caller gives before using it; a value the binding
        // could not convert is still the caller's wrong type, never an internal failure.
        PyErr_SetString(PyExc_TypeError,
                        "an argument or attribute has a type this operation "
                        "cannot use");
    } catch (...) {
        return false;
    }
    return true;
}

PyObject* builtin_type(nb::exception_type type) {
    switch (type) {
        case nb::exception_type::stop_iteration:
            return PyExc_StopIteration;
        case nb::exception_type::index_error:
            return PyExc_IndexError;
        case nb::exception_type::key_error:
            return PyExc_KeyError;
        case nb::exception_type::value_error:
            return PyExc_ValueError;
        case nb::exception_type::type_error:
            return PyExc_TypeError;
        case nb::exception_type::buffer_error:
            return PyExc_BufferError;
        case nb::exception_type::import_error:
            return PyExc_ImportError;
        case nb::exception_type::attribute_error:
            return PyExc_AttributeError;
        default:
            return PyExc_RuntimeError;
    }
}

}  // namespace

void register_error_translators() {
    // An exception this does not know goes on to the next translator (nanobind's own).
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        if (!set_core_error(p)) std::rethrow_exception(p);
    });
}

nb::python_error as_python_error(const std::exception_ptr& p) {
    try {
        std::rethrow_exception(p);
    } catch (nb::python_error& e) {
        return std::move(e);
    } catch (const nb::builtin_exception& e) {
        PyErr_SetString(builtin_type(e.type()), e.what());
    } catch (const std::out_of_range& e) {
        if (!set_core_error(p)) set_error(PyExc_IndexError, e.what());
    } catch (const std::exception& e) {
        if (!set_core_error(p)) set_error(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "a native operation failed without saying why");
    }
    return nb::python_error();
}

void restore_host_error(const std::exception_ptr& p) noexcept {
    try {
        as_python_error(p).restore();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "an error could not be reported");
    }
}

int call_init(PyObject* type, PyObject* self, PyObject* const* args, std::size_t nargsf,
              PyObject* kwnames) noexcept {
    static PyObject* name = PyUnicode_InternFromString("__init__");
    PyObject* init = PyObject_GetAttr(type, name);
    if (!init) return -1;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    // self goes in front of the arguments: into the slot the caller lends, or into a copy.
    const bool lent = (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) != 0;
    PyObject* small[8];
    PyObject** with_self = small;
    PyObject* saved = nullptr;
    if (lent) {
        with_self = const_cast<PyObject**>(args) - 1;
        saved = with_self[0];
    } else {
        if (total + 1 > 8) {
            with_self = static_cast<PyObject**>(
                PyMem_Malloc(sizeof(PyObject*) * static_cast<std::size_t>(total + 1)));
            if (!with_self) {
                Py_DECREF(init);
                PyErr_NoMemory();
                return -1;
            }
        }
        std::copy(args, args + total, with_self + 1);
    }
    with_self[0] = self;
    PyObject* result =
        PyObject_Vectorcall(init, with_self, static_cast<std::size_t>(nargs + 1), kwnames);
    if (lent) {
        with_self[0] = saved;
    } else if (with_self != small) {
        PyMem_Free(with_self);
    }
    Py_DECREF(init);
    if (!result) return -1;
    if (result != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

bool truthy(nb::handle value) {
    const int t = PyObject_IsTrue(value.ptr());
    if (t < 0) throw nb::python_error();
    return t == 1;
}

void init_module(nb::module_& m) {
    register_error_translators();
    nb::object logger =
        nb::module_::import_("zel.common.logging").attr("getColorLogger")(m.attr("__name__"));
    m.attr("logger") = logger;
    m.attr("dprint") = logger.attr("debug_print");
}

nb::str to_str(std::string_view text) {
    // Text that is not UTF-8 (only a damaged stored index holds such) raises the host's
    // UnicodeDecodeError, not a bare conversion failure.
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

Utf8::Utf8(nb::handle s) {
    Py_ssize_t n = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &n)) {
        view_ = {data, static_cast<std::size_t>(n)};
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    kept_ = nb::steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    if (!kept_.is_valid()) throw nb::python_error();
    view_ = {PyBytes_AS_STRING(kept_.ptr()),
             static_cast<std::size_t>(PyBytes_GET_SIZE(kept_.ptr()))};
}

Utf8 split_text(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute 'split'",
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    return utf8(value);
}

bool overrides(nb::handle self, nb::handle base, const char* name) {
    nb::handle type = self.type();
    if (type.is(base)) return false;
    // An object without the method at all is not the base's either (its call will say so).
    if (!nb::getattr(type, name, nb::none()).is(nb::getattr(base, name))) return true;
    // A host subclass's instance may hold its own attribute of that name.
    nb::object own = nb::getattr(self, "__dict__", nb::none());
    return PyDict_Check(own.ptr()) && PyDict_GetItemString(own.ptr(), name) != nullptr;
}

NativeClasses& native_classes() {
    static NativeClasses classes;  // strong references, kept for the life of the process
    return classes;
}

const NativeClasses& record_classes() {
    NativeClasses& c = native_classes();
    if (!c.counts) {
        nb::module_ m = nb::module_::import_("zel.smt.trans_models.records");
        c.records = m.inc_ref();
        c.counts = m.attr("CoOccurrence").inc_ref();
        c.record = m.attr("Record").inc_ref();
        c.moses_record = m.attr("MosesRecord").inc_ref();
        c.travatar_record = m.attr("TravatarRecord").inc_ref();
    }
    return c;
}

void refuse_pickling(nb::handle cls) {
    nb::object refuse = nb::cpp_function(
        [](nb::handle, nb::args) -> nb::object {
            throw nb::type_error("no default __reduce__ due to non-trivial __cinit__");
        },
        nb::is_method());
    nb::setattr(cls, "__reduce__", refuse);
    nb::setattr(cls, "__reduce_ex__", refuse);
}

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

nb::str path_object(std::string_view bytes) {
    // As os.fsdecode: bytes that are not UTF-8 become the surrogates os.fsencode turns back.
    PyObject* s =
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

std::string path_bytes(nb::handle path) {
    nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

Host& toolkit_host() {
    // Never destroyed: it holds no Python objects, so it may outlive the interpreter.
    static ToolkitHost* host = new ToolkitHost();
    return *host;
}

[[noreturn]] void expected_type(const char* expected, nb::handle value) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected,
                 Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

}  // namespace zel::bind
