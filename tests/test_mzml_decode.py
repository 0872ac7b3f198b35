"""The mzML reading core (mzml_reader/), driven through its command-line
window `mzml_dump`: array decoders against numpy- and pynumpress-encoded
data, the open pass (index checked or not, gzip, truncation, junk) and the
arrays read back, on small documents written here."""
import base64
import gzip
import json
import os
import re
import struct
import subprocess
import zlib

import numpy as np
import pytest

from conftest import BUILD_DIR

pynumpress = pytest.importorskip("pynumpress")

ZLIB, NONE = "MS:1000574", "MS:1000576"
LINEAR, PIC, SLOF = "MS:1002312", "MS:1002313", "MS:1002314"
LINEAR_Z, PIC_Z, SLOF_Z = "MS:1002746", "MS:1002747", "MS:1002748"
F32, F64, I32, I64 = "MS:1000521", "MS:1000523", "MS:1000519", "MS:1000522"
NP_TYPES = {F32: "<f4", F64: "<f8", I32: "<i4", I64: "<i8"}


def dump_path():
    if BUILD_DIR is None:
        pytest.skip("CORVIX_BUILD_DIR is not set: the mzML reading core is not built")
    path = BUILD_DIR / "mzml_reader" / ("mzml_dump.exe" if os.name == "nt" else "mzml_dump")
    if not path.exists():
        pytest.skip("mzml_dump is not built (CORVIX_MZML_READER=OFF)")
    return str(path)


def run_dump(*args, stdin=None):
    """Runs mzml_dump; returns (exit status, parsed JSON or None). A crash
    (a signal, a sanitizer report) fails the calling test."""
    proc = subprocess.run([dump_path(), *map(str, args)], input=stdin, capture_output=True, timeout=120)
    assert proc.returncode in (0, 1), f"mzml_dump {args[:2]} crashed ({proc.returncode}): {proc.stderr[-2000:]!r}"
    return proc.returncode, json.loads(proc.stdout) if proc.stdout.strip() else None


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


# ------------------------------------------------------------- documents

def encode_array(values, comp="zlib", dtype=F64):
    values = np.asarray(values, dtype=np.float64)
    if comp in ("linear", "pic", "slof"):
        raw, acc = numpress(comp, values), {"linear": LINEAR, "pic": PIC, "slof": SLOF}[comp]
        dtype = F64
    else:
        raw = values.astype(NP_TYPES[dtype]).tobytes()
        acc = NONE
        if comp == "zlib":
            raw, acc = zlib.compress(raw), ZLIB
    return base64.b64encode(raw).decode(), acc, dtype


def array_xml(values, kind, comp, dtype, ref=None, declared=None):
    text, acc, dtype = encode_array(values, comp, dtype)
    terms = {"mz": '<cvParam cvRef="MS" accession="MS:1000514" name="m/z array" value=""/>',
             "int": '<cvParam cvRef="MS" accession="MS:1000515" name="intensity array" value=""/>',
             "time": '<cvParam cvRef="MS" accession="MS:1000595" name="time array" value="" unitCvRef="UO" '
                     'unitAccession="UO:0000010" unitName="second"/>'}[kind]
    params = f'<referenceableParamGroupRef ref="{ref}"/>' if ref else (
        f'<cvParam cvRef="MS" accession="{dtype}" name="t" value=""/><cvParam cvRef="MS" accession="{acc}" name="c" value=""/>')
    length = f' arrayLength="{declared}"' if declared is not None else ""
    return (f'<binaryDataArray encodedLength="{len(text)}"{length}>{params}{terms}\n'
            f'<binary>{text}</binary></binaryDataArray>')


def spectrum_xml(i, mz, inten, *, native_id=None, level=1, rt=None, rt_unit=("UO:0000010", "second"),
                 comp="zlib", dtype=F64, precursor=None, use_group=False):
    native_id = native_id or f"controllerType=0 controllerNumber=1 scan={i + 1}"
    rt = (i + 1) * 3.0 if rt is None else rt
    pre = ""
    if precursor is not None:
        ref, mzp = precursor
        pre = (f'<precursorList count="1"><precursor spectrumRef="{ref}"><isolationWindow>'
               f'<cvParam cvRef="MS" accession="MS:1000827" name="isolation window target m/z" value="{mzp}"/>'
               '<cvParam cvRef="MS" accession="MS:1000828" name="isolation window lower offset" value="1.0"/>'
               '<cvParam cvRef="MS" accession="MS:1000829" name="isolation window upper offset" value="1.5"/>'
               f'</isolationWindow><selectedIonList count="1"><selectedIon>'
               f'<cvParam cvRef="MS" accession="MS:1000744" name="selected ion m/z" value="{mzp + 0.001}"/>'
               '<cvParam cvRef="MS" accession="MS:1000041" name="charge state" value="3"/>'
               '</selectedIon></selectedIonList><activation>'
               '<cvParam cvRef="MS" accession="MS:1000133" name="collision-induced dissociation" value=""/>'
               '<cvParam cvRef="MS" accession="MS:1000045" name="collision energy" value="35"/>'
               '</activation></precursor></precursorList>'
               '<productList count="1"><product><isolationWindow>'
               '<cvParam cvRef="MS" accession="MS:1000827" name="isolation window target m/z" value="1.0"/>'
               '</isolationWindow></product></productList>')
    mz_ref = "mzArray" if use_group else None
    int_ref = "intArray" if use_group else None
    return (f'<spectrum index="{i}" id="{native_id}" defaultArrayLength="{len(mz)}">\n'
            f'<cvParam cvRef="MS" accession="MS:1000511" name="ms level" value="{level}"/>'
            '<cvParam cvRef="MS" accession="MS:1000130" name="positive scan" value=""/>'
            '<cvParam cvRef="MS" accession="MS:1000127" name="centroid spectrum" value=""/>'
            f'<scanList count="1"><scan instrumentConfigurationRef="IC1">'
            f'<cvParam cvRef="MS" accession="MS:1000016" name="scan start time" value="{rt}" '
            f'unitCvRef="UO" unitAccession="{rt_unit[0]}" unitName="{rt_unit[1]}"/>'
            '<scanWindowList count="1"><scanWindow>'
            '<cvParam cvRef="MS" accession="MS:1000501" name="scan window lower limit" value="100"/>'
            '<cvParam cvRef="MS" accession="MS:1000500" name="scan window upper limit" value="2000"/>'
            f'</scanWindow></scanWindowList></scan></scanList>{pre}\n'
            f'<binaryDataArrayList count="2">{array_xml(mz, "mz", comp, dtype, mz_ref)}'
            f'{array_xml(inten, "int", comp, F32 if dtype == F64 else dtype, int_ref)}</binaryDataArrayList>'
            '</spectrum>\n')


