"""Conversion of one file to mzML, MGF or Parquet.

:func:`convert_file` converts one file. :func:`convert_task` is the unit of
work of ``corvix convert --jobs N`` and of the cluster example
(``examples/dask_convert.py``): it converts one file, never raises for a
failed file, and returns a :class:`ConvertOutcome` that can be pickled back
to the caller.
"""

from __future__ import annotations

import os
import time
import traceback
import uuid
import warnings
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO

import numpy as np

from .damage import Damage, DamagedRunWarning
from .errors import DamagedRunError, ReaderError
from .run import Run
from .writers.binary import MZML_COMPRESSIONS
from .writers.mgf import MgfWriter
from .writers.mzml import MzMLWriter
from .writers.record import run_record, spectrum_records
from .writers.record import stem as stem
from .writers.vocabulary import ACTIVATION_TERMS as ACTIVATION_TERMS

FORMATS = ("mzML", "mgf", "parquet")
COMPRESSIONS: dict[str, tuple[str, ...]] = {
    "mzML": MZML_COMPRESSIONS,
    "mgf": ("none",),
    "parquet": ("zstd", "snappy", "gzip", "lz4", "brotli", "none"),
}
"""The compressions of each format; the first is the default."""

Progress = Callable[[int, int], None]
"""Called as progress(done, total) while a file is converted."""


class NotCarriedError(ValueError):
    """A strict conversion met data that the output format cannot carry."""


@dataclass(frozen=True)
class ConvertJob:
    """One file to convert: its path, the output directory, the format, the Reader library and the options."""

    source: str
    outdir: str
    format: str = "mzML"
    reader: str | None = None
    compression: str | None = None
    """None: the format's default (the first of :data:`COMPRESSIONS`)."""
    strict: bool = False
    """Fail (and write nothing) when data cannot be carried into the format."""
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
    not_carried: tuple[tuple[str, int], ...] = ()
    """What the output could not carry, with counts (named to the user)."""
    damage: str | None = None
    """What the source lost to damage and the output therefore lacks (None when nothing)."""
    chromatograms: int = 0
    """Number of stored chromatograms written."""

    @property
    def ok(self) -> bool:
        """True when the file was converted."""
        return self.error is None


@dataclass(frozen=True)
class ConvertResult:
    """What :func:`convert` wrote."""

    spectra: int
    outputs: tuple[str, ...]
    """The files written, the main one first."""
    not_carried: tuple[tuple[str, int], ...] = ()
    damage: Damage | None = None
    """What the source lost to damage and the outputs therefore lack (None when nothing)."""
    chromatograms: int = 0
    """Number of stored chromatograms written."""


def normalise_format(name: str) -> str:
    """'mzml', 'MZML', ... -> 'mzML'; 'MGF' -> 'mgf'; 'Parquet' -> 'parquet'. ValueError for anything else."""
    for known in FORMATS:
        if name.lower() == known.lower():
            return known
    raise ValueError(f"unknown output format {name!r} (choose {', '.join(FORMATS)})")


def normalise_compression(format: str, compression: str | None) -> str:
    """The compression for `format` (its default when None); ValueError when the format has no such one."""
    fmt = normalise_format(format)
    choices = COMPRESSIONS[fmt]
    if compression is None:
        return choices[0]
    if compression.lower() not in choices:
        raise ValueError(f"{fmt} has no compression {compression!r} (choose {', '.join(choices)})")
    return compression.lower()


def output_path(source: str | os.PathLike[str], outdir: str | os.PathLike[str], format: str) -> str:
    """Where the conversion of `source` into `outdir` is written (Parquet: the peak file)."""
    extension = {"mzML": ".mzML", "mgf": ".mgf", "parquet": ".peaks.parquet"}[normalise_format(format)]
    return os.path.join(os.fspath(outdir), stem(source) + extension)


def chromatogram_path(output: str | os.PathLike[str]) -> str:
    """Where the stored chromatograms go beside a Parquet peak file named `output`."""
    path = os.fspath(output)
    lower = path.lower()
    for suffix in (".peaks.parquet", ".parquet"):
        if lower.endswith(suffix) and len(os.path.basename(path)) > len(suffix):
            chromatograms = path[: -len(suffix)] + ".chromatograms.parquet"
            break
    else:
        chromatograms = path + ".chromatograms.parquet"
    if lower.endswith(".chromatograms.parquet"):
        raise ValueError(f"{path}: a peak file cannot be named like the chromatogram file beside it")
    return chromatograms


