"""Writes the seed corpus of the mzML fuzz target: small documents, elements
and arrays in the shapes the reader meets, each prefixed with the mode byte
the target reads first (see fuzz_mzml.cpp).

Usage: python3 make_corpus.py OUT_DIR
"""
import base64
import pathlib
import struct
import sys
import zlib

COMPRESSION = {"none": "MS:1000576", "zlib": "MS:1000574", "linear": "MS:1002312", "pic": "MS:1002313",
               "slof": "MS:1002314"}


def b64(raw):
    return base64.b64encode(raw).decode()


def numpress(kind, values):
    try:
        import numpy as np
        import pynumpress
    except ImportError:
        return None
    v = np.asarray(values, dtype=float)
    if kind == "linear":
        return bytes(pynumpress.encode_linear(v, pynumpress.optimal_linear_fixed_point(v)))
    if kind == "pic":
        return bytes(pynumpress.encode_pic(v))
    return bytes(pynumpress.encode_slof(v, pynumpress.optimal_slof_fixed_point(v)))


def array(values, what, comp="zlib", bits=64, group=False):
    if comp in ("linear", "pic", "slof"):
        raw = numpress(comp, values)
        if raw is None:
            comp, raw = "none", struct.pack(f"<{len(values)}d", *values)
        bits = 64
    else:
        raw = struct.pack(f"<{len(values)}{'d' if bits == 64 else 'f'}", *values)
        if comp == "zlib":
            raw = zlib.compress(raw)
    term = {"mz": ("MS:1000514", "m/z array"), "int": ("MS:1000515", "intensity array"),
            "time": ("MS:1000595", "time array")}[what]
    unit = ' unitAccession="UO:0000010" unitName="second"' if what == "time" else ""
    params = '<referenceableParamGroupRef ref="g"/>' if group else (
        f'<cvParam accession="{"MS:1000523" if bits == 64 else "MS:1000521"}" name="t"/>'
        f'<cvParam accession="{COMPRESSION[comp]}" name="c"/>')
    text = b64(raw)
    return (f'<binaryDataArray encodedLength="{len(text)}">{params}'
            f'<cvParam accession="{term[0]}" name="{term[1]}"{unit}/><binary>{text}</binary></binaryDataArray>')


def spectrum(i, n, comp="zlib", ident=None, level=1):
    mz = [100.0 + 13.5 * k for k in range(n)]
    inten = [float(1000 + 7 * k) for k in range(n)]
    ident = ident or f"scan={i + 1}"
    pre = ""
    if level == 2:
        pre = ('<precursorList count="1"><precursor spectrumRef="scan=1"><isolationWindow>'
               '<cvParam accession="MS:1000827" value="500.5"/></isolationWindow><selectedIonList count="1">'
               '<selectedIon><cvParam accession="MS:1000744" value="500.51"/><cvParam accession="MS:1000041" value="2"/>'
               '</selectedIon></selectedIonList><activation><cvParam accession="MS:1000422" name="beam-type collision-induced dissociation"/>'
               '<cvParam accession="MS:1000045" value="30"/></activation></precursor></precursorList>')
    return (f'<spectrum index="{i}" id="{ident}" defaultArrayLength="{n}">'
            f'<cvParam accession="MS:1000511" value="{level}"/><cvParam accession="MS:1000127"/>'
            '<scanList count="1"><scan><cvParam accession="MS:1000016" value="12.5" unitAccession="UO:0000010"/>'
            '<scanWindowList count="1"><scanWindow><cvParam accession="MS:1000501" value="100"/>'
            '<cvParam accession="MS:1000500" value="2000"/></scanWindow></scanWindowList></scan></scanList>'
            f'{pre}<binaryDataArrayList count="2">{array(mz, "mz", comp)}{array(inten, "int", comp, 32)}'
            '</binaryDataArrayList></spectrum>\n')


def document(spectra, indexed):
    head = ('<?xml version="1.0"?>\n' + ('<indexedmzML>' if indexed else "")
            + '<mzML><referenceableParamGroupList count="1"><referenceableParamGroup id="g">'
            '<cvParam accession="MS:1000574"/><cvParam accession="MS:1000523"/></referenceableParamGroup>'
            '</referenceableParamGroupList><instrumentConfigurationList count="1"><instrumentConfiguration id="IC">'
            '<cvParam accession="MS:1000031" value="Fuzz Model"/></instrumentConfiguration></instrumentConfigurationList>'
            f'<run id="r"><spectrumList count="{len(spectra)}">')
    out = head
    offsets = []
    for i, s in enumerate(spectra):
        offsets.append((f"scan={i + 1}", len(out.encode())))
        out += s
    out += '</spectrumList><chromatogramList count="1">'
    chrom_at = len(out.encode())
    out += ('<chromatogram index="0" id="TIC" defaultArrayLength="3"><cvParam accession="MS:1000235" '
            'name="total ion current chromatogram"/><binaryDataArrayList count="2">'
            f'{array([1.0, 2.0, 3.0], "time", "none")}{array([5.0, 6.0, 7.0], "int", "zlib", 32)}'
            '</binaryDataArrayList></chromatogram></chromatogramList></run></mzML>')
    if indexed:
        at = len(out.encode())
        out += '<indexList count="2"><index name="spectrum">'
        out += "".join(f'<offset idRef="{i}">{o}</offset>' for i, o in offsets)
        out += f'</index><index name="chromatogram"><offset idRef="TIC">{chrom_at}</offset></index></indexList>'
        out += f"<indexListOffset>{at}</indexListOffset></indexedmzML>"
    return out.encode()


