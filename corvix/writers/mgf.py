"""A streaming MGF writer: MS2-and-higher spectra as peak lists.

Peaks are formatted in bulk by :mod:`corvix.writers.numbers` (exact decimal
text, many spectra at a time), not one value at a time in Python, in a
worker thread while the next spectra are read (numpy works without the
interpreter lock); batches are written in order.
"""

from __future__ import annotations

import re
from collections import Counter, deque
from concurrent.futures import Future, ThreadPoolExecutor
from types import TracebackType
from typing import IO

import numpy as np

from .numbers import format_pairs, format_values
from .record import RunRecord, SpectrumRecord

# Spectra are formatted together until this many peaks wait.
_BATCH_PEAKS = 1 << 16
# The scan number of a native id: its "scan=N" pair ("scan=1011", "run=2 scan=11461").
_SCAN_PAIR = re.compile(r"(?:^|\s)scan=(\d+)(?:\s|$)")


def scan_of(native_id: str) -> int | None:
    """The scan number a native id names ("scan=N" among its key=value pairs), None where it names none."""
    match = _SCAN_PAIR.search(native_id)
    return None if match is None else int(match.group(1))


def _line_text(text: str) -> str:
    """`text` on one line (an MGF value ends at the end of its line)."""
    return " ".join(text.splitlines()) if "\n" in text or "\r" in text else text


class MgfWriter:
    """Writes spectra as MGF entries to a binary stream.

    Each entry holds ``TITLE`` (the source file's name and the spectrum's
    native id: "run.mzML: scan=1011"), ``PEPMASS`` (the first precursor's
    selected m/z, when known), ``CHARGE`` (when known), ``RTINSECONDS``,
    ``SCANS`` (the scan number the native id names, left out where it names
    none) and the peaks, one "m/z intensity" line each. userParams and binary
    arrays besides m/z and intensity have no place in MGF: they are counted in
    :attr:`notes`.
    """

    def __init__(self, out: IO[bytes], run: RunRecord) -> None:
        self._out = out
        self._name = _line_text(run.source_name)
        self._batch: list[SpectrumRecord] = []
        self._peaks = 0
        self._pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="corvix-mgf")
        self._pending: deque[Future[bytes]] = deque()
        self.written = 0
        """Spectra written so far (queued ones included)."""
        self.notes: Counter[str] = Counter()
        """What could not be written, with counts."""

    def write(self, spectrum: SpectrumRecord) -> None:
        """Queue one spectrum; spectra are written in batches, in order."""
        if len(spectrum.mz) != len(spectrum.intensity):
            raise ValueError(f"spectrum {spectrum.native_id}: {len(spectrum.mz)} m/z values but "
                             f"{len(spectrum.intensity)} intensities")
        if len(spectrum.precursors) > 1:
            self.notes["precursors after the first (MGF holds one)"] += len(spectrum.precursors) - 1
        if spectrum.user_params or spectrum.user_params_left_out:
            self.notes["userParams (MGF has no place for them)"] += \
                len(spectrum.user_params) + spectrum.user_params_left_out
        if spectrum.extra_arrays:
            self.notes["binary arrays besides m/z and intensity"] += len(spectrum.extra_arrays)
        self._batch.append(spectrum)
        self._peaks += len(spectrum.mz)
        self.written += 1
        if self._peaks >= _BATCH_PEAKS:
            self.flush()

    def flush(self) -> None:
        """Send the queued spectra to be formatted; write the batches formatted so far, in order."""
        if self._batch:
            batch, self._batch, self._peaks = self._batch, [], 0
            self._pending.append(self._pool.submit(self._text, batch))
        while len(self._pending) > 1 or (self._pending and self._pending[0].done()):
            self._out.write(self._pending.popleft().result())

    def _text(self, batch: list[SpectrumRecord]) -> bytes:
        mz = np.concatenate([s.mz for s in batch])
        intensity = np.concatenate([s.intensity for s in batch])
        text, ends = format_pairs(mz, intensity)
        # Scalars of all headers, formatted together as well.
        scalars: list[float] = []
        for s in batch:
            p = s.precursor
            scalars.append(s.rt * 60.0)
            scalars.append(float("nan") if p is None or p.mz is None else p.mz)
        formatted = format_values(np.array(scalars, dtype=np.float64))
        parts: list[bytes] = []
        peak = 0
        offset = 0
        for i, s in enumerate(batch):
            rt_text, pepmass = formatted[2 * i], formatted[2 * i + 1]
            p = s.precursor
            charge = None if p is None else p.charge
            lines = ["BEGIN IONS", f"TITLE={self._name}: {_line_text(s.native_id)}"]
            if p is not None and p.mz is not None:
                lines.append(f"PEPMASS={pepmass}")
            if charge is not None:
                sign = "-" if (s.polarity == "-") != (charge < 0) else "+"
                lines.append(f"CHARGE={abs(charge)}{sign}")
            lines.append(f"RTINSECONDS={rt_text}")
            scan = scan_of(s.native_id)
            if scan is not None:
                lines.append(f"SCANS={scan}")
            parts.append(("\n".join(lines) + "\n").encode("utf-8"))
            peak += len(s.mz)
            end = int(ends[peak - 1]) if peak else 0
            parts.append(text[offset:end])
            offset = end
            parts.append(b"END IONS\n")
        return b"".join(parts)

    def close(self) -> None:
        """Write what is queued."""
        try:
            self.flush()
            while self._pending:
                self._out.write(self._pending.popleft().result())
        finally:
            self._pool.shutdown(wait=True)

    def __enter__(self) -> MgfWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        if kind is None:
            self.close()
        else:
            for pending in self._pending:
                pending.cancel()
            self._pool.shutdown(wait=True)