def _temporary(final: str) -> str:
    directory, name = os.path.split(os.path.abspath(final))
    return os.path.join(directory, f".{name}.{os.getpid()}-{uuid.uuid4().hex[:12]}.part")


def _discard(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


@contextmanager
def atomic_path(final: str) -> Iterator[str]:
    """A temporary path in `final`'s directory; renamed onto `final` when the block ends without an exception.

    The writer writes the file under the temporary path. On success its data
    are flushed to disk and it is renamed onto `final`; on any exception it is
    removed and `final` is left as it was.
    """
    temporary = _temporary(final)
    try:
        yield temporary
        descriptor = os.open(temporary, os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, final)
    except BaseException:
        _discard(temporary)
        raise


@contextmanager
def atomic_output(final: str) -> Iterator[IO[bytes]]:
    """A binary file that appears under `final` only once it is complete.

    It is written under a hidden temporary name in the same directory and
    renamed onto `final` when the block ends without an exception; otherwise
    the temporary file is removed and `final` is left as it was.
    """
    temporary = _temporary(final)
    handle = open(temporary, "xb", buffering=1 << 20)
    try:
        with handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, final)
    except BaseException:
        _discard(temporary)
        raise


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


def _check_strict(strict: bool, notes: Counter[str], source: str) -> None:
    if strict and notes:
        raise NotCarriedError(f"{source}: the output cannot carry " + describe(tuple(notes.items())))


def describe(not_carried: tuple[tuple[str, int], ...]) -> str:
    """'3 x what, 1 x other' for a summary line."""
    return ", ".join(f"{count} x {what}" for what, count in not_carried)


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


def _write(run: Run, fmt: str, codec: str, outputs: Sequence[str], skip: frozenset[int],
           progress: Progress | None, strict: bool) -> tuple[int, int, Counter[str]]:
    """Writes the run's spectra but those in `skip` (and its stored chromatograms where the format holds them);
    returns how many spectra and chromatograms were written and what was not carried."""
    source, output = run.path, outputs[0]
    numbers: Sequence[int] = run.scan_numbers
    keep = np.ones(len(numbers), dtype=np.bool_)
    if fmt == "mgf":
        keep &= run.ms_orders >= 2
    if skip:
        keep &= ~np.isin(np.asarray(numbers, dtype=np.int64), np.fromiter(skip, dtype=np.int64, count=len(skip)))
    numbers = [numbers[i] for i in np.flatnonzero(keep).tolist()]
    record = run_record(run, len(numbers), numbers, id_format=fmt == "mzML")
    notes: Counter[str] = Counter()
    if fmt == "mgf" and record.chromatograms:
        if not numbers:
            raise ValueError(f"{source} holds no MS2 or higher spectra to write as MGF, and MGF cannot hold its "
                             f"{len(record.chromatograms)} stored chromatograms (mzML and parquet can)")
        notes["stored chromatograms (MGF holds spectra only)"] += len(record.chromatograms)
    tick = _Ticker(progress, len(numbers))
    tick(0)
    done = 0
    if fmt == "parquet":
        from .writers.parquet import ParquetPeakWriter, write_chromatograms

        # The chromatogram file is renamed into place first, the peak file last.
        with atomic_path(output) as peaks, atomic_path(outputs[1]) as chromatograms:
            with ParquetPeakWriter(peaks, record, codec) as table:
                for spectrum in spectrum_records(run, numbers):
                    table.write(spectrum)
                    done += 1
                    tick(done)
            write_chromatograms(chromatograms, record, codec)
            notes.update(table.notes)
            _check_strict(strict, notes, source)
    else:
        with atomic_output(output) as out:
            writer: MzMLWriter | MgfWriter = (MzMLWriter(out, record, codec) if fmt == "mzML"
                                              else MgfWriter(out, record))
            with writer:
                for spectrum in spectrum_records(run, numbers):
                    writer.write(spectrum)
                    done += 1
                    tick(done)
            notes.update(writer.notes)
            _check_strict(strict, notes, source)
    return done, 0 if fmt == "mgf" else len(record.chromatograms), notes


