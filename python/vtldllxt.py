"""vtldllxt for Python: drive receipt printers through the library's automation interface.

A script reads like the same script written for an automation host:

    import vtldllxt
    port = vtldllxt.clsPrnPort()
    port.connect("DatosImpresos", lambda contador: print("printed job", contador))
    port.InicializarRed("192.168.1.50")
    port.Imprimir(b"\\x1bt\\x10", True)     # the printer's Windows-1252 table
    job = port.Imprimir("Caf\u00e9 con leche  1,60 \u20ac\\n")
    vtldllxt.run_until(lambda: port.OutBufferCount == 0, timeout=10)

Members are reached by name (properties as attributes, methods as calls); help(clsPrnPort) lists
them and the events, as the library describes them. Text is str (sent to the printer in
Windows-1252); bytes pass to the printer untouched. ByRef arguments that a member writes are
passed as Ref objects; event handlers receive their arguments as Ref objects too, and assigning to
`.value` changes the value the raising procedure holds.

The shared library (libvtldllxt.so.0) is found, in this order: the file the VTLDLLXT_LIBRARY
environment variable names; beside this module; in the project's build tree when this module is
the source tree's; in the library folder of the prefix this module was installed with (by
`cmake --install`, or by pip next to the library in the same prefix); and where the system's
linker finds libraries (ctypes.util.find_library, LD_LIBRARY_PATH included).
"""

import ctypes
import ctypes.util
import inspect
import os
import sys
import sysconfig
import time
import traceback
from typing import Any, Callable, Optional, Union

__all__ = ["clsPrnPort", "clsSerial", "Ref", "Missing", "VtlError", "do_events", "run_until",
           "dispids", "event_dispids", "map_port", "map_free_port", "port_device",
           "SimulatedPrinter", "library_path", "__version__"]

# The major version of the library's interface this module is written for: the library file it
# loads is libvtldllxt.so.<major>.
_ABI = "0"

# The library folder of the prefix `cmake --install` put this module in; written at install time.
_INSTALLED_LIBDIR = None

_EMPTY, _INTEGER, _LONG, _DOUBLE, _STRING, _OBJECT, _MISSING, _BOOLEAN, _BYTES = \
    0, 2, 3, 5, 8, 9, 10, 11, 17
_LONG_ARRAY, _STRING_ARRAY = 0x2003, 0x2008
_METHOD, _GET, _PUT = 1, 2, 4


class _Variant(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int32), ("byref", ctypes.c_int32), ("owned", ctypes.c_int32),
                ("len", ctypes.c_int32), ("num", ctypes.c_int64), ("str", ctypes.c_void_p),
                ("longs", ctypes.POINTER(ctypes.c_int32)),
                ("strs", ctypes.POINTER(ctypes.c_char_p)), ("obj", ctypes.c_void_p),
                ("dbl", ctypes.c_double)]


_EventCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_char_p,
                                  ctypes.POINTER(_Variant), ctypes.c_int32)


def _library_candidates():
    """Paths (or, from the system's linker, a file name) worth trying, best first."""
    names = ["libvtldllxt.so." + _ABI, "libvtldllxt.so"]
    here = os.path.dirname(os.path.abspath(__file__))
    variable = os.environ.get("VTLDLLXT_LIBRARY", "")
    if variable:
        yield variable
        return  # a library named on purpose: no other one stands in for it
    for name in names:
        yield os.path.join(here, name)
    if os.path.exists(os.path.join(here, "..", "CMakeLists.txt")):
        for build in ("release", "test"):
            yield os.path.join(here, "..", "build", build, "src", "libvtldllxt.so")
    folders = [_INSTALLED_LIBDIR] if _INSTALLED_LIBDIR else []
    multiarch = sysconfig.get_config_var("MULTIARCH")
    for prefix in dict.fromkeys((sys.prefix, sys.base_prefix)):
        for sub in ("lib", "lib64") + ((os.path.join("lib", multiarch),) if multiarch else ()):
            folders.append(os.path.join(prefix, sub))
    for folder in folders:
        for name in names:
            yield os.path.join(folder, name)
    found = ctypes.util.find_library("vtldllxt")
    if found:
        yield found


