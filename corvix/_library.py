"""Where corvix meets the module: which Reader library it holds, what its
failures mean, and the slots of its answers that corvix reads.

The module loads one Reader library per process, on first need, and keeps it:
a later ``set_dylib_path`` with another file is silently ignored. corvix turns
that silence into an error: it records the library that the module holds
(loaded by corvix, or recognised among the process's loaded objects) and
raises :class:`ReaderConflictError` when a different one is asked for.

The module's own texts that corvix relies on are named here once: the
prefixes of its load-failure messages (a test pins them to the module's
messages) and the slots of ``get_scan_stats`` (:class:`MzmlStat`).
"""

from __future__ import annotations

import ctypes
import enum
import os
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from typing import TypeVar

import native_corvix_py_backend as _module

from .errors import ReaderConflictError, ReaderError, ReaderNotFoundError

T = TypeVar("T")

MZML_READER_ENV = "CORVIX_MZML_READER"
NATIVE_READER_ENV = "VELMAR_NATIVE_LIB"
MZML_SUFFIXES = (".mzml", ".mzml.gz")
# An export every Reader library has, and that corvix needs before anything else.
READER_ENTRY_POINT = "open_raw_file"


class MzmlStat(enum.IntEnum):
    """Slots of the 20 values ``get_scan_stats`` answers with the mzML Reader library.

    Unknown values are NaN; counts and codes are whole numbers held as floats.
    """

    SCAN_NUMBER = 0
    RETENTION_TIME = 1  # minutes
    MS_LEVEL = 2
    POINTS = 3  # the declared length of the scan's arrays
    TIC = 4
    BASE_PEAK_MZ = 5
    BASE_PEAK_INTENSITY = 6
    LOW_MZ = 7  # lowest observed m/z, as the file states it
    HIGH_MZ = 8  # highest observed m/z, as the file states it
    CENTROID = 9  # 1 or 0; NaN when the file does not say
    POLARITY = 10  # polarity code
    PRECURSOR_MZ = 11
    PRECURSOR_CHARGE = 12  # 0: unknown
    SCAN_WINDOW_LOW = 13
    SCAN_WINDOW_HIGH = 14
    ION_INJECTION_TIME = 15  # ms
    PRECURSOR_SCAN = 16  # number of the scan the precursor was selected in; -1: none named
    PRECURSORS = 17
    ISOLATION_WIDTH = 18
    COLLISION_ENERGY = 19


class LoadFailure(enum.Enum):
    """Why the module could not call the Reader library, read from its RuntimeError message."""

    NOT_FOUND = "not found"  # no library file where the search or set_dylib_path looked
    UNLOADABLE = "unloadable"  # a file was there, but the system loader refused it
    NO_ENTRY_POINT = "no entry point"  # the loaded library lacks the function's entry point


# The beginnings of the module's messages, by kind. Any other RuntimeError of
# the module is a failure status of the Reader library ("<entry point> failed").
LOAD_FAILURE_PREFIXES: dict[LoadFailure, tuple[str, ...]] = {
    LoadFailure.NOT_FOUND: ("Dylib not found and VELMAR_NATIVE_LIB not set.", "Dylib not found at: "),
    LoadFailure.UNLOADABLE: ("Failed to load dylib ", "Failed to load override dylib "),
    LoadFailure.NO_ENTRY_POINT: ("get function ",),
}


def load_failure(message: str) -> LoadFailure | None:
    """The kind of load failure a module message reports, or None for a failure status."""
    for kind, prefixes in LOAD_FAILURE_PREFIXES.items():
        if message.startswith(prefixes):
            return kind
    return None


NOT_FOUND_HELP = (
    "no Reader library found. Pass reader=PATH to corvix.open (or --reader PATH on the command line), "
    f"set {NATIVE_READER_ENV} to the library's path, or call native_corvix_py_backend.set_dylib_path(PATH) "
    f"first; mzML files are read by the library that corvix.mzml_reader_path() names")


