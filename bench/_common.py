"""What every benchmark script shares: where things are, one timer, one way to
print times and targets, and the baselines the project is compared with.

A benchmark states its figures as ratios measured side by side in one run:
the candidates of a row are timed by :class:`Clock`, whose rounds interleave
them (a burst of load on a shared machine hits all of them alike), and each
figure is the minimum over the rounds. Targets are checked with
:func:`report_targets`; with ``--quick`` a script only proves that it runs,
and a missed target does not change its exit status.

The baselines below are the only definitions of what "pyteomics reads a
file" and "pyteomics extracts an ion chromatogram" mean here, so that every
script compares with the same thing:

* :func:`read_pyteomics`, :func:`read_pymzml`, :func:`read_pyopenms`: every
  spectrum's m/z and intensity arrays, as each reader's users write it;
* :func:`pyteomics_xic`: every MS1 spectrum read with pyteomics' sequential
  reader, the intensities of the points whose m/z lies within ``ppm`` of the
  centre (bounds included) summed with numpy, and the scan's start time in
  minutes. The module's counterpart is a mass-range chromatogram with the
  filter ``"ms1"`` (:func:`module_xic`), corvix's ``Run.xic(..., filter="ms1")``.
"""

from __future__ import annotations

import contextlib
import gc
import io
import os
import pathlib
import subprocess
import sys
import timeit
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Union

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
TESTS = ROOT / "tests"
DATA = ROOT / "build" / "bench-data"

STAND_IN_NAME = "VelmarNativeReader.dll"
MZML_NAME = {"win32": "corvix_mzml_reader.dll", "darwin": "libcorvix_mzml_reader.dylib"}.get(
    sys.platform, "libcorvix_mzml_reader.so")


def add_source_paths() -> None:
    """Puts the repository root (the corvix package) and tests/ (the mzML
    generator, the stand-in's control) in front of the import path."""
    for path in (str(TESTS), str(ROOT)):
        if path not in sys.path:
            sys.path.insert(0, path)


# ---------------------------------------------------------------------------
# Reader libraries


def library_path(kind: str, given: str | None = None) -> pathlib.Path:
    """Path of a Reader library of the build: ``kind`` "stand-in" or "mzml".

    `given` (a script's --library) wins; an mzML library is otherwise the one
    ``CORVIX_MZML_READER`` names, then the build directory's
    (``CORVIX_BUILD_DIR``). Exits with a message when there is none.
    """
    if kind not in ("stand-in", "mzml"):
        raise ValueError(f"unknown Reader library kind {kind!r}")
    if given:
        path = pathlib.Path(given).expanduser().resolve()
    elif kind == "mzml" and os.environ.get("CORVIX_MZML_READER"):
        path = pathlib.Path(os.environ["CORVIX_MZML_READER"]).expanduser().resolve()
    else:
        build = os.environ.get("CORVIX_BUILD_DIR")
        if not build:
            sys.exit("bench: set CORVIX_BUILD_DIR to the build directory, or pass --library")
        base = pathlib.Path(build).resolve()
        path = base / "reader_stub" / "full" / STAND_IN_NAME if kind == "stand-in" else base / "mzml_reader" / MZML_NAME
    if not path.is_file():
        sys.exit(f"bench: no {kind} Reader library at {path}")
    return path


def import_module() -> Any:
    """The module, or an exit with what to do."""
    try:
        import native_corvix_py_backend
    except ImportError as error:
        sys.exit(f"bench: cannot import the module ({error}); put the build directory on PYTHONPATH")
    return native_corvix_py_backend


# ---------------------------------------------------------------------------
# Timing

# A candidate is a function of no arguments, or a statement with the
# namespace it runs in (timeit compiles it into its loop: no call overhead).
Candidate = Union[Callable[[], object], tuple[str, dict[str, Any]]]