def convert(source: str | os.PathLike[str], output: str | os.PathLike[str], format: str = "mzML",
            reader: str | os.PathLike[str] | None = None, progress: Progress | None = None, *,
            compression: str | None = None, strict: bool = False, allow_damaged: bool = False) -> ConvertResult:
    """Convert one file; returns what was written (see :func:`convert_file`).

    A run that lost spectra to damage fails with DamagedRunError unless
    `allow_damaged`; with it, the readable spectra are converted and the
    result names the damage. Damage inside a spectrum's arrays is found only
    when the spectrum is read: when a read fails while writing, every spectrum
    is read once to find all such damage and the output is written again
    without them (or, without `allow_damaged`, the file fails).
    """
    fmt = normalise_format(format)
    codec = normalise_compression(fmt, compression)
    source, output = os.fspath(source), os.fspath(output)
    outputs = [output] if fmt != "parquet" else [output, chromatogram_path(output)]
    for path in outputs:
        if os.path.exists(path) and os.path.exists(source) and os.path.samefile(source, path):
            raise ValueError(f"{path} is the input file itself; choose another output directory")
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DamagedRunWarning)  # the result names the loss
        with Run(source, reader) as run:
            damage = check_damage(run, allow_damaged)
            skip = _lost_scans(run, damage)
            try:
                done, chromatograms, notes = _write(run, fmt, codec, outputs, skip, progress, strict)
            except ReaderError as error:
                found = run.damage
                if not found.lost:
                    raise
                if not allow_damaged:
                    raise DamagedRunError(f"{found.describe()}; --allow-damaged converts what is readable",
                                          run.path) from error
                _find_unreadable(run, skip)
                damage = run.damage
                done, chromatograms, notes = _write(run, fmt, codec, outputs, _lost_scans(run, damage), progress,
                                                    strict)
    return ConvertResult(done, tuple(outputs), tuple(sorted(notes.items())), damage if damage.lost else None,
                         chromatograms)


def convert_file(source: str | os.PathLike[str], output: str | os.PathLike[str], format: str = "mzML",
                 reader: str | os.PathLike[str] | None = None, progress: Progress | None = None, *,
                 compression: str | None = None, strict: bool = False, allow_damaged: bool = False) -> int:
    """Convert one file to mzML, MGF or Parquet; returns the number of spectra written.

    Args:
        source: the file to read.
        output: the file to write. For Parquet this is the peak file; the
            stored chromatograms go beside it (see :func:`chromatogram_path`).
        format: "mzML" (indexed), "mgf" (MS2 and higher spectra) or "parquet"
            (one row per peak).
        reader: the Reader library to read `source` with (see :func:`corvix.open`).
        progress: called as progress(done, total) while spectra are written.
        compression: the words of ``corvix convert --compression``: for mzML
            "zlib" (default), "none", "numpress" or "numpress-zlib" (MS-Numpress
            is lossy); for Parquet "zstd" (default), "snappy", "gzip", "lz4",
            "brotli" or "none"; for MGF only "none".
        strict: fail, writing nothing, when the output format cannot carry
            something the records hold (otherwise it is counted in the outcome
            of :func:`convert_task`).
        allow_damaged: convert what is readable of a run that lost spectra to
            damage, leaving those out (else such a run raises DamagedRunError).

    The output is written under a temporary name and renamed onto `output`
    at the end, so an interrupted or failed conversion leaves no partial file
    under that name. Failures raise (see :func:`corvix.open`).
    """
    return convert(source, output, format, reader, progress, compression=compression, strict=strict,
                   allow_damaged=allow_damaged).spectra


def convert_task(job: ConvertJob, progress: Progress | None = None) -> ConvertOutcome:
    """Convert ``job.source`` into ``job.outdir``; never raises for a file that fails.

    This is the unit of work that ``corvix convert --jobs N`` hands to its
    workers and that a cluster runs per file (see ``examples/dask_convert.py``).
    """
    started = time.perf_counter()
    try:
        output = output_path(job.source, job.outdir, job.format)
        result = convert(job.source, output, job.format, job.reader, progress, compression=job.compression,
                         strict=job.strict, allow_damaged=job.allow_damaged)
    except Exception as error:
        message = f"{type(error).__name__}: {error}"
        if not isinstance(error, (OSError, RuntimeError, ValueError, ImportError)):
            message += "\n" + traceback.format_exc()
        return ConvertOutcome(job.source, None, 0, time.perf_counter() - started, message)
    return ConvertOutcome(job.source, output, result.spectra, time.perf_counter() - started,
                          not_carried=result.not_carried,
                          damage=result.damage.describe() if result.damage is not None else None,
                          chromatograms=result.chromatograms)
