"""What conversion writes: typed records of a run and its spectra, built from corvix objects.

Every writer (mzML, MGF, Parquet, Arrow tables) takes these records and
writes every field they hold; a field that is ``None`` is unknown and is not
written. This module is the one place that turns a :class:`~corvix.Scan` into
a record, so carrying one more fact through conversion is one more line here.

Nothing is made up: the ids are the source's own; a precursor names the
spectrum it was selected in only where the source does; the isolation window
is the one the Reader library reports; total ion current, base peak and the
observed m/z range are the ones the file states; the filter text is the
file's own (with the mzML Reader library, not the text it builds where the
file has none); the centroid/profile flag is unknown where the file has no
term. What the Reader library does not state stays ``None``.
"""

from __future__ import annotations

import datetime
import os
import re
from collections.abc import Collection, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

import native_corvix_py_backend as _m

from .. import _library
from ..errors import ReaderError
from ..run import Run, Scan
from .vocabulary import CHROMATOGRAM_TERMS

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True, slots=True)
class PrecursorRecord:
    """One precursor of a spectrum."""

    mz: float | None = None
    """m/z of the selected ion."""
    charge: int | None = None
    isolation_target: float | None = None
    """Target m/z of the isolation window."""
    isolation_lower_offset: float | None = None
    """The window reaches this far below the target (m/z)."""
    isolation_upper_offset: float | None = None
    """The window reaches this far above the target (m/z)."""
    activation: str | None = None
    """Activation name of :data:`corvix.ACTIVATION_NAMES` ("CID", "HCD", ...)."""
    collision_energy: float | None = None
    spectrum_ref: str | None = None
    """Native id of the spectrum the precursor was selected in."""


@dataclass(frozen=True, slots=True)
class SpectrumRecord:
    """One spectrum as written: its facts and its peaks."""

    index: int
    """Position among the spectra written (0-based)."""
    native_id: str
    scan_number: int
    ms_level: int
    rt: float
    """Retention time in minutes."""
    mz: FloatArray
    intensity: FloatArray
    polarity: str | None = None
    """"+" or "-"."""
    centroid: bool | None = None
    """True for centroided peaks, False for profile points, None when unknown."""
    filter: str | None = None
    tic: float | None = None
    base_peak_mz: float | None = None
    base_peak_intensity: float | None = None
    lowest_mz: float | None = None
    highest_mz: float | None = None
    precursors: tuple[PrecursorRecord, ...] = ()
    user_params: tuple[tuple[str, str], ...] = ()
    """Further (name, value) facts of the spectrum, names as the source writes them."""
    user_params_left_out: int = 0
    """How many further facts the Reader library could not pass on (its trailer text was full)."""
    extra_arrays: tuple[str, ...] = ()
    """Names of the source's binary arrays besides m/z and intensity, whose values are not carried."""

    @property
    def precursor(self) -> PrecursorRecord | None:
        """The first precursor, or None."""
        return self.precursors[0] if self.precursors else None


@dataclass(frozen=True, slots=True)
class ChromatogramRecord:
    """A chromatogram stored in the source file."""

    id: str
    rt: FloatArray
    """Retention times in minutes."""
    intensity: FloatArray
    kind: str | None = None
    """A key of :data:`corvix.writers.vocabulary.CHROMATOGRAM_TERMS` ("tic", "srm", ...), None when unknown."""
    precursor_mz: float | None = None
    product_mz: float | None = None


@dataclass(frozen=True)
class RunRecord:
    """The run-level facts written once per output."""

    source_path: str
    run_id: str
    """An XML name made of the source file's name."""
    spectrum_count: int
    ms_levels: tuple[int, ...]
    """The MS levels present, ascending."""
    instrument: dict[str, Any] = field(default_factory=dict)
    sample: dict[str, Any] = field(default_factory=dict)
    run_info: dict[str, Any] = field(default_factory=dict)
    source_format: str | None = None
    """Vocabulary name of the source's file format, None when it has no term."""
    native_id_format: str | None = None
    """Vocabulary name of the native ids' format, None when unknown."""
    start_time: str | None = None
    """Start of the acquisition as an xs:dateTime text."""
    chromatograms: tuple[ChromatogramRecord, ...] = ()

    @property
    def source_name(self) -> str:
        """The source file's name without its directory."""
        return os.path.basename(self.source_path)

    def metadata(self) -> dict[str, Any]:
        """Run, instrument and sample facts as JSON-ready values."""
        return {
            "source_file": self.source_name,
            "source_path": os.path.abspath(self.source_path),
            "run": self.run_info,
            "instrument": self.instrument,
            "sample": self.sample,
            "start_time": self.start_time,
            "spectrum_count": self.spectrum_count,
        }


