"""Floats as decimal text, many at once, each reading back as exactly the same double.

Python's ``repr`` of a float is exact but costs about a microsecond a value;
a spectrum file holds millions. Here every value gets the fewest decimals
``d`` for which the integer ``r = round(x * 10**d)`` gives back ``x``:
``r / 10**d == x`` is a single correctly rounded division of two exact
doubles (while ``r < 2**53`` and ``d <= 22``), which is what any correct
parser computes from the text "r with d decimals", so the test is exact. The
digits are then laid out with numpy, grouped by ``d``. The few values left
over (NaN, infinities, values needing 17 significant digits or very small
or large ones) take ``repr``.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

_MAX_DECIMALS = 15
_POWERS = 10.0 ** np.arange(_MAX_DECIMALS + 1)
_LIMIT = 2.0 ** 53
_WIDTH = 24  # the longest repr of a double: "-2.2250738585072014e-308"
_BODY = 18   # 16 digits, the point and the sign
_ZERO, _POINT, _MINUS = ord("0"), ord("."), ord("-")
# The four digits of each number below 10,000.
_QUADS = (np.arange(10000)[:, None] // np.array([1000, 100, 10, 1]) % 10 + ord("0")).astype(np.uint8)


def _decimals(x: FloatArray) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """For |x|: the digits r and decimals d of each value (d = -1 where none up to 22 works)."""
    digits = np.zeros(x.size, dtype=np.int64)
    decimals = np.full(x.size, -1, dtype=np.int64)
    todo = np.flatnonzero(np.isfinite(x))
    left = x[todo]
    for d in range(_MAX_DECIMALS + 1):
        if not todo.size:
            break
        scaled = left * _POWERS[d]
        rounded = np.rint(scaled)
        small = rounded < _LIMIT
        exact = small & (rounded / _POWERS[d] == left)
        if exact.any():
            hit = todo[exact]
            digits[hit] = rounded[exact].astype(np.int64)
            decimals[hit] = d
        # Values that fit no more digits at this scale never will at a larger one.
        keep = ~exact & small
        todo, left = todo[keep], left[keep]
    return digits, decimals


def format_matrix(values: FloatArray) -> npt.NDArray[np.uint8]:
    """Each value's text as a row of ASCII bytes, padded with zero bytes (to be dropped) on either side."""
    values = np.ascontiguousarray(values, dtype=np.float64).reshape(-1)
    n = values.size
    out = np.zeros((n, _WIDTH), dtype=np.uint8)
    if n == 0:
        return out
    digits, decimals = _decimals(np.abs(values))
    good = decimals >= 0
    # The 16 digits of r, zero-padded, four at a time from a table.
    high, low = np.divmod(digits, 10 ** 8)
    quads = np.empty((n, 4), dtype=np.int32)
    quads[:, 0], quads[:, 1] = np.divmod(high.astype(np.int32), 10 ** 4)
    quads[:, 2], quads[:, 3] = np.divmod(low.astype(np.int32), 10 ** 4)
    padded = _QUADS[quads].reshape(n, 16)
    # Significant digits of r, and digits shown: at least one before the point.
    nonzero = padded != _ZERO
    count = np.where(nonzero.any(axis=1), 16 - nonzero.argmax(axis=1), 1)
    shown = np.maximum(count, decimals + 1)
    # Right-aligned body: sign, integer digits, point, decimals, ending at column _BODY - 1.
    body = out[:, :_BODY]
    groups = np.unique(decimals[good])
    for d in groups.tolist():
        rows: slice | npt.NDArray[np.intp] = slice(None) if len(groups) == 1 and good.all() \
            else np.flatnonzero(decimals == d)
        if d == 0:
            body[rows, 2:] = padded[rows]
        else:
            body[rows, 1:_BODY - d - 1] = padded[rows, :16 - d]
            body[rows, _BODY - d - 1] = _POINT
            body[rows, _BODY - d:] = padded[rows, 16 - d:]
    start = _BODY - (shown + (decimals > 0))
    body *= np.arange(_BODY)[None, :] >= start[:, None]
    negative = good & np.signbit(values)
    if negative.any():
        body[np.flatnonzero(negative), start[negative] - 1] = _MINUS
    rest = np.flatnonzero(~good)
    if rest.size:
        texts = b"".join(repr(v).encode("ascii").ljust(_WIDTH, b"\0") for v in values[rest].tolist())
        out[rest] = np.frombuffer(texts, dtype=np.uint8).reshape(rest.size, _WIDTH)
    return out


def format_pairs(first: FloatArray, second: FloatArray) -> tuple[bytes, npt.NDArray[np.int64]]:
    """Lines "a b\\n" of two arrays of equal length, and the end offset of each line in the text."""
    if len(first) != len(second):
        raise ValueError(f"{len(first)} values against {len(second)}")
    n = len(first)
    lines = np.zeros((n, 2 * _WIDTH + 2), dtype=np.uint8)
    lines[:, :_WIDTH] = format_matrix(first)
    lines[:, _WIDTH] = ord(" ")
    lines[:, _WIDTH + 1:2 * _WIDTH + 1] = format_matrix(second)
    lines[:, -1] = ord("\n")
    keep = lines != 0
    ends = np.cumsum(keep.sum(axis=1, dtype=np.int64))
    return lines[keep].tobytes(), ends


def format_values(values: FloatArray) -> list[str]:
    """The text of each value (for a handful; a list of str)."""
    matrix = format_matrix(values)
    return [row[row != 0].tobytes().decode("ascii") for row in matrix]
