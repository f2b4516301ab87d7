// Binding-layer helpers shared by every extension module: the host-visible rules (error texts,
// pickling refusal, arrays shared with NumPy) and the toolkit-backed Host of the core.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/host.hpp"

namespace zel::bind {

namespace nb = nanobind;

// The module-level names every module has: `logger` (the toolkit's colour logger of the
// module's name) and `dprint` (its debug_print). Also registers the error translators.
void init_module(nb::module_& m);

// Registers the translation of core exceptions (decode, index and memory errors) to host errors.
void register_error_translators();

// The UTF-8 bytes of a str. Lone surrogates (what surrogateescape decoding and os.listdir
// give) are written as "surrogatepass" writes them, so the host's str operations work on such
// text and to_str gives it back unchanged. The view points into the str's own UTF-8 cache, or,
// for text with surrogates, into bytes this object keeps: keep it as long as the view is used.
class Utf8 {
public:
    explicit Utf8(nb::handle s);
    // Only a named Utf8 converts: a temporary's view would outlive the bytes it keeps. Within
    // one expression, utf8(s).view() is safe.
    operator std::string_view() const& { return view_; }
    operator std::string_view() const&& = delete;
    std::string_view view() const { return view_; }
    const char* data() const { return view_.data(); }
    friend bool operator==(const Utf8& a, std::string_view b) { return a.view_ == b; }

private:
    nb::object kept_;
    std::string_view view_;
};

// A str from UTF-8 text (lone surrogates as Utf8 writes them), and the UTF-8 text of a str.
nb::str to_str(std::string_view text);
inline Utf8 utf8(nb::handle s) { return Utf8(s); }

// A file name as the host holds it: os.fsdecode of its bytes (which need not be UTF-8), and
// back, os.fsencode of a str.
nb::str path_object(std::string_view bytes);
std::string path_bytes(nb::handle path);
// A path-like object (str, bytes, os.PathLike) as the bytes the core opens: os.fspath, then
// path_bytes.
std::string path_argument(nb::handle path);

// The text of a value that is about to be split: "'<type>' object has no attribute 'split'"
// (the host's AttributeError) for anything but a str.
Utf8 split_text(nb::handle value);

// The host error that an exception caught in C++ stands for (core exceptions translated as
// the translators above do), to log or raise again.
nb::python_error as_python_error(const std::exception_ptr& p);

// True when a call of method `name` on `self` reaches something else than `base`'s own: a host
// subclass replacing it, or such an instance's own attribute. The one test the bindings use to
// decide between the native implementation and the host's.
bool overrides(nb::handle self, nb::handle base, const char* name);

// The native classes the bindings compare objects against. Each extension module holds its own
// copy of this table; the tables module fills its entry when it registers its class, and
// register_record_classes() the record entries, from the records module: called by that module
// as it is made, and by record_classes() in any other module.
struct NativeClasses {
    nb::handle records, counts, record, moses_record, travatar_record;  // the records module
    nb::handle table;                                                   // the tables module
};
NativeClasses& native_classes();
void register_record_classes(nb::handle records);
const NativeClasses& record_classes();

// Makes pickling (and copying) of `cls` fail with the type error every non-picklable class uses.
void refuse_pickling(nb::handle cls);

// The host's type error of a typed field: "Expected <expected>, got <type of value>".
[[noreturn]] void expected_type(const char* expected, nb::handle value);

// A 1-, 2- or n-D NumPy array that owns `values`; no copy is made.
template <class T>
nb::ndarray<nb::numpy, T> to_numpy(std::vector<T>&& values,
                                   std::initializer_list<std::size_t> shape) {
    auto* owned = new std::vector<T>(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T>(owned->data(), shape, owner);
}

// The Host of the core, carried out with zel.common: each channel's messages go to the logger of
// the module that owns it, files are opened with progress.FileReader (reading with a label)
// or files.open, progress is progress.Bar, and interruption is the host's pending signal
// (KeyboardInterrupt on Ctrl-C). One instance lives for the whole process.
Host& toolkit_host();

// Raises the pending host signal (KeyboardInterrupt and the like) as a C++ exception.
void check_signals();

// The host error of the exception being handled, set as the pending error (for C slots that
// report failure by returning null or -1).
void restore_host_error(const std::exception_ptr& p) noexcept;

// The truth value of a host object, as `if value:` takes it; an error raised by its
// __bool__ or __len__ propagates.
bool truthy(nb::handle value);

// Runs `body(entered value)` inside the host context manager `manager`, as a with statement
// does; a core exception reaches __exit__ as the host error it stands for. An exception raised
// by C code alone has no traceback yet; __exit__ then gets None for it.
template <class Body>
void with_context(nb::object manager, Body&& body) {
    nb::object entered = manager.attr("__enter__")();
    try {
        body(entered);
    } catch (...) {
        nb::python_error e = as_python_error(std::current_exception());
        nb::object traceback = e.traceback();
        if (!traceback.is_valid()) traceback = nb::none();
        nb::object suppress = manager.attr("__exit__")(e.type(), e.value(), traceback);
        if (!truthy(suppress)) throw std::move(e);
        return;
    }
    manager.attr("__exit__")(nb::none(), nb::none(), nb::none());
}

// The native object of `self`; the host's type error "Expected <class>, got <type>" when
// `self` is not an instance of T's class (a method taken from one class and called on another).
template <class T>
T& native(nb::handle self) {
    T* p = nullptr;
    if (!nb::try_cast<T*>(self, p, false) || p == nullptr) {
        nb::object name = nb::type<T>().attr("__name__");
        expected_type(nb::str(name).c_str(), self);
    }
    return *p;
}

// The slot of a type's own vectorcall (calling the class), which nanobind accepts among the
// type slots on every Python version it supports.
#if defined(Py_tp_vectorcall)
inline constexpr int kTypeVectorcallSlot = Py_tp_vectorcall;
#else
inline constexpr int kTypeVectorcallSlot = 82;
#endif

// Runs type.__init__(self, *args) for a vectorcall of the type; 0, or -1 with the error set.
int call_init(PyObject* type, PyObject* self, PyObject* const* args, std::size_t nargsf,
              PyObject* kwnames) noexcept;

// Type slots of a native class whose every instance, of the class or of a host subclass,
// holds a constructed T from allocation on, so an __init__ that a subclass skips, calls late
// or calls twice finds a usable object, never an uninitialised one. T is built with
// T(Host&) when it has such a constructor (it logs), else with T(). A T that holds host
// objects declares `int traverse(visitproc, void*) const` and `void clear()`, and the host's
// cyclic collector then sees them; `Instances<T>::dict_offset` names the per-instance
// dictionary of a class registered with nb::dynamic_attr(), which the collector must see too.
template <class T>
struct Instances {
    static constexpr bool holds_objects = requires(T& t, visitproc v) {
        t.traverse(v, nullptr);
        t.clear();
    };
    static inline Py_ssize_t dict_offset = 0;

    static PyObject* allocate(PyTypeObject* type, PyObject*, PyObject*) noexcept {
        try {
            nb::object self = nb::inst_alloc(reinterpret_cast<PyObject*>(type));
            if constexpr (std::is_constructible_v<T, Host&>) {
                new (nb::inst_ptr<T>(self)) T(toolkit_host());
            } else {
                new (nb::inst_ptr<T>(self)) T();
            }
            nb::inst_mark_ready(self);
            return self.release().ptr();
        } catch (...) {
            restore_host_error(std::current_exception());
            return nullptr;
        }
    }

    // Calling the class itself (a host subclass's call goes through its own slots): allocation
    // as above, then the class's __init__, with no argument tuple built between.
    static PyObject* call(PyObject* type, PyObject* const* args, std::size_t nargsf,
                          PyObject* kwnames) noexcept {
        PyObject* self = allocate(reinterpret_cast<PyTypeObject*>(type), nullptr, nullptr);
        if (!self) return nullptr;
        if (call_init(type, self, args, nargsf, kwnames) != 0) {
            Py_DECREF(self);
            return nullptr;
        }
        return self;
    }

    static PyObject** dict_of(PyObject* self) {
        return dict_offset
                   ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + dict_offset)
                   : nullptr;
    }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        if (PyObject** dict = dict_of(self)) Py_VISIT(*dict);
        if (!nb::inst_ready(self)) return 0;
        return nb::inst_ptr<T>(self)->traverse(visit, arg);
    }

