"""Benchmark of conversion: corvix's writers against what users already have.

Measured side by side in one run (bench/_common.Clock: the candidates of a
row take turns within each round, each figure is the minimum over the
rounds) on two generated files:

  * the 2,000-scan run: MS1 survey scans and data-dependent MS2 scans, all
    centroided, about 10^6 peaks, indexed, zlib (25 MB);
  * the large run: profile MS1 scans and MS2 scans, 64-bit, uncompressed,
    not indexed, of about --large-mb MB (1,000 by default).

Rows, each with corvix's time, the other's and the ratio:

  * mzML: corvix.convert_file (zlib) against pyopenms MzMLFile load + store
    (zlib, 64-bit arrays), and against pyteomics reading + psims writing the
    same document (on the 2,000-scan run; on the large run with --slow);
  * Parquet: corvix.convert_file(format="parquet") against pyopenms load +
    MSExperiment.to_arrow() + pyarrow.parquet.write_table (zstd);
  * MGF: corvix.convert_file(format="mgf") against pyteomics reading +
    pyteomics.mgf.write of the same entries (on the large run with --slow);
  * Run.to_arrow() of the whole run against Scan.peaks() of every scan;
  * peak RSS of each corvix conversion of the large run, each in a fresh
    process, beside opening the run (its index) and pyopenms' load + store.

Usage:
    bash scripts/bench_convert.sh [python] [--quick] [--sections mzml,parquet,mgf,arrow,rss]
                                  [--large-mb MB] [--rounds N] [--slow] [--profile]

--quick uses a 200-scan run and a 10 MB large run, one round, to show that
the script works (well under a minute); its figures mean little, and only
without it does a missed target make the exit status 1. --profile prints
where corvix's time goes in each conversion of the 2,000-scan run.
"""

import argparse
import cProfile
import io
import os
import pathlib
import pstats
import shutil
import subprocess
import sys
import tempfile

import numpy as np

from _common import Clock, Target, add_source_paths, fmt_time, generated, header, report_targets

add_source_paths()

import corvix  # noqa: E402
from corvix.convert import convert_file  # noqa: E402
from corvix.writers.vocabulary import ACTIVATION_TERMS  # noqa: E402

SECTIONS = ("mzml", "parquet", "mgf", "arrow", "rss")


