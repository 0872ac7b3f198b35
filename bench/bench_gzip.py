"""gzip benchmark: a whole-run trace over a gzip run against reading every
spectrum of it once, plain beside gzip, at about 100 MB and 1 GB.

For each size, one generated indexed run (centroid scans, zlib-compressed
arrays) and the same document gzip-compressed. Each candidate opens the file
through the module and the mzML Reader library and then either reads every
spectrum once (`get_spectrum`), or takes one whole-run trace: the TIC, the
base-peak trace (both from the spectra's own summary values), or an
extracted-ion chromatogram of one m/z +- 10 ppm over every scan, which
decodes every spectrum (on several threads). Best of 3 rounds, the
candidates of one file taking turns within a round.

Target (exit status 1 when missed, except with --quick): on a gzip run, each
whole-run trace takes no longer than reading every spectrum once.

Usage:
    bash scripts/bench.sh python3 --gzip [--quick] [--sizes 100,1000]
or, with a build directory at hand:
    CORVIX_BUILD_DIR=build/py311-release PYTHONPATH=build/py311-release \\
        python bench/bench_gzip.py [--quick] [--sizes 100,1000] [--data DIR]

Generated files are kept in --data (default build/bench-data) and reused.
--quick uses one small file and one round to show that the script works.
"""

from __future__ import annotations

import argparse
import gzip
import pathlib
import shutil
import sys

from _common import DATA, Clock, Target, fmt_time, generated, header, import_module, library_path, report_targets

# Scans of 500 peaks per 100 MB of generated document (about 12.8 kB a scan).
SCANS_PER_100_MB = 7800
PPM = 10.0


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="one small file, one round; proves the script runs")
    parser.add_argument("--sizes", default="100,1000", help="document sizes in MB, comma-separated")
    parser.add_argument("--data", default=str(DATA), help="where generated files are kept")
    parser.add_argument("--library", help="path of the mzML Reader library (default: from CORVIX_BUILD_DIR)")
    return parser.parse_args()


def gzipped(plain: pathlib.Path) -> pathlib.Path:
    """The document gzip-compressed beside it (made once)."""
    target = plain.with_name(plain.name + ".gz")
    if not target.exists():
        partial = target.with_suffix(".partial")
        with open(plain, "rb") as source, gzip.open(partial, "wb", compresslevel=6) as out:
            shutil.copyfileobj(source, out, 1 << 22)
        partial.rename(target)
    return target


def candidates(m, path: str, centre: float) -> dict:
    def read_all() -> int:
        h = m.open_raw_file(path)
        try:
            first, last = m.get_first_scan(h), m.get_last_scan(h)
            return sum(len(m.get_spectrum(h, n, 100_000)[0]) for n in range(first, last + 1))
        finally:
            m.close_raw_file(h)

    def trace(kind: int, ranges: tuple[list[float], list[float]]):
        def run() -> int:
            h = m.open_raw_file(path)
            try:
                first, last = m.get_first_scan(h), m.get_last_scan(h)
                return len(m.get_chromatogram(h, kind, "", ranges[0], ranges[1], first, last, last - first + 1)[0])
            finally:
                m.close_raw_file(h)
        return run

    low, high = centre * (1 - PPM * 1e-6), centre * (1 + PPM * 1e-6)
    return {"read every spectrum": read_all, "TIC": trace(0, ([], [])), "base peak": trace(1, ([], [])),
            "XIC": trace(2, ([low], [high]))}


def main() -> int:
    args = parse_args()
    m = import_module()
    m.set_dylib_path(str(library_path("mzml", args.library)))
    sizes = [2.0] if args.quick else [float(s) for s in args.sizes.split(",")]
    clock = Clock.for_work(args.quick)
    header("gzip: whole-run traces against reading every spectrum once", args.quick,
           "each figure: open + the work, best of the rounds")
    targets = []
    print(f"{'document':>10} {'file':>6} {'bytes':>8} | {'read all':>11} {'TIC':>11} {'base peak':>11} {'XIC':>11}")
    for size in sizes:
        scans = max(40, int(SCANS_PER_100_MB * size / 100))
        plain = generated(f"gzip-bench-{size:g}MB.mzML", "bench", "--scans", str(scans), "--peaks", "500",
                          data=pathlib.Path(args.data))
        packed = gzipped(plain)
        h = m.open_raw_file(str(plain))
        mz, intensity = m.get_spectrum(h, m.get_first_scan(h), 100_000)
        centre = mz[max(range(len(mz)), key=intensity.__getitem__)]
        m.close_raw_file(h)
        rows = {}
        for kind, path in (("plain", plain), ("gzip", packed)):
            results: dict[str, object] = {}
            rows[kind] = clock.per_call(candidates(m, str(path), centre), results)
            print(f"{plain.stat().st_size / 1e6:>8.0f}MB {kind:>6} {path.stat().st_size / 1e6:>6.0f}MB | "
                  + " ".join(fmt_time(rows[kind][name]) for name in ("read every spectrum", "TIC", "base peak",
                                                                     "XIC")))
        read = rows["gzip"]["read every spectrum"]
        for name in ("TIC", "base peak", "XIC"):
            targets.append(Target(f"{size:g} MB gzip: {name} / read every spectrum", rows["gzip"][name] / read,
                                  1.0))
    return 0 if args.quick else report_targets(targets)


if __name__ == "__main__":
    sys.exit(main())
