"""Run and scan objects over the module's function-by-function interface."""

from __future__ import annotations

import ctypes
import math
import os
import re
import struct
import sys
import warnings
import weakref
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar

import numpy as np
import numpy.typing as npt

import native_corvix_py_backend as _m

from . import _extension, _library
from . import damage as _damage
from .errors import OpenError, ReaderError, ReaderNotFoundError

if TYPE_CHECKING or sys.version_info >= (3, 12):
    from functools import cached_property
else:  # functools' takes a lock on every first read before 3.12
    from ._cached import cached_property

T = TypeVar("T")
FloatArray = npt.NDArray[np.float64]

# Chromatogram trace codes passed to the Reader library's get_chromatogram.
TRACE_TIC = 0
TRACE_BPC = 1
TRACE_MASS_RANGE = 2

# Names of the activation codes of get_scan_event_activation_type.
ACTIVATION_NAMES: dict[int, str] = {
    0: "CID",
    1: "HCD",
    2: "ETD",
    3: "ECD",
    4: "MPD",
    5: "PQD",
    6: "other",
}

# Polarity codes of get_scan_filter_polarity.
POLARITY_NAMES: dict[int, str] = {0: "-", 1: "+"}

# First capacity offered for a spectrum; grown (and remembered per run) when
# a result fills the whole capacity, since a full result may have been cut.
_FIRST_CAPACITY = 4096
_EMPTY = np.empty(0, dtype=np.float64)
_EMPTY.setflags(write=False)


class Peaks(NamedTuple):
    """A spectrum: m/z and intensity as float64 arrays of equal length."""

    mz: FloatArray
    intensity: FloatArray


class Trace(NamedTuple):
    """A chromatogram: retention time (minutes) and intensity as float64 arrays."""

    rt: FloatArray
    intensity: FloatArray


@dataclass(frozen=True)
class Centroids:
    """The centroid stream of a scan, all arrays of one length.

    ``resolution``, ``noise`` and ``flags`` are the Reader library's third,
    fourth and integer arrays, as it fills them (the mzML Reader library,
    which has none of them, gives NaN and -1).
    """

    mz: FloatArray
    intensity: FloatArray
    resolution: FloatArray
    noise: FloatArray
    flags: npt.NDArray[np.int32]


@dataclass(frozen=True)
class StoredChromatogram:
    """A chromatogram as the file stores it (an mzML ``chromatogram`` element).

    ``rt`` is in minutes, whatever unit the file uses. ``precursor_mz`` and
    ``product_mz`` are the isolation window targets of the chromatogram's
    precursor and product (SRM transitions), None where the file gives none;
    ``kind`` is the name of its type term ("selected reaction monitoring
    chromatogram", "total ion current chromatogram", ...), None when absent.
    """

    id: str
    kind: str | None
    rt: FloatArray
    intensity: FloatArray
    precursor_mz: float | None
    product_mz: float | None


@dataclass(frozen=True)
class DependentScan:
    """One dependent scan of a scan, as the Reader library describes it."""

    index: int
    """The Reader library's scan index of the dependent scan."""
    filter: str | None
    precursor_mz: tuple[float, ...]
    isolation_width: tuple[float, ...]


def _note(error: BaseException, path: str, scan: int | None) -> None:
    where = f"while reading {path}" + ("" if scan is None else f", scan {scan}")
    if where not in getattr(error, "__notes__", ()):
        error.add_note(where)


def _positive(value: float) -> float | None:
    return value if math.isfinite(value) and value > 0 else None


def _finite(value: float) -> float | None:
    return value if math.isfinite(value) else None


# Up to this many values a list is packed into the array in one call, which
# takes half the time of iterating it; beyond, the argument tuple that packing
# builds costs more than it saves.
_PACK_LIMIT = 1 << 16


def _array(values: Sequence[float]) -> FloatArray:
    """A float64 array (writable, owning its data) of a list of floats."""
    count = len(values)
    if count == 0:
        return _EMPTY.copy()
    if count <= _PACK_LIMIT:
        out = np.empty(count, dtype=np.float64)
        struct.pack_into(f"{count}d", out.data, 0, *values)
        return out
    return np.fromiter(values, dtype=np.float64, count=count)


def _blocks(numbers: list[int]) -> list[tuple[int, int]]:
    """Runs of consecutive numbers of an ascending list, as (first, last) pairs."""
    blocks: list[tuple[int, int]] = []
    for number in numbers:
        if blocks and blocks[-1][1] == number - 1:
            blocks[-1] = (blocks[-1][0], number)
        else:
            blocks.append((number, number))
    return blocks


# Labels of the pairs that the mzML Reader library puts before a scan's
# userParams in its trailer (see docs/fidelity.md).
NATIVE_ID_LABEL = "native id"
READER_PAIRS_LABEL = "reader pairs"
FILE_PAIRS_LABEL = "file pairs"
EXTRA_ARRAY_LABEL = "extra binary array"
ARRAYS_UNKNOWN_LABEL = "extra binary arrays unknown"
PRECURSOR_REF_LABEL = "precursor 1 spectrum ref"


_ESCAPED = re.compile("%(25|7C)")


def _unescape(field: str) -> str:
    """A trailer field of the mzML Reader library as the file wrote it ("%7C" is "|", "%25" is "%")."""
    if "%" not in field:
        return field
    return _ESCAPED.sub(lambda match: "%" if match.group(1) == "25" else "|", field)


@dataclass(frozen=True)
class _MzmlTrailer:
    """A scan's trailer as the mzML Reader library lays it out."""

    native_id: str | None
    reader: tuple[tuple[str, str], ...]   # the library's own pairs after the counts
    file: tuple[tuple[str, str], ...]     # the file's userParams, in document order
    left_out: int                         # pairs that did not fit the Reader library's buffer


