"""Small mzML documents written here, spectrum by spectrum, so that a test
can change any byte of them; and reading their arrays back through mzml_dump."""
import base64
import gzip
import re
import zlib

import numpy as np

from dump import F32, F64, LINEAR, NONE, NP_TYPES, PIC, SLOF, ZLIB, numpress, run_dump


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