def _load_library():
    tried = []
    for candidate in _library_candidates():
        if os.sep in candidate and not os.path.exists(candidate):
            tried.append(candidate)
            continue
        try:
            return ctypes.CDLL(candidate), candidate
        except OSError as e:
            tried.append("%s (%s)" % (candidate, e))
    raise ImportError("libvtldllxt.so.%s not found: install the library, set VTLDLLXT_LIBRARY, "
                      "or build the project (make demo); tried %s" % (_ABI, ", ".join(tried)))


_lib, _library_path = _load_library()
_i32, _p = ctypes.c_int32, ctypes.c_void_p
_lib.vtl_version.restype = ctypes.c_char_p
_lib.vtl_version.argtypes = []
__version__ = _lib.vtl_version().decode()
_lib.vtl_last_error.restype = ctypes.c_char_p
_lib.vtl_last_error.argtypes = [ctypes.POINTER(_i32), ctypes.POINTER(ctypes.c_char_p)]
_lib.vtl_create.argtypes = [ctypes.c_char_p, ctypes.POINTER(_p)]
_lib.vtl_release.argtypes = [_p]
_lib.vtl_release.restype = None
_lib.vtl_class_name.argtypes = [_p]
_lib.vtl_class_name.restype = ctypes.c_char_p
_lib.vtl_get_dispid.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(_i32)]
_lib.vtl_get_event_dispid.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(_i32)]
_lib.vtl_member_info.argtypes = [ctypes.c_char_p, _i32, ctypes.POINTER(_i32),
                                 ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(_i32),
                                 ctypes.POINTER(_i32), ctypes.POINTER(_i32)]
_lib.vtl_param_info.argtypes = [ctypes.c_char_p, _i32, _i32, ctypes.POINTER(ctypes.c_char_p),
                                ctypes.POINTER(_i32), ctypes.POINTER(_i32), ctypes.POINTER(_i32)]
_lib.vtl_event_info.argtypes = [ctypes.c_char_p, _i32, ctypes.POINTER(_i32),
                                ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(_i32)]
_lib.vtl_event_param_info.argtypes = [ctypes.c_char_p, _i32, _i32,
                                      ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(_i32)]
_lib.vtl_invoke.argtypes = [_p, _i32, _i32, ctypes.POINTER(_Variant), _i32,
                            ctypes.POINTER(_Variant)]
_lib.vtl_connect.argtypes = [_p, _EventCallback, _p, ctypes.POINTER(_i32)]
_lib.vtl_disconnect.argtypes = [_p, _i32]
_lib.vtl_do_events.argtypes = []
_lib.vtl_pump.argtypes = [_i32]
_lib.vtl_map_port.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
_lib.vtl_map_free_port.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(_Variant)]
_lib.vtl_port_device.argtypes = [ctypes.c_char_p, ctypes.POINTER(_Variant)]
_lib.vtl_opening_error.argtypes = [_p, ctypes.POINTER(_i32), ctypes.POINTER(_Variant)]
_lib.vtl_sim_printer_create.argtypes = [ctypes.c_char_p]
_lib.vtl_sim_printer_remove.argtypes = [ctypes.c_char_p]
_lib.vtl_sim_printer_writes.argtypes = [ctypes.c_char_p, ctypes.POINTER(_i32)]
_lib.vtl_sim_printer_write.argtypes = [ctypes.c_char_p, _i32, ctypes.POINTER(_Variant)]
_lib.vtl_variant_clear.argtypes = [ctypes.POINTER(_Variant)]
_lib.vtl_variant_clear.restype = None
for _name, _arg in (("long", _i32), ("integer", ctypes.c_int16), ("boolean", _i32)):
    _f = getattr(_lib, "vtl_variant_set_" + _name)
    _f.argtypes = [ctypes.POINTER(_Variant), _arg]
    _f.restype = None
