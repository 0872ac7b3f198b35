"""Synthetic mzML test data: a seeded LC-MS/MS run model (`model`), a writer
of mzML documents in the shapes converters produce (`writer`), and makers of
damaged files (`broken`). Every writer returns the truth of what it wrote, so
tests can compare a reader's answers value for value.

    from mzmlgen import RunConfig, WriteOptions, make_run, write_mzml
    truth = write_mzml(make_run(RunConfig(seed=3)), "run.mzML", WriteOptions(compression="numpress"))
"""
from .model import Precursor, Run, RunConfig, Spectrum, make_run
from .writer import (ChromatogramTruth, FileTruth, PrecursorTruth, SpectrumTruth, WriteOptions, filter_text, render,
                     write_mzml)

__all__ = [
    "ChromatogramTruth", "FileTruth", "Precursor", "PrecursorTruth", "Run", "RunConfig", "Spectrum", "SpectrumTruth",
    "WriteOptions", "filter_text", "make_run", "render", "write_mzml", "demo_config", "benchmark_config",
]


def demo_config(seed: int = 7) -> RunConfig:
    """A realistic small run: 800 scans over 25 minutes, profile MS1 scans with
    isotope patterns of 150 eluting features, each followed by up to three
    data-dependent HCD MS2 scans."""
    return RunConfig(seed=seed, n_scans=800, rt_start=0.5, rt_end=25.0, n_features=150, top_n=3,
                     activation="HCD", noise_peaks=60)


def benchmark_config(seed: int = 11, n_scans: int = 2000, peaks_per_scan: int = 500) -> RunConfig:
    """About `n_scans` x `peaks_per_scan` peaks (2,000 x 500 = 10^6 by default): centroid
    MS1 scans with isotope patterns and noise, top-5 MS2 scans."""
    return RunConfig(seed=seed, n_scans=n_scans, rt_start=0.5, rt_end=60.0, n_features=1000, top_n=5,
                     profile_ms1=False, noise_peaks=peaks_per_scan // 2,
                     fragments=(peaks_per_scan // 2, peaks_per_scan * 3 // 2))