def reader_error(error: RuntimeError, path: str | None, scan: int | None = None) -> ReaderError:
    """The corvix exception for a RuntimeError of the module, naming the file (and scan).

    A library that cannot be found, loaded or called (a missing entry point)
    gives :class:`ReaderNotFoundError`, with what to do when none was found;
    a failure status of the Reader library gives :class:`ReaderError`.
    """
    if isinstance(error, ReaderError):
        return error
    message = str(error)
    kind = load_failure(message)
    if kind is LoadFailure.NOT_FOUND:
        return ReaderNotFoundError(f"{NOT_FOUND_HELP} ({message})", path)
    if kind is not None:
        return ReaderNotFoundError(message, path)
    return ReaderError(message, path, scan)


def unless_failed(call: Callable[[], T]) -> T | None:
    """``call()``, or None when the Reader library answers with a failure status.

    A library that cannot be found, loaded or called still raises
    (:class:`ReaderNotFoundError`): that is no answer about the file.
    """
    try:
        return call()
    except ReaderError as error:
        if isinstance(error, ReaderNotFoundError):
            raise
        return None


_lock = threading.Lock()
_loaded: str | None = None  # real path of the library corvix loaded or confirmed


def mzml_library_name() -> str:
    """File name of the open-data (mzML) Reader library on this platform."""
    if sys.platform == "win32":
        return "corvix_mzml_reader.dll"
    if sys.platform == "darwin":
        return "libcorvix_mzml_reader.dylib"
    return "libcorvix_mzml_reader.so"


def mzml_reader_path() -> str:
    """Absolute path of the Reader library that reads mzML files.

    ``CORVIX_MZML_READER``, when set, names the file (a development build);
    otherwise the library installed with the package, ``corvix/lib/<name>``.

    Raises:
        FileNotFoundError: the file is absent; the message says how to build
            one or point at one.
    """
    override = os.environ.get(MZML_READER_ENV)
    if override:
        candidate = Path(override).expanduser()
        if candidate.is_file():
            return str(candidate.resolve())
        raise FileNotFoundError(
            f"{MZML_READER_ENV} names {override!r}, but there is no file there; set it to the "
            f"{mzml_library_name()} of a build (CMake builds it as <build>/mzml_reader/{mzml_library_name()}) "
            f"or unset it to use the one installed with corvix")
    installed = Path(__file__).resolve().parent / "lib" / mzml_library_name()
    if installed.is_file():
        return str(installed)
    raise FileNotFoundError(
        f"the mzML Reader library is not installed ({installed} is absent); install a corvix wheel, "
        f"or build the project with CMake and set {MZML_READER_ENV} to <build>/mzml_reader/{mzml_library_name()}")


def is_mzml_path(path: str | os.PathLike[str]) -> bool:
    """True for paths ending in .mzML or .mzML.gz (any letter case)."""
    return os.fspath(path).lower().endswith(MZML_SUFFIXES)


def loaded_reader() -> str | None:
    """Real path of the Reader library the module holds, once corvix knows it (loaded or recognised it)."""
    return _loaded


# -- the process's loaded objects -----------------------------------------------------------------


class _DlPhdrInfo(ctypes.Structure):
    # The leading members of struct dl_phdr_info; the callback reads no others.
    _fields_ = [("dlpi_addr", ctypes.c_void_p), ("dlpi_name", ctypes.c_char_p)]


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


_PHDR_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_DlPhdrInfo), ctypes.c_size_t, ctypes.c_void_p)


