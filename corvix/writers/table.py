"""Spectra as Arrow tables in long format: one row per peak, the spectrum's facts beside it.

The same schema serves :meth:`corvix.Run.to_arrow` and the Parquet files of
``corvix convert --format parquet``. A spectrum without peaks is one row with
null ``mz`` and ``intensity``, so that no spectrum disappears from the table.
Text columns are dictionary-encoded (each distinct text is stored once).
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa  # type: ignore[import-untyped,unused-ignore]

from .record import ChromatogramRecord, RunRecord, SpectrumRecord

SCHEMA_NAME = "corvix-peaks"
CHROMATOGRAM_SCHEMA_NAME = "corvix-chromatograms"
SCHEMA_VERSION = "1"
"""Version of both schemas; it changes when a column changes its meaning or type, or is removed."""

_TEXT = pa.dictionary(pa.int32(), pa.string())


@dataclass(frozen=True)
class Column:
    """One column of a schema: name, Arrow type and meaning."""

    name: str
    type: pa.DataType
    description: str

    @property
    def field(self) -> pa.Field:
        """The Arrow field of the column."""
        return pa.field(self.name, self.type, nullable=True)


PEAK_COLUMNS: tuple[Column, ...] = (
    Column("native_id", _TEXT, "the spectrum's id"),
    Column("scan_number", pa.int32(), "scan number"),
    Column("ms_level", pa.int16(), "MS level (1, 2, ...)"),
    Column("rt", pa.float64(), "retention time, minutes"),
    Column("polarity", _TEXT, '"+" or "-"; null when unknown'),
    Column("filter", _TEXT, "the scan's filter text as the source states it; null when it states none"),
    Column("precursor_mz", pa.float64(), "m/z of the first precursor's selected ion; null for MS1 or when unknown"),
    Column("charge", pa.int16(), "charge of the first precursor; null when unknown"),
    Column("isolation_target", pa.float64(), "isolation window target m/z; null when unknown"),
    Column("isolation_lower_offset", pa.float64(),
           "isolation window lower offset (the window starts at target - offset), m/z; null when unknown"),
    Column("isolation_upper_offset", pa.float64(),
           "isolation window upper offset (the window ends at target + offset), m/z; null when unknown"),
    Column("activation", _TEXT, '"CID", "HCD", "ETD", ...; null when unknown'),
    Column("collision_energy", pa.float64(), "collision energy, electronvolts; null when unknown"),
    Column("centroid", pa.bool_(), "true for centroided peaks, false for profile points; null when unknown"),
    Column("mz", pa.float64(), "m/z of the peak; null on the one row of a spectrum without peaks"),
    Column("intensity", pa.float64(), "intensity of the peak; null on the one row of a spectrum without peaks"),
)
"""Columns of a peak table, in order."""

CHROMATOGRAM_COLUMNS: tuple[Column, ...] = (
    Column("chromatogram_id", _TEXT, "the chromatogram's id"),
    Column("kind", _TEXT, '"tic", "bpc", "srm", ...; null when unknown'),
    Column("precursor_mz", pa.float64(), "precursor m/z; null when the chromatogram names none"),
    Column("product_mz", pa.float64(), "product m/z; null when the chromatogram names none"),
    Column("rt", pa.float64(), "retention time, minutes; null on the one row of a chromatogram without points"),
    Column("intensity", pa.float64(), "intensity; null on the one row of a chromatogram without points"),
)
"""Columns of a chromatogram table, in order."""

PEAK_COLUMN_NAMES = tuple(column.name for column in PEAK_COLUMNS)

# Record fields that each column needs read.
_NEEDS: dict[str, tuple[str, ...]] = {
    "polarity": ("polarity",),
    "filter": ("filter",),
    "precursor_mz": ("precursors",),
    "charge": ("precursors",),
    "isolation_target": ("precursors",),
    "isolation_lower_offset": ("precursors",),
    "isolation_upper_offset": ("precursors",),
    "activation": ("precursors",),
    "collision_energy": ("precursors",),
    "centroid": ("centroid",),
    "mz": ("mz",),
    "intensity": ("intensity",),
}


def check_columns(columns: Iterable[str] | None) -> tuple[str, ...]:
    """The columns asked for, in schema order (all when None); ValueError naming any unknown one."""
    if columns is None:
        return PEAK_COLUMN_NAMES
    asked = list(columns)
    unknown = [name for name in asked if name not in PEAK_COLUMN_NAMES]
    if unknown:
        raise ValueError(f"unknown column(s) {', '.join(map(repr, unknown))}; the columns are "
                         f"{', '.join(PEAK_COLUMN_NAMES)}")
    return tuple(name for name in PEAK_COLUMN_NAMES if name in asked)


def fields_for(columns: Sequence[str]) -> frozenset[str]:
    """The record fields to read for `columns` (peaks are always read: they decide the rows)."""
    needed = {"mz", "intensity"}
    for name in columns:
        needed.update(_NEEDS.get(name, ()))
    return frozenset(needed)


def metadata(name: str, run: RunRecord | None) -> dict[bytes, bytes]:
    """Key-value metadata of a table: schema name and version, corvix's version, the run's facts."""
    from .. import __version__

    out = {b"corvix.schema": name.encode(), b"corvix.schema_version": SCHEMA_VERSION.encode(),
           b"corvix.version": __version__.encode()}
    if run is not None:
        out[b"corvix.run"] = json.dumps(run.metadata(), default=str, ensure_ascii=False).encode("utf-8")
    return out


def peak_schema(columns: Sequence[str] = PEAK_COLUMN_NAMES, run: RunRecord | None = None) -> pa.Schema:
    """The schema of a peak table of `columns`, with the metadata of `run`."""
    chosen = [column.field for column in PEAK_COLUMNS if column.name in columns]
    return pa.schema(chosen, metadata=metadata(SCHEMA_NAME, run))


def chromatogram_schema(run: RunRecord | None = None) -> pa.Schema:
    """The schema of a chromatogram table, with the metadata of `run`."""
    return pa.schema([column.field for column in CHROMATOGRAM_COLUMNS],
                     metadata=metadata(CHROMATOGRAM_SCHEMA_NAME, run))


def _text(values: list[str | None], rows: pa.Array) -> pa.Array:
    """A dictionary-encoded column of one text (or None) per spectrum, repeated over its rows."""
    return pa.array(values, type=pa.string()).dictionary_encode().take(rows)


def _numbers(values: list[Any], rows: pa.Array, arrow: pa.DataType) -> pa.Array:
    """A column of one number (or None) per spectrum, repeated over its rows."""
    return pa.array(values, type=arrow).take(rows)


def _rows(counts: npt.NDArray[np.int64]) -> pa.Array:
    """The spectrum (0, 1, ...) of each row, for spectra of `counts` rows."""
    return pa.array(np.repeat(np.arange(len(counts), dtype=np.int32), counts))


class PeakTableBuilder:
    """Collects spectrum records and makes peak tables of them (no loop over peaks in Python)."""

    def __init__(self, columns: Sequence[str] = PEAK_COLUMN_NAMES, run: RunRecord | None = None) -> None:
        self.columns = tuple(columns)
        self.schema = peak_schema(self.columns, run)
        self._records: list[SpectrumRecord] = []
        self.rows = 0
        """Rows collected so far."""
        self.notes: dict[str, int] = {}
        """What could not be carried, with counts."""

    def fresh(self) -> PeakTableBuilder:
        """A new, empty builder of the same columns and schema."""
        builder = PeakTableBuilder.__new__(PeakTableBuilder)
        builder.columns, builder.schema = self.columns, self.schema
        builder._records, builder.rows, builder.notes = [], 0, {}
        return builder

    def add(self, record: SpectrumRecord) -> None:
        """Add one spectrum's rows."""
        if len(record.mz) != len(record.intensity):
            raise ValueError(f"spectrum {record.native_id}: {len(record.mz)} m/z values but "
                             f"{len(record.intensity)} intensities")
        if len(record.precursors) > 1:
            key = "precursors after the first (a peak table holds one)"
            self.notes[key] = self.notes.get(key, 0) + len(record.precursors) - 1
        for key, count in (("userParams (a peak table has no column for them)",
                             len(record.user_params) + record.user_params_left_out),
                            ("binary arrays besides m/z and intensity", len(record.extra_arrays))):
            if count:
                self.notes[key] = self.notes.get(key, 0) + count
        self._records.append(record)
        self.rows += max(1, len(record.mz))

    def __len__(self) -> int:
        return len(self._records)

    def table(self) -> pa.Table:
        """A table of the spectra collected since the last call."""
        records, self._records, self.rows = self._records, [], 0
        sizes = np.fromiter((len(r.mz) for r in records), dtype=np.int64, count=len(records))
        rows = _rows(np.maximum(sizes, 1))
        precursors = [r.precursor for r in records]
        arrays: list[pa.Array] = []
        for name in self.columns:
            if name in ("mz", "intensity"):
                arrays.append(self._peaks(records, sizes, name))
            elif name in ("native_id", "polarity", "filter"):
                arrays.append(_text([getattr(r, name) for r in records], rows))
            elif name == "activation":
                arrays.append(_text([None if p is None else p.activation for p in precursors], rows))
            elif name in ("scan_number", "ms_level", "rt", "centroid"):
                arrays.append(_numbers([getattr(r, name) for r in records], rows, self.schema.field(name).type))
            elif name == "precursor_mz":
                arrays.append(_numbers([None if p is None else p.mz for p in precursors], rows, pa.float64()))
            else:  # charge, isolation_target, isolation_*_offset, collision_energy
                arrays.append(_numbers([None if p is None else getattr(p, name) for p in precursors], rows,
                                       self.schema.field(name).type))
        return pa.Table.from_arrays(arrays, schema=self.schema)

    @staticmethod
    def _peaks(records: list[SpectrumRecord], sizes: npt.NDArray[np.int64], name: str) -> pa.Array:
        return _concatenated([getattr(r, name) for r in records], sizes)