def document(spectra, *, indexed=True, chromatogram=True, bad_offsets=False):
    """An mzML document (bytes) holding the given spectrum elements."""
    head = ('<?xml version="1.0" encoding="utf-8"?>\n'
            + ('<indexedmzML xmlns="http://psi.hupo.org/ms/mzml">\n' if indexed else "")
            + '<mzML xmlns="http://psi.hupo.org/ms/mzml" id="t" version="1.1.0">'
            '<cvList count="1"><cv id="MS" fullName="PSI-MS" URI="x"/></cvList>'
            '<fileDescription><fileContent/><sourceFileList count="1">'
            '<sourceFile id="SF" name="origin.dat" location="file:///d"/></sourceFileList></fileDescription>'
            '<referenceableParamGroupList count="3">'
            '<referenceableParamGroup id="mzArray"><cvParam cvRef="MS" accession="MS:1000523" name="64-bit float" value=""/>'
            '<cvParam cvRef="MS" accession="MS:1000574" name="zlib compression" value=""/></referenceableParamGroup>'
            '<referenceableParamGroup id="intArray"><cvParam cvRef="MS" accession="MS:1000521" name="32-bit float" value=""/>'
            '<cvParam cvRef="MS" accession="MS:1000574" name="zlib compression" value=""/></referenceableParamGroup>'
            '<referenceableParamGroup id="inst"><cvParam cvRef="MS" accession="MS:1000031" name="instrument model" '
            'value="Corvix Test Model"/><cvParam cvRef="MS" accession="MS:1000529" name="instrument serial number" '
            'value="SN-77"/></referenceableParamGroup></referenceableParamGroupList>'
            '<sampleList count="1"><sample id="S1" name="mix"><userParam name="comment" value="a note"/></sample></sampleList>'
            # The instrument's software is the one its configuration names, not the first listed.
            '<softwareList count="2"><software id="conv" version="9.9"><cvParam cvRef="MS" accession="MS:1000799" '
            'name="custom unreleased software tool" value="a converter"/></software>'
            '<software id="gen" version="2.0"><cvParam cvRef="MS" accession="MS:1000799" '
            'name="custom unreleased software tool" value="test writer"/></software></softwareList>'
            '<instrumentConfigurationList count="1"><instrumentConfiguration id="IC1">'
            '<referenceableParamGroupRef ref="inst"/><componentList count="2">'
            '<source order="1"><cvParam cvRef="MS" accession="MS:1000073" name="electrospray ionization" value=""/></source>'
            '<analyzer order="2"><cvParam cvRef="MS" accession="MS:1000084" name="time-of-flight" value=""/></analyzer>'
            '</componentList><softwareRef ref="gen"/></instrumentConfiguration></instrumentConfigurationList>'
            '<dataProcessingList count="1"><dataProcessing id="dp"/></dataProcessingList>'
            '<run id="r1" defaultInstrumentConfigurationRef="IC1" startTimeStamp="2026-01-02T03:04:05Z">'
            f'<spectrumList count="{len(spectra)}" defaultDataProcessingRef="dp">\n')
    out = bytearray(head.encode())
    offsets = []
    for s in spectra:
        offsets.append(("spectrum", re.search(r"""\bid=(["'])(.*?)\1""", s).group(2), len(out)))
        out += s.encode()
    out += b"</spectrumList>"
    if chromatogram:
        t = [3.0 * (i + 1) for i in range(len(spectra))]
        chrom = ('<chromatogramList count="1" defaultDataProcessingRef="dp"><chromatogram index="0" id="TIC" '
                 f'defaultArrayLength="{len(t)}"><cvParam cvRef="MS" accession="MS:1000235" '
                 'name="total ion current chromatogram" value=""/><binaryDataArrayList count="2">'
                 f'{array_xml(t, "time", "none", F64)}{array_xml([float(i) for i in range(len(t))], "int", "zlib", F32)}'
                 '</binaryDataArrayList></chromatogram></chromatogramList>')
        out += b"\n"
        offsets.append(("chromatogram", "TIC", len(out) + chrom.index("<chromatogram ")))
        out += chrom.encode()
    out += b"</run></mzML>\n"
    if indexed:
        index_at = len(out)
        parts = ['<indexList count="2">']
        for name in ("spectrum", "chromatogram"):
            parts.append(f'<index name="{name}">')
            for kind, ident, off in offsets:
                if kind == name:
                    parts.append(f'<offset idRef="{ident}">{off + (7 if bad_offsets and ident.endswith("=2") else 0)}</offset>')
            parts.append("</index>")
        parts.append(f"</indexList>\n<indexListOffset>{index_at}</indexListOffset>\n</indexedmzML>\n")
        out += "".join(parts).encode()
    return bytes(out)