class _Dl:
    """The dynamic loader's calls, for asking about objects without loading any."""

    def __init__(self) -> None:
        libc = ctypes.CDLL(None)
        self.iterate = getattr(libc, "dl_iterate_phdr", None)  # not on every system
        self.open, self.sym, self.addr, self.close = libc.dlopen, libc.dlsym, libc.dladdr, libc.dlclose
        self.open.restype, self.open.argtypes = ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_int]
        self.sym.restype, self.sym.argtypes = ctypes.c_void_p, [ctypes.c_void_p, ctypes.c_char_p]
        self.addr.restype, self.addr.argtypes = ctypes.c_int, [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
        self.close.argtypes = [ctypes.c_void_p]
        self.noload = os.RTLD_NOLOAD | os.RTLD_LAZY

    def loaded(self, name: bytes) -> int | None:
        """A new reference to the loaded object `name`, or None when it is not loaded (nothing is loaded)."""
        handle: int | None = self.open(name, self.noload)
        return handle

    def names(self) -> list[bytes] | None:
        """File names of the loaded objects, in load order (None: this system cannot list them)."""
        if self.iterate is None:
            return None
        names: list[bytes] = []

        def collect(info: ctypes._Pointer[_DlPhdrInfo], size: int, data: int | None) -> int:
            name = info.contents.dlpi_name
            if name:
                names.append(name)
            return 0

        self.iterate(_PHDR_CALLBACK(collect), None)
        return names


_dl_calls: _Dl | None = None


def _dl() -> _Dl | None:
    global _dl_calls
    if _dl_calls is None and sys.platform != "win32":
        try:
            _dl_calls = _Dl()
        except (OSError, AttributeError):
            return None
    return _dl_calls


def _posix_reader_libraries() -> list[str] | None:
    """Loaded objects that export the Reader entry point themselves."""
    dl = _dl()
    if dl is None:
        return None
    names = dl.names()
    if names is None:
        return None
    found: list[str] = []
    for name in names:
        handle = dl.loaded(name)
        if not handle:
            continue
        try:
            # dlsym also searches the object's dependencies: the symbol must be its own.
            address = dl.sym(handle, READER_ENTRY_POINT.encode())
            where = _DlInfo()
            if address and dl.addr(address, ctypes.byref(where)) and where.dli_fname == name:
                found.append(os.path.realpath(os.fsdecode(name)))
        finally:
            dl.close(handle)
    return found


def _windows_reader_libraries() -> list[str] | None:
    """Loaded modules that export the Reader entry point (EnumProcessModules, GetProcAddress)."""
    try:
        kernel32 = ctypes.WinDLL("kernel32")  # type: ignore[attr-defined,unused-ignore]
        psapi = ctypes.WinDLL("psapi")  # type: ignore[attr-defined,unused-ignore]
    except OSError:
        return None
    kernel32.GetCurrentProcess.restype = ctypes.c_void_p
    kernel32.GetProcAddress.restype = ctypes.c_void_p
    kernel32.GetProcAddress.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    kernel32.GetModuleFileNameW.argtypes = [ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_uint32]
    psapi.EnumProcessModules.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32,
                                         ctypes.POINTER(ctypes.c_uint32)]
    process = kernel32.GetCurrentProcess()
    count = 256
    while True:
        modules = (ctypes.c_void_p * count)()
        needed = ctypes.c_uint32()
        if not psapi.EnumProcessModules(process, modules, ctypes.sizeof(modules), ctypes.byref(needed)):
            return None
        if needed.value <= ctypes.sizeof(modules):
            break
        count = needed.value // ctypes.sizeof(ctypes.c_void_p) + 16
    found: list[str] = []
    for module in modules[: needed.value // ctypes.sizeof(ctypes.c_void_p)]:
        if module and kernel32.GetProcAddress(module, READER_ENTRY_POINT.encode()):
            buffer = ctypes.create_unicode_buffer(32768)
            if kernel32.GetModuleFileNameW(module, buffer, len(buffer)):
                found.append(os.path.realpath(buffer.value))
    return found


def reader_libraries() -> list[str] | None:
    """Real paths of the loaded objects of this process that export the Reader entry point.

    The module's Reader library, once it holds one that corvix can use, is
    among them; so is any library loaded by other means (ctypes, for one).
    None when this platform cannot be asked.
    """
    try:
        if sys.platform == "win32":
            return _windows_reader_libraries()
        return _posix_reader_libraries()
    except (OSError, AttributeError):
        return None


def _mapped(path: str) -> bool | None:
    """Whether the library file at `path` is loaded in this process (None: cannot tell)."""
    try:
        if sys.platform == "win32":
            kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)  # type: ignore[attr-defined,unused-ignore]
            kernel32.GetModuleHandleW.restype = ctypes.c_void_p
            kernel32.GetModuleHandleW.argtypes = [ctypes.c_wchar_p]
            return bool(kernel32.GetModuleHandleW(path))
        dl = _dl()
        if dl is None:
            return None
        handle = dl.loaded(os.fsencode(path))
        if handle:
            dl.close(handle)
        return bool(handle)
    except OSError:
        return False