_lib.vtl_variant_set_double.argtypes = [ctypes.POINTER(_Variant), ctypes.c_double]
_lib.vtl_variant_set_double.restype = None
_lib.vtl_variant_set_empty.argtypes = [ctypes.POINTER(_Variant)]
_lib.vtl_variant_set_empty.restype = None
_lib.vtl_variant_set_string.argtypes = [ctypes.POINTER(_Variant), ctypes.c_char_p, _i32]
_lib.vtl_variant_set_string.restype = None
_lib.vtl_variant_set_bytes.argtypes = [ctypes.POINTER(_Variant), ctypes.c_char_p, _i32]
_lib.vtl_variant_set_bytes.restype = None


class VtlError(Exception):
    """An automation error: `number`, `source` and `hresult` as a host would see them.

    Without a number, the library's last failure on this thread is described."""

    def __init__(self, hresult, number=None, message=None, source="vtldllxt"):
        if number is None:
            n, src = _i32(), ctypes.c_char_p()
            text = _lib.vtl_last_error(ctypes.byref(n), ctypes.byref(src))
            number = n.value
            message = (text or b"").decode("utf-8", "replace")
            source = (src.value or b"").decode("utf-8", "replace")
        self.hresult = hresult & 0xFFFFFFFF
        self.number = number
        self.source = source
        super().__init__(message)


_DISP_E_OVERFLOW = 0x8002000A


def _overflow(value):
    shown = repr(value)
    if len(shown) > 24:
        shown = shown[:20] + "..."
    return VtlError(_DISP_E_OVERFLOW, 6, "Overflow: %s" % shown)


def _check(code):
    if code != 0:
        raise VtlError(code)


class Ref:
    """A variable passed by reference: members and event handlers may assign to `.value`."""

    def __init__(self, value: Any = None) -> None:
        self.value = value

    def __repr__(self):
        return "Ref(%r)" % (self.value,)

    def __eq__(self, other):
        return self.value == (other.value if isinstance(other, Ref) else other)

    def __hash__(self):
        return hash(self.value)

    def __bool__(self):
        return bool(self.value)

    def __int__(self):
        return int(self.value)

    def __index__(self):
        return int(self.value)

    def __str__(self):
        return str(self.value)


class _MissingType:
    def __repr__(self):
        return "Missing"


Missing = _MissingType()


def _fill(v, value):
    if isinstance(value, Ref):
        _fill(v, value.value)
        v.byref = 1
    elif value is None:
        _lib.vtl_variant_set_empty(ctypes.byref(v))
    elif value is Missing:
        v.type = _MISSING
    elif isinstance(value, bool):
        _lib.vtl_variant_set_boolean(ctypes.byref(v), -1 if value else 0)
    elif isinstance(value, int):
        if -2**31 <= value < 2**31:
            _lib.vtl_variant_set_long(ctypes.byref(v), value)
        else:
            # Wider than a Long: a Double, as a scripting host passes it; where the member wants a
            # whole number the library answers with an overflow (error 6).
            try:
                _lib.vtl_variant_set_double(ctypes.byref(v), float(value))
            except OverflowError:
                raise _overflow(value) from None
    elif isinstance(value, float):
        _lib.vtl_variant_set_double(ctypes.byref(v), value)
    elif isinstance(value, str):
        data = value.encode("utf-8")
        _lib.vtl_variant_set_string(ctypes.byref(v), data, len(data))
    elif isinstance(value, (bytes, bytearray)):
        data = bytes(value)
        _lib.vtl_variant_set_bytes(ctypes.byref(v), data, len(data))
    elif isinstance(value, _Object):
        v.type, v.obj = _OBJECT, value._handle
    elif isinstance(value, (list, tuple)) and all(isinstance(x, int) for x in value):
        # An array of Longs: ctypes would wrap what does not fit, and make True 1.
        longs = [-1 if x is True else int(x) for x in value]
        for x in longs:
            if not -2**31 <= x < 2**31:
                raise _overflow(x)
        arr = (ctypes.c_int32 * max(len(longs), 1))(*longs)
        v.type, v.len, v.longs = _LONG_ARRAY, len(value), arr
        return arr  # keep alive during the call
    elif isinstance(value, (list, tuple)) and all(isinstance(x, str) for x in value):
        arr = (ctypes.c_char_p * max(len(value), 1))(*[x.encode("utf-8") for x in value])
        v.type, v.len, v.strs = _STRING_ARRAY, len(value), arr
        return arr
    else:
        raise TypeError("cannot pass %r to the library" % (value,))
    return None