class Clock:
    """Seconds per call of several candidates, measured side by side.

    Each round runs every candidate in turn, each for its number of loops;
    a figure is the minimum over the rounds. The number of loops is chosen
    per candidate (as timeit's autorange does) so that one round of it lasts
    about `target` seconds; work that lasts longer runs once a round. The
    measurement that chooses the number counts as the first round.

    Micro-benchmarks run with the cyclic garbage collector off (timeit's
    default); whole workloads (`collect=True`) with it on, as in real use.
    """

    def __init__(self, rounds: int, target: float = 0.0, max_number: int | None = None,
                 collect: bool = False) -> None:
        if rounds < 1:
            raise ValueError("rounds must be at least 1")
        self.rounds = rounds
        self.target = target
        self.max_number = max_number
        self.collect = collect

    @classmethod
    def for_calls(cls, quick: bool) -> Clock:
        """Micro-benchmarks: 9 rounds of about 0.15 s each (quick: 2 tiny rounds)."""
        return cls(2, 0.002, 100) if quick else cls(9, 0.15)

    @classmethod
    def for_work(cls, quick: bool, rounds: int = 3) -> Clock:
        """Whole workloads (reading a file, converting it): run once a round, `rounds` rounds (quick: one)."""
        return cls(1 if quick else rounds, collect=True)

    def _number(self, timer: timeit.Timer) -> tuple[int, float]:
        """Loops per round, and the seconds per call of the measurement that chose it."""
        number = 1
        while True:
            elapsed = timer.timeit(number)
            if elapsed >= self.target or (self.max_number is not None and number >= self.max_number):
                return number, elapsed / number
            if elapsed < self.target / 10:
                number *= 10
            else:
                return max(1, int(number * self.target / elapsed) + 1), elapsed / number

    def per_call(self, candidates: Mapping[str, Candidate],
                 results: dict[str, object] | None = None) -> dict[str, float]:
        """Seconds per call of each candidate (name -> figure, in the given order).

        With `results`, each candidate (then a function) leaves its last
        return value there under its name, for the caller to check that the
        candidates did the same work.
        """
        setup: Callable[[], object] = gc.enable if self.collect else (lambda: None)
        timers: dict[str, timeit.Timer] = {}
        for name, candidate in candidates.items():
            if callable(candidate):
                if results is not None:
                    candidate = _keeping(results, name, candidate)
                timers[name] = timeit.Timer(candidate, setup=setup)
            else:
                if results is not None:
                    raise TypeError("results are kept for function candidates only")
                statement, namespace = candidate
                timers[name] = timeit.Timer(statement, setup=setup, globals=namespace)
        numbers: dict[str, int] = {}
        best: dict[str, float] = {}
        for name, timer in timers.items():
            numbers[name], best[name] = self._number(timer)
        for _ in range(self.rounds - 1):
            for name, timer in timers.items():
                best[name] = min(best[name], timer.timeit(numbers[name]) / numbers[name])
        return best


def _keeping(results: dict[str, object], name: str, work: Callable[[], object]) -> Callable[[], None]:
    def run() -> None:
        results[name] = work()
    return run


# ---------------------------------------------------------------------------
# Formatting


def fmt_time(seconds: float) -> str:
    """Eleven characters: the value in s, ms, us or ns with its unit."""
    if seconds != seconds or seconds == float("inf"):
        return f"{'--':>11}"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:8.3f} {unit:<2}"
    return f"{seconds / 1e-9:8.1f} ns"


@dataclass(frozen=True)
class Target:
    """A target of a benchmark: `value` at most (or, with `at_least`, at least) `limit`."""

    text: str
    value: float
    limit: float
    at_least: bool = False

    @property
    def met(self) -> bool:
        return self.value >= self.limit if self.at_least else self.value <= self.limit


def report_targets(targets: Iterable[Target], out: Any = None) -> int:
    """Prints one PASS/MISS line per target; returns how many were missed."""
    out = out or sys.stdout
    missed = 0
    print("targets", file=out)
    for target in targets:
        missed += not target.met
        print(f"  {'PASS' if target.met else 'MISS'}  {target.value:6.2f}  {target.text}", file=out)
    return missed


def header(title: str, quick: bool, *lines: str) -> None:
    """The first lines of every report: what, on which interpreter and machine."""
    import platform

    print(f"{title}{' (QUICK: figures are not meaningful)' if quick else ''}")
    print(f"python {platform.python_version()} ({platform.python_implementation()}"
          f"{', free-threaded' if not getattr(sys, '_is_gil_enabled', lambda: True)() else ''}) on {platform.platform()}")
    for line in lines:
        print(line)


# ---------------------------------------------------------------------------
# Generated files


