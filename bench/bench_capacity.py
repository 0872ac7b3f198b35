"""Capacity benchmark: what a call costs as the capacity passed grows, and how
reading scales over two threads with the interpreter lock off.

Callers of the array functions rarely know a result's size and pass a
generous capacity (`get_spectrum(h, s, 1_000_000)`). The module reserves that
many zero-filled elements per array for the call; this benchmark shows that
the cost does not follow.

Sections, all in one run on the interpreter that runs this script:

  stand-in   every reserved-array family (get_spectrum, get_centroid_stream,
             get_averaged_spectrum, get_chromatogram, get_ms2_filter_masses)
             against the stand-in Reader library, which answers at once: the
             module's own cost per call, for a small result (2 to 5 points)
             and a large one (100,000 points), at capacities from the exact
             size to 4,000,000, side by side with the exact-capacity call.
  mzml       the same families through the mzML Reader library on generated
             runs (2,000 scans of about 500 points; 60 scans of 20,000 to
             60,000 points): one pass over the run per capacity, as the ratio
             to the pass with exact capacities. Target: at most 1.3x for
             every capacity up to 4,000,000 on the small-spectra run.
  threads    on a free-threaded interpreter, in a child process with
             PYTHON_GIL=0: one pass of get_spectrum over every scan of the
             2,000-scan run by one thread, then by two threads (each half of
             the run), each thread with its own handle and both on one shared
             handle. Target: two threads at least 1.8x faster than one.
             Beside them, the same work by two processes (each half of the
             run, one thread each) against one process: what the machine
             itself gives two workers that share nothing, the ceiling the
             threads are held to.

Every figure is the minimum over interleaved rounds (the candidates of one
table take turns, so a burst of load on the shared machine hits all alike).

Usage:
    bash scripts/bench.sh PYTHON --capacity [--quick] [--section stand-in,mzml,threads]
or, with a build directory at hand:
    CORVIX_BUILD_DIR=build/py311-release PYTHONPATH=build/py311-release \\
        python bench/bench_capacity.py [--quick] [--data DIR] [--section ...]

--quick runs small files and few rounds to show that the script works; its
figures mean nothing and its exit status ignores the targets. Without it the
exit status is 1 when a target is missed.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import sysconfig
import threading
from typing import Any, Callable

import _common
from _common import Clock, Target

_common.add_source_paths()

CAPACITIES = [1_000, 10_000, 65_536, 262_144, 1_000_000, 4_000_000]
LARGE_POINTS = 100_000
CAPACITY_TARGET = 1.3
THREAD_TARGET = 1.8
FAMILIES = ["get_spectrum", "get_centroid_stream", "get_averaged_spectrum", "get_chromatogram",
            "get_ms2_filter_masses"]
SECTIONS = ("stand-in", "mzml", "threads")


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small files, few rounds; proves the script runs")
    parser.add_argument("--data", default=str(_common.DATA), help="where generated runs are kept")
    parser.add_argument("--section", default=",".join(SECTIONS),
                        help="comma-separated sections to run (stand-in, mzml, threads)")
    parser.add_argument("--threads-child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--pass-worker", metavar="PART/PARTS", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    args.sections = args.section.split(",")
    unknown = set(args.sections) - set(SECTIONS)
    if unknown:
        parser.error(f"unknown section {sorted(unknown)[0]!r}")
    return args


def small_run(data: pathlib.Path, quick: bool) -> pathlib.Path:
    if quick:
        return _common.generated("quick-200x100.mzML", "bench", "--scans", "200", "--peaks", "100", data=data)
    return _common.generated("bench-2000x500.mzML", "bench", "--scans", "2000", "--peaks", "500", data=data)


def large_run(data: pathlib.Path, quick: bool) -> pathlib.Path:
    if quick:
        return _common.generated("quick-20x5000.mzML", "bench", "--scans", "20", "--peaks", "5000", data=data)
    return _common.generated("bench-60x40000.mzML", "bench", "--scans", "60", "--peaks", "40000", data=data)


def points(result: object) -> int:
    """Points of a result: the length of its first list."""
    first = result[0] if isinstance(result, tuple) else result
    assert isinstance(first, list)
    return len(first)


def capacity_label(capacity: int | None) -> str:
    return "exact" if capacity is None else f"{capacity:,}"


def table_rows(capacities: list[int | None], figures: dict[str, dict[int | None, float]], scale: float,
               digits: int) -> None:
    """Markdown rows: one per capacity, one cell per family: the figure and its ratio to exact."""
    print("| capacity | " + " | ".join(f"`{name}`" for name in FAMILIES) + " |")
    print("|---:|" + "---:|" * len(FAMILIES))
    for c in capacities:
        cells = [f"{figures[name][c] * scale:,.{digits}f} ({figures[name][c] / figures[name][None]:.2f}x)"
                 for name in FAMILIES]
        print(f"| {capacity_label(c)} | " + " | ".join(cells) + " |")
    print()


# ---------------------------------------------------------------------------
# The stand-in: the module's own cost per call.


def stand_in_calls(m) -> dict[str, Callable[[int], object]]:
    return {
        "get_spectrum": lambda c: m.get_spectrum(1, 1, c),
        "get_centroid_stream": lambda c: m.get_centroid_stream(1, 1, c),
        "get_averaged_spectrum": lambda c: m.get_averaged_spectrum(1, [1, 2, 3], c),
        "get_chromatogram": lambda c: m.get_chromatogram(1, 0, "", [100.0], [200.0], 1, 100, c),
        "get_ms2_filter_masses": lambda c: m.get_ms2_filter_masses(1, c),
    }


def script_large_results(stub, points: int) -> None:
    values = [100.0 + 0.01 * i for i in range(points)]
    for entry, arrays in [("get_spectrum", 2), ("get_centroid_stream_full", 4), ("get_averaged_spectrum", 2),
                          ("get_chromatogram", 2), ("get_ms2_filter_masses", 1)]:
        for which in range(arrays):
            stub.set_array(entry, which, values)
    stub.set_int_array("get_centroid_stream_full", list(range(points)))


def stand_in_section(m: Any, quick: bool) -> None:
    from readerstub import ReaderStub

    stub = ReaderStub(str(_common.library_path("stand-in")))
    calls = stand_in_calls(m)
    print("## The module's own cost per call (stand-in Reader library)")
    print()
    for label, large in [("small result (2 to 5 points)", None),
                         (f"large result ({LARGE_POINTS:,} points)", LARGE_POINTS)]:
        stub.reset()
        if large is not None:
            script_large_results(stub, large)
        exact = {name: points(call(1 << 20)) for name, call in calls.items()}
        capacities: list[int | None] = [None] + [c for c in CAPACITIES if large is None or c >= large]
        clock = Clock.for_calls(quick) if large is None else Clock(2 if quick else 7)
        figures: dict[str, dict[int | None, float]] = {}
        for name in FAMILIES:
            call = calls[name]
            candidates: dict[str, _common.Candidate] = {
                capacity_label(c): (lambda n=exact[name] if c is None else c, call=call: call(n)) for c in capacities}
            best = clock.per_call(candidates)
            figures[name] = {c: best[capacity_label(c)] for c in capacities}
        print(f"### {label}: microseconds per call (ratio to the exact capacity)")
        print()
        table_rows(capacities, figures, 1e6, 1)
    stub.reset()


# ---------------------------------------------------------------------------
# The mzML Reader library: one pass over a run per capacity.


class RunPasses:
    """Passes of each family over one run, at a given capacity or exact."""

    def __init__(self, m, path: pathlib.Path):
        self.m = m
        self.handle = m.open_raw_file(str(path))
        h = self.handle
        self.scans = list(range(m.get_first_scan(h), m.get_last_scan(h) + 1))
        self.spectrum_points = {s: len(m.get_spectrum(h, s, 1 << 22)[0]) for s in self.scans}
        self.centroid_points = {s: len(m.get_centroid_stream(h, s, 1 << 22)[0]) for s in self.scans}
        # averages of three neighbouring scans, every tenth scan
        self.groups = [self.scans[i:i + 3] for i in range(0, len(self.scans) - 2, 10)]
        self.averaged_points = [len(m.get_averaged_spectrum(h, g, 1 << 22)[0]) for g in self.groups]
        self.trace_points = len(self.chromatogram(1 << 22)[0])
        self.masses = len(m.get_ms2_filter_masses(h, 1 << 22))

    def chromatogram(self, capacity: int):
        first, last = self.scans[0], self.scans[-1]
        return self.m.get_chromatogram(self.handle, 0, "", [], [], first, last, capacity)

    def pass_of(self, family: str, capacity: int | None) -> Callable[[], None]:
        m, h = self.m, self.handle
        if family == "get_spectrum":
            sizes = self.spectrum_points
            return lambda: [m.get_spectrum(h, s, sizes[s] if capacity is None else capacity) for s in self.scans]
        if family == "get_centroid_stream":
            sizes = self.centroid_points
            return lambda: [m.get_centroid_stream(h, s, sizes[s] if capacity is None else capacity)
                            for s in self.scans]
        if family == "get_averaged_spectrum":
            pairs = list(zip(self.groups, self.averaged_points))
            return lambda: [m.get_averaged_spectrum(h, g, n if capacity is None else capacity) for g, n in pairs]
        # one call answers at once: as many calls as there are scans make a pass
        if family == "get_chromatogram":
            n = self.trace_points if capacity is None else capacity
            return lambda: [self.chromatogram(n) for _ in range(len(self.scans) // 10)]
        n = self.masses if capacity is None else capacity
        return lambda: [m.get_ms2_filter_masses(h, n) for _ in self.scans]

    def close(self) -> None:
        self.m.close_raw_file(self.handle)


def mzml_section(m: Any, data: pathlib.Path, quick: bool) -> list[Target]:
    clock = Clock.for_work(quick, rounds=7)
    targets = []
    print("## One pass over a run through the mzML Reader library")
    print()
    for label, path in [("small spectra", small_run(data, quick)), ("large spectra", large_run(data, quick))]:
        passes = RunPasses(m, path)
        largest = max(passes.spectrum_points.values())
        capacities: list[int | None] = [None] + CAPACITIES
        figures: dict[str, dict[int | None, float]] = {}
        for name in FAMILIES:
            best = clock.per_call({capacity_label(c): passes.pass_of(name, c) for c in capacities})
            figures[name] = {c: best[capacity_label(c)] for c in capacities}
        print(f"### {label}: {path.name}, {len(passes.scans):,} scans, largest spectrum {largest:,} points; "
              f"milliseconds per pass (ratio to the exact capacities)")
        print()
        table_rows(capacities, figures, 1e3, 1)
        if label == "small spectra":
            for name in FAMILIES:
                worst = max(figures[name][c] / figures[name][None] for c in CAPACITIES)
                targets.append(Target(f"{name}: a pass at any capacity up to 4,000,000 on small spectra, "
                                      f"x the exact-capacity pass", worst, CAPACITY_TARGET))
        passes.close()
    return targets


# ---------------------------------------------------------------------------
# Threads with the lock off.


def read_every_spectrum(m: Any, handles: list[int], sizes: dict[int, int]) -> None:
    """One thread per handle reads every spectrum once between them, each a
    contiguous part of the run."""
    scans = sorted(sizes)
    n = len(handles)
    parts = [scans[i * len(scans) // n:(i + 1) * len(scans) // n] for i in range(n)]

    # Everything the loop touches is local to the thread: names looked up in
    # shared dictionaries would make the threads count references to the
    # same objects.
    def work(h: int, part: list[int], get: Callable[..., object] = m.get_spectrum,
             size: dict[int, int] = dict(sizes)) -> None:
        for s in part:
            get(h, s, size[s])

    workers = [threading.Thread(target=work, args=(handles[i], parts[i])) for i in range(n)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def scan_sizes(m: Any, handle: int) -> dict[int, int]:
    """Scan number -> points of its spectrum."""
    first, last = m.get_first_scan(handle), m.get_last_scan(handle)
    return {s: len(m.get_spectrum(handle, s, 1 << 22)[0]) for s in range(first, last + 1)}


def pass_worker(m: Any, path: pathlib.Path, part: str) -> int:
    """A worker process: reads its part of the run each time a line comes on
    stdin, and answers with a line when done."""
    k, n = (int(x) for x in part.split("/"))
    handle = m.open_raw_file(str(path))
    sizes = scan_sizes(m, handle)
    scans = sorted(sizes)[k * len(sizes) // n:(k + 1) * len(sizes) // n]
    get = m.get_spectrum
    for _ in sys.stdin:
        for s in scans:
            get(handle, s, sizes[s])
        sys.stdout.write("done\n")
        sys.stdout.flush()
    m.close_raw_file(handle)
    return 0


class ProcessPass:
    """`parts` worker processes that each read their part of the run once per call."""

    def __init__(self, path: pathlib.Path, parts: int, quick: bool) -> None:
        argv = [sys.executable, str(pathlib.Path(__file__).resolve()), "--data", str(path.parent)]
        argv += ["--quick"] if quick else []
        self.workers = [subprocess.Popen(argv + ["--pass-worker", f"{k}/{parts}"], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, text=True) for k in range(parts)]

    def __call__(self) -> None:
        for w in self.workers:
            assert w.stdin is not None
            w.stdin.write("go\n")
            w.stdin.flush()
        for w in self.workers:
            assert w.stdout is not None
            if w.stdout.readline() != "done\n":
                raise RuntimeError("a pass worker stopped")

    def close(self) -> None:
        for w in self.workers:
            assert w.stdin is not None
            w.stdin.close()
        for w in self.workers:
            w.wait()


def threads_child(m: Any, path: pathlib.Path, quick: bool) -> int:
    handle = m.open_raw_file(str(path))
    own = [m.open_raw_file(str(path)) for _ in range(2)]
    sizes = scan_sizes(m, handle)
    layouts = {"1-own": own[:1], "2-own": own, "1-shared": [handle], "2-shared": [handle, handle]}
    candidates: dict[str, _common.Candidate] = {
        key: (lambda hs=hs: read_every_spectrum(m, hs, sizes)) for key, hs in layouts.items()}
    pools = {"1-process": ProcessPass(path, 1, quick), "2-process": ProcessPass(path, 2, quick)}
    candidates.update(pools)
    try:
        best = Clock.for_work(quick, rounds=9).per_call(candidates)
    finally:
        for pool in pools.values():
            pool.close()
    print(f"### {path.name}: one pass of `get_spectrum` over {len(sizes):,} scans (exact capacities), "
          f"load average {os.getloadavg()[0]:.2f}")
    print()
    print("| handles | 1 thread (ms) | 2 threads (ms) | speed-up |")
    print("|---|---:|---:|---:|")
    targets = []
    for kind, where in (("own", "a handle per thread"), ("shared", "one shared handle")):
        one, two = best[f"1-{kind}"], best[f"2-{kind}"]
        targets.append(Target(f"two threads reading with {where}, x faster than one", one / two, THREAD_TARGET,
                              at_least=True))
        print(f"| {where} | {one * 1e3:,.1f} | {two * 1e3:,.1f} | {one / two:.2f}x |")
    one, two = best["1-process"], best["2-process"]
    print(f"| processes, sharing nothing (the machine's ceiling) | {one * 1e3:,.1f} | {two * 1e3:,.1f} | "
          f"{one / two:.2f}x |")
    print()
    for h in [handle, *own]:
        m.close_raw_file(h)
    return _common.report_targets(targets)


def threads_section(data: pathlib.Path, quick: bool) -> int:
    """Runs the thread measurement in a child with the lock off; the number of missed targets."""
    print("## Two threads with the lock off (mzML Reader library)")
    print()
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        print("skipped: this interpreter is not a free-threaded build (run the script on python3.14t)")
        print()
        return 0
    small_run(data, quick)  # made here, not in the timed child
    argv = [sys.executable, str(pathlib.Path(__file__).resolve()), "--threads-child", "--data", str(data)]
    if quick:
        argv.append("--quick")
    result = subprocess.run(argv, env=dict(os.environ, PYTHON_GIL="0"), text=True, capture_output=True)
    sys.stdout.write(result.stdout)
    print()
    if result.returncode < 0 or result.returncode >= 100:
        sys.stderr.write(result.stderr)
        return 1
    return result.returncode


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    m = _common.import_module()
    data = pathlib.Path(args.data)
    if args.threads_child:
        if getattr(sys, "_is_gil_enabled", lambda: True)():
            print("the lock is on: PYTHON_GIL=0 was not honoured", file=sys.stderr)
            return 100
        m.set_dylib_path(str(_common.library_path("mzml")))
        return threads_child(m, small_run(data, args.quick), args.quick)
    if args.pass_worker:
        m.set_dylib_path(str(_common.library_path("mzml")))
        return pass_worker(m, small_run(data, args.quick), args.pass_worker)

    # A process keeps the first Reader library it loads: with the stand-in
    # loaded here, the mzML section runs in a process of its own.
    if "stand-in" in args.sections:
        _common.header("Capacity benchmark", args.quick, f"load average {os.getloadavg()[0]:.2f}")
        print()
        m.set_dylib_path(str(_common.library_path("stand-in")))
        stand_in_section(m, args.quick)
        missed = 0
        if "mzml" in args.sections:
            missed += in_child(args, "mzml")
    else:
        if "mzml" in args.sections or args.sections == ["threads"]:
            _common.header("Capacity benchmark", args.quick, f"load average {os.getloadavg()[0]:.2f}")
            print()
        missed = 0
        if "mzml" in args.sections:
            m.set_dylib_path(str(_common.library_path("mzml")))
            missed += _common.report_targets(mzml_section(m, data, args.quick))
            print()
    if "threads" in args.sections:
        missed += threads_section(data, args.quick)
    return 1 if missed and not args.quick else 0


def in_child(args: argparse.Namespace, section: str) -> int:
    """Runs one section in a fresh interpreter; the number of missed targets (1 when it failed)."""
    argv = [sys.executable, str(pathlib.Path(__file__).resolve()), "--section", section, "--data", args.data]
    if args.quick:
        argv.append("--quick")
    result = subprocess.run(argv, text=True, capture_output=True)
    # the child's own header is the parent's
    out = result.stdout.split("\n\n", 1)[1] if result.stdout.startswith("Capacity benchmark") else result.stdout
    sys.stdout.write(out)
    if result.returncode not in (0, 1):
        sys.stderr.write(result.stderr)
        return 1
    return out.count("  MISS  ")


if __name__ == "__main__":
    sys.exit(main())