def make_spectra(n, **kw):
    rng = np.random.default_rng(n)
    spectra, arrays = [], []
    for i in range(n):
        k = int(rng.integers(0, 60)) if i % 5 else 0 if i == 5 else 40
        mz = np.sort(rng.uniform(100, 2000, k)).round(5)
        inten = rng.uniform(1, 1e6, k).astype(np.float32).astype(np.float64)
        level = 1 if i % 4 == 0 else 2
        precursor = (f"controllerType=0 controllerNumber=1 scan={i // 4 * 4 + 1}", 500.25 + i) if level == 2 else None
        spectra.append(spectrum_xml(i, mz, inten, level=level, precursor=precursor, use_group=i % 3 == 0, **kw))
        arrays.append((mz, inten))
    return spectra, arrays


def write(tmp_path, name, data, gz=False):
    path = tmp_path / name
    path.write_bytes(gzip.compress(data) if gz else data)
    return str(path)


def assert_arrays(path, arrays):
    status, got = run_dump("read", path)
    assert status == 0
    assert len(got) == len(arrays)
    for (mz, inten), g in zip(arrays, got):
        assert g is not None
        assert g[0] == mz.tolist() and g[1] == inten.tolist()


@pytest.mark.parametrize("indexed", [True, False])
@pytest.mark.parametrize("gz", [False, True])
def test_documents_open_with_their_metadata_and_arrays(tmp_path, indexed, gz):
    spectra, arrays = make_spectra(24)
    path = write(tmp_path, "a.mzML", document(spectra, indexed=indexed), gz)
    status, info = run_dump("info", path)
    assert status == 0
    assert info["used_index"] == (indexed and not gz) and info["gzip"] == gz
    assert info["first_scan"] == 1 and len(info["scans"]) == 24
    run = info["run"]
    # No instrument name: the configuration's id is not one.
    assert (run["instrument_model"], run["instrument_serial"], run["instrument_name"]) == ("Corvix Test Model", "SN-77", "")
    assert (run["software_name"], run["software_version"], run["sample_name"], run["sample_comment"]) == (
        "test writer", "2.0", "mix", "a note")
    assert run["source_file_name"] == "origin.dat" and run["start_time_stamp"] == "2026-01-02T03:04:05Z"
    assert run["analyzers"] == ["time-of-flight"]
    s1, s2 = info["scans"][4], info["scans"][6]
    assert (s1["ms_level"], s1["rt_minutes"], s1["precursors"]) == (1, 15.0 / 60, [])
    assert s2["ms_level"] == 2 and s2["analyzer"] == "time-of-flight" and s2["window_high"] == 2000
    (p,) = s2["precursors"]
    assert p["precursor_scan"] == 5 and p["charge"] == 3 and p["activation"] == 0 and p["collision_energy"] == 35
    assert (p["isolation_target"], p["isolation_lower"], p["isolation_upper"]) == (506.25, 1.0, 1.5)
    assert p["selected_mz"] == pytest.approx(506.251)
    assert [c["kind"] for c in info["chromatograms"]] == ["total ion current chromatogram"]
    assert_arrays(path, arrays)
    status, chrom = run_dump("chrom", path)
    assert chrom[0][0] == pytest.approx([0.05 * (i + 1) for i in range(24)])  # seconds -> minutes


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


def test_scan_numbers_and_time_units(tmp_path):
    mz, inten = np.array([100.0, 200.0]), np.array([1.0, 2.0])
    # Native ids running from scan=41: numbering starts there.
    spectra = [spectrum_xml(i, mz, inten, native_id=f"scan={41 + i}", rt=1.5 * i, rt_unit=("UO:0000031", "minute"))
               for i in range(5)]
    status, info = run_dump("info", write(tmp_path, "n.mzML", document(spectra)))
    assert info["first_scan"] == 41 and [s["rt_minutes"] for s in info["scans"]] == [0, 1.5, 3.0, 4.5, 6.0]
    # A gap in the ids (or ids without scan=) numbers from 1.
    spectra = [spectrum_xml(i, mz, inten, native_id=f"scan={41 + i + (i > 2)}") for i in range(5)]
    assert run_dump("info", write(tmp_path, "g.mzML", document(spectra)))[1]["first_scan"] == 1
    spectra = [spectrum_xml(i, mz, inten, native_id=f"index={i}") for i in range(3)]
    assert run_dump("info", write(tmp_path, "i.mzML", document(spectra)))[1]["first_scan"] == 1


