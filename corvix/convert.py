"""Conversion of one file to mzML (through psims) or MGF.

:func:`convert_task` is the unit of work of ``corvix convert --jobs N`` and of
the cluster example (``examples/dask_convert.py``): it converts one file,
never raises for a failed file, and returns a :class:`ConvertOutcome` that can
be pickled back to the caller.
"""

from __future__ import annotations

import datetime
import os
import time
import traceback
import uuid
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import numpy as np

import native_corvix_py_backend as _m

from . import _library
from .damage import Damage, DamagedRunWarning
from .errors import DamagedRunError, ReaderError
from .run import FloatArray, Run

FORMATS = ("mzML", "mgf")
Progress = Callable[[int, int], None]
"""Called as progress(done, total) while a file is converted."""

# mzML activation terms of the activation codes.
ACTIVATION_TERMS: dict[str, str] = {
    "CID": "collision-induced dissociation",
    "HCD": "beam-type collision-induced dissociation",
    "ETD": "electron transfer dissociation",
    "ECD": "electron capture dissociation",
    "MPD": "photodissociation",
    "PQD": "pulsed q dissociation",
}


@dataclass(frozen=True)
class ConvertJob:
    """One file to convert: its path, the output directory, the format and the Reader library."""

    source: str
    outdir: str
    format: str = "mzML"
    reader: str | None = None
    allow_damaged: bool = False
    """Convert what is readable of a run that lost spectra to damage (else such a run fails)."""


@dataclass(frozen=True)
class ConvertOutcome:
    """What became of one :class:`ConvertJob`."""

    source: str
    output: str | None
    """The file written (None when the conversion failed)."""
    scans: int
    """Number of spectra written."""
    seconds: float
    error: str | None = None
    """Why the conversion failed (None on success)."""
    damage: str | None = None
    """What the source lost to damage and the output therefore lacks (None when nothing)."""

    @property
    def ok(self) -> bool:
        """True when the file was converted."""
        return self.error is None


def normalise_format(name: str) -> str:
    """'mzml', 'MZML', ... -> 'mzML'; 'MGF' -> 'mgf'. ValueError for anything else."""
    for known in FORMATS:
        if name.lower() == known.lower():
            return known
    raise ValueError(f"unknown output format {name!r} (choose mzML or mgf)")


def stem(path: str | os.PathLike[str]) -> str:
    """File name without its data suffix (.raw, .mzML, .mzML.gz, ...)."""
    name = os.path.basename(os.fspath(path))
    lower = name.lower()
    for suffix in (".mzml.gz", ".mzml", ".raw", ".gz"):
        if lower.endswith(suffix) and len(name) > len(suffix):
            return name[: -len(suffix)]
    return os.path.splitext(name)[0] or name


def output_path(source: str | os.PathLike[str], outdir: str | os.PathLike[str], format: str) -> str:
    """Where the conversion of `source` into `outdir` is written."""
    extension = ".mzML" if normalise_format(format) == "mzML" else ".mgf"
    return os.path.join(os.fspath(outdir), stem(source) + extension)


@contextmanager
def atomic_output(final: str) -> Iterator[IO[bytes]]:
    """A binary file that appears under `final` only once it is complete.

    It is written under a hidden temporary name in the same directory and
    renamed onto `final` when the block ends without an exception; otherwise
    the temporary file is removed and `final` is left as it was.
    """
    directory, name = os.path.split(os.path.abspath(final))
    temporary = os.path.join(directory, f".{name}.{os.getpid()}-{uuid.uuid4().hex[:12]}.part")
    handle = open(temporary, "xb")
    try:
        with handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, final)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def _iso_time(text: str | None) -> str | None:
    """An xs:dateTime for the run's start from the Reader library's creation date, if it parses."""
    if not text:
        return None
    try:
        return datetime.datetime.fromisoformat(text.strip()).isoformat()
    except ValueError:
        return None


def _file_uri(path: str) -> str:
    return Path(os.path.abspath(path)).parent.as_uri()