    static int clear(PyObject* self) {
        if (PyObject** dict = dict_of(self)) Py_CLEAR(*dict);
        if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->clear();
        return 0;
    }

    static nb::type_slots slots() {
        if constexpr (holds_objects) {
            static PyType_Slot collected[] = {{Py_tp_new, reinterpret_cast<void*>(&allocate)},
                                              {kTypeVectorcallSlot, reinterpret_cast<void*>(&call)},
                                              {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
                                              {Py_tp_clear, reinterpret_cast<void*>(&clear)},
                                              {0, nullptr}};
            return nb::type_slots(collected);
        } else {
            static PyType_Slot plain[] = {{Py_tp_new, reinterpret_cast<void*>(&allocate)},
                                          {kTypeVectorcallSlot, reinterpret_cast<void*>(&call)},
                                          {0, nullptr}};
            return nb::type_slots(plain);
        }
    }

    // Called once the class exists, when it was registered with nb::dynamic_attr().
    static void has_dict(nb::handle cls) {
        dict_offset = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dictoffset;
    }
};

// Drops each host object of a native instance (the cyclic collector breaking a cycle).
template <class... Objects>
void reset_all(Objects&... objects) {
    ((objects = nb::none()), ...);
}

// Visits each host object of a native instance for the cyclic collector.
template <class... Objects>
int visit_all(visitproc visit, void* arg, const Objects&... objects) {
    int result = 0;
    ((result == 0 && objects.is_valid() ? result = visit(objects.ptr(), arg) : 0), ...);
    return result;
}

}  // namespace zel::bind