def _mzml_trailer(labels: list[str], values: list[str]) -> _MzmlTrailer:
    pairs = [(_unescape(label), _unescape(value)) for label, value in zip(labels, values)]
    if labels == [""] and values == [""]:
        pairs = []
    native = pairs[0][1] if pairs and pairs[0][0] == NATIVE_ID_LABEL else None
    reader = file = 0
    if len(pairs) >= 3 and pairs[1][0] == READER_PAIRS_LABEL and pairs[2][0] == FILE_PAIRS_LABEL:
        try:
            reader, file = int(pairs[1][1]), int(pairs[2][1])
        except ValueError:
            reader = file = 0
    if reader < 3:
        # Too few pairs arrived to hold the counts: the buffer cut the trailer.
        return _MzmlTrailer(native, (), (), max(1, 3 - len(pairs)))
    shown = min(len(pairs), reader + file)
    return _MzmlTrailer(native, tuple(pairs[3:min(reader, shown)]), tuple(pairs[reader:shown]),
                        reader + file - shown)


def _fields(labels: list[str], values: list[str]) -> dict[str, str]:
    """Pairs labels with values; a trailing ':' of a label is dropped, empty labels are skipped."""
    out: dict[str, str] = {}
    for label, value in zip(labels, values):
        key = label.strip().rstrip(":").strip()
        if key:
            out[key] = value.strip()
    return out


def _error_log_reason(handle: int) -> str | None:
    """The first error-log message of a handle that failed to open, if the Reader library keeps one."""
    try:
        if _m.get_error_log_items_count(handle) > 0:
            return _m.get_error_log_item_message(handle, 0) or None
    except RuntimeError:
        pass
    return None


def _close_handle(handle: int) -> None:
    _m.close_raw_file(handle)