class _Ticker:
    """Calls a progress callback at most every 1% (and at the end)."""

    def __init__(self, progress: Progress | None, total: int) -> None:
        self.progress = progress
        self.total = total
        self.step = max(1, total // 100)
        self.next = 0

    def __call__(self, done: int) -> None:
        if self.progress is not None and (done >= self.next or done == self.total):
            self.next = done + self.step
            self.progress(done, self.total)


def _scan_peaks(run: Run, number: int) -> tuple[FloatArray, FloatArray, bool]:
    """Peaks to write for a scan and whether they are centroided."""
    stream = run.centroids(number)
    if stream is not None and len(stream.mz):
        return stream.mz, stream.intensity, True
    mz, intensity = run.spectrum(number)
    return mz, intensity, run.call(_m.is_centroid, number, scan=number)


def write_mzml(run: Run, out: IO[bytes], progress: Progress | None = None,
               skip: frozenset[int] = frozenset()) -> int:
    """Write the run as indexed mzML with zlib-compressed float64 arrays; returns the spectrum count.

    The scans numbered in `skip` (lost to damage) are left out.
    """
    from psims.mzml.writer import MzMLWriter  # type: ignore[import-untyped,unused-ignore]

    numbers = run.scan_numbers
    orders = run.ms_orders
    kept = [position for position, number in enumerate(numbers) if number not in skip]
    meta = run.metadata()
    instrument, sample = meta["instrument"], meta["sample"]
    tick = _Ticker(progress, len(numbers))
    tick(0)
    source_params: list[Any] = ["scan number only nativeID format"]
    if _library.is_mzml_path(run.path):
        source_params.append("mzML format")
    contents = []
    if (orders[kept] == 1).any():
        contents.append("MS1 spectrum")
    if (orders[kept] > 1).any():
        contents.append("MSn spectrum")
    encoding = {"m/z array": np.float64, "intensity array": np.float64}
    tic_times = np.empty(len(kept), dtype=np.float64)
    tic_values = np.empty(len(kept), dtype=np.float64)
    with MzMLWriter(out, close=False) as writer:
        writer.controlled_vocabularies()
        writer.file_description(file_contents=contents, source_files=[{
            "id": "source", "name": os.path.basename(run.path), "location": _file_uri(run.path),
            "params": source_params}])
        sample_id = None
        if sample.get("name") or sample.get("id"):
            sample_id = "sample"
            params: list[Any] = []
            if sample.get("id"):
                params.append({"sample number": sample["id"]})
            writer.sample_list([{"id": sample_id, "name": sample.get("name") or sample["id"], "params": params}])
        from . import __version__

        writer.software_list([{"id": "corvix", "version": __version__,
                               "params": [{"custom unreleased software tool": "corvix"}]}])
        instrument_params: list[Any] = [{"instrument model": instrument.get("model") or ""}]
        if instrument.get("serial_number"):
            instrument_params.append({"instrument serial number": instrument["serial_number"]})
        writer.instrument_configuration_list([writer.InstrumentConfiguration(
            id="instrument", component_list=[], params=instrument_params)])
        writer.data_processing_list([{"id": "corvix_conversion", "processing_methods": [
            {"order": 1, "software_reference": "corvix", "params": ["Conversion to mzML"]}]}])
        run_id = "".join(c if c.isalnum() or c in "_-." else "_" for c in stem(run.path)) or "run"
        if not (run_id[0].isalpha() or run_id[0] == "_"):
            run_id = "run_" + run_id
        with writer.run(id=run_id, instrument_configuration="instrument", sample=sample_id,
                        start_time=_iso_time(meta["run"].get("creation_date"))):
            # A precursor refers to the scan it was selected in: as the Reader library
            # says, else the last scan of the order below.
            last_of_order: dict[int, int] = {}
            with writer.spectrum_list(count=len(kept)):
                for written, position in enumerate(kept):
                    scan = run[numbers[position]]
                    n = scan.number
                    order = int(orders[position])
                    mz, intensity, centroided = _scan_peaks(run, n)
                    params = [{"ms level": order}, "MS1 spectrum" if order == 1 else "MSn spectrum"]
                    total = float(intensity.sum()) if len(intensity) else 0.0
                    params.append({"total ion current": total})
                    if len(mz):
                        top = int(intensity.argmax())
                        params += [_unit("base peak m/z", float(mz[top]), "m/z"),
                                   _unit("base peak intensity", float(intensity[top]), _COUNTS),
                                   _unit("lowest observed m/z", float(mz.min()), "m/z"),
                                   _unit("highest observed m/z", float(mz.max()), "m/z")]
                    text = scan.filter
                    scan_params = [{"filter string": text}] if text else None
                    polarity = {"+": "positive scan", "-": "negative scan"}.get(scan.polarity or "")
                    precursor = None
                    if order > 1 and scan.precursor_mz is not None:
                        parent = scan.precursor_scan or last_of_order.get(order - 1)
                        precursor = _precursor(scan.precursor_mz, scan.charge, scan.isolation_width,
                                               scan.activation, scan.collision_energy, parent)
                    writer.write_spectrum(
                        mz, intensity, id=f"scan={n}", centroided=centroided, polarity=polarity,
                        scan_start_time=scan.rt, params=params, scan_params=scan_params,
                        precursor_information=precursor, encoding=encoding, compression="zlib")
                    last_of_order[order] = n
                    tic_times[written] = scan.rt
                    tic_values[written] = total
                    tick(position + 1)
            if kept:
                with writer.chromatogram_list(count=1):
                    writer.write_chromatogram(tic_times, tic_values, id="TIC",
                                              chromatogram_type="total ion current chromatogram",
                                              encoding=64, compression="zlib")
    return len(kept)


_COUNTS = "number of detector counts"


def _unit(name: str, value: float, unit: str) -> dict[str, Any]:
    return {"name": name, "value": value, "unit_name": unit}


def _precursor(mz: float, charge: int | None, width: float | None, activation: str | None,
               energy: float | None, parent: int | None) -> dict[str, Any]:
    info: dict[str, Any] = {"mz": mz}
    if charge is not None:
        info["charge"] = charge
    if parent is not None:
        info["scan_id"] = f"scan={parent}"
    if width is not None:
        info["isolation_window"] = [width / 2, mz, width / 2]
    terms: list[Any] = []
    if activation in ACTIVATION_TERMS:
        terms.append(ACTIVATION_TERMS[activation])
    if energy is not None:
        terms.append({"collision energy": energy})
    if terms:
        info["activation"] = terms
    return info


def write_mgf(run: Run, out: IO[bytes], progress: Progress | None = None,
              skip: frozenset[int] = frozenset()) -> int:
    """Write the MS2-and-higher scans of the run as MGF, but those in `skip`; returns the number written."""
    numbers = run.scan_numbers
    orders = run.ms_orders
    name = stem(run.path)
    tick = _Ticker(progress, len(numbers))
    tick(0)
    written = 0
    for position, scan in enumerate(run):
        if orders[position] >= 2 and scan.number not in skip:
            mz, intensity, _ = _scan_peaks(run, scan.number)
            lines = ["BEGIN IONS", f"TITLE={name}.{scan.number}.{scan.number}.{scan.charge or 0}"]
            if scan.precursor_mz is not None:
                lines.append(f"PEPMASS={scan.precursor_mz!r}")
            if scan.charge is not None:
                sign = "-" if (scan.polarity == "-") != (scan.charge < 0) else "+"
                lines.append(f"CHARGE={abs(scan.charge)}{sign}")
            lines.append(f"RTINSECONDS={scan.rt * 60.0!r}")
            lines.append(f"SCANS={scan.number}")
            lines.extend(f"{a!r} {b!r}" for a, b in zip(mz.tolist(), intensity.tolist()))
            lines.append("END IONS\n")
            out.write("\n".join(lines).encode("utf-8"))
            written += 1
        tick(position + 1)
    return written


def check_damage(run: Run, allow_damaged: bool) -> Damage:
    """The damage of a run about to be converted.

    Raises DamagedRunError when the run lost spectra (or chromatograms) to
    damage and `allow_damaged` is not set; otherwise returns the damage, whose
    lost spectra the conversion leaves out.
    """
    damage = run.damage
    if damage.lost and not allow_damaged:
        raise DamagedRunError(f"{damage.describe()}; --allow-damaged converts what is readable", run.path)
    return damage


def _lost_scans(run: Run, damage: Damage) -> frozenset[int]:
    return frozenset(run.first_scan + position for position in damage.positions)


def _find_unreadable(run: Run, skip: frozenset[int]) -> None:
    """Reads every spectrum once, so that the error log names each one whose arrays are damaged."""
    for number in run.scan_numbers:
        if number not in skip:
            try:
                run.spectrum(number)
            except ReaderError:
                pass


def convert_damaged(source: str | os.PathLike[str], output: str | os.PathLike[str], format: str = "mzML",
                    reader: str | os.PathLike[str] | None = None, progress: Progress | None = None,
                    allow_damaged: bool = False) -> tuple[int, Damage]:
    """Like :func:`convert_file`, and says what the source lost to damage.

    A run that lost spectra fails with DamagedRunError unless `allow_damaged`;
    with it, the readable spectra are converted and the damage returned. Damage
    inside a spectrum's arrays is found only when the spectrum is read: when a
    read fails while writing, every spectrum is read once to find all such
    damage and the output is written again without them.
    """
    fmt = normalise_format(format)
    source, output = os.fspath(source), os.fspath(output)
    if os.path.exists(output) and os.path.exists(source) and os.path.samefile(source, output):
        raise ValueError(f"{output} is the input file itself; choose another output directory")
    writer = write_mzml if fmt == "mzML" else write_mgf
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DamagedRunWarning)  # the outcome names the loss
        with Run(source, reader) as run:
            damage = check_damage(run, allow_damaged)
            skip = _lost_scans(run, damage)
            try:
                with atomic_output(output) as out:
                    return writer(run, out, progress, skip), damage
            except ReaderError as error:
                found = run.damage
                if not found.lost:
                    raise
                if not allow_damaged:
                    raise DamagedRunError(f"{found.describe()}; --allow-damaged converts what is readable",
                                          run.path) from error
            _find_unreadable(run, skip)
            damage = run.damage
            with atomic_output(output) as out:
                return writer(run, out, progress, _lost_scans(run, damage)), damage