def have(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


# -- the others --------------------------------------------------------------------------------------


def pyopenms_file():
    """pyopenms' MzMLFile writing zlib-compressed 64-bit arrays, as corvix does."""
    import pyopenms

    handler = pyopenms.MzMLFile()
    options = handler.getOptions()
    options.setCompression(True)
    options.setMz32Bit(False)
    options.setIntensity32Bit(False)
    handler.setOptions(options)
    return handler


def pyopenms_mzml(source, target):
    import pyopenms

    handler = pyopenms_file()
    experiment = pyopenms.MSExperiment()
    handler.load(source, experiment)
    handler.store(target, experiment)


def pyopenms_parquet(source, target):
    import pyarrow.parquet as pq
    import pyopenms

    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(source, experiment)
    pq.write_table(experiment.to_arrow(), target, compression="zstd")


def minutes(value):
    return float(value) / 60.0 if getattr(value, "unit_info", None) == "second" else float(value)


def pyteomics_psims_mzml(source, target):
    """pyteomics reads each spectrum, psims writes what corvix writes of it (64-bit zlib arrays)."""
    from psims.mzml.writer import MzMLWriter
    from pyteomics import mzml

    activations = set(ACTIVATION_TERMS.values())
    encoding = {"m/z array": np.float64, "intensity array": np.float64}
    with mzml.MzML(source) as indexed:  # the count the spectrum list declares, from pyteomics' byte index
        count = len(indexed)
    with mzml.read(source, use_index=False) as reader, open(target, "wb") as handle:
        with MzMLWriter(handle, close=False) as writer:
            writer.controlled_vocabularies()
            writer.file_description(file_contents=["MS1 spectrum", "MSn spectrum"], source_files=[{
                "id": "SF1", "name": os.path.basename(source), "location": "file:///",
                "params": ["scan number only nativeID format", "mzML format"]}])
            writer.software_list([{"id": "bench", "version": "1", "params": [{"custom unreleased software tool": "b"}]}])
            writer.instrument_configuration_list([writer.InstrumentConfiguration(id="IC1", component_list=[], params=[])])
            writer.data_processing_list([{"id": "conversion", "processing_methods": [
                {"order": 1, "software_reference": "bench", "params": ["Conversion to mzML"]}]}])
            with writer.run(id="run", instrument_configuration="IC1"):
                with writer.spectrum_list(count=count):
                    for s in reader:
                        scan = s["scanList"]["scan"][0]
                        precursor = None
                        for p in s.get("precursorList", {}).get("precursor", []):
                            ion = p.get("selectedIonList", {}).get("selectedIon", [{}])[0]
                            activation = [k for k in p.get("activation", {}) if k in activations]
                            if "collision energy" in p.get("activation", {}):
                                activation.append({"collision energy": p["activation"]["collision energy"]})
                            precursor = {"mz": ion.get("selected ion m/z"), "charge": ion.get("charge state"),
                                         "scan_id": p.get("spectrumRef"), "activation": activation}
                            break
                        writer.write_spectrum(
                            s["m/z array"], s["intensity array"], id=s["id"], centroided="centroid spectrum" in s,
                            polarity="negative scan" if "negative scan" in s else "positive scan",
                            scan_start_time=minutes(scan["scan start time"]), params=[{"ms level": s["ms level"]}],
                            scan_params=[{"filter string": scan["filter string"]}] if "filter string" in scan else None,
                            precursor_information=precursor, encoding=encoding, compression="zlib")


def pyteomics_mgf(source, target):
    """pyteomics reads each MS2-and-higher spectrum, pyteomics.mgf writes the entries corvix writes."""
    from pyteomics import mgf, mzml

    name = corvix.convert.stem(source)

    def entries():
        with mzml.read(source, use_index=False) as reader:
            for s in reader:
                if s["ms level"] < 2:
                    continue
                number = int(s["id"].rsplit("=", 1)[-1])
                precursor = s["precursorList"]["precursor"][0]
                ion = precursor.get("selectedIonList", {}).get("selectedIon", [{}])[0]
                charge = ion.get("charge state")
                params = {"title": f"{name}.{number}.{number}.{charge or 0}", "pepmass": ion.get("selected ion m/z"),
                          "rtinseconds": minutes(s["scanList"]["scan"][0]["scan start time"]) * 60.0,
                          "scans": number}
                if charge:
                    params["charge"] = [int(charge)]
                yield {"m/z array": s["m/z array"], "intensity array": s["intensity array"], "params": params}

    mgf.write(entries(), output=target)


def peaks_loop(source):
    with corvix.open(source) as run:
        for scan in run:
            scan.peaks()


def to_arrow(source):
    with corvix.open(source) as run:
        return run.to_arrow()


# -- peak memory ------------------------------------------------------------------------------------------

RSS_CODE = {
    "open the run (index)": "import corvix\nwith corvix.open(SOURCE) as run: run.ms_orders; run.retention_times",
    "corvix mzML (zlib)": "import corvix\ncorvix.convert_file(SOURCE, OUT + '.mzML')",
    "corvix MGF": "import corvix\ncorvix.convert_file(SOURCE, OUT + '.mgf', format='mgf')",
    "corvix Parquet (zstd)": "import corvix\ncorvix.convert_file(SOURCE, OUT + '.peaks.parquet', format='parquet')",
    "pyopenms load + store": "import bench_convert\nbench_convert.pyopenms_mzml(SOURCE, OUT + '.oms.mzML')",
}


# The interpreter's own peak resident memory, read as it ends (the high-water mark of its
# own address space: what a parent held before starting it does not count).
PEAK = """
import re
with open("/proc/self/status") as status:
    print("peak kB", re.search(r"VmHWM:\\s*(\\d+)", status.read()).group(1))
"""


def peak_rss(code, source, out):
    """Peak resident memory (MB) of a fresh interpreter running `code`."""
    script = f"SOURCE, OUT = {source!r}, {out!r}\n{code}\n{PEAK}"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(pathlib.Path(__file__).parent), *sys.path]))
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"the measured process failed ({result.returncode}): {code}\n{result.stderr}")
    return int(result.stdout.split("peak kB")[-1]) / 1024.0


# -- report ----------------------------------------------------------------------------------------------------


def row(text, ours, theirs, unit="x"):
    ratio = ours / theirs
    print(f"  {text:<58} {fmt_time(ours)} {fmt_time(theirs)}  {ratio:6.2f} {unit}")
    return ratio


def profile(label, work):
    profiler = cProfile.Profile()
    profiler.runcall(work)
    text = io.StringIO()
    pstats.Stats(profiler, stream=text).sort_stats("tottime").print_stats(12)
    lines = [line for line in text.getvalue().splitlines() if line.strip()][3:]
    print(f"\n  profile of {label} (top 12 by own time)")
    for line in lines:
        print("    " + line[:150])