class Run:
    """An open file. Use as a context manager, or call :meth:`close`.

    Scans are indexed by scan number (``run[first_scan]`` .. ``run[last_scan]``),
    and iterating the run yields every scan in order.
    """

    def __init__(self, path: str | os.PathLike[str], reader: str | os.PathLike[str] | None = None) -> None:
        """Open `path` with the Reader library `reader` (see :func:`corvix.open`)."""
        self.path = os.fspath(path)
        self._handle: int | None = None
        self._capacity = _FIRST_CAPACITY
        if not os.path.exists(self.path):
            raise FileNotFoundError(f"no such file: {self.path}")
        _library.select_reader(reader, self.path)
        try:
            handle = _m.open_raw_file(os.path.abspath(self.path))
        except RuntimeError as error:
            raise _library.reader_error(error, self.path) from error
        if handle < 0:
            raise OpenError(f"the Reader library cannot open this file (handle {handle})", self.path)
        try:
            failed = _m.is_error(handle) or not _m.is_open(handle)
        except BaseException:
            _m.close_raw_file(handle)
            raise
        if failed:
            reason = _error_log_reason(handle)
            _m.close_raw_file(handle)
            raise OpenError("the Reader library cannot open this file" + (f": {reason}" if reason else ""),
                            self.path)
        self._handle = handle
        self._finalizer = weakref.finalize(self, _close_handle, handle)
        # The mzML Reader library documents its scan statistics (the precursor's
        # charge and scan number among them); other libraries' may differ.
        _library.confirm_loaded()
        self.mzml_conventions = _library.mzml_reader_loaded()
        self._damage = _damage.NO_DAMAGE
        self._log_seen = 0
        self._review_damage(stacklevel=4)

    # -- life cycle -----------------------------------------------------------

    @property
    def handle(self) -> int:
        """The module's reader handle, for calling its functions directly."""
        if self._handle is None:
            raise ValueError(f"{self.path} is closed")
        return self._handle

    @property
    def damage(self) -> _damage.Damage:
        """What the run lost to damage (see :mod:`corvix.damage`); nothing for an undamaged run.

        Damage to a spectrum's arrays is found when the spectrum is first
        read, so this can grow while the run is read. Only the mzML Reader
        library's error log is read for damage.
        """
        if self._handle is not None:
            self._review_damage(stacklevel=3)
        return self._damage

    def _review_damage(self, stacklevel: int) -> None:
        """Reads the error log again when it grew; warns when more was lost."""
        handle = self._handle
        if handle is None or not self.mzml_conventions:
            return
        try:
            size = _damage.log_size(handle)
            if size == self._log_seen:
                return
            found = _damage.parse(_damage.read_log(handle))
        except RuntimeError as error:
            raise _library.reader_error(error, self.path, None) from error
        before, self._damage, self._log_seen = self._damage, found, size
        if (found.spectra, found.unknown, found.chromatograms) != (before.spectra, before.unknown,
                                                                   before.chromatograms):
            warnings.warn(_damage.DamagedRunWarning(
                f"{self.path}: {found.describe()}; the rest reads as written (Run.damage says what and where)"),
                stacklevel=stacklevel)

    @property
    def closed(self) -> bool:
        """True once the run is closed."""
        return self._handle is None

    def close(self) -> None:
        """Give the handle back to the Reader library (again: no effect)."""
        if self._handle is not None:
            self._handle = None
            self._finalizer()

    def __enter__(self) -> Run:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else f"scans {self.first_scan}..{self.last_scan}"
        return f"<corvix.Run {self.path!r} {state}>"

    # -- calls ----------------------------------------------------------------

    def call(self, function: Callable[..., T], *args: Any, scan: int | None = None) -> T:
        """Call a module function with this run's handle first.

        A RuntimeError becomes a :class:`ReaderError` naming the file and
        `scan`; any other exception passes unchanged with a note naming them.
        """
        handle = self._handle
        if handle is None:
            raise ValueError(f"{self.path} is closed")
        try:
            return function(handle, *args)
        except RuntimeError as error:
            if self.mzml_conventions:
                self._review_damage(stacklevel=4)  # a failed read may have found damage
            raise _library.reader_error(error, self.path, scan) from error
        except Exception as error:
            _note(error, self.path, scan)
            raise

    def optional(self, function: Callable[..., T], *args: Any, scan: int | None = None) -> T | None:
        """Like :meth:`call`, but a failure status of the Reader library gives None.

        Failures to find or load the Reader library are still raised.
        """
        # What _library.unless_failed does, without a closure per call (this is called per scan, often).
        try:
            return self.call(function, *args, scan=scan)
        except ReaderNotFoundError:
            raise
        except ReaderError:
            return None

    # -- scans ----------------------------------------------------------------

    @cached_property
    def first_scan(self) -> int:
        """Number of the first scan."""
        return self.call(_m.get_first_scan)

    @cached_property
    def last_scan(self) -> int:
        """Number of the last scan."""
        return self.call(_m.get_last_scan)

    @property
    def scan_numbers(self) -> range:
        """All scan numbers, first to last (empty when the file has no scans)."""
        first, last = self.first_scan, self.last_scan
        if first < 0 or last < first:
            return range(0)
        return range(first, last + 1)

    def __len__(self) -> int:
        return len(self.scan_numbers)

    def __iter__(self) -> Iterator[Scan]:
        for number in self.scan_numbers:
            yield Scan(self, number)

    def __getitem__(self, number: int) -> Scan:
        if not isinstance(number, int):
            raise TypeError(f"scans are indexed by scan number (int), not {type(number).__name__}")
        if number not in self.scan_numbers:
            raise IndexError(f"scan {number} is outside {self.first_scan}..{self.last_scan} of {self.path}")
        return Scan(self, number)

    def scans(
        self,
        ms_order: int | None = None,
        rt: tuple[float, float] | None = None,
    ) -> Iterator[Scan]:
        """Scans in scan-number order, optionally only those of one MS order and/or in an RT window.

        `rt` is (start, end) in minutes, both ends inclusive; a scan is in the
        window when its retention time is, whatever the order of the file's
        retention times (see :meth:`scans_in_rt`).
        """
        numbers: Iterable[int] = self.scan_numbers if rt is None else self.scans_in_rt(*rt)
        orders = self.ms_orders if ms_order is not None else None
        first = self.first_scan
        for number in numbers:
            if orders is not None and orders[number - first] != ms_order:
                continue
            yield Scan(self, number)

    @cached_property
    def retention_times(self) -> FloatArray:
        """Retention time (minutes) of every scan, indexed by scan number - first scan."""
        times = np.fromiter((self.call(_m.get_scan_rt, n, scan=n) for n in self.scan_numbers),
                            dtype=np.float64, count=len(self.scan_numbers))
        times.setflags(write=False)
        return times

    @cached_property
    def ms_orders(self) -> npt.NDArray[np.int32]:
        """MS order of every scan, indexed by scan number - first scan."""
        orders = np.fromiter((self.call(_m.get_ms_order, n, scan=n) for n in self.scan_numbers),
                             dtype=np.int32, count=len(self.scan_numbers))
        orders.setflags(write=False)
        return orders

    def scans_in_rt(self, start: float, end: float) -> list[int]:
        """Numbers of the scans whose retention time lies in [start, end] (minutes, both ends inclusive).

        Selected by value, in scan-number order: many files do not store their
        scans in retention-time order (all MS1 scans first, then all MS2 scans),
        so no order is assumed. A scan without a retention time (NaN) lies in
        no window; a window whose start is after its end (or NaN) is empty.
        """
        if not start <= end:
            return []
        times = self.retention_times
        inside = np.flatnonzero((times >= start) & (times <= end))
        return [int(n) for n in inside + self.first_scan]

    # -- data -----------------------------------------------------------------

    def _grow(self, function: Callable[..., tuple[T, ...]], *args: Any, scan: int | None,
              capacity: int) -> tuple[tuple[T, ...], int]:
        """Calls an array function with a capacity, growing it while the result fills it."""
        while True:
            result = self.call(function, *args, capacity, scan=scan)
            if len(result[0]) < capacity:  # type: ignore[arg-type]
                return result, capacity
            capacity *= 4

    def spectrum(self, number: int) -> Peaks:
        """The scan's spectrum as stored (profile or centroid), as float64 arrays."""
        capacity = self._capacity
        (mz, intensity), used = self._grow(_m.get_spectrum, number, scan=number, capacity=capacity)
        if used > capacity:
            self._capacity = used
        return Peaks(_array(mz), _array(intensity))

    def centroids(self, number: int) -> Centroids | None:
        """The scan's centroid stream, or None when the Reader library has none for it."""
        result = self._centroid_lists(number)
        if result is None:
            return None
        mz, intensity, resolution, noise, flags = result[:5]
        return Centroids(_array(mz), _array(intensity), _array(resolution), _array(noise),
                         np.array(flags, dtype=np.int32))

    def peaks(self, number: int, centroid: bool | None = None) -> Peaks:
        """The scan's peaks; see :meth:`Scan.peaks`."""
        if centroid is False:
            return self.spectrum(number)
        stream = self._stream(number)
        if stream is not None and (len(stream.mz) or centroid):
            return stream
        if centroid:
            return Peaks(_EMPTY.copy(), _EMPTY.copy())
        return self.spectrum(number)

    def peaks_and_origin(self, number: int) -> tuple[Peaks, bool]:
        """The peaks of :meth:`Scan.peaks` and whether they are centroids (the centroid stream, or with the
        mzML Reader library a centroided spectrum) rather than the spectrum as stored."""
        if self.mzml_conventions:
            # The mzML Reader library's centroid stream of a centroided scan is its spectrum as
            # stored, and profile scans have none: one list pair to convert instead of five lists.
            peaks = self.spectrum(number)
            return peaks, bool(len(peaks.mz)) and bool(self.call(_m.is_centroid, number, scan=number))
        stream = self._stream(number)
        if stream is not None and len(stream.mz):
            return stream, True
        return self.spectrum(number), False

    def _stream(self, number: int) -> Peaks | None:
        """m/z and intensity of the scan's centroid stream; None when the Reader library has none."""
        # Only the m/z and intensity lists of the stream become arrays here.
        result = self._centroid_lists(number)
        if result is None:
            return None
        return Peaks(_array(result[0]), _array(result[1]))

    def _centroid_lists(self, number: int) -> Any:
        """The lists of the scan's centroid stream as the module returns them; None when the Reader
        library has none. The capacity grows to the largest stream met."""
        capacity = self._capacity
        grown = _library.unless_failed(
            lambda: self._grow(_m.get_centroid_stream, number, scan=number, capacity=capacity))
        if grown is None:
            return None
        result, used = grown
        if used > capacity:
            self._capacity = used
        return result

    def _trace(self, trace_type: int, filter: str, ranges: tuple[list[float], list[float]],
               rt: tuple[float, float] | None) -> Trace:
        if rt is None:
            numbers = self.scan_numbers
            blocks = [(numbers[0], numbers[-1])] if numbers else []
        else:
            blocks = _blocks(self.scans_in_rt(*rt))
        # One call per block of consecutive scans in the window: the Reader
        # library takes a scan range, and a window by value need not be one.
        times: list[float] = []
        values: list[float] = []
        for start, end in blocks:
            (part_times, part_values), _ = self._grow(_m.get_chromatogram, trace_type, filter, ranges[0], ranges[1],
                                                      start, end, scan=None, capacity=end - start + 2)
            times.extend(part_times)
            values.extend(part_values)
        rt_array, intensity = _array(times), _array(values)
        if len(rt_array) > 1 and not bool(np.all(rt_array[1:] >= rt_array[:-1])):
            order = np.argsort(rt_array, kind="stable")
            rt_array, intensity = rt_array[order], intensity[order]
        return Trace(rt_array, intensity)

    def tic(self, filter: str = "", rt: tuple[float, float] | None = None) -> Trace:
        """Total-ion chromatogram of the scans that match `filter` ("" for all).

        `rt` limits it to the scans whose retention time lies in (start, end),
        minutes, both ends inclusive. Points are in retention-time order.
        """
        return self._trace(TRACE_TIC, filter, ([], []), rt)

    def bpc(self, filter: str = "", rt: tuple[float, float] | None = None) -> Trace:
        """Base-peak chromatogram of the scans that match `filter` ("" for all).

        `rt` as in :meth:`tic`: by value, both ends inclusive.
        """
        return self._trace(TRACE_BPC, filter, ([], []), rt)

    def xic(self, mz: float | Sequence[float], ppm: float = 10.0, rt: tuple[float, float] | None = None,
            filter: str = "") -> Trace:
        """Extracted-ion chromatogram: intensity within `ppm` of `mz` (or of each of several m/z values).

        `rt` limits the trace to the scans whose retention time lies in
        (start, end), minutes, both ends inclusive; `filter` to the scans that
        match a filter text. Matching and summing are the Reader library's.
        Points are in retention-time order.
        """
        centres = [float(mz)] if isinstance(mz, (int, float)) else [float(m) for m in mz]
        if ppm < 0 or not math.isfinite(ppm):
            raise ValueError(f"ppm must be a finite number >= 0, not {ppm}")
        low = [c - c * ppm * 1e-6 for c in centres]
        high = [c + c * ppm * 1e-6 for c in centres]
        return self._trace(TRACE_MASS_RANGE, filter, (low, high), rt)

    def averaged(self, scans: Iterable[int] | None = None, rt: tuple[float, float] | None = None,
                 ms_order: int | None = 1) -> Peaks:
        """Spectrum averaged by the Reader library over `scans`, or over the scans in an RT window.

        With `rt` = (start, end), minutes, both ends inclusive, the scans whose
        retention time lies in the window are averaged, whatever their order
        in the file; only those of `ms_order` (None: every scan in the window).
        """
        if (scans is None) == (rt is None):
            raise ValueError("give either scans or rt")
        if scans is not None:
            numbers = [int(n) for n in scans]
        else:
            assert rt is not None
            window = self.scans_in_rt(*rt)
            if ms_order is None:
                numbers = list(window)
            else:
                orders = self.ms_orders
                numbers = [n for n in window if orders[n - self.first_scan] == ms_order]
        if not numbers:
            return Peaks(_EMPTY.copy(), _EMPTY.copy())
        (mz, intensity), _ = self._grow(_m.get_averaged_spectrum, numbers, scan=None,
                                        capacity=max(self._capacity, 4 * _FIRST_CAPACITY))
        return Peaks(_array(mz), _array(intensity))

    # -- metadata -------------------------------------------------------------

    def _texts(self, functions: dict[str, Callable[[int], str]]) -> dict[str, str | None]:
        # A failed or empty text is a fact the Reader library does not hold: None.
        return {key: self.optional(function) or None for key, function in functions.items()}

    def instrument(self) -> dict[str, Any]:
        """Instrument model, name, serial number, versions and count (None for what the Reader library lacks)."""
        info: dict[str, Any] = self._texts({
            "model": _m.get_instrument_model,
            "name": _m.get_instrument_name,
            "serial_number": _m.get_instrument_serial_number,
            "software_version": _m.get_instrument_software_version,
            "hardware_version": _m.get_instrument_hardware_version,
        })
        info["count"] = self.call(_m.get_instrument_count)
        return info

    def sample(self) -> dict[str, Any]:
        """Sample name, id, comment, vial, barcode, volumes and user texts."""
        info: dict[str, Any] = self._texts({
            "name": _m.get_sample_name,
            "id": _m.get_sample_id,
            "comment": _m.get_sample_comment,
            "vial": _m.get_sample_vial,
            "barcode": _m.get_sample_barcode,
            "instrument_method_file": _m.get_sample_instrument_method_file,
        })
        info["injection_volume"] = _finite(self.call(_m.get_sample_injection_volume))
        info["dilution_factor"] = _finite(self.call(_m.get_sample_dilution_factor))
        info["user_text"] = self.call(_m.get_sample_user_text)
        return info

    def run_info(self) -> dict[str, Any]:
        """File and acquisition facts: names, dates, scan range, time and mass range."""
        info: dict[str, Any] = {"path": self.path}
        info.update(self._texts({
            "file_name": _m.get_file_name,
            "description": _m.get_file_description,
            "creation_date": _m.get_creation_date,
            "modified_date": _m.get_modified_date,
            "creator": _m.get_creator_id,
            "computer_name": _m.get_computer_name,
        }))
        numbers = self.scan_numbers
        info.update({
            "first_scan": numbers[0] if numbers else None,
            "last_scan": numbers[-1] if numbers else None,
            "num_scans": len(numbers),
            "start_time": _finite(self.call(_m.get_start_time)),
            "end_time": _finite(self.call(_m.get_end_time)),
            "low_mass": _finite(self.call(_m.get_low_mass)),
            "high_mass": _finite(self.call(_m.get_high_mass)),
        })
        return info

    def metadata(self) -> dict[str, dict[str, Any]]:
        """Run, instrument and sample metadata: ``{"run": {...}, "instrument": {...}, "sample": {...}}``."""
        return {"run": self.run_info(), "instrument": self.instrument(), "sample": self.sample()}

    def filters(self) -> list[str]:
        """Every scan filter text of the file ([] when the Reader library has none)."""
        return self.optional(_m.get_filters) or []

    # -- native ids and stored chromatograms -----------------------------------

    @cached_property
    def _native_ids(self) -> dict[str, int]:
        ids: dict[str, int] = {}
        for number in self.scan_numbers:
            ids.setdefault(Scan(self, number).native_id, number)
        return ids

    def by_native_id(self, native_id: str) -> Scan:
        """The scan whose native id (:attr:`Scan.native_id`) is `native_id`.

        The map of ids is built once, on the first call. Where two scans share
        an id, the first one is returned.

        Raises:
            KeyError: no scan has that id (the message names it).
        """
        number = self._native_ids.get(native_id)
        if number is None:
            raise KeyError(f"no scan of {self.path} has the native id {native_id!r}")
        return Scan(self, number)

    def chromatograms(self) -> list[StoredChromatogram]:
        """The chromatograms the file stores, in file order.

        Served by the mzML Reader library's own functions beyond the Reader
        library's entry points (which have no place for them); [] where the
        Reader library is another one, or the file stores none.
        """
        lib = _extension.extension() if self.mzml_conventions else None
        if lib is None:
            return []
        handle = self.handle
        count = lib.corvix_mzml_chromatogram_count(handle)
        if count < 0:
            raise ReaderError("corvix_mzml_chromatogram_count failed", self.path)
        out: list[StoredChromatogram] = []
        for index in range(count):
            ident = self._chromatogram_text(lib, handle, index, _extension.TEXT_ID)
            kind = self._chromatogram_text(lib, handle, index, _extension.TEXT_KIND)
            values = (ctypes.c_double * len(_extension.VALUE_NAMES))()
            if lib.corvix_mzml_chromatogram_values(handle, index, values, len(values)) < 0:
                raise ReaderError(f"corvix_mzml_chromatogram_values failed for chromatogram {index}", self.path)
            precursor, product, points = values
            capacity = int(points) + 1 if math.isfinite(points) and points >= 0 else _FIRST_CAPACITY
            while True:
                times = np.empty(capacity, dtype=np.float64)
                intensity = np.empty(capacity, dtype=np.float64)
                n = lib.corvix_mzml_chromatogram_arrays(handle, index, times.ctypes.data_as(_extension._double_p),
                                                        intensity.ctypes.data_as(_extension._double_p), capacity)
                if n < 0:
                    raise ReaderError(f"corvix_mzml_chromatogram_arrays failed for chromatogram {index} ({ident})",
                                      self.path)
                if n < capacity:
                    break
                capacity = n + 1
            out.append(StoredChromatogram(ident, kind or None, times[:n].copy(), intensity[:n].copy(),
                                          _finite(precursor), _finite(product)))
        return out

    def _chromatogram_text(self, lib: ctypes.CDLL, handle: int, index: int, which: int) -> str:
        capacity = 256
        while True:
            buffer = ctypes.create_string_buffer(capacity)
            length = lib.corvix_mzml_chromatogram_text(handle, index, which, buffer, capacity)
            if length < 0:
                raise ReaderError(f"corvix_mzml_chromatogram_text failed for chromatogram {index}", self.path)
            if length < capacity:
                return buffer.raw[:length].decode("utf-8", "replace")
            capacity = length + 1

    # -- tables ---------------------------------------------------------------

    def select(self, ms_order: int | None = None, rt: tuple[float, float] | None = None) -> list[int]:
        """Numbers of the scans of `ms_order` whose retention time lies in `rt` (minutes, both ends inclusive).

        The window selects by value, whatever the order of the scans in the file.
        """
        numbers = self.scan_numbers
        keep = np.ones(len(numbers), dtype=np.bool_)
        if ms_order is not None:
            keep &= self.ms_orders == ms_order
        if rt is not None:
            start, end = rt
            times = self.retention_times
            keep &= (times >= start) & (times <= end)
        return [numbers[i] for i in np.flatnonzero(keep).tolist()]

    def to_arrow(self, ms_order: int | None = None, rt: tuple[float, float] | None = None,
                 columns: Sequence[str] | None = None) -> Any:
        """The run's peaks as a ``pyarrow.Table`` in long format: one row per peak, the scan's facts beside it.

        The schema is the one of ``corvix convert --format parquet`` (see
        ``docs/parquet.md``); a scan without peaks is one row with null m/z
        and intensity. `ms_order` and `rt` (minutes, both ends inclusive,
        selected by value) choose the scans; `columns` chooses columns (in
        schema order; only what they need is read). Built from numpy arrays,
        spectrum by spectrum.
        """
        from .writers.record import run_record, spectrum_records
        from .writers.table import PeakTableBuilder, check_columns, fields_for

        chosen = check_columns(columns)
        numbers = self.select(ms_order, rt)
        builder = PeakTableBuilder(chosen, run_record(self, len(numbers), numbers, chromatograms=False,
                                                      id_format=False))
        for record in spectrum_records(self, numbers, fields_for(chosen)):
            builder.add(record)
        return builder.table()

    def to_pandas(self, ms_order: int | None = None, rt: tuple[float, float] | None = None,
                  columns: Sequence[str] | None = None) -> Any:
        """:meth:`to_arrow` as a ``pandas.DataFrame`` (text columns become categoricals).

        Raises:
            ImportError: pandas is not installed (the ``pandas`` extra).
        """
        try:
            import pandas  # type: ignore[import-untyped,import-not-found,unused-ignore]  # noqa: F401
        except ImportError as error:
            raise ImportError("Run.to_pandas needs pandas: pip install 'native_corvix_py_backend[pandas]'") from error
        return self.to_arrow(ms_order, rt, columns).to_pandas()

    def to_polars(self, ms_order: int | None = None, rt: tuple[float, float] | None = None,
                  columns: Sequence[str] | None = None) -> Any:
        """:meth:`to_arrow` as a ``polars.DataFrame`` (text columns become categoricals).

        Raises:
            ImportError: polars is not installed (the ``polars`` extra).
        """
        try:
            import polars  # type: ignore[import-untyped,import-not-found,unused-ignore]
        except ImportError as error:
            raise ImportError("Run.to_polars needs polars: pip install 'native_corvix_py_backend[polars]'") from error
        return polars.from_arrow(self.to_arrow(ms_order, rt, columns))