def convert_file(source: str | os.PathLike[str], output: str | os.PathLike[str], format: str = "mzML",
                 reader: str | os.PathLike[str] | None = None, progress: Progress | None = None,
                 allow_damaged: bool = False) -> int:
    """Convert one file; returns the number of spectra written.

    The output is written under a temporary name and renamed onto `output`
    at the end, so an interrupted or failed conversion leaves no partial file
    under that name. Failures raise (see :func:`corvix.open`); a run that lost
    spectra to damage raises DamagedRunError unless `allow_damaged`, which
    converts what is readable (see :func:`convert_damaged`).
    """
    return convert_damaged(source, output, format, reader, progress, allow_damaged)[0]


def convert_task(job: ConvertJob, progress: Progress | None = None) -> ConvertOutcome:
    """Convert ``job.source`` into ``job.outdir``; never raises for a file that fails.

    This is the unit of work that ``corvix convert --jobs N`` hands to its
    workers and that a cluster runs per file (see ``examples/dask_convert.py``).
    """
    started = time.perf_counter()
    output: str | None = None
    try:
        output = output_path(job.source, job.outdir, job.format)
        scans, damage = convert_damaged(job.source, output, job.format, job.reader, progress, job.allow_damaged)
    except Exception as error:
        message = f"{type(error).__name__}: {error}"
        if not isinstance(error, (OSError, RuntimeError, ValueError)):
            message += "\n" + traceback.format_exc()
        return ConvertOutcome(job.source, None, 0, time.perf_counter() - started, message)
    return ConvertOutcome(job.source, output, scans, time.perf_counter() - started,
                          damage=damage.describe() if damage.lost else None)
