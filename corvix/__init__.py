"""corvix: files of mass spectra as Python objects and tables, and conversion to mzML, MGF and Parquet.

A Pythonic layer over the ``native_corvix_py_backend`` module::

    import corvix

    with corvix.open("run.mzML") as run:
        for scan in run:
            mz, intensity = scan.peaks()

``run.to_arrow()`` (also ``to_pandas``, ``to_polars``) for the peaks as one
table, ``corvix.convert_file(source, output, format=..., compression=...)``
for conversion, and a command line, ``corvix`` (or ``python -m corvix``):
``convert``, ``info``, ``xic`` and ``plot``.
"""

from __future__ import annotations

import os

from ._library import loaded_reader, mzml_reader_path
from .convert import convert_file
from .damage import Damage, DamagedRunWarning
from .errors import DamagedRunError, OpenError, ReaderConflictError, ReaderError, ReaderNotFoundError
from .run import (
    ACTIVATION_NAMES,
    POLARITY_NAMES,
    TRACE_BPC,
    TRACE_MASS_RANGE,
    TRACE_TIC,
    Centroids,
    DependentScan,
    Peaks,
    Run,
    Scan,
    StoredChromatogram,
    Trace,
)

__version__ = "0.1.0"

__all__ = [
    "ACTIVATION_NAMES",
    "POLARITY_NAMES",
    "TRACE_BPC",
    "TRACE_MASS_RANGE",
    "TRACE_TIC",
    "Centroids",
    "Damage",
    "DamagedRunError",
    "DamagedRunWarning",
    "DependentScan",
    "OpenError",
    "Peaks",
    "ReaderConflictError",
    "ReaderError",
    "ReaderNotFoundError",
    "Run",
    "Scan",
    "StoredChromatogram",
    "Trace",
    "__version__",
    "convert_file",
    "loaded_reader",
    "mzml_reader_path",
    "open",
]


def open(path: str | os.PathLike[str], reader: str | os.PathLike[str] | None = None) -> Run:
    """Open a file and return its :class:`Run` (a context manager that closes the handle on exit).

    Args:
        path: the file to read.
        reader: path of the Reader library to read it with. When omitted, the
            module's own search decides (``set_dylib_path``,
            ``VELMAR_NATIVE_LIB``, the current directory), except that a
            ``.mzML`` or ``.mzML.gz`` file gets :func:`mzml_reader_path` when
            no library is loaded yet and ``VELMAR_NATIVE_LIB`` names none.

    Raises:
        FileNotFoundError: `path`, or the Reader library asked for, does not exist.
        ReaderConflictError: another Reader library is loaded in this process
            already (a process keeps the first one it loads).
        ReaderNotFoundError: no Reader library can be found or loaded.
        OpenError: the Reader library cannot open the file.

    Warns:
        DamagedRunWarning: the file is damaged and spectra were lost; the
            rest reads as written and :attr:`Run.damage` says what and where.
    """
    return Run(path, reader)