class Scan:
    """One scan of a run. Attributes are read from the Reader library on first use and kept."""

    def __init__(self, run: Run, number: int) -> None:
        self.run = run
        self.number = number

    def __repr__(self) -> str:
        return f"<corvix.Scan {self.number} of {self.run.path!r}>"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Scan) and other.run is self.run and other.number == self.number

    def __hash__(self) -> int:
        return hash((id(self.run), self.number))

    @cached_property
    def rt(self) -> float:
        """Retention time in minutes."""
        cached = self.run.__dict__.get("retention_times")
        if cached is not None:
            return float(cached[self.number - self.run.first_scan])
        return self.run.call(_m.get_scan_rt, self.number, scan=self.number)

    @cached_property
    def ms_order(self) -> int:
        """MS order (1 for MS1, 2 for MS2, ...)."""
        cached = self.run.__dict__.get("ms_orders")
        if cached is not None:
            return int(cached[self.number - self.run.first_scan])
        return self.run.call(_m.get_ms_order, self.number, scan=self.number)

    @cached_property
    def filter(self) -> str | None:
        """The scan's filter text, None when the Reader library has none."""
        return self.run.optional(_m.get_scan_filter_string, self.number, scan=self.number)

    @cached_property
    def polarity_code(self) -> int:
        """The Reader library's polarity code of the scan."""
        return self.run.call(_m.get_scan_filter_polarity, self.number, scan=self.number)

    @property
    def polarity(self) -> str | None:
        """Polarity as "+" or "-"; None when the code is neither."""
        return POLARITY_NAMES.get(self.polarity_code)

    @cached_property
    def centroid(self) -> bool | None:
        """True when the stored spectrum is centroided, False when it is profile data, None when the file does not say.

        With the mzML Reader library, from its scan-data code (1 centroid,
        0 profile, -1 when the file has no centroid/profile term); with any
        other, the Reader library's ``is_centroid`` flag.
        """
        if self.run.mzml_conventions:
            code = self.run.call(_m.get_scan_filter_scan_data, self.number, scan=self.number)
            return {1: True, 0: False}.get(code)
        return self.run.call(_m.is_centroid, self.number, scan=self.number)

    @cached_property
    def precursor_mz(self) -> float | None:
        """m/z of the (first) precursor, None for MS1 scans or when unknown."""
        if self.ms_order < 2:
            return None
        return _positive(self.run.call(_m.get_precursor_mass, self.number, scan=self.number))

    @cached_property
    def isolation_width(self) -> float | None:
        """Isolation width of the first precursor, None when unknown."""
        if self.ms_order < 2:
            return None
        return _positive(self.run.call(_m.get_scan_event_isolation_width, self.number, 0, scan=self.number))

    @cached_property
    def collision_energy(self) -> float | None:
        """Collision energy of the first precursor's activation, None when unknown."""
        if self.ms_order < 2:
            return None
        return _finite(self.run.call(_m.get_scan_event_collision_energy, self.number, 0, scan=self.number))

    @cached_property
    def activation_code(self) -> int | None:
        """The Reader library's activation code of the first precursor, None for MS1."""
        if self.ms_order < 2:
            return None
        return self.run.call(_m.get_scan_event_activation_type, self.number, 0, scan=self.number)

    @property
    def activation(self) -> str | None:
        """Activation of the first precursor ("CID", "HCD", "ETD", ...), None when unknown."""
        code = self.activation_code
        return None if code is None else ACTIVATION_NAMES.get(code)

    @cached_property
    def _trailer_texts(self) -> tuple[list[str], list[str]]:
        labels = self.run.optional(_m.get_trailer_extra_labels, self.number, scan=self.number)
        values = self.run.optional(_m.get_trailer_extra_values, self.number, scan=self.number)
        return labels or [], values or []

    @cached_property
    def _mzml_trailer(self) -> _MzmlTrailer | None:
        if not self.run.mzml_conventions:
            return None
        return _mzml_trailer(*self._trailer_texts)

    @cached_property
    def trailer_pairs(self) -> tuple[tuple[str, str], ...]:
        """The scan's trailer extra data as (label, value) pairs, in order, every pair kept.

        With the mzML Reader library: the userParams of the spectrum, its
        scans and its precursors, names and values exactly as the file writes
        them (the library's own pairs in front of them are served as
        :attr:`native_id`, :attr:`precursor_native_id` and
        :attr:`extra_arrays`). With another Reader library: its labels and
        values as it gives them. () when there are none.
        """
        mzml = self._mzml_trailer
        if mzml is not None:
            return mzml.file
        labels, values = self._trailer_texts
        if labels == [""] and values == [""]:
            return ()
        return tuple(zip(labels, values))

    @cached_property
    def trailer(self) -> dict[str, str]:
        """The scan's trailer extra data, label to value ({} when there is none).

        With the mzML Reader library: the file's userParams of the spectrum,
        its scans and precursors, names and values as written (a name given
        twice keeps its last value; :attr:`trailer_pairs` keeps both). With
        another Reader library: a trailing ':' of a label and white space
        around labels and values are dropped, empty labels skipped.
        """
        if self._mzml_trailer is not None:
            return dict(self.trailer_pairs)
        return _fields(*self._trailer_texts)

    @cached_property
    def trailer_left_out(self) -> int:
        """How many trailer pairs did not fit the Reader library's text buffer (0: the trailer is whole).

        Only the mzML Reader library says; 0 with another one.
        """
        mzml = self._mzml_trailer
        return 0 if mzml is None else mzml.left_out

    @cached_property
    def native_id(self) -> str:
        """The file's own id of the spectrum (mzML ``spectrum/@id``, for example ``"spectrum=1011"``).

        Where the Reader library has no ids (any other than the mzML Reader
        library), ``"scan=N"`` with the scan number.

        Raises:
            ReaderError: the mzML Reader library's trailer of the scan holds no id.
        """
        mzml = self._mzml_trailer
        if mzml is None:
            return f"scan={self.number}"
        if mzml.native_id is None:
            raise ReaderError("the trailer of the scan does not begin with its native id", self.run.path, self.number)
        return mzml.native_id

    @cached_property
    def precursor_native_id(self) -> str | None:
        """The native id of the spectrum the (first) precursor was selected in, as the file names it.

        None when the file names none (mzML ``precursor/@spectrumRef`` absent),
        and with Reader libraries other than the mzML Reader library.
        """
        mzml = self._mzml_trailer
        if mzml is None:
            return None
        for label, value in mzml.reader:
            if label == PRECURSOR_REF_LABEL:
                return value
        return None

    @cached_property
    def extra_arrays(self) -> tuple[str, ...]:
        """Names of the scan's binary arrays besides m/z and intensity, which the Reader library cannot carry.

        For example ``("charge array", "resolution")`` (a non-standard data
        array by the name the file gives it). () when there are none, and with
        Reader libraries other than the mzML Reader library.

        Raises:
            ReaderError: the scan's arrays cannot be read, so which there are is unknown.
        """
        mzml = self._mzml_trailer
        if mzml is None:
            return ()
        for label, value in mzml.reader:
            if label == ARRAYS_UNKNOWN_LABEL:
                raise ReaderError(f"which arrays the scan has is unknown: {value}", self.run.path, self.number)
        return tuple(value for label, value in mzml.reader if label == EXTRA_ARRAY_LABEL)

    @cached_property
    def status_log(self) -> dict[str, str]:
        """The status log entry of the scan, header label to value ({} when there is none)."""
        header = self.run.optional(_m.get_status_log_header)
        values = self.run.optional(_m.get_status_log_values, self.number, scan=self.number)
        return _fields(header or [], values or [])

    @cached_property
    def charge(self) -> int | None:
        """Charge state of the precursor, None when unknown or 0.

        From the trailer extra data ("Charge State" or "Charge"); with the mzML
        Reader library, from the file's charge state term (its scan
        statistics), else from a userParam of that name.
        """
        if self.ms_order < 2:
            return None
        if self.run.mzml_conventions:
            stat = self._stat(_library.MzmlStat.PRECURSOR_CHARGE)
            if stat is not None and stat.is_integer() and stat != 0:
                return int(stat)
        for label, value in self.trailer.items():
            if label.lower() in ("charge state", "charge"):
                try:
                    charge = int(float(value))
                except ValueError:
                    return None
                return charge if charge != 0 else None
        return None

    @cached_property
    def precursor_scan(self) -> int | None:
        """Number of the scan the precursor was selected in, only where the file names it (mzML library).

        None for MS1 scans, when the file names no precursor spectrum, when the
        named spectrum is not in the file, and with other Reader libraries.
        """
        if self.ms_order < 2 or not self.run.mzml_conventions:
            return None
        value = self._stat(_library.MzmlStat.PRECURSOR_SCAN)
        if value is None or not value.is_integer() or int(value) not in self.run.scan_numbers:
            return None
        return int(value)

    @property
    def tic(self) -> float | None:
        """Total ion current as the file states it (never a sum computed over the peaks); None where it does not.

        Read from the mzML Reader library's scan statistics; None with any
        other Reader library.
        """
        return self._stated(_library.MzmlStat.TIC)

    @property
    def base_peak_mz(self) -> float | None:
        """Base peak m/z as the file states it; None where it does not (see :attr:`tic`)."""
        return self._stated(_library.MzmlStat.BASE_PEAK_MZ)

    @property
    def base_peak_intensity(self) -> float | None:
        """Base peak intensity as the file states it; None where it does not (see :attr:`tic`)."""
        return self._stated(_library.MzmlStat.BASE_PEAK_INTENSITY)

    @property
    def lowest_mz(self) -> float | None:
        """Lowest observed m/z as the file states it (not the scan window); None where it does not."""
        return self._stated(_library.MzmlStat.LOW_MZ)

    @property
    def highest_mz(self) -> float | None:
        """Highest observed m/z as the file states it (not the scan window); None where it does not."""
        return self._stated(_library.MzmlStat.HIGH_MZ)

    def _stated(self, index: int) -> float | None:
        return self._stat(index) if self.run.mzml_conventions else None

    @cached_property
    def _isolation(self) -> tuple[float | None, float | None, float | None]:
        """(target, lower offset, upper offset) of the first precursor's isolation window."""
        if self.ms_order < 2:
            return None, None, None
        n = self.number
        low = _finite(self.run.call(_m.get_scan_event_first_precursor_mass, n, 0, scan=n))
        width = _finite(self.run.call(_m.get_scan_event_isolation_width, n, 0, scan=n))
        offset = _finite(self.run.call(_m.get_scan_event_isolation_width_offset, n, 0, scan=n))
        if width is None or offset is None:
            return None, None, None
        lower, upper = width / 2.0 - offset, width / 2.0 + offset
        return (None if low is None else low + lower), lower, upper

    @property
    def isolation_target(self) -> float | None:
        """The first precursor's isolation window target m/z, None for MS1 scans or when unknown.

        Derived from what the Reader library reports: the window's low end
        (``get_scan_event_first_precursor_mass``), its width and the offset of
        its centre from the target (so exact to the last bits of a float).
        """
        return self._isolation[0]

    @property
    def isolation_lower_offset(self) -> float | None:
        """How far the first precursor's isolation window reaches below its target (m/z), None when unknown."""
        return self._isolation[1]

    @property
    def isolation_upper_offset(self) -> float | None:
        """How far the first precursor's isolation window reaches above its target (m/z), None when unknown."""
        return self._isolation[2]

    def _stat(self, index: int) -> float | None:
        stats = self.__dict__.get("_stats")
        if stats is None:
            stats = self.run.optional(_m.get_scan_stats, self.number, scan=self.number) or []
            self.__dict__["_stats"] = stats
        value = stats[index] if index < len(stats) else math.nan
        return value if math.isfinite(value) else None

    def peaks(self, centroid: bool | None = None) -> Peaks:
        """The scan's peaks as float64 arrays (m/z, intensity).

        By default the centroid stream where the Reader library has one for
        the scan, else the spectrum as stored. ``centroid=True`` gives only
        the centroid stream (empty arrays when there is none), ``False`` only
        the stored spectrum.
        """
        return self.run.peaks(self.number, centroid)

    def spectrum(self) -> Peaks:
        """The spectrum as stored (profile or centroid)."""
        return self.run.spectrum(self.number)

    def centroids(self) -> Centroids | None:
        """The full centroid stream, or None."""
        return self.run.centroids(self.number)

    def dependents(self, ms_order: int | None = None) -> list[DependentScan]:
        """The scans acquired in dependence on this one (for MS1 scans: the MS2 scans it triggered).

        `ms_order` is the order asked of the Reader library (default: one above this scan's).
        """
        order = self.ms_order + 1 if ms_order is None else ms_order
        n = self.number
        count = self.run.call(_m.get_scan_dependents_count, n, order, scan=n)
        out: list[DependentScan] = []
        for detail in range(max(count, 0)):
            index = self.run.call(_m.get_scan_dependent_detail_scan_index, n, order, detail, scan=n)
            text = self.run.call(_m.get_scan_dependent_detail_filter_string, n, order, detail, scan=n)
            masses = self.run.call(_m.get_scan_dependent_detail_precursor_mass_array, n, order, detail, scan=n)
            widths = self.run.call(_m.get_scan_dependent_detail_isolation_width_array, n, order, detail, scan=n)
            out.append(DependentScan(index, text, tuple(masses or ()), tuple(widths or ())))
        return out

    def statistics(self) -> list[float]:
        """The Reader library's 20 scan statistics values, in its order."""
        return self.run.call(_m.get_scan_stats, self.number, scan=self.number)
