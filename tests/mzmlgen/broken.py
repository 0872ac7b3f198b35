"""Damaged mzML files, each made from a good document in one way a reader
must survive: cut short, not XML at all, arrays that do not decode or do not
match their declared length, an offset index that lies, absurd lengths.

Each maker returns bytes (or writes a file) and says what is wrong; the
tests decide what a reader must answer."""
from __future__ import annotations

import base64
import zlib

import numpy as np

from .model import Run
from .writer import FileTruth, WriteOptions, render


def truncated(document: bytes, cut: int) -> bytes:
    """The first `cut` bytes of the document."""
    return document[:cut]


def cut_points(document: bytes, count: int, seed: int = 0) -> list[int]:
    """Places to cut: every structural landmark (start and end of the header,
    of the first, a middle and the last spectrum, inside their base64, inside
    the index and the checksum) and `count` random places."""
    marks = [0, 1, 5, 38, 100]
    for token in (b"<mzML", b"<run", b"<spectrumList", b"<spectrum ", b"<binary>", b"</binary>", b"</spectrum>",
                  b"<chromatogramList", b"<chromatogram ", b"</mzML>", b"<indexList", b"<offset",
                  b"<indexListOffset>", b"<fileChecksum>", b"</indexedmzML>"):
        for where in (document.find(token), document.rfind(token)):
            if where >= 0:
                marks += [where, where + 1, where + len(token) // 2, where + len(token) + 3]
    middle = document.find(b"<spectrum ", len(document) // 2)
    if middle >= 0:
        marks += [middle, middle + 200, document.find(b"<binary>", middle) + 20]
    rng = np.random.default_rng(seed)
    marks += [int(x) for x in rng.integers(1, len(document), size=count)]
    marks.append(len(document) - 1)
    return sorted({m for m in marks if 0 <= m < len(document)})


NOT_XML = {
    "empty": b"",
    "text": b"This is not an mzML file.\n",
    "binary": bytes(range(256)) * 8,
    "json": b'{"spectra": [1, 2, 3]}',
    "other-xml": b'<?xml version="1.0"?>\n<html><body><p>hello</p></body></html>\n',
    "xml-declaration-only": b'<?xml version="1.0" encoding="utf-8"?>\n',
    "unclosed-root": b'<?xml version="1.0"?>\n<mzML xmlns="http://psi.hupo.org/ms/mzml">',
    "utf16-bom": "\ufeff<?xml version='1.0'?><mzML/>".encode("utf-16"),
    "gzip-of-text": __import__("gzip").compress(b"not xml inside a gzip stream", mtime=0),
    "gzip-cut": __import__("gzip").compress(b"<?xml version='1.0'?><mzML>" + b" " * 5000, mtime=0)[:40],
    "nul-bytes": b"\0" * 4096,
}


def _b64(raw: bytes) -> str:
    return base64.b64encode(raw).decode("ascii")


def array_damage(n: int) -> dict[str, dict]:
    """Ways to damage one spectrum whose arrays hold `n` points (zlib, 64-bit
    m/z, 32-bit intensities): name -> writer `alter` entry."""
    short = np.arange(max(n - 3, 0), dtype="<f4").tobytes()
    long = np.arange(n + 5, dtype="<f4").tobytes()
    return {
        "bad-base64-chars": {"mz_binary": "@@@not*base64!!"},
        "bad-base64-padding": {"mz_binary": "QUJD="},
        "base64-of-garbage": {"mz_binary": _b64(b"\x01\x02garbage that is not zlib")},
        "zlib-cut": {"mz_binary": _b64(zlib.compress(np.arange(n, dtype="<f8").tobytes())[:-7])},
        "intensity-shorter": {"intensity_binary": _b64(zlib.compress(short))},
        "intensity-longer": {"intensity_binary": _b64(zlib.compress(long))},
        "odd-byte-count": {"intensity_binary": _b64(zlib.compress(b"\x00" * (4 * n + 3)))},
        "declared-longer": {"default_array_length": n + 7},
        "declared-shorter": {"default_array_length": max(n - 2, 0)},
        "declared-huge": {"default_array_length": 2147483647},
        "declared-beyond-int64": {"default_array_length": "99999999999999999999999"},
        "declared-negative": {"default_array_length": -5},
        "declared-not-a-number": {"default_array_length": "many"},
        "encoded-length-huge": {"encoded_length": 4294967296000},
        "empty-binary": {"mz_binary": "", "intensity_binary": ""},
    }


def damaged(run: Run, position: int, alter: dict, opts: WriteOptions | None = None) -> tuple[bytes, FileTruth]:
    """The document with spectrum `position` altered as `alter` says."""
    base = opts or WriteOptions()
    opts = WriteOptions(**{**base.__dict__, "alter": {position: alter}})
    return render(run, opts)


# -- one damaged place in an otherwise good document ------------------------------------------
# Each maker returns the changed document, or None when the document has no
# such place. The changes to markup always break the XML (a reader cannot
# tell a changed value from a written one; it can tell broken markup).


def _replace(document: bytes, at: int, new: bytes) -> bytes:
    return document[:at] + new + document[at + len(new):]


def spectrum_span(document: bytes, offset: int) -> tuple[int, int]:
    """Start and end (exclusive) of the spectrum element that starts at `offset`."""
    end = document.index(b"</spectrum>", offset) + len(b"</spectrum>")
    return offset, end


MARKUP_DAMAGE = {
    # what is changed, inside the spectrum element, and into what
    "quote-in-start-tag": (b'<spectrum ', lambda d, at: _replace(d, d.index(b'"', at) , b"<")),
    "entity-for-tag": (b"<cvParam", lambda d, at: _replace(d, at, b"&")),
    "close-tag-name": (b"</scan>", lambda d, at: _replace(d, at + 3, b"x")),
    "tag-end": (b"<scanList", lambda d, at: _replace(d, d.index(b">", at), b'"')),
    "self-close": (b'/>', lambda d, at: _replace(d, at, b"<")),
    "spectrum-end": (b"</spectrum>", lambda d, at: _replace(d, at + 2, b"S")),
}


def markup_damaged(document: bytes, offset: int, kind: str) -> bytes:
    """One byte of the markup of the spectrum at `offset` changed, as MARKUP_DAMAGE[kind] says."""
    token, change = MARKUP_DAMAGE[kind]
    start, end = spectrum_span(document, offset)
    at = document.index(token, start)
    assert at < end, kind
    return change(document, at)


def array_text_damaged(document: bytes, offset: int, byte: bytes) -> bytes:
    """One character in the middle of the first array text of the spectrum at `offset` changed to `byte`."""
    start, end = spectrum_span(document, offset)
    text = document.index(b"<binary>", start) + len(b"<binary>")
    close = document.index(b"</binary>", text)
    assert close < end and close > text, "the spectrum has no array text"
    return _replace(document, (text + close) // 2, byte)


def index_offset_changed(document: bytes, native_id: str, offset: int) -> bytes:
    """The offset index says `offset` for the spectrum `native_id` (digits only, same markup)."""
    tag = f'<offset idRef="{native_id}">'.encode()
    at = document.index(tag, document.index(b"<indexList")) + len(tag)
    close = document.index(b"</offset>", at)
    return document[:at] + str(offset).encode() + document[close:]


def declared_count_changed(document: bytes, delta: int) -> bytes:
    """spectrumList@count off by `delta`."""
    at = document.index(b'<spectrumList count="') + len(b'<spectrumList count="')
    close = document.index(b'"', at)
    return document[:at] + str(int(document[at:close]) + delta).encode() + document[close:]
