"""What a run lost to damage, as the mzML Reader library's error log names it.

The mzML Reader library opens a damaged file with what is intact and names
every loss in the run's error log (``get_error_log_items_count``,
``get_error_log_item_message``): one entry per lost stretch, each beginning
"lost N spectrum"/"lost N spectra" (or "lost an unknown number of spectra",
"lost N chromatogram(s)") and saying where (the spectrum index, the id, the
byte offset) and what was wrong. A lost spectrum keeps its scan number: the
scans after it keep theirs, and reading it fails. Damage inside a spectrum's
arrays is found when that spectrum is first read, and named then.

Other Reader libraries keep other things in their error logs (instrument
errors during the acquisition): corvix reads damage from the log only with
the mzML Reader library.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

import native_corvix_py_backend as _m

_LOST = re.compile(r"lost (\d+|an unknown number of) (spectrum|spectra|chromatogram|chromatograms)\b")
_AT = re.compile(r"spectrum (?:index (\d+)|indexes (\d+) to (\d+))")


class DamagedRunWarning(UserWarning):
    """A run opened with spectra lost to damage: the rest reads as written.

    The message names the file and how many spectra were lost; the run's
    :attr:`~corvix.Run.damage` says which and where.
    """


@dataclass(frozen=True)
class Damage:
    """What a run lost to damage (all zero and empty for an undamaged run)."""

    spectra: int
    """Spectra named lost (more may be, when :attr:`unknown` is set)."""
    unknown: bool
    """The file ends early and does not say how many spectra it held."""
    chromatograms: int
    """Stored chromatograms lost."""
    positions: tuple[int, ...]
    """Positions (scan number - first scan) of the lost spectra that keep their scan number."""
    messages: tuple[str, ...]
    """The error log's entries, as the Reader library wrote them."""

    @property
    def lost(self) -> bool:
        """True when anything was lost."""
        return self.spectra > 0 or self.unknown or self.chromatograms > 0

    def describe(self) -> str:
        """'3 spectra lost to damage' (with chromatograms and an unknown count where they apply)."""
        parts = []
        if self.spectra or self.unknown or not self.chromatograms:
            count = f"{self.spectra} {'spectrum' if self.spectra == 1 else 'spectra'}"
            if self.unknown:
                count = f"{count} and an unknown number more" if self.spectra else "an unknown number of spectra"
            parts.append(count)
        if self.chromatograms:
            parts.append(f"{self.chromatograms} {'chromatogram' if self.chromatograms == 1 else 'chromatograms'}")
        return " and ".join(parts) + " lost to damage"


NO_DAMAGE = Damage(0, False, 0, (), ())


def parse(messages: list[str] | tuple[str, ...]) -> Damage:
    """The damage named by error-log entries of the mzML Reader library."""
    spectra = chromatograms = 0
    unknown = False
    positions: list[int] = []
    for message in messages:
        lost = _LOST.match(message)
        if lost is None:
            continue
        count, what = lost.groups()
        if what.startswith("chromatogram"):
            chromatograms += int(count) if count.isdigit() else 0
            continue
        if not count.isdigit():
            unknown = True
            continue
        spectra += int(count)
        at = _AT.search(message)
        if at is not None:
            first = int(at.group(1) or at.group(2))
            last = int(at.group(1) or at.group(3))
            positions.extend(range(first, last + 1))
    return Damage(spectra, unknown, chromatograms, tuple(sorted(set(positions))), tuple(messages))


def read_log(handle: int) -> list[str]:
    """Every entry of a handle's error log."""
    count = _m.get_error_log_items_count(handle)
    return [_m.get_error_log_item_message(handle, index) for index in range(max(count, 0))]


def log_size(handle: int) -> int:
    """The number of entries in a handle's error log."""
    return max(_m.get_error_log_items_count(handle), 0)
