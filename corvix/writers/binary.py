"""Arrays as mzML binary data: float64 bytes, compressed, in base64.

Encoding is the costly part of writing mzML (compression above all), and
compression releases the interpreter lock while it works, so
:class:`EncodingPipeline` encodes the arrays of the next few spectra in
worker threads while the caller reads and writes the others, and hands them
back in order.
"""

from __future__ import annotations

import binascii
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Generic, TypeVar

import numpy as np
import numpy.typing as npt

MZML_COMPRESSIONS = ("zlib", "none", "numpress", "numpress-zlib")
"""Compressions of mzML arrays: zlib (default), none, and MS-Numpress (lossy) alone or followed by zlib."""

try:
    # ISA-L writes zlib streams three to five times as fast as zlib's fastest level (profile
    # arrays come out about 15% larger); any zlib reader reads them.
    from isal import isal_zlib as _deflate  # type: ignore[import-untyped,import-not-found,unused-ignore]

    ZLIB_ENGINE, ZLIB_LEVEL = "isal", 2
except ImportError:  # no build of isal for this platform
    import zlib as _deflate  # type: ignore[no-redef,unused-ignore]

    ZLIB_ENGINE, ZLIB_LEVEL = "zlib", 1
"""What makes the zlib streams of mzML arrays, and at which level (zlib: level 1, since float arrays shrink
by about 2% more at level 6 but take twice as long)."""


def _zlib(data: bytes) -> bytes:
    compressed: bytes = _deflate.compress(data, ZLIB_LEVEL)
    return compressed

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True, slots=True)
class Encoded:
    """One array as written: base64 text (ASCII bytes) and the names of its encoding terms."""

    text: bytes
    terms: tuple[str, ...]


def _numpress() -> Any:
    try:
        import pynumpress  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError as error:
        raise ImportError("MS-Numpress compression needs pynumpress: pip install "
                          "'native_corvix_py_backend[numpress]'") from error
    return pynumpress


def check_compression(compression: str) -> str:
    """`compression` when it is one of :data:`MZML_COMPRESSIONS` (ValueError otherwise)."""
    if compression not in MZML_COMPRESSIONS:
        raise ValueError(f"unknown mzML compression {compression!r} (choose {', '.join(MZML_COMPRESSIONS)})")
    if compression.startswith("numpress"):
        _numpress()
    return compression


def _b64(data: bytes) -> bytes:
    return binascii.b2a_base64(data, newline=False)


def encode(values: FloatArray, compression: str, kind: str) -> Encoded:
    """`values` as float64 binary data; `kind` is "mz", "intensity" or "time".

    MS-Numpress codes m/z and times by linear prediction and intensities as
    short logged floats; arrays of fewer than two values are written with
    zlib (numpress-zlib) or uncompressed (numpress) instead, since a
    one-value Numpress stream is not read by every decoder, and so are
    arrays holding values Numpress cannot code (NaN, infinities).
    """
    data = np.ascontiguousarray(values, dtype="<f8")
    if compression.startswith("numpress") and data.size >= 2 and np.isfinite(data).all():
        numpress = _numpress()
        if kind == "intensity" and (data >= 0).all():
            packed = numpress.encode_slof(data, numpress.optimal_slof_fixed_point(data))
            term = "MS-Numpress short logged float compression"
        else:
            packed = numpress.encode_linear(data, numpress.optimal_linear_fixed_point(data))
            term = "MS-Numpress linear prediction compression"
        raw = np.asarray(packed, dtype=np.uint8).tobytes()
        if compression == "numpress-zlib":
            return Encoded(_b64(_zlib(raw)), ("64-bit float", term + " followed by zlib compression"))
        return Encoded(_b64(raw), ("64-bit float", term))
    if compression in ("none", "numpress"):
        return Encoded(_b64(data.tobytes()), ("64-bit float", "no compression"))
    return Encoded(_b64(_zlib(data.tobytes())), ("64-bit float", "zlib compression"))


def encode_pair(pair: tuple[FloatArray, FloatArray, str], kinds: tuple[str, str] = ("mz", "intensity")
                ) -> tuple[Encoded, Encoded]:
    """Both arrays of a spectrum (or chromatogram) encoded with one compression."""
    first, second, compression = pair
    return encode(first, compression, kinds[0]), encode(second, compression, kinds[1])


T = TypeVar("T")
R = TypeVar("R")


class EncodingPipeline(Generic[T, R]):
    """Runs `work` on items in worker threads and gives the results back in the order the items came.

    Items are gathered into batches of about `batch_bytes` (as their `size`
    says) so that the threads hand the interpreter lock back and forth once
    per batch, not once per array. ``put(item, work_input, size)`` returns the
    items that are finished once more than `depth` batches wait;
    ``drain()`` returns all that are left. With ``threads=0`` the work is
    done at once in the caller's thread.
    """

    def __init__(self, work: Callable[[T], R], threads: int = 2, depth: int = 2,
                 batch_bytes: int = 1 << 20) -> None:
        self._work = work
        self._pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="corvix-encode") if threads else None
        self._depth = depth
        self._batch_bytes = batch_bytes
        self._items: list[object] = []
        self._inputs: list[T] = []
        self._size = 0
        self._waiting: deque[tuple[list[object], Future[list[R]]]] = deque()

    def _run(self, inputs: list[T]) -> list[R]:
        return [self._work(one) for one in inputs]

    def put(self, item: object, work_input: T, size: int) -> list[tuple[object, R]]:
        """Queue `item`; returns the items (with results) that are finished now, oldest first."""
        if self._pool is None:
            return [(item, self._work(work_input))]
        self._items.append(item)
        self._inputs.append(work_input)
        self._size += size
        done: list[tuple[object, R]] = []
        if self._size >= self._batch_bytes:
            self._submit()
            while len(self._waiting) > self._depth:
                done += self._pop()
        return done

    def _submit(self) -> None:
        assert self._pool is not None
        if self._items:
            self._waiting.append((self._items, self._pool.submit(self._run, self._inputs)))
            self._items, self._inputs, self._size = [], [], 0

    def _pop(self) -> list[tuple[object, R]]:
        items, pending = self._waiting.popleft()
        return list(zip(items, pending.result()))

    def drain(self) -> list[tuple[object, R]]:
        """Every item still queued, with its result, in order."""
        if self._pool is None:
            return []
        self._submit()
        done: list[tuple[object, R]] = []
        while self._waiting:
            done += self._pop()
        return done

    def close(self) -> None:
        """Stop the worker threads (queued work is dropped)."""
        if self._pool is not None:
            for _, pending in self._waiting:
                pending.cancel()
            self._waiting.clear()
            self._items, self._inputs = [], []
            self._pool.shutdown(wait=True)
            self._pool = None