def damaged(doc, name):
    """Damaged copies of a whole document (mode 3; two also gzip-compressed,
    mode 4): cut at landmarks, one byte of markup changed (in a spectrum's
    start tag, a param, a close tag), one byte of array text changed, an
    index offset and the declared count changed."""
    out = {}
    second = doc.index(b"<spectrum ", doc.index(b"<spectrum ") + 1)
    text = doc.index(b"<binary>", second) + len(b"<binary>") + 4
    for where in (second + 30, text, doc.index(b"</spectrum>", second) + 3, doc.index(b"<chromatogram "),
                  len(doc) * 2 // 3, len(doc) - 20):
        out[f"cut-{name}-{where}"] = b"\x03" + doc[:where]

    def changed(at, byte):
        return doc[:at] + byte + doc[at + 1:]

    out[f"markup-quote-{name}"] = b"\x03" + changed(doc.index(b'"', second), b"<")
    out[f"markup-param-{name}"] = b"\x03" + changed(doc.index(b"<cvParam", second), b"&")
    out[f"markup-close-{name}"] = b"\x03" + changed(doc.index(b"</scan>", second) + 3, b"x")
    out[f"array-text-bang-{name}"] = b"\x03" + changed(text, b"!")
    out[f"array-text-lt-{name}"] = b"\x03" + changed(text, b"<")
    out[f"count-{name}"] = b"\x03" + doc.replace(b'<spectrumList count="4"', b'<spectrumList count="9"')
    out[f"gzip-markup-{name}"] = b"\x04" + changed(doc.index(b"</scan>", second) + 3, b"x")
    out[f"gzip-cut-{name}"] = b"\x04" + doc[:text]
    if b"<indexList" in doc:
        at = doc.index(b"<offset", doc.index(b"<indexList"))
        at = doc.index(b">", at) + 1
        out[f"index-offset-{name}"] = b"\x03" + changed(at, b"9")
    return out


def main(out_dir):
    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    seeds = {}
    for comp in ("none", "zlib", "linear", "pic", "slof"):
        seeds[f"element-{comp}"] = b"\x00" + spectrum(0, 5, comp, ident="x").encode()
        seeds[f"list-{comp}"] = b"\x01" + spectrum(0, 4, comp).split("<binaryDataArrayList", 1)[1].join(
            ["<binaryDataArrayList", ""]).split("</spectrum>")[0].encode()
    seeds["element-chrom"] = b"\x00" + document([], False).split(b"<chromatogram ", 1)[1].join(
        [b"<chromatogram ", b""]).split(b"</chromatogramList>")[0].replace(b'id="TIC"', b'id="x"')
    for name, raw, comp, typ in (("f64", struct.pack("<3d", 1.5, 2.5, 3.5), 0, 1),
                                 ("f32-zlib", zlib.compress(struct.pack("<3f", 1, 2, 3)), 1, 0),
                                 ("i64", struct.pack("<2q", -5, 7), 0, 3)):
        seeds[f"decode-{name}"] = bytes([2, comp, typ, 3 if typ != 3 else 2]) + b64(raw).encode()
    lin = numpress("linear", [100.0, 200.0, 300.5, 400.25])
    if lin:
        seeds["decode-linear"] = bytes([2, 2, 1, 4]) + b64(lin).encode()
        seeds["decode-linear-zlib"] = bytes([2, 5, 1, 4]) + b64(zlib.compress(lin)).encode()
    spectra = [spectrum(0, 6), spectrum(1, 3, level=2), spectrum(2, 0), spectrum(3, 4, "none")]
    seeds["doc-indexed"] = b"\x03" + document(spectra, True)
    seeds["doc-plain"] = b"\x03" + document(spectra, False)
    seeds["doc-gzip"] = b"\x04" + document(spectra[:2], True)
    seeds.update(damaged(document(spectra, True), "indexed"))
    seeds.update(damaged(document(spectra, False), "plain"))
    for name, data in seeds.items():
        (out / name).write_bytes(data)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "fuzz-seeds")
