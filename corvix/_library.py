"""Which Reader library the module loads, as corvix decides it.

The module loads one Reader library per process, on first need, and keeps it:
a later ``set_dylib_path`` with another file is silently ignored. corvix turns
that silence into an error: it records the library that it loaded (or found
loaded) and raises :class:`ReaderConflictError` when a different one is asked
for afterwards.
"""

from __future__ import annotations

import ctypes
import enum
import os
import sys
import threading
import uuid
from pathlib import Path

import native_corvix_py_backend as _module

from .errors import ReaderConflictError, ReaderError, ReaderNotFoundError

MZML_READER_ENV = "CORVIX_MZML_READER"
NATIVE_READER_ENV = "VELMAR_NATIVE_LIB"
MZML_SUFFIXES = (".mzml", ".mzml.gz")



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
    LOW_MZ = 7  # lowest observed m/z, else the scan window's
    HIGH_MZ = 8
    CENTROID = 9  # 1 or 0
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
    """Real path of the Reader library corvix loaded or confirmed in this process, if any."""
    return _loaded


def _anything_loaded() -> bool:
    """Whether the module holds a Reader library already.

    ``set_dylib_path`` returns without looking at its argument once a library is
    loaded; otherwise it checks that the file exists. A path that cannot exist
    therefore tells the two cases apart without loading anything.
    """
    probe = str(Path(__file__).resolve().parent / f".no-such-reader-{uuid.uuid4().hex}")
    try:
        _module.set_dylib_path(probe)
    except RuntimeError:
        return False
    return True


def _mapped(path: str) -> bool | None:
    """Whether the library file at `path` is mapped into this process (None: cannot tell)."""
    try:
        if sys.platform == "win32":
            kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)  # type: ignore[attr-defined,unused-ignore]
            kernel32.GetModuleHandleW.restype = ctypes.c_void_p
            kernel32.GetModuleHandleW.argtypes = [ctypes.c_wchar_p]
            return bool(kernel32.GetModuleHandleW(path))
        noload = getattr(os, "RTLD_NOLOAD", None)
        if noload is None:
            return None
        ctypes.CDLL(path, mode=noload | getattr(os, "RTLD_LAZY", 1))
        return True
    except OSError:
        return False


def _same(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.normcase(a) == os.path.normcase(b)


def _conflict(current: str | None, wanted: str, data: str) -> ReaderConflictError:
    which = f"the Reader library {current}" if current else "another Reader library (loaded before corvix was asked)"
    return ReaderConflictError(
        f"this process already uses {which}, and a process keeps the first one it "
        f"loads; {wanted} cannot be loaded as well. Read files that need it in another process "
        f"(corvix convert runs each kind of file in its own worker processes)", data)


def select_reader(reader: str | os.PathLike[str] | None, data_path: str) -> None:
    """Make sure the Reader library that should read `data_path` is the module's.

    `reader` names a library file. When it is None, ``.mzML``/``.mzML.gz`` files
    get :func:`mzml_reader_path` if no library is loaded yet and
    ``VELMAR_NATIVE_LIB`` names no file; anything else is left to the module's
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
            if _anything_loaded():
                return
            reader = mzml_reader_path()
        wanted = os.path.realpath(os.fspath(reader))
        if _loaded is not None:
            if _same(_loaded, wanted):
                return
            raise _conflict(_loaded, wanted, data_path)
        if not os.path.isfile(wanted):
            raise FileNotFoundError(f"Reader library not found: {os.fspath(reader)}")
        if _anything_loaded():
            # Loaded before corvix was asked (set_dylib_path, VELMAR_NATIVE_LIB,
            # or a plain call of the module): accept it only if it is this file.
            if _mapped(wanted) is False:
                raise _conflict(None, wanted, data_path)
            _loaded = wanted
            return
        try:
            _module.set_dylib_path(wanted)
        except RuntimeError as error:
            raise ReaderNotFoundError(f"cannot load the Reader library {wanted}: {error}", data_path) from error
        _loaded = wanted


def mzml_reader_loaded() -> bool:
    """Whether the module's Reader library is the mzML Reader library (so its conventions apply)."""
    try:
        mzml = mzml_reader_path()
    except FileNotFoundError:
        return False
    if _loaded is not None:
        return _same(_loaded, mzml)
    return bool(_mapped(mzml))


NOT_FOUND_HELP = (
    "no Reader library found. Pass reader=PATH to corvix.open (or --reader PATH on the command line), "
    f"set {NATIVE_READER_ENV} to the library's path, or call native_corvix_py_backend.set_dylib_path(PATH) "
    f"first; mzML files are read by the library that corvix.mzml_reader_path() names")


def explain_load_failure(error: RuntimeError, path: str | None) -> ReaderError:
    """The exception to raise for a RuntimeError of the module's library search."""
    message = str(error)
    if message.startswith("Dylib not found"):
        return ReaderNotFoundError(f"{NOT_FOUND_HELP} ({message})", path)
    if message.startswith(("Failed to load", "get function")):
        return ReaderNotFoundError(message, path)
    return ReaderError(message, path)