@pytest.mark.parametrize("accession,name,per_minute", [
    ("UO:0000031", "minute", 1), ("UO:0000010", "second", 60), ("UO:0000028", "millisecond", 60000),
    (None, "millisecond", 60000), ("UO:0000031", None, 1),   # the unit by name or by accession alone
    (None, None, 60), ("UO:9999999", "fortnight", 60),         # none or an unknown one: seconds
])
def test_times_in_each_unit_become_minutes(tmp_path, accession, name, per_minute):
    """Scan start times and chromatogram time arrays share one unit table."""
    mz, inten = np.array([100.0, 200.0]), np.array([1.0, 2.0])
    rts = [90.0, 1234.5, 60000.0]
    spectra = [spectrum_xml(i, mz, inten, rt=rt) for i, rt in enumerate(rts)]
    unit = "".join(f' {k}="{v}"' for k, v in (("unitAccession", accession), ("unitName", name)) if v is not None)
    data = document(spectra, indexed=False).replace(b' unitAccession="UO:0000010" unitName="second"', unit.encode())
    path = write(tmp_path, "u.mzML", data)
    status, info = run_dump("info", path)
    assert status == 0 and [s["rt_minutes"] for s in info["scans"]] == [rt / per_minute for rt in rts]
    status, chromatograms = run_dump("chrom", path)
    times = [3.0 * (i + 1) for i in range(len(rts))]
    assert chromatograms[0][0] == [t * (1.0 / per_minute) for t in times]


def test_a_wrong_index_is_not_trusted(tmp_path):
    spectra, arrays = make_spectra(10)
    path = write(tmp_path, "w.mzML", document(spectra, bad_offsets=True))
    status, info = run_dump("info", path)
    assert status == 0 and not info["used_index"] and len(info["scans"]) == 10
    assert_arrays(path, arrays)
    # An index offset pointing past the file, or at junk.
    data = document(spectra)
    at = data.rindex(b"<indexListOffset>") + len(b"<indexListOffset>")
    end = data.index(b"<", at)
    for value in (b"99999999999", b"17", b"-5", b"x"):
        path = write(tmp_path, "o.mzML", data[:at] + value + data[end:])
        status, info = run_dump("info", path)
        assert status == 0 and not info["used_index"] and len(info["scans"]) == 10


def test_files_that_are_not_readable_mzml_are_refused(tmp_path):
    """Each refusal says what went wrong as a kind (what decisions read) and
    as a reason (what the error log shows)."""
    spectra, _ = make_spectra(3)
    data = document(spectra)
    corrupt = bytearray(gzip.compress(data, mtime=0))
    corrupt[40] ^= 0x55  # a damaged deflate block before any byte of output
    deep = "<userParam>" * 100000 + "</userParam>" * 100000
    cases = {
        "missing": (None, "no_such_file"),
        "directory": ("dir", "not_a_file"),
        "empty": (b"", "not_xml"),
        "text": (b"hello, world\n" * 100, "not_xml"),
        "other-xml": (b'<?xml version="1.0"?><html><body/></html>', "not_mzml"),
        "before-first-spectrum": (data[:data.index(b"<spectrum ") + 20], "truncated"),
        "header-only": (data[:data.index(b"<run")], "truncated"),
        "gzip-junk": (gzip.compress(b"not xml at all")[:15], "not_xml"),
        "gzip-corrupt": (bytes(corrupt), "corrupt"),
        "binary": (bytes(range(256)) * 40, "not_xml"),
        "too-deep": (data.replace(b"<run ", deep.encode() + b"<run ", 1), "malformed"),
    }
    for name, (content, kind) in cases.items():
        path = tmp_path / f"{name}.mzML"
        if content == "dir":
            path.mkdir()
        elif content is not None:
            path.write_bytes(content)
        status, out = run_dump("info", str(path))
        assert status == 1 and out["error"] and out["failure"] == kind, (name, out)


def rewrite_index(data, change):
    """The document with each index entry's offset replaced by
    change(kind, position, offset) (None drops the entry)."""
    head, tail = data.split(b"<indexList", 1)
    positions = {}

    def entry(match):
        kind = "spectrum" if match.start() < tail.find(b'<index name="chromatogram"') else "chromatogram"
        position = positions[kind] = positions.get(kind, -1) + 1
        offset = change(kind, position, int(match.group(2)))
        return b"" if offset is None else match.group(1) + str(offset).encode() + b"</offset>"

    return head + b"<indexList" + re.sub(rb'(<offset idRef="[^"]*">)(\d+)</offset>', entry, tail)