SPECTRUM_FIELDS = frozenset(
    name for name in SpectrumRecord.__dataclass_fields__ if name not in ("index", "native_id", "scan_number"))
"""Field names that :func:`spectrum_record` can be asked for."""

_EMPTY = np.empty(0, dtype=np.float64)
_EMPTY.setflags(write=False)
_XML_NAME = re.compile(r"[^A-Za-z0-9_.-]")


def xml_name(text: str) -> str:
    """`text` made into an XML name (letters, digits, '_', '-', '.'; starting with a letter or '_')."""
    name = _XML_NAME.sub("_", text) or "run"
    return name if name[0].isalpha() or name[0] == "_" else "run_" + name


def _iso_time(text: str | None) -> str | None:
    """An xs:dateTime of the Reader library's creation date, None when it is not a date."""
    if not text:
        return None
    try:
        return datetime.datetime.fromisoformat(text.strip()).isoformat()
    except ValueError:
        return None


def stem(path: str | os.PathLike[str]) -> str:
    """File name without its data suffix (.raw, .mzML, .mzML.gz, ...)."""
    name = os.path.basename(os.fspath(path))
    lower = name.lower()
    for suffix in (".mzml.gz", ".mzml", ".raw", ".gz"):
        if lower.endswith(suffix) and len(name) > len(suffix):
            return name[: -len(suffix)]
    return os.path.splitext(name)[0] or name


_ID_FORMATS = (
    (re.compile(r"scan=\d+"), "scan number only nativeID format"),
    (re.compile(r"spectrum=\d+"), "spectrum identifier nativeID format"),
    (re.compile(r"index=\d+"), "multiple peak list nativeID format"),
)


def native_id_format(ids: Iterable[str]) -> str | None:
    """The vocabulary name of the form all `ids` share ("scan=N", "spectrum=N", "index=N"); None for any other."""
    candidates = list(_ID_FORMATS)
    for text in ids:
        candidates = [(form, name) for form, name in candidates if form.fullmatch(text)]
        if not candidates:
            return None
    return candidates[0][1] if candidates else None


def _ids_format(run: Run, numbers: Iterable[int]) -> str | None:
    if not run.mzml_conventions:
        return "scan number only nativeID format"  # the ids are made of the scan numbers
    try:
        return native_id_format(_native_id(Scan(run, number)) for number in numbers)
    except ReaderError:
        return None


_CHROMATOGRAM_KINDS = {term: kind for kind, term in CHROMATOGRAM_TERMS.items()}


def chromatogram_records(run: Run) -> tuple[ChromatogramRecord, ...]:
    """The chromatograms the source file stores (none where the Reader library cannot serve them)."""
    return tuple(
        ChromatogramRecord(c.id, c.rt, c.intensity, None if c.kind is None else _CHROMATOGRAM_KINDS.get(c.kind, c.kind),
                           c.precursor_mz, c.product_mz)
        for c in run.chromatograms())


def run_record(run: Run, spectrum_count: int | None = None, numbers: Sequence[int] | None = None,
               chromatograms: bool = True, id_format: bool = True) -> RunRecord:
    """The run-level record of `run`.

    `spectrum_count` is the number of spectra that will be written, `numbers`
    the scans they are (None: every scan); `chromatograms` reads the stored
    chromatograms, `id_format` the form of the ids (one trailer read per
    scan). What is not read is left empty.
    """
    meta = run.metadata()
    levels = tuple(int(level) for level in np.unique(run.ms_orders))
    written = run.scan_numbers if numbers is None else numbers
    return RunRecord(
        source_path=run.path,
        run_id=xml_name(stem(run.path)),
        spectrum_count=len(written) if spectrum_count is None else spectrum_count,
        ms_levels=levels,
        instrument=meta["instrument"],
        sample=meta["sample"],
        run_info=meta["run"],
        source_format="mzML format" if _library.is_mzml_path(run.path) else None,
        native_id_format=_ids_format(run, written) if id_format else None,
        start_time=_iso_time(meta["run"].get("creation_date")),
        chromatograms=chromatogram_records(run) if chromatograms else (),
    )


