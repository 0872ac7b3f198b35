"""mzML benchmark: the module over the mzML Reader library against the Python
mzML readers people use today, all in one run on one interpreter.

Measured, each the best of several rounds (the readers of one table take
turns within a round; bench/_common.py has the timer and the baselines):

  * read every spectrum (m/z and intensity arrays) of a generated indexed,
    zlib-compressed run of 2,000 scans and about 10^6 peaks: the module and
    the mzML Reader library, pyteomics, pymzml and pyopenms;
  * open an unindexed, uncompressed run of about 200 MB (one streaming pass
    builds the offset index): seconds and MB/s, and the memory the process
    holds after opening against the file's size (in a fresh interpreter);
  * the MS1 ion chromatogram of one m/z +- 10 ppm over the whole 2,000-scan
    run: the library's `get_chromatogram` (a mass-range trace, filter "ms1")
    against the pyteomics baseline (every MS1 spectrum read, the window
    summed with numpy).

Targets (exit status 1 when missed, except with --quick): reading every
spectrum at least 5x faster than the faster of pyteomics and pymzml.
pyopenms is reported beside them.

Usage:
    bash scripts/bench.sh python3 --mzml [--quick]
or, with a build directory at hand:
    CORVIX_BUILD_DIR=build/py311-release PYTHONPATH=build/py311-release \\
        python bench/bench_mzml.py [--quick] [--data DIR]

Generated files are kept in --data (default build/bench-data) and reused.
--quick uses small files and one round to show that the script works; its
figures mean nothing.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import json
import pathlib
import subprocess
import sys

from _common import (
    DATA, Clock, Target, add_source_paths, generated, header, import_module, library_path, module_xic,
    pyteomics_xic, read_pymzml, read_pyopenms, read_pyteomics, report_targets, traces_agree,
)

add_source_paths()
from corvix._library import MzmlStat  # noqa: E402

READ_TARGET = 5.0
XIC_PPM = 10.0


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small files, one round; proves the script runs")
    parser.add_argument("--data", default=str(DATA), help="where generated files are kept")
    parser.add_argument("--library", help="path of the mzML Reader library (default: from CORVIX_BUILD_DIR)")
    return parser.parse_args()


def read_module(m, path: str) -> tuple[int, int]:
    """Every spectrum through the module: each scan's point count from its statistics, then its arrays."""
    handle = m.open_raw_file(path)
    try:
        spectra = peaks = 0
        for scan in range(m.get_first_scan(handle), m.get_last_scan(handle) + 1):
            count = int(m.get_scan_stats(handle, scan)[MzmlStat.POINTS])
            mz, intensity = m.get_spectrum(handle, scan, count)
            spectra += 1
            peaks += len(mz)
        return spectra, peaks
    finally:
        m.close_raw_file(handle)


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


def open_large(library: str, path: pathlib.Path, rounds: int) -> dict:
    """Opening in a fresh interpreter each round (so the memory it holds is its own): the fastest round."""
    best: dict = {}
    for _ in range(rounds):
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
    m = import_module()
    library = str(library_path("mzml", args.library))
    m.set_dylib_path(library)
    data = pathlib.Path(args.data)
    clock = Clock.for_work(args.quick)
    if args.quick:
        run = generated("quick-200x100.mzML", "bench", "--scans", "200", "--peaks", "100", data=data)
        large = generated("quick-large-5mb.mzML", "large", "--mb", "5", data=data)
    else:
        run = generated("bench-2000x500.mzML", "bench", "--scans", "2000", "--peaks", "500", data=data)
        large = generated("large-200mb.mzML", "large", "--mb", "200", data=data)

    header("mzML benchmark", args.quick, f"mzML Reader library: {library}",
           f"file: {run.name} ({run.stat().st_size / 1e6:.1f} MB); min of {clock.rounds} round(s), "
           "the readers of a table interleaved")
    print()
    print("## Read every spectrum")
    print()
    module_row = "module + mzML Reader library"
    readers = {module_row: lambda: read_module(m, str(run))}
    others = {"pyteomics": read_pyteomics, "pymzml": read_pymzml, "pyopenms": read_pyopenms}
    missing = []
    for name, reader in others.items():
        if importlib.util.find_spec(name) is None:
            missing.append(name)
            continue
        importlib.import_module(name)  # import time is not reading time
        if name == "pyteomics":
            importlib.import_module("pyteomics.mzml")
        readers[name] = (lambda reader: lambda: reader(str(run)))(reader)
    counts: dict[str, object] = {}
    rows = clock.per_call(readers, counts)
    spectra, peaks = counts[module_row]  # type: ignore[misc]
    print("| reader | seconds | spectra | peaks | module faster by |")
    print("|---|---:|---:|---:|---:|")
    for name, seconds in rows.items():
        other_spectra, other_peaks = counts[name]  # type: ignore[misc]
        if (other_spectra, other_peaks) != (spectra, peaks):
            print(f"{name} read {other_spectra} spectra and {other_peaks} peaks, the module "
                  f"{spectra} and {peaks}", file=sys.stderr)
            return 1
        print(f"| {name} | {seconds:.3f} | {other_spectra} | {other_peaks} | "
              f"{seconds / rows[module_row]:.1f}x |")
    for name in missing:
        print(f"| {name} | not installed | | | |")

    print()
    print("## Open an unindexed file")
    print()
    opened = open_large(library, large, clock.rounds)
    size = large.stat().st_size
    print(f"{large.name}: {size / 1e6:.1f} MB, {opened['scans']} scans: opened in {opened['seconds']:.3f} s "
          f"({size / 1e6 / opened['seconds']:.0f} MB/s); held after opening {opened['held'] / 1e6:.2f} MB "
          f"({100 * opened['held'] / size:.2f}% of the file, {opened['held'] / opened['scans']:.0f} bytes a scan)")

    print()
    print(f"## MS1 ion chromatogram (+-{XIC_PPM:g} ppm) over the whole run")
    print()
    handle = m.open_raw_file(str(run))
    # The first scan's base peak, so that the trace is not empty.
    target_mz = m.get_scan_stats(handle, m.get_first_scan(handle))[MzmlStat.BASE_PEAK_MZ]
    m.close_raw_file(handle)
    if target_mz != target_mz:
        target_mz = 500.0
    traces: dict[str, object] = {}
    xic = clock.per_call({"module": lambda: module_xic(m, str(run), target_mz, XIC_PPM),
                          "pyteomics": lambda: pyteomics_xic(str(run), target_mz, XIC_PPM)}, traces)
    agree = traces_agree(traces["module"], traces["pyteomics"])  # type: ignore[arg-type]
    print(f"m/z {target_mz:.4f}: module {xic['module']:.3f} s, pyteomics {xic['pyteomics']:.3f} s "
          f"({xic['pyteomics'] / xic['module']:.1f}x); traces agree: {agree}")

    print()
    targets = []
    competitors = [rows[n] for n in ("pyteomics", "pymzml") if n in rows]
    if competitors:
        targets.append(Target(f"reading every spectrum >= {READ_TARGET:g}x faster than the faster of "
                              "pyteomics and pymzml", min(competitors) / rows[module_row], READ_TARGET, at_least=True))
    missed = report_targets(targets)
    if not agree:
        print("the module's chromatogram differs from pyteomics'", file=sys.stderr)
        return 1
    return 1 if missed and not args.quick else 0


if __name__ == "__main__":
    sys.exit(main())