def _same(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.normcase(a) == os.path.normcase(b)


# -- which library the module holds ---------------------------------------------------------------


def _conflict(current: str | None, wanted: str, data: str) -> ReaderConflictError:
    which = f"the Reader library {current}" if current else "another Reader library (loaded before corvix was asked)"
    return ReaderConflictError(
        f"this process already uses {which}, and a process keeps the first one it "
        f"loads; {wanted} cannot be loaded as well. Read files that need it in another process "
        f"(corvix convert runs each kind of file in its own worker processes)", data)


def _ambiguous(wanted: str, loaded: list[str], data: str) -> ReaderConflictError:
    return ReaderConflictError(
        f"several Reader libraries are loaded in this process ({', '.join(loaded)}), loaded before corvix "
        f"was asked, and corvix cannot tell whether the module uses {wanted}. Read the file in a process "
        f"that loads only the library it needs", data)


def _load(wanted: str, data_path: str) -> bool | None:
    """``set_dylib_path(wanted)``, which loads it unless the module holds a library already.

    Returns whether the module holds `wanted` afterwards: True when this call
    loaded it, False when the module holds another, None when corvix cannot
    tell (the file was loaded in the process before, by the module or not).
    """
    before = _mapped(wanted)
    try:
        _module.set_dylib_path(wanted)
    except RuntimeError as error:
        raise ReaderNotFoundError(f"cannot load the Reader library {wanted}: {error}", data_path) from error
    if before is not False:
        return None
    # A library stays loaded once the module holds it; a file the module
    # did not take is not loaded (set_dylib_path released nothing of it).
    return _mapped(wanted)


def select_reader(reader: str | os.PathLike[str] | None, data_path: str) -> None:
    """Make sure the Reader library that should read `data_path` is the module's.

    `reader` names a library file. When it is None, ``.mzML``/``.mzML.gz`` files
    get :func:`mzml_reader_path` unless the module holds a library already or
    ``VELMAR_NATIVE_LIB`` names a file; anything else is left to the module's
    own search.

    Raises:
        FileNotFoundError: `reader` (or the mzML Reader library) does not exist.
        ReaderConflictError: another library is loaded already.
        ReaderNotFoundError: the module could not load `reader`.
    """
    global _loaded
    with _lock:
        if reader is None:
            if not is_mzml_path(data_path) or _loaded is not None:
                return
            explicit = os.environ.get(NATIVE_READER_ENV)
            if explicit and os.path.exists(explicit):
                return
            try:
                default = mzml_reader_path()
            except FileNotFoundError:
                if reader_libraries() != []:
                    return  # the module may hold a library already: its choice stands
                raise
            if _load(default, data_path):
                _loaded = default
            return  # otherwise the library the module holds reads the file
        wanted = os.path.realpath(os.fspath(reader))
        if _loaded is not None:
            if _same(_loaded, wanted):
                return
            raise _conflict(_loaded, wanted, data_path)
        if not os.path.isfile(wanted):
            raise FileNotFoundError(f"Reader library not found: {os.fspath(reader)}")
        holds = _load(wanted, data_path)
        if holds:
            _loaded = wanted
        elif holds is False:
            raise _conflict(None, wanted, data_path)
        else:
            # Loaded before corvix was asked: the module holds some library
            # now, and it must be this one. With no other Reader library in the
            # process it can only be (a library without the entry point fails
            # on the first call); Run confirms it once a file is open.
            others = [path for path in reader_libraries() or [] if not _same(path, wanted)]
            if others:
                raise _ambiguous(wanted, [wanted, *others], data_path)


def confirm_loaded() -> str | None:
    """Called once the module has opened a file: records the library it holds, when that can be told.

    The module's library exports the Reader entry point (the open went through
    it), so when exactly one loaded object does, that one is the module's.
    """
    global _loaded
    with _lock:
        if _loaded is None:
            found = reader_libraries()
            if found is not None and len(found) == 1:
                _loaded = found[0]
        return _loaded


def mzml_reader_loaded() -> bool:
    """Whether the module's Reader library is known to be the mzML Reader library (so its conventions apply).

    False when corvix cannot tell which library the module holds: the mzML
    conventions are then not applied, and what only they give stays unknown.
    """
    loaded = _loaded
    if loaded is None:
        return False
    try:
        return _same(loaded, mzml_reader_path())
    except FileNotFoundError:
        return False