def _read(v):
    t = v.type
    if t in (_EMPTY, _MISSING):
        return None
    if t in (_INTEGER, _LONG):
        return int(v.num)
    if t == _DOUBLE:
        return float(v.dbl)
    if t == _BOOLEAN:
        return v.num != 0
    if t == _STRING:
        return ctypes.string_at(v.str, v.len).decode("utf-8", "replace") if v.len else ""
    if t == _BYTES:
        return ctypes.string_at(v.str, v.len) if v.len else b""
    if t == _LONG_ARRAY:
        return [v.longs[i] for i in range(v.len)]
    if t == _STRING_ARRAY:
        return [v.strs[i].decode("utf-8", "replace") for i in range(v.len)]
    if t == _OBJECT:
        handle, v.obj = v.obj, None  # the wrapper takes over this reference
        return _Object._adopt(handle) if handle else None
    raise TypeError("unexpected variant type %d" % t)


_tables = {}


def _table(class_name):
    """(members, events): members by lower-case name, each a list of entries (dispid, kind,
    number of parameters, name, which parameters are ByRef); events by lower-case name."""
    if class_name not in _tables:
        members, events = {}, {}
        cname = class_name.encode()
        i = 0
        while True:
            dispid, name, kind, nparams, result = _i32(), ctypes.c_char_p(), _i32(), _i32(), _i32()
            if _lib.vtl_member_info(cname, i, ctypes.byref(dispid), ctypes.byref(name),
                                    ctypes.byref(kind), ctypes.byref(nparams),
                                    ctypes.byref(result)) != 0:
                break
            byrefs = []
            for j in range(nparams.value):
                byref = _i32()
                _check(_lib.vtl_param_info(cname, i, j, None, None, ctypes.byref(byref), None))
                byrefs.append(bool(byref.value))
            key = name.value.decode().lower()
            members.setdefault(key, []).append((dispid.value, kind.value, nparams.value,
                                                name.value.decode(), tuple(byrefs)))
            i += 1
        i = 0
        while True:
            dispid, name, nparams = _i32(), ctypes.c_char_p(), _i32()
            if _lib.vtl_event_info(cname, i, ctypes.byref(dispid), ctypes.byref(name),
                                   ctypes.byref(nparams)) != 0:
                break
            events[name.value.decode().lower()] = (dispid.value, name.value.decode())
            i += 1
        _tables[class_name] = (members, events)
    return _tables[class_name]


def dispids(class_name: str) -> dict[str, int]:
    """Member names of a class mapped to their DISPIDs (a property's get and let share one)."""
    members, _ = _table(class_name)
    return {entries[0][3]: entries[0][0] for entries in members.values()}


def event_dispids(class_name: str) -> dict[str, int]:
    """Event names of a class mapped to their DISPIDs, which are numbered apart from members."""
    _, events = _table(class_name)
    return {name: dispid for dispid, name in events.values()}


