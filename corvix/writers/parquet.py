"""Parquet files of a run: its peaks in long format, and its stored chromatograms in a second file.

Rows are gathered into row groups of at least :data:`ROW_GROUP_ROWS` rows,
each ending on a spectrum's last peak, so one spectrum is never split over
two row groups. While the next row group is read, the last one is made into
a table, encoded, compressed and written in a worker thread (pyarrow works
without the interpreter lock). Peak values are stored with the byte-stream
split encoding (which compresses floats better and faster), the spectrum's
facts with dictionary encoding.
"""

from __future__ import annotations

from collections import Counter
from concurrent.futures import Future, ThreadPoolExecutor
from types import TracebackType

import pyarrow as pa  # type: ignore[import-untyped,unused-ignore]
import pyarrow.parquet as pq  # type: ignore[import-untyped,unused-ignore]

from .record import RunRecord, SpectrumRecord
from .table import PEAK_COLUMN_NAMES, PeakTableBuilder, chromatogram_table

_PEAK_VALUES = ("mz", "intensity")

PARQUET_COMPRESSIONS = ("zstd", "snappy", "gzip", "lz4", "brotli", "none")
"""Compressions of Parquet files (zstd is the default)."""

ROW_GROUP_ROWS = 1 << 18
"""Rows gathered before a row group is written (more when one spectrum holds more: a spectrum is never split)."""


def check_compression(compression: str) -> str:
    """`compression` when it is one of :data:`PARQUET_COMPRESSIONS` (ValueError otherwise)."""
    if compression not in PARQUET_COMPRESSIONS:
        raise ValueError(f"unknown Parquet compression {compression!r} (choose {', '.join(PARQUET_COMPRESSIONS)})")
    return compression


def _codec(compression: str) -> str | None:
    return None if compression == "none" else compression


class ParquetPeakWriter:
    """Writes spectrum records to one Parquet file of the peak schema.

    Use as a context manager, or call :meth:`close` at the end. Leaving the
    block on an exception closes the file without finishing it (the caller
    discards it).
    """

    def __init__(self, path: str, run: RunRecord, compression: str = "zstd",
                 row_group_rows: int = ROW_GROUP_ROWS) -> None:
        self._builder = PeakTableBuilder(PEAK_COLUMN_NAMES, run)
        self._row_group_rows = row_group_rows
        facts = [name for name in PEAK_COLUMN_NAMES if name not in _PEAK_VALUES]
        self._writer = pq.ParquetWriter(path, self._builder.schema, compression=_codec(check_compression(compression)),
                                        use_dictionary=facts, use_byte_stream_split=list(_PEAK_VALUES),
                                        write_statistics=True)
        self._pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="corvix-parquet")
        self._pending: Future[None] | None = None
        self.written = 0
        """Spectra written so far (gathered ones included)."""
        self.notes: Counter[str] = Counter()
        """What could not be carried, with counts."""

    def write(self, record: SpectrumRecord) -> None:
        """Add one spectrum."""
        self._builder.add(record)
        self.written += 1
        if self._builder.rows >= self._row_group_rows:
            self._flush()

    def _write(self, builder: PeakTableBuilder) -> None:
        table = builder.table()
        self._writer.write_table(table, row_group_size=max(1, table.num_rows))

    def _flush(self) -> None:
        if not len(self._builder):
            return
        builder, self._builder = self._builder, self._builder.fresh()
        self._wait()
        self.notes.update(builder.notes)
        self._pending = self._pool.submit(self._write, builder)

    def _wait(self) -> None:
        if self._pending is not None:
            pending, self._pending = self._pending, None
            pending.result()

    def close(self) -> None:
        """Write the gathered rows and the file's footer."""
        try:
            self._flush()
            self._wait()
        finally:
            self._pool.shutdown(wait=True)
            self._writer.close()

    def __enter__(self) -> ParquetPeakWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        if kind is None:
            self.close()
            return
        if self._pending is not None:
            self._pending.cancel()
        self._pool.shutdown(wait=True)
        try:
            self._writer.close()
        except Exception:  # the output is being discarded anyway
            pass


def write_chromatograms(path: str, run: RunRecord, compression: str = "zstd") -> int:
    """Write the run's stored chromatograms to a Parquet file of the chromatogram schema; returns their number."""
    table = chromatogram_table(run.chromatograms, run)
    pq.write_table(table, path, compression=_codec(check_compression(compression)), use_dictionary=True)
    return len(run.chromatograms)
