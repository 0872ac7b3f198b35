"""The mzML Reader library's own functions beyond the 186 entry points.

The Reader library's entry points have no place for the chromatograms that an
mzML file stores (SRM traces, for instance). The mzML Reader library exports a
few functions of its own for them, declared in its table
``mzml_reader/extension.def``; corvix calls them through ctypes, only when the
mzML Reader library is the module's loaded library (the same mapped file, so
both see the same reader handles).

The declarations below mirror that table row for row; a test checks that they
agree.
"""

from __future__ import annotations

import ctypes
import threading
from typing import Any

from . import _library

_int = ctypes.c_int32
_double_p = ctypes.POINTER(ctypes.c_double)

# name -> (result type, argument types), as in mzml_reader/extension.def.
DECLARATIONS: dict[str, tuple[type[ctypes.c_int32], list[type[Any]]]] = {
    "corvix_mzml_extension_version": (_int, []),
    "corvix_mzml_chromatogram_count": (_int, [_int]),
    "corvix_mzml_chromatogram_text": (_int, [_int, _int, _int, ctypes.c_char_p, _int]),
    "corvix_mzml_chromatogram_values": (_int, [_int, _int, _double_p, _int]),
    "corvix_mzml_chromatogram_arrays": (_int, [_int, _int, _double_p, _double_p, _int]),
}

# Which text of a chromatogram corvix_mzml_chromatogram_text gives.
TEXT_ID = 0
TEXT_KIND = 1
# The values of corvix_mzml_chromatogram_values, in their order.
VALUE_NAMES = ("precursor_mz", "product_mz", "points")

# The version of the functions this corvix was written against.
VERSION = 1

_lock = threading.Lock()
_library_handle: ctypes.CDLL | None = None


def extension() -> ctypes.CDLL | None:
    """The mzML Reader library with its own functions declared, or None when the
    module's Reader library is not the mzML Reader library (or lacks them)."""
    global _library_handle
    if not _library.mzml_reader_loaded():
        return None
    with _lock:
        if _library_handle is None:
            try:
                lib = ctypes.CDLL(_library.mzml_reader_path())
                for name, (result, arguments) in DECLARATIONS.items():
                    function = getattr(lib, name)
                    function.restype = result
                    function.argtypes = arguments
            except (OSError, AttributeError, FileNotFoundError):
                return None
            if lib.corvix_mzml_extension_version() != VERSION:
                return None
            _library_handle = lib
        return _library_handle