class _Object:
    def __init__(self, class_name):
        handle = ctypes.c_void_p()
        _check(_lib.vtl_create(class_name.encode(), ctypes.byref(handle)))
        self._setup(handle.value)

    @classmethod
    def _adopt(cls, handle):
        obj = cls.__new__(cls)
        obj._setup(handle)
        return obj

    def _setup(self, handle):
        object.__setattr__(self, "_handle", handle)
        object.__setattr__(self, "_class", _lib.vtl_class_name(handle).decode())
        object.__setattr__(self, "_handlers", {})
        object.__setattr__(self, "_callback", None)
        object.__setattr__(self, "_cookie", None)

    def _invoke(self, dispid, kind, args, byrefs=()):
        variants = (_Variant * max(len(args), 1))()
        result = _Variant()
        keep = []
        try:
            keep = [_fill(variants[i], a) for i, a in enumerate(args)]
            _check(_lib.vtl_invoke(self._handle, dispid, kind, variants, len(args),
                                   ctypes.byref(result)))
            # Only parameters declared ByRef give a value back; any other Ref keeps its own.
            for i, a in enumerate(args):
                if isinstance(a, Ref) and i < len(byrefs) and byrefs[i]:
                    a.value = _read(variants[i])
            return _read(result)
        finally:
            del keep
            for i in range(len(args)):
                if variants[i].owned:
                    _lib.vtl_variant_clear(ctypes.byref(variants[i]))
            _lib.vtl_variant_clear(ctypes.byref(result))

    def _member(self, name):
        members, _ = _table(self._class)
        entries = members.get(name.lower())
        if not entries:
            raise AttributeError("%s has no member %s" % (self._class, name))
        return entries

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        entries = self._member(name)
        for dispid, kind, nparams, _, _ in entries:
            if kind == _GET and nparams == 0:
                return self._invoke(dispid, _GET, [])
        for dispid, kind, _, _, byrefs in entries:
            if kind in (_METHOD, _GET):
                return lambda *args: self._invoke(dispid, kind, list(args), byrefs)
        raise AttributeError("%s.%s is write-only" % (self._class, name))

    def __setattr__(self, name, value):
        if name.startswith("_"):
            object.__setattr__(self, name, value)
            return
        for dispid, kind, _, _, _ in self._member(name):
            if kind == _PUT:
                self._invoke(dispid, _PUT, [value])
                return
        raise AttributeError("%s.%s is read-only" % (self._class, name))

    def connect(self, event: str, handler: Callable[..., Any]) -> None:
        """Calls handler(*args) for every `event`; the arguments are Ref objects."""
        _, events = _table(self._class)
        if event.lower() not in events:
            raise AttributeError("%s has no event %s" % (self._class, event))
        self._handlers.setdefault(events[event.lower()][0], []).append(handler)
        if self._cookie is None:
            cb = _EventCallback(self._on_event)
            cookie = _i32()
            _check(_lib.vtl_connect(self._handle, cb, None, ctypes.byref(cookie)))
            object.__setattr__(self, "_callback", cb)
            object.__setattr__(self, "_cookie", cookie.value)

    def disconnect(self, event: str, handler: Callable[..., Any]) -> None:
        """Stops calling handler for `event`."""
        _, events = _table(self._class)
        handlers = self._handlers.get(events[event.lower()][0], [])
        if handler in handlers:
            handlers.remove(handler)

    def _on_event(self, _user, dispid, _name, args, nargs):
        handlers = list(self._handlers.get(dispid, []))
        if not handlers:
            return
        refs = [Ref(_read(args[i])) for i in range(nargs)]
        before = [r.value for r in refs]
        for h in handlers:
            try:
                h(*refs)
            except Exception:  # an exception must not unwind through the library
                traceback.print_exc()
        for i, r in enumerate(refs):
            value = r.value
            if value is before[i] or (type(value) is type(before[i]) and value == before[i]):
                continue
            # Event arguments are numbers and Booleans: anything else, or a number too wide to
            # pass (the library also keeps the old value of one that overflows the argument),
            # is reported here and changes nothing.
            if not isinstance(value, (bool, int, float, str, bytes)) and value is not None:
                sys.stderr.write("vtldllxt: cannot pass %r back as an event argument\n" % (value,))
                continue
            try:
                _fill(args[i], value)
            except VtlError as e:
                sys.stderr.write("vtldllxt: event argument %d keeps its value: %s\n" % (i, e))

    def close(self) -> None:
        """Releases the object now instead of when it is collected."""
        if self._handle:
            if self._cookie is not None:
                _lib.vtl_disconnect(self._handle, self._cookie)
            _lib.vtl_release(self._handle)
            object.__setattr__(self, "_handle", None)

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass


class clsPrnPort(_Object):
    """A receipt printer and its cash drawer behind one port."""

    def __init__(self) -> None:
        super().__init__("clsPrnPort")

    def opening_error(self) -> tuple[int, str]:
        """Why the last opening of a device failed: (system error number, its text); (0, "")
        once a device has opened since."""
        number, message = _i32(), _Variant()
        try:
            _check(_lib.vtl_opening_error(self._handle, ctypes.byref(number),
                                          ctypes.byref(message)))
            return number.value, _read(message)
        finally:
            _lib.vtl_variant_clear(ctypes.byref(message))


