"""Benchmark of the corvix package over the mzML Reader library.

Measured side by side in one run, on a generated file of 2,000 scans (MS1
survey scans and data-dependent MS2 scans, all centroided, about 10^6 peaks):

  * `Scan.peaks()` and `Run.spectrum()` against the module's own
    `get_centroid_stream`/`get_spectrum` calls that they make: the cost of
    the numpy arrays and the object layer;
  * `Run.xic()` over the whole file, against pyteomics summing the same m/z
    window over every MS1 spectrum.

Conversion (mzML, MGF, Parquet, Arrow tables) has its own benchmark:
bench/bench_convert.py.

Usage:
    CORVIX_MZML_READER=<build>/mzml_reader/libcorvix_mzml_reader.so \\
    PYTHONPATH=<build> python bench/bench_corvix.py [--quick] [--scans N]

(`bash scripts/bench_corvix.sh [python] [--quick]` sets this up.) Each figure is the
minimum over rounds; candidates of one row take turns within a round, so a
burst of load on a shared machine hits them alike (bench/_common.py has the
timer and the pyteomics baseline). --quick uses a small file and one round,
to show that the script works; its figures mean little, and only without it
does a missed target make the exit status 1.
"""

import argparse
import os
import pathlib
import sys
import tempfile

import numpy as np
from _common import Clock, Target, add_source_paths, fmt_time, header, pyteomics_xic, report_targets, traces_agree

add_source_paths()

import native_corvix_py_backend as module  # noqa: E402

import corvix  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description="corvix benchmark")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--scans", type=int, default=None)
    parser.add_argument("--sections", default="peaks,xic",
                        help="comma-separated subset of peaks, xic (default: all)")
    args = parser.parse_args(argv)
    sections = set(args.sections.split(","))
    scans = args.scans or (300 if args.quick else 2000)
    clock = Clock.for_work(args.quick, rounds=2)
    peaks_clock = Clock.for_work(args.quick, rounds=5)

    import dataclasses

    from mzmlgen import benchmark_config, make_run, write_mzml

    library = corvix.mzml_reader_path()
    work = pathlib.Path(tempfile.mkdtemp(prefix="corvix-bench-"))
    source = str(work / "bench.mzML")
    # Centroid MS1 scans: about 500 peaks per scan, 10^6 peaks in 2,000 scans.
    config = dataclasses.replace(benchmark_config(n_scans=scans), profile_ms1=False)
    truth = write_mzml(make_run(config), source)
    peaks = sum(len(s.mz) for s in truth.spectra)
    header("corvix benchmark", args.quick, f"mzML Reader library: {library}",
           f"file: {len(truth.spectra)} scans, {peaks:,} peaks, {os.path.getsize(source) / 1e6:.1f} MB "
           f"(indexed, zlib, 64-bit m/z, 32-bit intensities); min of {clock.rounds} round(s), spectra of "
           f"{peaks_clock.rounds}\n")
    results = {}

    # peaks() against the module's calls.
    with corvix.open(source) as run:
        handle = run.handle
        numbers = list(run.scan_numbers)
        for n in numbers:  # settle the run's capacity, as a long session would
            run.peaks(n)
        capacity = run._capacity
        scan_objects = [run[n] for n in numbers]

        def module_spectra():
            for n in numbers:
                module.get_spectrum(handle, n, capacity)

        def corvix_spectra():
            for n in numbers:
                run.spectrum(n)

        def module_peaks():
            for n in numbers:
                stream = module.get_centroid_stream(handle, n, capacity)
                if not stream[0]:
                    module.get_spectrum(handle, n, capacity)

        def corvix_peaks():
            for scan in scan_objects:
                scan.peaks()

        if "peaks" in sections:
            t = peaks_clock.per_call({"module spectra": module_spectra, "corvix spectra": corvix_spectra,
                                      "module peaks": module_peaks, "corvix peaks": corvix_peaks})
            t_ms, t_cs, t_mp, t_cp = t["module spectra"], t["corvix spectra"], t["module peaks"], t["corvix peaks"]
            results["spectrum"] = t_cs / t_ms
            results["peaks"] = t_cp / t_mp
            per = len(numbers)
            print(f"spectra of all {per} scans (per scan)                 corvix     module    ratio")
            print(f"  Run.spectrum(n) vs get_spectrum            {fmt_time(t_cs / per)} {fmt_time(t_ms / per)}   {t_cs / t_ms:5.2f}")
            print(f"  Scan.peaks() vs centroid stream/spectrum   {fmt_time(t_cp / per)} {fmt_time(t_mp / per)}   {t_cp / t_mp:5.2f}\n")

        if "xic" in sections:
            ms1 = [s for s in truth.spectra if s.ms_level == 1]
            target = ms1[len(ms1) // 2]
            centre = float(target.mz[target.intensity.argmax()])
            traces: dict[str, object] = {}
            t = clock.per_call({"corvix": lambda: run.xic(centre, ppm=10, filter="ms1"),
                                "pyteomics": lambda: pyteomics_xic(source, centre, 10)}, traces)
            t_xic, t_pyx = t["corvix"], t["pyteomics"]
            ours = traces["corvix"]
            agree = traces_agree(ours, traces["pyteomics"])
            results["xic"] = t_xic / t_pyx
            print(f"XIC at m/z {centre:.4f} +- 10 ppm over the whole file ({len(ours.rt)} MS1 points; traces agree: {agree})")
            print(f"  corvix Run.xic                             {fmt_time(t_xic)}   {t_xic / t_pyx:5.3f} x pyteomics")
            print(f"  pyteomics, summing each MS1 spectrum       {fmt_time(t_pyx)}\n")

    limits = [
        ("Run.spectrum overhead <= 1.5 x get_spectrum", "spectrum", 1.5),
        ("Scan.peaks overhead <= 1.5 x the module's calls", "peaks", 1.5),
    ]
    missed = report_targets(Target(text, results[key], limit) for text, key, limit in limits if key in results)
    for path in work.iterdir():
        path.unlink()
    work.rmdir()
    if "xic" in sections and not agree:
        print("corvix's chromatogram differs from pyteomics'", file=sys.stderr)
        return 1
    return 1 if missed and not args.quick else 0


if __name__ == "__main__":
    sys.exit(main())