def measure(name, source, work, clock, args, sections, results):
    """Every row of one file; results[key] = ratio."""
    size = os.path.getsize(source) / 1e6
    print(f"\n{name}: {source} ({size:,.0f} MB); min of {clock.rounds} round(s)")
    print(f"  {'':<58} {'corvix':>11} {'other':>11}  {'ratio':>6}")
    out = str(work / "out")
    slow = name == "2,000-scan run" or args.slow
    oms = have("pyopenms")
    if "mzml" in sections:
        candidates = {"corvix": lambda: convert_file(source, out + ".mzML")}
        if oms:
            candidates["pyopenms"] = lambda: pyopenms_mzml(source, out + ".oms.mzML")
        if slow:
            candidates["pair"] = lambda: pyteomics_psims_mzml(source, out + ".pair.mzML")
        t = clock.per_call(candidates)
        if oms:
            results[f"{name}: mzML vs pyopenms"] = row("mzML vs pyopenms MzMLFile load + store (zlib)", t["corvix"],
                                                      t["pyopenms"])
        if slow:
            results[f"{name}: pyteomics+psims vs mzML"] = 1.0 / row("mzML vs pyteomics read + psims write",
                                                                   t["corvix"], t["pair"])
    if "parquet" in sections and oms:
        t = clock.per_call({"corvix": lambda: convert_file(source, out + ".peaks.parquet", "parquet"),
                            "pyopenms": lambda: pyopenms_parquet(source, out + ".oms.parquet")})
        results[f"{name}: Parquet vs pyopenms"] = row("Parquet vs pyopenms load + to_arrow + write_table (zstd)",
                                                     t["corvix"], t["pyopenms"])
    if "mgf" in sections:
        candidates = {"corvix": lambda: convert_file(source, out + ".mgf", "mgf")}
        if slow:
            candidates["pyteomics"] = lambda: pyteomics_mgf(source, out + ".pyteomics.mgf")
        t = clock.per_call(candidates)
        if slow:
            results[f"{name}: pyteomics vs MGF"] = 1.0 / row("MGF vs pyteomics read + mgf.write", t["corvix"],
                                                            t["pyteomics"])
        else:
            print(f"  {'MGF (pyteomics with --slow)':<58} {fmt_time(t['corvix'])}")
    if "arrow" in sections:
        t = clock.per_call({"arrow": lambda: to_arrow(source), "peaks": lambda: peaks_loop(source)})
        results[f"{name}: to_arrow vs peaks"] = row("Run.to_arrow() vs Scan.peaks() of every scan", t["arrow"],
                                                   t["peaks"])
    if args.profile and name == "2,000-scan run":
        profile("corvix mzML conversion", lambda: convert_file(source, out + ".mzML"))
        profile("corvix Parquet conversion", lambda: convert_file(source, out + ".peaks.parquet", "parquet"))
        profile("corvix MGF conversion", lambda: convert_file(source, out + ".mgf", "mgf"))


def main(argv=None):
    parser = argparse.ArgumentParser(description="conversion benchmark")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--sections", default=",".join(SECTIONS))
    parser.add_argument("--large-mb", type=float, default=None)
    parser.add_argument("--rounds", type=int, default=3, help="rounds on the 2,000-scan run (the large run: one)")
    parser.add_argument("--slow", action="store_true", help="the pyteomics baselines on the large run too")
    parser.add_argument("--profile", action="store_true")
    args = parser.parse_args(argv)
    sections = set(args.sections.split(","))
    if not sections <= set(SECTIONS):
        parser.error(f"sections are {', '.join(SECTIONS)}")
    if args.quick:
        small = generated("quick-200x100.mzML", "bench", "--scans", "200", "--peaks", "100")
        mb = args.large_mb or 10
    else:
        small = generated("bench-2000x500.mzML", "bench", "--scans", "2000", "--peaks", "500")
        mb = args.large_mb or 1000
    large = generated(f"large-{mb:g}mb.mzML", "large", "--mb", f"{mb:g}")
    header("conversion benchmark", args.quick, f"mzML Reader library: {corvix.mzml_reader_path()}",
           f"pyopenms: {'yes' if have('pyopenms') else 'not installed (its rows are left out)'}")
    work = pathlib.Path(tempfile.mkdtemp(prefix="corvix-convert-bench-"))
    results = {}
    try:
        measure("2,000-scan run", str(small), work, Clock.for_work(args.quick, rounds=args.rounds), args, sections,
                results)
        measure("large run", str(large), work, Clock.for_work(args.quick, rounds=1), args, sections - {"rss"},
                results)
        if "rss" in sections:
            print(f"\npeak RSS, each in a fresh process, on the large run ({os.path.getsize(large) / 1e6:,.0f} MB)")
            for label, code in RSS_CODE.items():
                if "pyopenms" in label and not have("pyopenms"):
                    continue
                megabytes = peak_rss(code, str(large), str(work / "rss"))
                results[f"RSS {label}"] = megabytes
                print(f"  {label:<58} {megabytes:9.0f} MB")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    limits = [
        ("mzML: corvix <= 0.5 x pyopenms load + store", "mzML vs pyopenms", 0.5, False),
        ("mzML: corvix >= 20 x faster than pyteomics + psims", "pyteomics+psims vs mzML", 20.0, True),
        ("Parquet: corvix <= 0.5 x pyopenms load + to_arrow + write", "Parquet vs pyopenms", 0.5, False),
        ("MGF: corvix >= 10 x faster than pyteomics read + write", "pyteomics vs MGF", 10.0, True),
        ("Run.to_arrow() <= 1.5 x Scan.peaks() of every scan", "to_arrow vs peaks", 1.5, False),
    ]
    targets = [Target(f"{key.split(':')[0]}: {text}", value, limit, at_least)
               for text, suffix, limit, at_least in limits
               for key, value in results.items() if key.endswith(suffix)]
    print()
    missed = report_targets(targets)
    return 1 if missed and not args.quick else 0


if __name__ == "__main__":
    sys.exit(main())
