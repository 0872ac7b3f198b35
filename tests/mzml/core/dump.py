"""Running the reading core's command-line window mzml_dump, and the array
encodings the core decodes (numpy and the reference Numpress encoder make
the data)."""
import json
import subprocess

import numpy as np
import pytest

from mzml_session import dump_path

pynumpress = pytest.importorskip("pynumpress")

ZLIB, NONE = "MS:1000574", "MS:1000576"
LINEAR, PIC, SLOF = "MS:1002312", "MS:1002313", "MS:1002314"
LINEAR_Z, PIC_Z, SLOF_Z = "MS:1002746", "MS:1002747", "MS:1002748"
F32, F64, I32, I64 = "MS:1000521", "MS:1000523", "MS:1000519", "MS:1000522"
NP_TYPES = {F32: "<f4", F64: "<f8", I32: "<i4", I64: "<i8"}


def run_dump_output(*args, stdin=None):
    """Runs mzml_dump; returns (exit status, standard output). A crash (a
    signal, a sanitizer report) or a usage error fails the calling test."""
    proc = subprocess.run([dump_path(), *map(str, args)], input=stdin, capture_output=True, timeout=120)
    assert proc.returncode in (0, 1), f"mzml_dump {args[:2]} crashed ({proc.returncode}): {proc.stderr[-2000:]!r}"
    return proc.returncode, proc.stdout


def run_dump(*args, stdin=None):
    """Runs mzml_dump; returns (exit status, parsed JSON or None)."""
    status, out = run_dump_output(*args, stdin=stdin)
    return status, json.loads(out) if out.strip() else None


def decode(text, compression, dtype, count, encoded_length=-1):
    if isinstance(text, bytes):
        text = text.decode("ascii")
    status, out = run_dump("decode", compression, dtype, count, encoded_length, stdin=text.encode())
    return out.get("values") if status == 0 else None


def numpress(kind, values):
    values = np.asarray(values, dtype=np.float64)
    if kind == "linear":
        return bytes(pynumpress.encode_linear(values, pynumpress.optimal_linear_fixed_point(values)))
    if kind == "pic":
        return bytes(pynumpress.encode_pic(values))
    return bytes(pynumpress.encode_slof(values, pynumpress.optimal_slof_fixed_point(values)))


def numpress_decoded(kind, raw):
    fn = {"linear": pynumpress.decode_linear, "pic": pynumpress.decode_pic, "slof": pynumpress.decode_slof}[kind]
    return np.asarray(fn(raw), dtype=np.float64)
