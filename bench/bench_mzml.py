"""mzML benchmark: the module over the mzML Reader library against the Python
mzML readers people use today, all in one run on one interpreter.

Measured, each the best of several repeats:

  * read every spectrum (m/z and intensity arrays) of a generated indexed,
    zlib-compressed run of 2,000 scans and about 10^6 peaks: the module and
    the mzML Reader library, pyteomics, pymzml and pyopenms;
  * open an unindexed, uncompressed run of about 200 MB (one streaming pass
    builds the offset index): seconds and MB/s, and the memory the process
    holds after opening against the file's size (in a fresh interpreter);
  * a mass-range chromatogram (one m/z +- 10 ppm) over the whole 2,000-scan
    run: the library's `get_chromatogram` against pyteomics reading the file
    and summing the same window with numpy.

Targets (exit status 1 when missed, except with --quick): reading every
spectrum at least 5x faster than the faster of pyteomics and pymzml.
pyopenms is reported beside them.

Usage:
    bash scripts/bench.sh python3 --mzml [--quick]
or, with a build directory at hand:
    CORVIX_BUILD_DIR=build/py311-release PYTHONPATH=build/py311-release:tests \\
        python bench/bench_mzml.py [--quick] [--data DIR]

Generated files are kept in --data (default build/bench-data) and reused.
--quick uses small files and one repeat to show that the script works; its
figures mean nothing.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import importlib.util
import os
import pathlib
import subprocess
import sys
import time
from typing import Callable

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests"))

READ_TARGET = 5.0
XIC_PPM = 10.0


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small files, one repeat; proves the script runs")
    parser.add_argument("--data", default=str(ROOT / "build" / "bench-data"), help="where generated files are kept")
    parser.add_argument("--library", help="path of the mzML Reader library (default: from CORVIX_BUILD_DIR)")
    return parser.parse_args()


def library_path(args: argparse.Namespace) -> str:
    if args.library:
        return args.library
    build = os.environ.get("CORVIX_BUILD_DIR")
    if not build:
        sys.exit("set CORVIX_BUILD_DIR to the build directory, or pass --library")
    return str(pathlib.Path(build) / "mzml_reader" / "libcorvix_mzml_reader.so")


def generated(data: pathlib.Path, name: str, kind: str, *extra: str) -> pathlib.Path:
    """The generator's file `name`, made once (python -m mzmlgen KIND OUT ...)."""
    path = data / name
    if not path.exists():
        data.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "tests"), os.environ.get("PYTHONPATH", "")]))
        subprocess.run([sys.executable, "-m", "mzmlgen", kind, str(partial), *extra], check=True, env=env)
        partial.rename(path)
    return path


def best_of(repeats: int, work: Callable[[], object]) -> tuple[float, object]:
    best = float("inf")
    result: object = None
    for _ in range(repeats):
        started = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - started)
    return best, result


# ---------------------------------------------------------------------------
# Readers of every spectrum. Each returns (spectra, peaks) so the runs can be
# checked to have read the same data.


def read_module(m, path: str) -> tuple[int, int]:
    handle = m.open_raw_file(path)
    try:
        spectra = peaks = 0
        for scan in range(m.get_first_scan(handle), m.get_last_scan(handle) + 1):
            count = int(m.get_scan_stats(handle, scan)[3])
            mz, intensity = m.get_spectrum(handle, scan, count)
            spectra += 1
            peaks += len(mz)
        return spectra, peaks
    finally:
        m.close_raw_file(handle)


def read_pyteomics(path: str) -> tuple[int, int]:
    from pyteomics import mzml

    spectra = peaks = 0
    with mzml.read(path, use_index=False) as reader:
        for spectrum in reader:
            spectra += 1
            peaks += len(spectrum["m/z array"])
            spectrum["intensity array"]
    return spectra, peaks


def read_pymzml(path: str) -> tuple[int, int]:
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
# Mass-range chromatograms.


def xic_module(m, path: str, mz: float) -> list[float]:
    handle = m.open_raw_file(path)
    try:
        first, last = m.get_first_scan(handle), m.get_last_scan(handle)
        low, high = mz * (1 - XIC_PPM * 1e-6), mz * (1 + XIC_PPM * 1e-6)
        _, intensities = m.get_chromatogram(handle, 2, "", [low], [high], first, last, last - first + 1)
        return intensities
    finally:
        m.close_raw_file(handle)


def xic_pyteomics(path: str, mz: float) -> list[float]:
    from pyteomics import mzml

    low, high = mz * (1 - XIC_PPM * 1e-6), mz * (1 + XIC_PPM * 1e-6)
    trace = []
    with mzml.read(path, use_index=False) as reader:
        for spectrum in reader:
            masses, intensities = spectrum["m/z array"], spectrum["intensity array"]
            trace.append(float(intensities[(masses >= low) & (masses <= high)].sum()))
    return trace


# ---------------------------------------------------------------------------
# Opening a large unindexed file, and what the process holds afterwards.

