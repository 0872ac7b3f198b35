"""The array decoders of the reading core, driven through mzml_dump: plain
and zlib arrays of every number type, Numpress against the reference
encoder, strict base64, lengths checked against the data, each encoding read
back from a document, and damaged arrays that give no data while the rest of
the file reads."""
import base64
import struct
import zlib

import numpy as np
import pytest

from dump import (F32, F64, I32, I64, LINEAR, LINEAR_Z, NONE, NP_TYPES, PIC, PIC_Z, SLOF, SLOF_Z, ZLIB, decode,
                  numpress, numpress_decoded, run_dump)
from handmade import document, make_spectra, spectrum_xml, write

RNG = np.random.default_rng(5)
MZ = np.sort(RNG.uniform(100, 2000, 777))
INTENSITY = RNG.gamma(2.0, 5e4, 777).round(2)


# ---------------------------------------------------------------- decoders

@pytest.mark.parametrize("dtype", [F32, F64, I32, I64])
@pytest.mark.parametrize("compressed", [False, True])
def test_plain_and_zlib_arrays_decode_exactly(dtype, compressed):
    values = (MZ * 1000 if dtype in (I32, I64) else MZ).astype(NP_TYPES[dtype])
    raw = values.tobytes()
    if compressed:
        raw = zlib.compress(raw)
    text = base64.b64encode(raw)
    got = decode(text, ZLIB if compressed else NONE, dtype, len(values), len(text))
    assert got == values.astype(np.float64).tolist()


@pytest.mark.parametrize("kind,zipped", [(k, z) for k in ("linear", "pic", "slof") for z in (False, True)])
@pytest.mark.parametrize("data", ["mz", "intensity", "short"])
def test_numpress_matches_the_reference_encoder(kind, zipped, data):
    values = {"mz": MZ, "intensity": INTENSITY, "short": INTENSITY[:3]}[data]
    if kind == "linear" and data == "intensity":
        values = np.sort(values)
    raw = numpress(kind, values)
    expected = numpress_decoded(kind, raw)
    payload = zlib.compress(raw) if zipped else raw
    acc = {("linear", False): LINEAR, ("pic", False): PIC, ("slof", False): SLOF,
           ("linear", True): LINEAR_Z, ("pic", True): PIC_Z, ("slof", True): SLOF_Z}[kind, zipped]
    got = decode(base64.b64encode(payload), acc, F64, len(values))
    assert got is not None
    np.testing.assert_allclose(got, expected, rtol=1e-15, atol=0)
    # Too few values in the data for the declared length, or more.
    assert decode(base64.b64encode(payload), acc, F64, len(values) + 1) is None
    if len(values) > 2:
        assert decode(base64.b64encode(payload), acc, F64, len(values) - 2) is None


def test_numpress_negative_linear_differences_and_single_values():
    values = np.array([500.0, 400.0, 450.0, 100.0, 1900.5, 1900.25])
    raw = numpress("linear", values)
    np.testing.assert_allclose(decode(base64.b64encode(raw), LINEAR, F64, 6), numpress_decoded("linear", raw), rtol=1e-15)
    one = numpress("linear", values[:1])
    assert decode(base64.b64encode(one), LINEAR, F64, 1) == pytest.approx([500.0], rel=1e-9)
    assert decode(base64.b64encode(numpress("pic", [0.0, 7.0, 2.0 ** 31 - 2])), PIC, F64, 3) == [0.0, 7.0, 2.0 ** 31 - 2]


def test_base64_is_strict_but_skips_whitespace():
    values = MZ[:10]
    text = base64.b64encode(values.tobytes()).decode()
    wrapped = "\n".join(text[i:i + 76] for i in range(0, len(text), 76)) + "\n  "
    assert decode(wrapped, NONE, F64, 10) == values.tolist()
    # encodedLength counts the base64 characters, not the line breaks.
    assert decode(wrapped, NONE, F64, 10, len(text)) == values.tolist()
    assert decode(wrapped, NONE, F64, 10, len(wrapped)) is None
    for bad in (text[:-1], text[:40] + "*" + text[41:], text[:40] + "=" + text[41:], text + "=",
                text[:-4] + "A===", "====" + text, text.replace("A", "-", 1)):
        assert decode(bad, NONE, F64, 10) is None, bad
    # Unpadded tails and a padded one.
    for raw in (b"\x01", b"\x01\x02", b"\x01\x02\x03\x04\x05\x06\x07\x08"):
        text = base64.b64encode(raw).decode()
        assert decode(text, NONE, I32 if len(raw) == 8 else F32, len(raw) // 4) == (
            [float(v) for v in struct.unpack("<2i", raw)] if len(raw) == 8 else None)