def generated(name: str, kind: str, *extra: str, data: pathlib.Path = DATA) -> pathlib.Path:
    """The generator's file `name` in `data`, made once (``python -m mzmlgen KIND OUT EXTRA...``)."""
    path = data / name
    if not path.exists():
        data.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (str(TESTS), os.environ.get("PYTHONPATH")) if p))
        subprocess.run([sys.executable, "-m", "mzmlgen", kind, str(partial), *extra], check=True, env=env)
        partial.rename(path)
    return path


# ---------------------------------------------------------------------------
# Baselines: reading every spectrum


def read_pyteomics(path: str) -> tuple[int, int]:
    """Every spectrum's arrays with pyteomics' sequential reader: (spectra, peaks)."""
    from pyteomics import mzml

    spectra = peaks = 0
    with mzml.read(path, use_index=False) as reader:
        for spectrum in reader:
            spectra += 1
            peaks += len(spectrum["m/z array"])
            spectrum["intensity array"]
    return spectra, peaks


def read_pymzml(path: str) -> tuple[int, int]:
    """Every spectrum's arrays with pymzml: (spectra, peaks)."""
    import pymzml

    spectra = peaks = 0
    # pymzml prints a line for each vocabulary term its own copy lacks
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        for spectrum in pymzml.run.Reader(path):
            if spectrum.ID is None:
                continue
            spectra += 1
            peaks += len(spectrum.mz)
            spectrum.i
    return spectra, peaks


def read_pyopenms(path: str) -> tuple[int, int]:
    """Every spectrum loaded into an MSExperiment, then its peaks: (spectra, peaks)."""
    import pyopenms

    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(path, experiment)
    spectra = peaks = 0
    for spectrum in experiment:
        mz, _ = spectrum.get_peaks()
        spectra += 1
        peaks += len(mz)
    return spectra, peaks


# ---------------------------------------------------------------------------
# Baselines: the ion chromatogram of one m/z


def ppm_window(centre: float, ppm: float) -> tuple[float, float]:
    """The m/z bounds within `ppm` of `centre`, computed as corvix computes them."""
    return centre - centre * ppm * 1e-6, centre + centre * ppm * 1e-6


def pyteomics_xic(path: str, centre: float, ppm: float) -> tuple[Any, Any]:
    """The MS1 ion chromatogram of `centre` +- `ppm`, read and summed with pyteomics and numpy.

    Returns (start times in minutes, summed intensities), one point per MS1
    spectrum in file order.
    """
    import numpy as np
    from pyteomics import mzml

    low, high = ppm_window(centre, ppm)
    times: list[float] = []
    values: list[float] = []
    with mzml.read(path, use_index=False) as reader:
        for spectrum in reader:
            if spectrum.get("ms level") != 1:
                continue
            mz, intensity = spectrum["m/z array"], spectrum["intensity array"]
            start = spectrum["scanList"]["scan"][0]["scan start time"]
            unit = getattr(start, "unit_info", "minute")
            times.append(float(start) / 60.0 if unit == "second" else float(start))
            values.append(float(intensity[(mz >= low) & (mz <= high)].sum()))
    return np.array(times), np.array(values)


def module_xic(module: Any, path: str, centre: float, ppm: float) -> tuple[list[float], list[float]]:
    """The same chromatogram through the module: a mass-range trace (type 2) of the MS1 scans."""
    handle = module.open_raw_file(path)
    try:
        first, last = module.get_first_scan(handle), module.get_last_scan(handle)
        low, high = ppm_window(centre, ppm)
        return module.get_chromatogram(handle, 2, "ms1", [low], [high], first, last, last - first + 1)
    finally:
        module.close_raw_file(handle)


def traces_agree(ours: tuple[Any, Any], theirs: tuple[Any, Any], rtol: float = 1e-9) -> bool:
    """Whether two (times, intensities) traces have the same points."""
    import numpy as np

    a_t, a_i = (np.asarray(x, dtype=np.float64) for x in ours)
    b_t, b_i = (np.asarray(x, dtype=np.float64) for x in theirs)
    return (a_t.shape == b_t.shape and a_i.shape == b_i.shape
            and bool(np.allclose(a_t, b_t, rtol=1e-9, atol=1e-9)) and bool(np.allclose(a_i, b_i, rtol=rtol)))
