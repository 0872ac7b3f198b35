"""Writers of converted runs: mzML, MGF, Parquet and Arrow tables.

Conversion reads a run into records (:mod:`corvix.writers.record`: one
:class:`RunRecord`, then one :class:`SpectrumRecord` per spectrum, one at a
time) and hands them to a writer, which writes every fact the records hold:

- :class:`MzMLWriter`: indexed mzML from text templates, arrays as float64
  binary data (zlib, uncompressed or MS-Numpress);
- :class:`MgfWriter`: MS2-and-higher spectra as MGF, peaks formatted in bulk;
- :class:`ParquetPeakWriter` and :func:`write_chromatograms`: long-format
  Parquet files (one row per peak) of the schema in
  :mod:`corvix.writers.table`, which :meth:`corvix.Run.to_arrow` returns too.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .mgf import MgfWriter
from .mzml import MzMLWriter
from .record import (ChromatogramRecord, PrecursorRecord, RunRecord, SpectrumRecord, run_record, spectrum_record,
                     spectrum_records)

__all__ = [
    "ChromatogramRecord",
    "MgfWriter",
    "MzMLWriter",
    "ParquetPeakWriter",
    "PrecursorRecord",
    "RunRecord",
    "SpectrumRecord",
    "run_record",
    "spectrum_record",
    "spectrum_records",
    "write_chromatograms",
]

if TYPE_CHECKING:
    from .parquet import ParquetPeakWriter, write_chromatograms


def __getattr__(name: str) -> Any:
    # The Parquet writers import pyarrow: only when asked for.
    if name in ("ParquetPeakWriter", "write_chromatograms"):
        from . import parquet

        return getattr(parquet, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
