"""Pictures of spectra and chromatograms (matplotlib, drawn off-screen)."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

from .run import Peaks, Trace

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


def _figure(xlabel: str, title: str) -> tuple[Figure, Axes]:
    # The object-oriented API with the Agg canvas: no display and no global
    # pyplot state, so drawing is safe in scripts, servers and threads.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(9, 4.5), dpi=100, layout="tight")
    FigureCanvasAgg(figure)
    axes = figure.subplots()
    axes.set_xlabel(xlabel)
    axes.set_ylabel("intensity")
    axes.set_title(title, fontsize=9)
    return figure, axes


def draw_peaks(peaks: Peaks, png: str | os.PathLike[str], title: str = "", sticks: bool = True) -> None:
    """Draw a spectrum to a PNG file: vertical sticks for centroids, a line for profile data."""
    figure, axes = _figure("m/z", title)
    if sticks:
        axes.vlines(peaks.mz, 0.0, peaks.intensity, linewidth=0.8)
    else:
        axes.plot(peaks.mz, peaks.intensity, linewidth=0.8)
    axes.set_ylim(bottom=0.0)
    figure.savefig(os.fspath(png), format="png")


def draw_trace(trace: Trace, png: str | os.PathLike[str], title: str = "") -> None:
    """Draw a chromatogram to a PNG file."""
    figure, axes = _figure("retention time (min)", title)
    axes.plot(trace.rt, trace.intensity, linewidth=0.9)
    axes.set_ylim(bottom=0.0)
    figure.savefig(os.fspath(png), format="png")
