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
_POINT, _MINUS = ord("."), ord("-")
# The four digits of each number below 10,000, as the four bytes of one 32-bit word.
_QUADS = np.ascontiguousarray(
    (np.arange(10000)[:, None] // np.array([1000, 100, 10, 1]) % 10 + ord("0")).astype(np.uint8)).view(np.uint32)[:, 0]
_DIGIT_LIMITS = 10 ** np.arange(1, 17, dtype=np.int64)


def _layouts() -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.uint8], npt.NDArray[np.uint8]]:
    """Per (decimals d, digits shown) at index d * 17 + shown: which columns of the body take a digit
    shifted by one, which a digit shifted by two, and where the point goes."""
    one = np.zeros(((_MAX_DECIMALS + 1) * 17, _BODY), dtype=np.uint8)
    two = np.zeros_like(one)
    points = np.zeros_like(one)
    for d in range(_MAX_DECIMALS + 1):
        for shown in range(1, 17):
            key = d * 17 + shown
            start = _BODY - shown - (d > 0)
            for column in range(start, _BODY):
                if d == 0 or column > _BODY - 1 - d:
                    two[key, column] = 1
                elif column < _BODY - 1 - d:
                    one[key, column] = 1
                else:
                    points[key, column] = _POINT
    return one, two, points


_FROM_ONE, _FROM_TWO, _POINTS = _layouts()


def _exact(x: FloatArray, decimals: npt.NDArray[np.int64]) -> tuple[FloatArray, npt.NDArray[np.bool_]]:
    """r = round(x * 10**d) for each value's d, and whether "r with d decimals" reads back as x."""
    powers = _POWERS[decimals]
    rounded = np.rint(x * powers)
    return rounded, rounded / powers == x


def _decimals(x: FloatArray) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """For |x|: the digits r and decimals d of each value (d = -1 where none up to 15 works).

    "d decimals suffice, or r no longer fits in 53 bits" holds from some d
    on, so the fewest decimals are found by a binary search on it, all
    values at once; a value whose search ends where r does not fit has no
    such text.
    """
    n = x.size
    finite = np.isfinite(x)
    x = np.where(finite, x, 0.0)
    low = np.zeros(n, dtype=np.int64)
    high = np.full(n, _MAX_DECIMALS, dtype=np.int64)
    while True:
        middle = (low + high) >> 1
        rounded, exact = _exact(x, middle)
        done = exact | (rounded >= _LIMIT)
        high = np.where(done, middle, high)
        low = np.where(done, low, middle + 1)
        if (low >= high).all():
            break
    rounded, exact = _exact(x, low)
    good = finite & exact & (rounded < _LIMIT)
    digits = np.where(good, rounded, 0.0).astype(np.int64)
    return digits, np.where(good, low, -1)


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
    padded = _QUADS[quads].view(np.uint8).reshape(n, 16)
    # Significant digits of r, and digits shown: at least one before the point.
    count = np.searchsorted(_DIGIT_LIMITS, digits, side="right") + 1
    shown = np.maximum(count, decimals + 1)
    # Right-aligned body, ending at column _BODY - 1, laid out by the masks of its
    # (decimals, digits shown) from a table: digit j - 1 of r in column j of the integer
    # part, digit j - 2 in column j of the decimals, the point between.
    shifted_one = np.zeros((n, _BODY), dtype=np.uint8)
    shifted_one[:, 1:17] = padded
    shifted_two = np.zeros((n, _BODY), dtype=np.uint8)
    shifted_two[:, 2:18] = padded
    key = np.where(good, decimals * 17 + shown, 0)
    body = shifted_one * np.take(_FROM_ONE, key, axis=0)
    body += shifted_two * np.take(_FROM_TWO, key, axis=0)
    body += np.take(_POINTS, key, axis=0)
    out[:, :_BODY] = body
    start = _BODY - (shown + (decimals > 0))
    negative = good & np.signbit(values)
    if negative.any():
        out[np.flatnonzero(negative), start[negative] - 1] = _MINUS
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
