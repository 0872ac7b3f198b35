"""Synthetic mzML test data: a seeded LC-MS/MS run model (`model`), a writer
of mzML documents in the shapes converters produce (`writer`), and makers of
damaged files (`broken`). Every writer returns the truth of what it wrote, so
tests can compare a reader's answers value for value.

    from mzmlgen import RunConfig, WriteOptions, make_run, write_mzml
    truth = write_mzml(make_run(RunConfig(seed=3)), "run.mzML", WriteOptions(compression="numpress"))
"""
from .model import Precursor, Run, RunConfig, Spectrum, make_run
from .writer import (FileTruth, PrecursorTruth, SpectrumTruth, WriteOptions, filter_text, render,
                     write_mzml)

__all__ = [
    "FileTruth", "Precursor", "PrecursorTruth", "Run", "RunConfig", "Spectrum", "SpectrumTruth",
    "WriteOptions", "filter_text", "make_run", "render", "write_mzml", "demo_config", "benchmark_config",
]


def demo_config(seed: int = 7) -> RunConfig:
    """A few hundred scans over 20 minutes: profile MS1 with isotope patterns and LC peaks, top-8 MS2."""
    return RunConfig(seed=seed, n_scans=600, rt_start=0.5, rt_end=20.0, n_features=500, top_n=8,
                     activation="HCD")


def benchmark_config(seed: int = 11, n_scans: int = 2000, peaks_per_scan: int = 500) -> RunConfig:
    """About `n_scans` x `peaks_per_scan` peaks (2,000 x 500 = 10^6 by default), centroid MS1."""
    return RunConfig(seed=seed, n_scans=n_scans, rt_start=0.5, rt_end=60.0, n_features=3000, top_n=5,
                     profile_ms1=True, profile_points=7, noise_peaks=100,
                     fragments=(peaks_per_scan // 2, peaks_per_scan))