OPEN_PROBE = r"""
import json, sys, time
import native_corvix_py_backend as m

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

m.set_dylib_path(sys.argv[1])
m.get_num_scans(-1)  # loads the library before the baseline
before = rss()
started = time.perf_counter()
handle = m.open_raw_file(sys.argv[2])
seconds = time.perf_counter() - started
after = rss()
print(json.dumps({"seconds": seconds, "held": after - before, "open": m.is_open(handle),
                  "scans": m.get_num_scans(handle)}))
"""


def open_large(library: str, path: pathlib.Path, repeats: int) -> dict:
    import json

    best: dict = {}
    for _ in range(repeats):
        out = subprocess.run([sys.executable, "-c", OPEN_PROBE, library, str(path)], check=True,
                             capture_output=True, text=True).stdout
        result = json.loads(out)
        if not result["open"]:
            sys.exit(f"the library could not open {path}")
        if not best or result["seconds"] < best["seconds"]:
            best = result
    return best


def main() -> int:
    args = parse_args()
    import native_corvix_py_backend as m

    library = library_path(args)
    m.set_dylib_path(library)
    data = pathlib.Path(args.data)
    repeats = 1 if args.quick else 3
    if args.quick:
        run = generated(data, "quick-200x100.mzML", "bench", "--scans", "200", "--peaks", "100")
        large = generated(data, "quick-large-5mb.mzML", "large", "--mb", "5")
    else:
        run = generated(data, "bench-2000x500.mzML", "bench", "--scans", "2000", "--peaks", "500")
        large = generated(data, "large-200mb.mzML", "large", "--mb", "200")

    print(f"interpreter: {sys.version.split()[0]}  file: {run.name} ({run.stat().st_size / 1e6:.1f} MB)")
    print()
    print("## Read every spectrum")
    print()
    print("| reader | seconds | spectra | peaks | module faster by |")
    print("|---|---:|---:|---:|---:|")
    rows: dict[str, float] = {}
    seconds, (spectra, peaks) = best_of(repeats, lambda: read_module(m, str(run)))
    rows["module + mzML Reader library"] = seconds
    print(f"| module + mzML Reader library | {seconds:.3f} | {spectra} | {peaks} | 1.0x |")
    others = {"pyteomics": read_pyteomics, "pymzml": read_pymzml, "pyopenms": read_pyopenms}
    for name, reader in others.items():
        if importlib.util.find_spec(name) is None:
            print(f"| {name} | not installed | | | |")
            continue
        importlib.import_module(name)  # import time is not reading time
        if name == "pyteomics":
            importlib.import_module("pyteomics.mzml")
        other_seconds, (other_spectra, other_peaks) = best_of(repeats, lambda: reader(str(run)))
        rows[name] = other_seconds
        if (other_spectra, other_peaks) != (spectra, peaks):
            print(f"{name} read {other_spectra} spectra and {other_peaks} peaks, the module "
                  f"{spectra} and {peaks}", file=sys.stderr)
            return 1
        print(f"| {name} | {other_seconds:.3f} | {other_spectra} | {other_peaks} | "
              f"{other_seconds / seconds:.1f}x |")

    print()
    print("## Open an unindexed file")
    print()
    opened = open_large(library, large, repeats)
    size = large.stat().st_size
    print(f"{large.name}: {size / 1e6:.1f} MB, {opened['scans']} scans: opened in {opened['seconds']:.3f} s "
          f"({size / 1e6 / opened['seconds']:.0f} MB/s); held after opening {opened['held'] / 1e6:.2f} MB "
          f"({100 * opened['held'] / size:.2f}% of the file, {opened['held'] / opened['scans']:.0f} bytes a scan)")

    print()
    print(f"## Mass-range chromatogram (+-{XIC_PPM:g} ppm) over the whole run")
    print()
    target_mz = 500.0
    handle = m.open_raw_file(str(run))
    base_peak = m.get_scan_stats(handle, m.get_first_scan(handle))[5]
    m.close_raw_file(handle)
    if base_peak == base_peak:  # the first scan's base peak, so the trace is not empty
        target_mz = base_peak
    xic_seconds, module_trace = best_of(repeats, lambda: xic_module(m, str(run), target_mz))
    py_seconds, py_trace = best_of(repeats, lambda: xic_pyteomics(str(run), target_mz))
    agree = len(module_trace) == len(py_trace) and all(
        abs(a - b) <= 1e-6 * max(1.0, abs(b)) for a, b in zip(module_trace, py_trace))
    print(f"m/z {target_mz:.4f}: module {xic_seconds:.3f} s, pyteomics {py_seconds:.3f} s "
          f"({py_seconds / xic_seconds:.1f}x); traces agree: {agree}")

    status = 0
    competitors = [rows[n] for n in ("pyteomics", "pymzml") if n in rows]
    if competitors:
        ratio = min(competitors) / rows["module + mzML Reader library"]
        met = ratio >= READ_TARGET
        print()
        print(f"target: reading at least {READ_TARGET:g}x faster than the faster of pyteomics and pymzml: "
              f"{ratio:.1f}x, {'met' if met else 'MISSED'}")
        if not met and not args.quick:
            status = 1
    if not agree:
        print("the module's chromatogram differs from pyteomics'", file=sys.stderr)
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