# Each check of the offset index, and a file that fails it (edits before the
# index keep the length, so that indexListOffset stays right). A check that
# stopped checking would let a wrong index be trusted.
INDEX_CASES = {
    "ok": (lambda d: d, "none"),
    "absent": (lambda d: document(make_spectra(6)[0], indexed=False), "absent"),
    "offset-out-of-range": (lambda d: re.sub(rb"<indexListOffset>\d+", b"<indexListOffset>99999999999", d),
                            "offset_out_of_range"),
    "offset-not-at-the-list": (lambda d: re.sub(rb"<indexListOffset>\d+", b"<indexListOffset>17", d),
                               "list_malformed"),
    "offset-text-not-a-number": (lambda d: _in_index(d, lambda t: t.replace(b'scan=3">', b'scan=3">x')),
                                 "list_malformed"),
    "header-malformed": (lambda d: d.replace(b"<sampleList", b"<sampleLis<", 1), "header_malformed"),
    "spectrum-count": (lambda d: d.replace(b'<spectrumList count="6"', b'<spectrumList count="7"'), "spectrum_count"),
    "spectrum-left-out": (lambda d: rewrite_index(d, lambda k, i, o: None if (k, i) == ("spectrum", 2) else o),
                          "spectrum_count"),
    # (the header is read up to the first element: only a run without
    # spectra shows its chromatogramList there)
    "chromatogram-count": (lambda d: document([]).replace(b'<chromatogramList count="1"', b'<chromatogramList count="2"'),
                           "chromatogram_count"),
    "spectra-undeclared": (lambda d: d.replace(b'<spectrumList count=', b"<spectrumList cuont="), "undeclared_spectra"),
    "duplicate-offsets": (lambda d: _duplicate(d), "duplicate_offsets"),
    "out-of-order": (lambda d: _swap_spectra(d, 2, 3), "spectra_out_of_order"),
    # One entry that does not land leaves the index in use, with that entry
    # missed (settled against a full pass at open; see MISSES).
    "spectrum-misplaced": (lambda d: rewrite_index(d, lambda k, i, o: o + 7 if (k, i) == ("spectrum", 1) else o),
                           "none"),
    "beyond-the-index": (lambda d: rewrite_index(d, lambda k, i, o: len(d) - 20 if (k, i) == ("spectrum", 5) else o),
                         "none"),
    "chromatogram-misplaced": (lambda d: rewrite_index(d, lambda k, i, o: o + 3 if k == "chromatogram" else o),
                               "none"),
    # Most entries missing: the index is refused as a whole.
    "spectra-misplaced": (lambda d: rewrite_index(d, lambda k, i, o: o + 7 if k == "spectrum" else o),
                          "spectrum_misplaced"),
}
MISSES = {"spectrum-misplaced": [["spectrum", 1]], "beyond-the-index": [["spectrum", 5]],
          "chromatogram-misplaced": [["chromatogram", 0]]}


def _in_index(data, change):
    head, tail = data.split(b"<indexList", 1)
    return head + change(b"<indexList" + tail)


def _offsets(data):
    return [int(x) for x in re.findall(rb'<offset idRef="[^"]*">(\d+)</offset>', data)]


def _duplicate(data):
    second = _offsets(data)[1]
    return rewrite_index(data, lambda k, i, o: second if (k, i) == ("spectrum", 2) else o)


def _swap_spectra(data, a, b):
    offsets = _offsets(data)
    return rewrite_index(data, lambda k, i, o: offsets[b] if (k, i) == ("spectrum", a) else
                         offsets[a] if (k, i) == ("spectrum", b) else o)


@pytest.mark.parametrize("case", sorted(INDEX_CASES))
def test_each_index_check_names_what_it_found(tmp_path, case):
    make, problem = INDEX_CASES[case]
    spectra, arrays = make_spectra(6)
    data = make(document(spectra))
    path = write(tmp_path, f"{case}.mzML", data)
    status, out = run_dump("index", path)
    assert status == 0 and out["problem"] == problem, out
    assert out["used"] == (problem == "none")
    if out["used"]:
        assert out["misses"] == MISSES.get(case, []), out
    assert out["failure"] == ("none" if problem == "none" else "index_unusable")
    status, both = run_dump("paths", path)
    if case == "header-malformed":
        assert status == 1  # the document itself is broken
        return
    # Both tokenizer paths come to the same verdict.
    assert both["index"] == {"used": problem == "none", "same": True}
    # A refused index costs nothing but time: the file opens by a full pass.
    assert_arrays(path, [] if case == "chromatogram-count" else arrays)


