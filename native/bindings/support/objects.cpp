// Native classes as host objects: __init__ calls, truth tests, overrides, the class registry,
// pickling refusals.
#include "bindings/support.hpp"
#include "common/errors.hpp"

#include <algorithm>

namespace zel::bind {

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
    ready_to_throw();  // the importing thread, usually the one that calls the modules
    register_error_translators();
    nb::object logger =
        nb::module_::import_("zel.common.logging").attr("getColorLogger")(m.attr("__name__"));
    m.attr("logger") = logger;
    m.attr("dprint") = logger.attr("debug_print");
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

void register_record_classes(nb::handle records) {
    NativeClasses& c = native_classes();
    c.records = records.inc_ref();
    c.counts = records.attr("CoOccurrence").inc_ref();
    c.record = records.attr("Record").inc_ref();
    c.moses_record = records.attr("MosesRecord").inc_ref();
    c.travatar_record = records.attr("TravatarRecord").inc_ref();
}

const NativeClasses& record_classes() {
    NativeClasses& c = native_classes();
    if (!c.counts) register_record_classes(nb::module_::import_("zel.smt.trans_models.records"));
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

}  // namespace zel::bind