class clsSerial(_Object):
    """A general serial port."""

    def __init__(self) -> None:
        super().__init__("clsSerial")


def _result(call, *args):
    out = _Variant()
    try:
        code = call(*args, ctypes.byref(out))
        if code != 0:
            raise VtlError(code)
        return _read(out)
    finally:
        _lib.vtl_variant_clear(ctypes.byref(out))


def map_port(name: str, path: Optional[Union[str, os.PathLike]]) -> None:
    """Maps a port name ("COM3", "LPT1") to a device path for the whole process, ahead of the
    VTL_COMn and VTL_LPTn variables and the system's defaults; None removes the mapping."""
    _check(_lib.vtl_map_port(name.encode(), os.fsencode(path) if path else None))


def map_free_port(kind: str, path: Union[str, os.PathLike]) -> str:
    """Maps the first "COM" (or "LPT") name that stands for no device yet to `path`; its name."""
    return _result(_lib.vtl_map_free_port, kind.encode(), os.fsencode(path))


def port_device(name: str) -> Optional[str]:
    """The device path a port name opens, or None."""
    out = _Variant()
    try:
        if _lib.vtl_port_device(name.encode(), ctypes.byref(out)) != 0:
            return None
        return os.fsdecode(ctypes.string_at(out.str, out.len))
    finally:
        _lib.vtl_variant_clear(ctypes.byref(out))


class SimulatedPrinter:
    """A printer in this process, for trying a script without hardware: it accepts every write
    and keeps it, with CTS and DSR up. Open it through a port name mapped to `device`:

        printer = vtldllxt.SimulatedPrinter("demo")
        name = vtldllxt.map_free_port("COM", printer.device)
        port.InicializarSerie(int(name[3:]))
    """

    def __init__(self, name: str) -> None:
        self.name = name
        self.device = "sim:" + name
        _check(_lib.vtl_sim_printer_create(name.encode()))

    def writes(self) -> list[bytes]:
        """The data of each write, in order, as bytes."""
        count = _i32()
        _check(_lib.vtl_sim_printer_writes(self.name.encode(), ctypes.byref(count)))
        return [_result(_lib.vtl_sim_printer_write, self.name.encode(), i)
                for i in range(count.value)]

    def received(self) -> bytes:
        """Everything it received, as one byte string."""
        return b"".join(self.writes())

    def close(self) -> None:
        """Removes the printer; a port still open on it fails its next write."""
        _lib.vtl_sim_printer_remove(self.name.encode())


def do_events() -> bool:
    """Processes what is due on this thread's loop without waiting."""
    return bool(_lib.vtl_do_events())


def run_until(predicate: Callable[[], object], timeout: float = 10.0) -> bool:
    """Pumps this thread's loop until predicate() is true or `timeout` seconds pass; whether it
    became true."""
    deadline = time.monotonic() + timeout
    while not predicate():
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        _lib.vtl_pump(int(min(left, 0.05) * 1000) + 1)
    return True


def library_path() -> str:
    """The library file this module loaded (or the name the system's linker resolved)."""
    return _library_path


# ---- What help() shows: every member and event of a class, from the library's own tables ----

_HINTS = {_EMPTY: None, _INTEGER: int, _LONG: int, _DOUBLE: float, _STRING: str, _OBJECT: "_Object",
          _BOOLEAN: bool, 12: Any, _BYTES: bytes, _LONG_ARRAY: list[int],
          _STRING_ARRAY: list[str]}


def _hint(vartype, byref=False):
    hint = _HINTS.get(vartype, Any)
    if vartype == _STRING:
        hint = Union[str, bytes]  # bytes go to the printer as they are
    return Union[hint, Ref] if byref and hint is not None else hint


def _hint_text(hint):
    if hint is None:
        return "None"
    if isinstance(hint, type):
        return hint.__name__
    return str(hint).replace("typing.", "").replace("vtldllxt.", "")