def _peaks(run: Run, scan: Scan) -> tuple[FloatArray, FloatArray, bool | None]:
    """The peaks written for a scan: its centroids where the Reader library has them, else the spectrum as stored."""
    peaks, from_centroids = run.peaks_and_origin(scan.number)
    return peaks.mz, peaks.intensity, True if from_centroids else scan.centroid


def _precursor(run: Run, scan: Scan) -> PrecursorRecord | None:
    if scan.ms_order < 2:
        return None
    record = PrecursorRecord(
        mz=scan.precursor_mz,
        charge=scan.charge,
        isolation_target=scan.isolation_target,
        isolation_lower_offset=scan.isolation_lower_offset,
        isolation_upper_offset=scan.isolation_upper_offset,
        activation=scan.activation,
        collision_energy=scan.collision_energy,
        spectrum_ref=scan.precursor_native_id,
    )
    if record == _NO_PRECURSOR:
        return None
    return record


_NO_PRECURSOR = PrecursorRecord()


def native_id(run: Run, number: int) -> str:
    """The id written for scan `number`: the source's own (see :attr:`corvix.Scan.native_id`)."""
    return Scan(run, number).native_id


def _native_id(scan: Scan) -> str:
    try:
        return scan.native_id
    except ReaderError:
        # A library that serves no ids in its trailer (a stand-in in the mzML library's place) has none.
        return f"scan={scan.number}"


def stated_filter(run: Run, scan: Scan) -> str | None:
    """The scan's filter text as the file states it.

    The mzML Reader library builds a text where the file has none, and its
    event string is always the built one: a filter text equal to it is taken
    as built, and is not the file's.
    """
    text = scan.filter
    if text is None or not run.mzml_conventions:
        return text
    built = run.optional(_m.get_scan_event_string, scan.number, scan=scan.number)
    return None if text == built else text


def _user_params(run: Run, scan: Scan) -> tuple[tuple[str, str], ...]:
    if run.mzml_conventions:
        return scan.trailer_pairs
    return tuple(scan.trailer.items())


def spectrum_record(run: Run, scan: Scan, index: int, fields: Collection[str] | None = None) -> SpectrumRecord:
    """The record of one scan, written as spectrum number `index` (0-based).

    `fields` limits what is read to those fields of :class:`SpectrumRecord`
    (None: all); the others are left empty.
    """
    def wanted(name: str) -> bool:
        return fields is None or name in fields

    number = scan.number
    if wanted("mz") or wanted("intensity") or wanted("centroid"):
        mz, intensity, centroid = _peaks(run, scan)
    else:
        mz, intensity, centroid = _EMPTY, _EMPTY, None
    precursor = _precursor(run, scan) if wanted("precursors") else None
    summaries = any(wanted(name) for name in ("tic", "base_peak_mz", "base_peak_intensity", "lowest_mz", "highest_mz"))
    return SpectrumRecord(
        index=index,
        native_id=_native_id(scan),
        scan_number=number,
        ms_level=scan.ms_order,
        rt=scan.rt,
        mz=mz,
        intensity=intensity,
        polarity=scan.polarity if wanted("polarity") else None,
        centroid=centroid,
        filter=stated_filter(run, scan) if wanted("filter") else None,
        tic=scan.tic if summaries else None,
        base_peak_mz=scan.base_peak_mz if summaries else None,
        base_peak_intensity=scan.base_peak_intensity if summaries else None,
        lowest_mz=scan.lowest_mz if summaries else None,
        highest_mz=scan.highest_mz if summaries else None,
        precursors=() if precursor is None else (precursor,),
        user_params=_user_params(run, scan) if wanted("user_params") else (),
        user_params_left_out=scan.trailer_left_out if wanted("user_params") else 0,
        extra_arrays=scan.extra_arrays if wanted("extra_arrays") else (),
    )


def spectrum_records(run: Run, numbers: Iterable[int] | None = None,
                     fields: Collection[str] | None = None) -> Iterator[SpectrumRecord]:
    """Records of the scans `numbers` (default: every scan), in that order, one at a time."""
    for index, number in enumerate(run.scan_numbers if numbers is None else numbers):
        yield spectrum_record(run, Scan(run, number), index, fields)