def _concatenated(parts: list[npt.NDArray[np.float64]], sizes: npt.NDArray[np.int64]) -> pa.Array:
    """The arrays one after the other, with one null in place of each empty one."""
    empty = sizes == 0
    if not empty.any():
        if not parts:
            return pa.array(np.empty(0, dtype=np.float64), type=pa.float64())
        return pa.array(np.concatenate(parts), type=pa.float64())
    filler = np.zeros(1, dtype=np.float64)
    values = np.concatenate([part if len(part) else filler for part in parts])
    mask = np.repeat(empty, np.maximum(sizes, 1))
    return pa.array(values, type=pa.float64(), mask=mask)


def chromatogram_table(records: Sequence[ChromatogramRecord], run: RunRecord | None = None) -> pa.Table:
    """The chromatograms as one table, one row per point (one row of null time and intensity for a chromatogram
    without points)."""
    for c in records:
        if len(c.rt) != len(c.intensity):
            raise ValueError(f"chromatogram {c.id}: {len(c.rt)} times but {len(c.intensity)} intensities")
    sizes = np.array([len(c.rt) for c in records], dtype=np.int64)
    rows = _rows(np.maximum(sizes, 1))
    arrays = [
        _text([c.id for c in records], rows),
        _text([c.kind for c in records], rows),
        _numbers([c.precursor_mz for c in records], rows, pa.float64()),
        _numbers([c.product_mz for c in records], rows, pa.float64()),
        _concatenated([c.rt for c in records], sizes),
        _concatenated([c.intensity for c in records], sizes),
    ]
    return pa.Table.from_arrays(arrays, schema=chromatogram_schema(run))