def test_truncated_anywhere_keeps_the_complete_spectra(tmp_path):
    spectra, _ = make_spectra(6)
    for indexed in (True, False):
        data = document(spectra, indexed=indexed)
        starts = [data.index(s.encode()) for s in spectra]
        ends = [st + len(s.encode()) - 1 for s, st in zip(spectra, starts)]
        cuts = set(range(0, len(data), max(1, len(data) // 60))) | {e - 1 for e in ends} | {e for e in ends}
        for cut in sorted(cuts):
            for gz in (False, True):
                # `time` opens the file and reads every spectrum it lists.
                status, out = run_dump("time", write(tmp_path, "t.mzML", data[:cut], gz))
                complete = sum(1 for e in ends if e <= cut)
                if status == 1:
                    assert complete == 0, cut  # refused only before the first spectrum is whole
                    continue
                assert (out["scans"], out["failed"]) == (complete, 0), cut
        # A gzip stream cut short (no gzip trailer): what is there is readable.
        packed = gzip.compress(data)
        for cut in range(10, len(packed), max(1, len(packed) // 30)):
            status, out = run_dump("time", write(tmp_path, "c.mzML.gz", packed[:cut]))
            assert status == 1 or out["failed"] == 0


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
# reader acts on that the generated runs do not carry is here.
CV = '<cvParam cvRef="MS" accession="{}" name="{}" value="{}"/>'
CENTROID = CV.format("MS:1000127", "centroid spectrum", "")  # the last spectrum term written
CID = CV.format("MS:1000133", "collision-induced dissociation", "")
SPECTRUM_TYPES = ["MS:1000579 MS1 spectrum", "MS:1000580 MSn spectrum", "MS:1000581 CRM spectrum",
                  "MS:1000582 SIM spectrum", "MS:1000583 SRM spectrum", "MS:1000804 electromagnetic radiation spectrum",
                  "MS:1000805 emission spectrum", "MS:1000806 absorption spectrum",
                  "MS:1000325 constant neutral gain spectrum", "MS:1000326 constant neutral loss spectrum",
                  "MS:1000341 precursor ion spectrum", "MS:1000789 enhanced multiply charged spectrum",
                  "MS:1000790 time-delayed fragmentation spectrum", "MS:1000928 calibration spectrum"]
TERM_CASES = [(*t.split(" ", 1), "", "spectrum", ("scan_type", t.split(" ", 1)[1])) for t in SPECTRUM_TYPES] + [
    ("MS:1000511", "ms level", "3", "spectrum", ("ms_level", 3)),
    ("MS:1000128", "profile spectrum", "", "spectrum", ("centroid", False)),
    ("MS:1000129", "negative scan", "", "spectrum", ("polarity", 0)),
    ("MS:1000285", "total ion current", "1234.5", "spectrum", ("tic", 1234.5)),
    ("MS:1000504", "base peak m/z", "512.25", "spectrum", ("base_peak_mz", 512.25)),
    ("MS:1000505", "base peak intensity", "9.5e4", "spectrum", ("base_peak_intensity", 95000.0)),
    ("MS:1000528", "lowest observed m/z", "150.5", "spectrum", ("lowest_mz", 150.5)),
    ("MS:1000527", "highest observed m/z", "1900.5", "spectrum", ("highest_mz", 1900.5)),
    ("MS:1000512", "filter string", "FTMS + p NSI Full ms", "spectrum", ("filter_text", "FTMS + p NSI Full ms")),
    ("MS:1000927", "ion injection time", "12.5", "scan", ("injection_time", 12.5)),
    ("MS:1000133", "collision-induced dissociation", "", "activation", ("activation", 0)),
    ("MS:1002472", "trap-type collision-induced dissociation", "", "activation", ("activation", 0)),
    ("MS:1000422", "beam-type collision-induced dissociation", "", "activation", ("activation", 1)),
    ("MS:1002481", "higher energy beam-type collision-induced dissociation", "", "activation", ("activation", 1)),
    ("MS:1000598", "electron transfer dissociation", "", "activation", ("activation", 2)),
    ("MS:1000250", "electron capture dissociation", "", "activation", ("activation", 3)),
    ("MS:1000435", "photodissociation", "", "activation", ("activation", 4)),
    ("MS:1000262", "infrared multiphoton dissociation", "", "activation", ("activation", 4)),
    ("MS:1000599", "pulsed q dissociation", "", "activation", ("activation", 5)),
    ("MS:1000044", "dissociation method", "", "activation", ("activation", 6)),  # another term: "other"
    ("MS:1002678", "supplemental beam-type collision-induced dissociation", "", "supplement", ("supplemental", True)),
    ("MS:1002679", "supplemental collision-induced dissociation", "", "supplement", ("supplemental", True)),
]


@pytest.fixture(scope="module")
def term_run(tmp_path_factory):
    """One spectrum per case, each carrying its term, read once."""
    mz, inten = np.array([100.0, 200.0]), np.array([1.0, 2.0])
    spectra = []
    for i, (accession, name, value, where, _) in enumerate(TERM_CASES):
        s = spectrum_xml(i, mz, inten, level=2, precursor=("scan=0", 400.0 + i))
        term = CV.format(accession, name, value)
        if where == "spectrum":
            s = s.replace(CENTROID, CENTROID + term, 1)
        elif where == "scan":
            s = s.replace("<scanWindowList", term + "<scanWindowList", 1)
        elif where == "activation":
            s = s.replace(CID, term, 1)
        else:
            s = s.replace(CID, CID + term, 1)
        spectra.append(s)
    path = tmp_path_factory.mktemp("terms") / "terms.mzML"
    path.write_bytes(document(spectra))
    status, info = run_dump("info", str(path))
    assert status == 0 and len(info["scans"]) == len(TERM_CASES)
    return info["scans"]


@pytest.mark.parametrize("position", range(len(TERM_CASES)), ids=[c[0] + "-" + c[3] for c in TERM_CASES])
def test_every_term_the_reader_knows_gives_its_answer(term_run, position):
    field, expected = TERM_CASES[position][4]
    scan = term_run[position]
    got = scan["precursors"][0][field] if TERM_CASES[position][3] in ("activation", "supplement") else scan[field]
    assert got == expected


@pytest.mark.parametrize("params,expected", [
    ('<userParam name="instrument model" value="M1"/>', {"instrument_model": "M1"}),
    ('<userParam name="instrument serial number" value="S9"/>', {"instrument_serial": "S9"}),
    ('<userParam name="instrument name" value="N3"/>', {"instrument_name": "N3"}),
    (CV.format("MS:1000496", "instrument attribute", "N4"), {"instrument_name": "N4"}),
    (CV.format("MS:1000529", "instrument serial number", "S7"), {"instrument_serial": "S7"}),
    (CV.format("MS:1000032", "customization", ""), {"instrument_model": "", "instrument_name": ""}),
    (CV.format("MS:1000031", "instrument model", ""), {"instrument_model": ""}),  # the generic term names no model
    (CV.format("MS:1000999", "Corvix Q", ""), {"instrument_model": "Corvix Q"}),  # a model's own term
    ('<userParam name="instrument attribute" value="N5"/>', {"instrument_name": ""}),  # not read by that name
])
def test_instrument_terms_and_user_params(tmp_path, params, expected):
    spectra, _ = make_spectra(2)
    data = document(spectra, indexed=False).replace(b'<referenceableParamGroupRef ref="inst"/>', params.encode())
    status, info = run_dump("info", write(tmp_path, "ic.mzML", data))
    assert status == 0
    assert {k: info["run"][k] for k in expected} == expected


@pytest.mark.parametrize("indexed", [True, False])
def test_lists_nested_in_a_spectrum_do_not_disturb_its_header(tmp_path, indexed):
    """A spectrumList (or another document-level element) inside a spectrum
    is not the document's: the scans already read stay where they are and
    the spectrum's own terms after it are kept."""
    spectra, arrays = make_spectra(6)
    nested = ('<spectrumList count="100000"/><chromatogramList count="9"/><run id="inner"/>'
              '<referenceableParamGroup id="mzArray"/><instrumentConfiguration id="IC1"/>')
    spectra = [s.replace('<cvParam cvRef="MS" accession="MS:1000511"', nested + '<cvParam cvRef="MS" accession="MS:1000511"', 1)
               if i % 2 else s for i, s in enumerate(spectra)]
    path = write(tmp_path, "nested.mzML", document(spectra, indexed=indexed))
    status, info = run_dump("info", path)
    assert status == 0 and info["used_index"] == indexed
    assert [s["ms_level"] for s in info["scans"]] == [1, 2, 2, 2, 1, 2]
    assert info["run"]["run_id"] == "r1" and info["run"]["instrument_model"] == "Corvix Test Model"
    assert_arrays(path, arrays)


def test_deep_nesting_and_junk_are_refused_or_ignored(tmp_path):
    spectra, arrays = make_spectra(3)
    data = document(spectra, indexed=False).decode()
    junk = "<userParam>" * 100000 + "</userParam>" * 100000
    path = write(tmp_path, "deep.mzML", data.replace("<run ", junk + "<run ", 1).encode())
    status, out = run_dump("info", path)
    assert status == 1 and "deep" in out["error"]
    # Unknown elements and comments between known ones are skipped.
    odd = data.replace("<scanList", "<!-- <binary>x</binary> --><foo:bar a='&lt;'><x/></foo:bar><scanList")
    path = write(tmp_path, "odd.mzML", odd.encode())
    assert len(run_dump("info", path)[1]["scans"]) == 3
    assert_arrays(path, arrays)


def test_gzip_random_access_across_checkpoints(tmp_path):
    """A gzip file of several checkpoint spans, in several members, read
    backwards and out of order."""
    rng = np.random.default_rng(9)
    spectra, arrays = [], []
    for i in range(60):
        mz = np.sort(rng.uniform(100, 2000, 12000))
        inten = rng.uniform(0, 1e6, 12000).astype(np.float32).astype(np.float64)
        spectra.append(spectrum_xml(i, mz, inten, comp="none"))
        arrays.append((mz, inten))
    data = document(spectra, indexed=False)
    assert len(data) > 10 << 20  # a few checkpoint spans (4 MiB each)
    half = len(data) // 2
    path = tmp_path / "big.mzML.gz"
    path.write_bytes(gzip.compress(data[:half], 1) + gzip.compress(data[half:], 6))
    order = [59, 0, 31, 30, 58, 1, 45, 12, 12, 59]
    status, got = run_dump("read", str(path), *order)
    assert status == 0
    for pos, g in zip(order, got):
        assert g[0] == arrays[pos][0].tolist() and g[1] == arrays[pos][1].tolist()
    status, chrom = run_dump("chrom", str(path))
    assert len(chrom[0][0]) == 60


@pytest.mark.parametrize("gz", [False, True])
def test_spectra_read_from_many_threads_at_once(tmp_path, gz):
    spectra, _ = make_spectra(40)
    big, _ = make_spectra(3)
    path = write(tmp_path, "m.mzML", document(spectra + [s.replace('scan=', 'scan=9') for s in big]), gz)
    status, out = run_dump("threads", path, 6)
    assert status == 0 and out["scans"] == 43 and out["mismatches"] == 0


# ------------------------------------------------------------- the subset tokenizer
# Element headers and arrays are read by a tokenizer for the plain subset of
# XML that writers produce, and by expat for anything else. Where it accepts
# bytes it must report exactly what expat reports.

def tokenize(data, stop_at=None):
    status, out = run_dump("tokenize", *([stop_at] if stop_at else []), stdin=data)
    assert status == 0
    return out["result"], out["events"]


def tokenize_each(inputs):
    """tokenize() of every input, in one mzml_dump process."""
    stdin = b"".join(b"%d\n" % len(data) + data for data in inputs)
    proc = subprocess.run([dump_path(), "tokenize-each"], input=stdin, capture_output=True, timeout=120)
    assert proc.returncode == 0, f"mzml_dump tokenize-each failed ({proc.returncode}): {proc.stderr[-2000:]!r}"
    answers = [json.loads(line) for line in proc.stdout.splitlines()]
    assert len(answers) == len(inputs)
    return [(out["result"], out["events"]) for out in answers]


def expat_events(data):
    """expat's events for `data` fed as an unfinished document (an error
    raises), in the tokenizer's form: [end, name, [[key, value], ...], at]."""
    import xml.parsers.expat

    parser = xml.parsers.expat.ParserCreate()
    parser.ordered_attributes = True
    events = []
    parser.StartElementHandler = lambda name, attrs: events.append(
        [False, name, [list(kv) for kv in zip(attrs[::2], attrs[1::2])], parser.CurrentByteIndex])
    parser.EndElementHandler = lambda name: events.append([True, name, [], parser.CurrentByteIndex])
    parser.Parse(data, False)
    return events


def assert_as_expat(data, events):
    """The tokenizer's events are expat's. The text of binary elements, which
    neither path looks at, is blanked for expat."""
    data = bytearray(data[:max(e[3] + e[4] for e in events)])
    for opened, following in zip(events, events[1:]):
        if opened[1] == "binary" and not opened[0]:
            start = opened[3] + opened[4]
            data[start:following[3]] = b"A" * (following[3] - start)
    assert [e[:4] for e in events] == expat_events(bytes(data))


SAMPLE_ELEMENT = spectrum_xml(3, [100.5, 200.25, 300.125], [1.0, 2.0, 3.0], level=2,
                              precursor=("scan=1", 445.12)).encode()


def test_subset_tokenizer_reports_what_expat_reports():
    result, events = tokenize(SAMPLE_ELEMENT)
    assert result == "complete" and events[0][1] == "spectrum" and events[-1][:2] == [True, "spectrum"]
    assert_as_expat(SAMPLE_ELEMENT, events)
    # Stopping at the array list, as the open pass does.
    result, head = tokenize(SAMPLE_ELEMENT, "binaryDataArrayList")
    assert result == "complete" and head[-1][1] == "binaryDataArrayList" and head == events[:len(head)]
    # Spacing, quotes and empty elements as XML allows them.
    loose = b"<a  x = '1'\r\n\ty=\"'>\" >\n<b/><c z='\"'></c ><d\t/></a>"
    result, events = tokenize(loose)
    assert result == "complete"
    assert_as_expat(loose, events)


@pytest.mark.parametrize("fragment", [
    b"<a><!-- note --></a>", b"<a><?pi x?></a>", b"<a><![CDATA[x]]></a>", b'<a x="&amp;"/>', b'<a x="&#65;"/>',
    b"<ms:a/>", b'<a x="\xc2\xb5"/>', b"<a>text</a>", b'<a x="1\ty"/>', b"<!DOCTYPE a><a/>", b" <a/>",
    # not well-formed: expat refuses these, so the tokenizer must not accept them
    b'<a x="1" x="2"/>', b'<a x="1"y="2"/>', b"<a></b>", b"<a x=1/>", b"<a\x01/>", b"<1a/>",
])
def test_subset_tokenizer_leaves_everything_else_to_expat(fragment):
    assert tokenize(fragment)[0] == "outside"


def test_subset_tokenizer_on_every_prefix_and_random_edits():
    full = tokenize(SAMPLE_ELEMENT)[1]
    cuts = range(len(SAMPLE_ELEMENT.rstrip()))
    for cut, (result, events) in zip(cuts, tokenize_each([SAMPLE_ELEMENT[:cut] for cut in cuts])):
        assert result == "short" and events == full[:len(events)], cut
    rng = np.random.default_rng(5)
    tricky = [b"<", b">", b"/", b"&", b'"', b"'", b"=", b" ", b":", b"!", b"?", b"\x80", b"\x00", b"x", b"\n"]
    edited = []
    for _ in range(250):
        data = bytearray(SAMPLE_ELEMENT)
        for _ in range(int(rng.integers(1, 3))):
            at = int(rng.integers(0, len(data)))
            if rng.random() < 0.3:
                del data[at]
            else:
                data[at:at] = tricky[int(rng.integers(0, len(tricky)))]
        edited.append(bytes(data))
    accepted = 0
    for data, (result, events) in zip(edited, tokenize_each(edited)):
        if result == "complete":
            accepted += 1
            assert_as_expat(data, events)
    assert accepted > 20  # edits inside values and binary text stay in the subset


@pytest.mark.parametrize("variant", ["plain", "entity", "comment", "prefix", "non-ascii", "crlf-tabs", "quotes"])
def test_both_tokenizer_paths_give_the_same_answers(tmp_path, variant):
    spectra, _ = make_spectra(12)
    edit = {
        "plain": lambda s: s,
        "entity": lambda s: s.replace('name="positive scan"', 'name="positive &amp; scan"'),
        "comment": lambda s: s.replace("<scanList", "<!-- here --><scanList").replace(
            "<binaryDataArray ", "<!-- a --><binaryDataArray ", 1),
        "prefix": lambda s: s.replace("<cvParam", "<ms:cvParam xmlns:ms='x'"),
        "non-ascii": lambda s: s.replace('name="ms level"', 'name="ms level \u00b5"'),
        "crlf-tabs": lambda s: s.replace(">", ">\r\n").replace(" ", "\t"),
        "quotes": lambda s: s.replace('="', "='").replace('" ', "' ").replace('"/>', "'/>").replace('">', "'>"),
    }[variant]
    spectra = [edit(s) if i % 2 else s for i, s in enumerate(spectra)]
    for indexed in (True, False):
        path = write(tmp_path, "v.mzML", document(spectra, indexed=indexed))
        status, out = run_dump("paths", path)
        assert status == 0, variant
        assert out["index"]["same"] and out["index"]["used"] == indexed, variant
        assert out["differ"] == 0 and out["readable"] == out["elements"] == 13, variant