def _describe(class_name):
    """Members as (name, kind, [(param, type, byref, optional)], result type), and events as
    (name, [(param, type)]), in the library's order."""
    cname = class_name.encode()
    members, events = [], []
    i = 0
    while True:
        dispid, name, kind, nparams, result = _i32(), ctypes.c_char_p(), _i32(), _i32(), _i32()
        if _lib.vtl_member_info(cname, i, ctypes.byref(dispid), ctypes.byref(name),
                                ctypes.byref(kind), ctypes.byref(nparams),
                                ctypes.byref(result)) != 0:
            break
        params = []
        for j in range(nparams.value):
            pname, ptype, byref, optional = ctypes.c_char_p(), _i32(), _i32(), _i32()
            _check(_lib.vtl_param_info(cname, i, j, ctypes.byref(pname), ctypes.byref(ptype),
                                       ctypes.byref(byref), ctypes.byref(optional)))
            params.append((pname.value.decode(), ptype.value, bool(byref.value),
                           bool(optional.value)))
        members.append((name.value.decode(), kind.value, params, result.value))
        i += 1
    i = 0
    while True:
        dispid, name, nparams = _i32(), ctypes.c_char_p(), _i32()
        if _lib.vtl_event_info(cname, i, ctypes.byref(dispid), ctypes.byref(name),
                               ctypes.byref(nparams)) != 0:
            break
        params = []
        for j in range(nparams.value):
            pname, ptype = ctypes.c_char_p(), _i32()
            _check(_lib.vtl_event_param_info(cname, i, j, ctypes.byref(pname),
                                             ctypes.byref(ptype)))
            params.append((pname.value.decode(), ptype.value))
        events.append((name.value.decode(), params))
        i += 1
    return members, events


def _signature(params, result):
    parameters = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_ONLY)]
    for pname, ptype, byref, optional in params:
        parameters.append(inspect.Parameter(
            pname, inspect.Parameter.POSITIONAL_ONLY, annotation=_hint(ptype, byref),
            default=Missing if optional else inspect.Parameter.empty))
    return inspect.Signature(parameters, return_annotation=_hint(result))


def _install_members(cls, class_name):
    """Gives `cls` a property or method for each member, so that help() and editors see them;
    they call the library by name, as attribute access does for any spelling."""
    members, events = _describe(class_name)
    grouped = {}
    for name, kind, params, result in members:
        grouped.setdefault(name, []).append((kind, params, result))
    for name, entries in grouped.items():
        if hasattr(cls, name):
            continue  # the module's own helpers keep their names
        getter = next((e for e in entries if e[0] == _GET and not e[1]), None)
        putter = next((e for e in entries if e[0] == _PUT), None)
        if getter or (putter and not any(e[0] == _METHOD for e in entries)):
            vartype = getter[2] if getter else putter[1][0][1]
            access = ("read and write" if getter and putter
                      else "read only" if getter else "write only")

            def fget(self, _name=name):
                return self.__getattr__(_name)

            def fset(self, value, _name=name):
                self.__setattr__(_name, value)

            setattr(cls, name, property(fget, fset if putter else None,
                                        doc="%s (%s)" % (_hint_text(_hint(vartype)), access)))
            continue
        kind, params, result = next(e for e in entries if e[0] in (_METHOD, _GET))

        def method(self, *args, _name=name):
            return self.__getattr__(_name)(*args)

        method.__name__ = name
        method.__qualname__ = cls.__name__ + "." + name
        method.__signature__ = _signature(params, result)
        byrefs = [p[0] for p in params if p[2]]
        if byrefs:
            method.__doc__ = "ByRef (a Ref passed there gets the value the member leaves): %s." % (
                ", ".join(byrefs))
        setattr(cls, name, method)
    lines = ["%s(%s)" % (name, ", ".join("%s: %s" % (p, _hint_text(_hint(t))) for p, t in params))
             for name, params in events]
    if lines:
        cls.__doc__ = (cls.__doc__ or "") + (
            "\n\n    Events (connect(name, handler); the handler gets every argument as a Ref, and\n"
            "    may assign to .value):\n\n" + "".join("        %s\n" % line for line in lines))


_install_members(clsPrnPort, "clsPrnPort")
_install_members(clsSerial, "clsSerial")
