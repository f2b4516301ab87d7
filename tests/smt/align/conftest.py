import ctypes

import pytest

from zel.smt.align import emalign

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_ENTRY = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_ssize_t)


def native_entry(name):
    """A Python callable for one entry of emalign's C entry point table, as siblings call it."""
    capsule = emalign.__capi__[name]
    function = _ENTRY(_get_pointer(capsule, f"zel.smt.align.emalign.{name}".encode()))

    def call(*args):
        return function((ctypes.py_object * len(args))(*args), len(args))

    return call


@pytest.fixture(scope="session")
def entry():
    return native_entry
