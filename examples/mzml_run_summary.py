"""Summarise an LC-MS/MS run read from an mzML file through the mzML Reader
library, and save pictures of its total-ion chromatogram and of one MS2
spectrum.

Usage: python examples/mzml_run_summary.py LIBRARY FILE.mzML [--out DIR] [--top N]

LIBRARY is the mzML Reader library (build/<tag>/mzml_reader/libcorvix_mzml_reader.so).
The pictures are written to DIR (default: the current directory) as
tic.png and ms2_scan_<number>.png; their paths are printed last.
"""
import argparse
import math
import os
import sys
from typing import Any

import native_corvix_py_backend as backend

ACTIVATIONS = {0: "CID", 1: "HCD", 2: "ETD", 3: "ECD", 4: "MPD", 5: "PQD", 6: "other"}


def read_spectrum(handle: int, scan: int, capacity: int = 4096) -> tuple[list[float], list[float]]:
    """The whole spectrum: asked again with a larger capacity while it fills the capacity."""
    while True:
        masses, intensities = backend.get_spectrum(handle, scan, capacity)
        if len(masses) < capacity:
            return masses, intensities
        capacity *= 4


def read_chromatogram(handle: int, trace: int, scan_filter: str, first: int,
                      last: int) -> tuple[list[float], list[float]]:
    capacity = max(last - first + 2, 16)
    while True:
        times, values = backend.get_chromatogram(handle, trace, scan_filter, [], [], first, last, capacity)
        if len(times) < capacity:
            return times, values
        capacity *= 2


def summarise(handle: int, top: int) -> dict[str, Any]:
    first, last = backend.get_first_scan(handle), backend.get_last_scan(handle)
    scans = range(first, last + 1)
    orders = {n: backend.get_ms_order(handle, n) for n in scans}
    ms2 = [n for n in scans if orders[n] == 2]
    precursors: list[dict[str, Any]] = []
    for n in ms2:
        stats = backend.get_scan_stats(handle, n)
        precursors.append({
            "scan": n, "rt": stats[1], "mz": stats[11], "charge": int(stats[12]), "tic": stats[4],
            "activation": ACTIVATIONS.get(backend.get_scan_event_activation_type(handle, n, 0), "?"),
            "energy": stats[19],
        })
    precursors.sort(key=lambda p: -p["tic"])
    return {
        "first": first, "last": last, "count": backend.get_num_scans(handle),
        "start": backend.get_start_time(handle), "end": backend.get_end_time(handle),
        "ms1": sum(1 for o in orders.values() if o == 1), "ms2": len(ms2),
        "precursors": precursors[:top],
    }


def plot_tic(handle: int, first: int, last: int, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    times, tic = read_chromatogram(handle, 0, "ms1", first, last)
    _, bpc = read_chromatogram(handle, 1, "ms1", first, last)
    fig, ax = plt.subplots(figsize=(10, 4), dpi=100)
    ax.plot(times, tic, color="tab:blue", linewidth=0.9, label="total ion current (MS1)")
    ax.plot(times, bpc, color="tab:orange", linewidth=0.7, label="base peak (MS1)")
    ax.set_xlabel("retention time (min)")
    ax.set_ylabel("intensity")
    ax.set_title(f"Total-ion chromatogram: {backend.get_file_name(handle)}")
    ax.ticklabel_format(axis="y", style="sci", scilimits=(0, 0))
    ax.legend(loc="upper right", framealpha=0.9)
    ax.margins(x=0.01)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def plot_ms2(handle: int, scan: int, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    masses, intensities = read_spectrum(handle, scan)
    precursor = backend.get_precursor_mass(handle, scan)
    fig, ax = plt.subplots(figsize=(10, 4), dpi=100)
    ax.vlines(masses, 0, intensities, color="tab:blue", linewidth=0.8)
    # Label the five most intense peaks that stand apart from a higher labelled one.
    span = (max(masses) - min(masses)) if masses else 1.0
    labelled: list[int] = []
    for i in sorted(range(len(masses)), key=lambda i: -intensities[i]):
        if len(labelled) == 5:
            break
        if all(abs(masses[i] - masses[j]) > 0.04 * span for j in labelled):
            labelled.append(i)
            ax.annotate(f"{masses[i]:.3f}", (masses[i], intensities[i]), textcoords="offset points",
                        xytext=(0, 3), ha="center", fontsize=7)
    if not math.isnan(precursor):
        ax.axvline(precursor, color="tab:red", linestyle="--", linewidth=0.8)
        ax.annotate(f"precursor {precursor:.4f}", (precursor, 1.0), xycoords=("data", "axes fraction"),
                    textcoords="offset points", xytext=(4, -12), color="tab:red", fontsize=8)
    ax.set_xlabel("m/z")
    ax.set_ylabel("intensity")
    ax.set_ylim(0, max(intensities, default=1.0) * 1.12)
    ax.set_title(f"MS2 scan {scan} at {backend.get_scan_rt(handle, scan):.2f} min: "
                 f"{backend.get_scan_filter_string(handle, scan)}", fontsize=9)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="Summary and pictures of an mzML run")
    parser.add_argument("library")
    parser.add_argument("mzml_file")
    parser.add_argument("--out", default=".", help="folder for the PNG pictures")
    parser.add_argument("--top", type=int, default=10, help="number of precursors listed")
    args = parser.parse_args(argv[1:])

    backend.set_dylib_path(args.library)
    handle = backend.open_raw_file(args.mzml_file)
    try:
        if backend.is_error(handle) or not backend.is_open(handle):
            reason = ""
            if backend.get_error_log_items_count(handle) > 0:
                reason = ": " + backend.get_error_log_item_message(handle, 0)
            print(f"could not open {args.mzml_file}{reason}", file=sys.stderr)
            return 1
        s = summarise(handle, args.top)
        print(f"file: {backend.get_file_name(handle)} (from {backend.get_file_description(handle) or '?'},"
              f" acquired {backend.get_creation_date(handle) or '?'})")
        print(f"instrument: {backend.get_instrument_model(handle) or '?'},"
              f" serial {backend.get_instrument_serial_number(handle) or '?'}")
        print(f"sample: {backend.get_sample_name(handle) or '?'} ({backend.get_sample_id(handle) or '?'})")
        print(f"scans {s['first']}..{s['last']} ({s['count']}): {s['ms1']} MS1, {s['ms2']} MS2")
        print(f"time {s['start']:.2f}..{s['end']:.2f} min")
        if s["precursors"]:
            print(f"top {len(s['precursors'])} precursors by MS2 total ion current:")
            print("    scan   rt (min)        m/z   z  activation     TIC")
            for p in s["precursors"]:
                energy = "" if math.isnan(p["energy"]) else f"@{p['energy']:g}"
                charge = str(p["charge"]) if p["charge"] else "?"
                print(f"  {p['scan']:6d}  {p['rt']:8.3f}  {p['mz']:9.4f}  {charge:>2}  {p['activation'] + energy:10}"
                      f"  {p['tic']:.3g}")
        os.makedirs(args.out, exist_ok=True)
        tic_path = os.path.join(args.out, "tic.png")
        plot_tic(handle, s["first"], s["last"], tic_path)
        print(f"saved {tic_path}")
        if s["precursors"]:
            scan = s["precursors"][0]["scan"]
            ms2_path = os.path.join(args.out, f"ms2_scan_{scan}.png")
            plot_ms2(handle, scan, ms2_path)
            print(f"saved {ms2_path}")
    finally:
        backend.close_raw_file(handle)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
