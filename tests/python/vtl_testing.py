"""The test hooks of the C interface for Python tests: simulated devices, and a port put behind a
clsPrnPort without opening one. They live in a library of the tests' own, found through the
VTLDLLXT_TESTING_LIBRARY environment variable (CTest sets it): a build of the library with the
hooks inside, which the vtldllxt module must have loaded as its library (VTLDLLXT_LIBRARY names
the same file), so that the hooks act on the objects the module created."""

import ctypes
import os

import vtldllxt

_lib = ctypes.CDLL(os.environ["VTLDLLXT_TESTING_LIBRARY"])
_i32 = ctypes.c_int32
_lib.vtl_test_sim_register.argtypes = [ctypes.c_char_p]
_lib.vtl_test_sim_unregister.argtypes = [ctypes.c_char_p]
_lib.vtl_test_sim_written.argtypes = [ctypes.c_char_p, ctypes.c_char_p, _i32, ctypes.POINTER(_i32)]
_lib.vtl_test_attach.argtypes = [ctypes.c_void_p, ctypes.c_char_p]


def _check(code, what):
    if code != 0:
        raise RuntimeError("%s failed (0x%08X)" % (what, code & 0xFFFFFFFF))


def sim_register(name):
    _check(_lib.vtl_test_sim_register(name.encode()), "sim_register")


def sim_unregister(name):
    _check(_lib.vtl_test_sim_unregister(name.encode()), "sim_unregister")


def sim_written(name):
    length = _i32()
    _check(_lib.vtl_test_sim_written(name.encode(), None, 0, ctypes.byref(length)), "sim_written")
    buf = ctypes.create_string_buffer(max(length.value, 1))
    _check(_lib.vtl_test_sim_written(name.encode(), buf, length.value, ctypes.byref(length)),
           "sim_written")
    return buf.raw[:length.value]


def attach(port, device):
    assert isinstance(port, vtldllxt.clsPrnPort)
    _check(_lib.vtl_test_attach(port._handle, device.encode()), "attach")