def test_lengths_are_checked_against_the_data():
    raw = MZ[:100].astype("<f8").tobytes()
    plain, packed = base64.b64encode(raw), base64.b64encode(zlib.compress(raw))
    for text, comp in ((plain, NONE), (packed, ZLIB)):
        assert decode(text, comp, F64, 100) is not None
        assert decode(text, comp, F64, 99) is None       # the data holds more than declared
        assert decode(text, comp, F64, 101) is None      # less than declared
        assert decode(text, comp, F64, 100, len(text) + 1) is None
        # A huge declared length fails without trying to allocate it.
        assert decode(text, comp, F64, 2 ** 62) is None
        assert decode(text, comp, F64, 10 ** 12) is None
    assert decode(plain, "MS:9999999", F64, 100) is None        # unknown compression
    assert decode(plain, NONE, "MS:9999999", 100) is None       # unknown type
    truncated = base64.b64encode(zlib.compress(raw)[:-7])
    assert decode(truncated, ZLIB, F64, 100) is None
    assert decode(base64.b64encode(b"\x00" * 64), ZLIB, F64, 8) is None  # not zlib
    assert decode("", NONE, F64, 0) == [] and decode("", ZLIB, F64, 0) is None
    for kind, acc in (("linear", LINEAR), ("pic", PIC), ("slof", SLOF)):
        raw = numpress(kind, MZ[:50])
        assert decode(base64.b64encode(raw[:-3]), acc, F64, 50) is None
        assert decode(base64.b64encode(raw), acc, F64, 10 ** 15) is None
        zipped = {LINEAR: LINEAR_Z, PIC: PIC_Z, SLOF: SLOF_Z}[acc]
        assert decode(base64.b64encode(zlib.compress(raw)), zipped, F64, 50) is not None
        assert decode(base64.b64encode(zlib.compress(raw)), zipped, F64, 10 ** 9) is None


@pytest.mark.parametrize("comp,dtype", [("none", F64), ("none", F32), ("zlib", I64), ("linear", F64), ("slof", F64)])
def test_arrays_in_each_encoding_read_back(tmp_path, comp, dtype):
    rng = np.random.default_rng(3)
    mz = np.sort(rng.uniform(100, 2000, 50)).round(3)
    inten = rng.uniform(1, 1e5, 50).round(0)
    path = write(tmp_path, "e.mzML", document([spectrum_xml(0, mz, inten, comp=comp, dtype=dtype)]))
    status, got = run_dump("read", path)
    x, y = np.array(got[0][0]), np.array(got[0][1])
    if comp in ("linear", "slof"):
        np.testing.assert_allclose(x, numpress_decoded(comp, numpress(comp, mz)), rtol=1e-15)
        np.testing.assert_allclose(y, numpress_decoded(comp, numpress(comp, inten)), rtol=1e-15)
    else:
        assert x.tolist() == mz.astype(NP_TYPES[dtype]).astype(float).tolist()


def test_damaged_arrays_give_no_data_but_leave_the_rest_readable(tmp_path):
    spectra, arrays = make_spectra(8)
    data = document(spectra, indexed=False).decode()
    s3 = spectra[3]
    b = s3.index("<binary>") + len("<binary>")
    damaged = {
        "bad-base64": s3[:b + 4] + "!" + s3[b + 5:],
        "short": s3.replace(f'defaultArrayLength="{len(arrays[3][0])}"', f'defaultArrayLength="{len(arrays[3][0]) + 1}"'),
        "long": s3.replace(f'defaultArrayLength="{len(arrays[3][0])}"', f'defaultArrayLength="{len(arrays[3][0]) - 1}"'),
        "huge": s3.replace(f'defaultArrayLength="{len(arrays[3][0])}"', 'defaultArrayLength="99999999999999"'),
        "negative": s3.replace(f'defaultArrayLength="{len(arrays[3][0])}"', 'defaultArrayLength="-4"'),
        "markup": s3[:b + 4] + "<x/>" + s3[b + 4:],
        "entity": s3[:b + 4] + "&#65;" + s3[b + 4:],
        "no-binary": s3.replace("<binary>", "<binaryX>").replace("</binary>", "</binaryX>"),
    }
    for name, bad in damaged.items():
        path = write(tmp_path, f"{name}.mzML", data.replace(s3, bad).encode())
        status, info = run_dump("info", path)
        assert status == 0 and len(info["scans"]) == 8, name
        status, got = run_dump("read", path)
        assert got[3] is None, name
        for i in (0, 2, 4, 7):
            assert got[i][0] == arrays[i][0].tolist(), name


# Terms and what they mean, as the vocabulary defines them: (accession,
# name, value, where it is written, the answer it must give). Every term the
