"""Writes a synthetic `Run` as an mzML document in the shapes that converters
produce, and returns the truth: what was written, value for value, as a
reader must decode it.

Shapes (see `WriteOptions`): wrapped in `indexedmzML` with a correct offset
index and SHA-1 checksum, or a bare `mzML`; arrays zlib-compressed,
uncompressed or MS-Numpress (linear m/z; slof or pic intensities, optionally
followed by zlib); 32- or 64-bit floats; gzip-wrapped; with or without filter
texts; native ids `scan=N` (contiguous from 1 or from an offset, with gaps),
`index=N` or non-numeric; TIC and base-peak chromatograms; referenceable
param groups; retention times in seconds or minutes. A few hooks make broken
files on purpose (`index_mode`, `alter`).

Only generic vocabulary terms are used: the instrument model is the generic
"instrument model" term with a model name of our own as its value, and the
software is a "custom unreleased software tool".
"""
from __future__ import annotations

import base64
import dataclasses
import gzip
import hashlib
import io
import os
import zlib
from typing import Optional
from xml.sax.saxutils import escape, quoteattr

import numpy as np

from .model import Run, Spectrum

INSTRUMENT_MODEL = "Corvix Bench Analyzer 7"
INSTRUMENT_SERIAL = "CBA7-000042"
SOFTWARE_NAME = "corvix mzmlgen"
SOFTWARE_VERSION = "1.0.3"
SAMPLE_ID = "sample_1"
SAMPLE_NAME = "Synthetic digest A"
SAMPLE_COMMENT = "generated for tests: 200 ng on column, 2 µL <injection> & \"wash\""
START_TIME_STAMP = "2026-03-14T09:26:53Z"
SOURCE_FILE_NAME = "run_0001.dat"

ACTIVATION_TERMS = {
    "CID": ("MS:1000133", "collision-induced dissociation"),
    "HCD": ("MS:1000422", "beam-type collision-induced dissociation"),
    "ETD": ("MS:1000598", "electron transfer dissociation"),
}

COMPRESSIONS = ("zlib", "none", "numpress", "numpress-zlib")
ID_STYLES = ("scan", "offset", "gaps", "index", "nonnumeric")
INDEX_MODES = ("ok", "shifted", "garbage", "bad-list-offset", "none-match")


@dataclasses.dataclass
class WriteOptions:
    indexed: bool = True
    compression: str = "zlib"           # one of COMPRESSIONS
    mz_bits: int = 64
    intensity_bits: int = 32
    numpress_intensity: str = "slof"    # slof or pic (with the numpress compressions)
    gzip: bool = False
    filter_strings: bool = True
    id_style: str = "scan"              # one of ID_STYLES
    scan_offset: int = 1001             # first scan number with id_style "offset"
    chromatograms: bool = True
    param_groups: bool = True
    rt_unit: str = "second"             # second or minute
    chromatogram_time_unit: str = "second"
    empty_positions: tuple[int, ...] = ()   # spectra written with no peaks
    index_mode: str = "ok"              # one of INDEX_MODES (what the offset index says)
    # Broken-file hooks: position -> {"default_array_length": int, "encoded_length": int,
    # "mz_binary": str, "intensity_binary": str} written instead of the true values.
    alter: dict = dataclasses.field(default_factory=dict)
    pretty: bool = True                 # indent elements (converters do); False writes one line per element
    newline: str = "\n"                 # "\r\n" as written on Windows
    numpress_zlib_style: str = "combined"   # "separate": the Numpress term and the zlib term side by side
    precursor_refs: bool = True         # precursors name their survey scan (spectrumRef)
    spectrum_summaries: bool = True     # per-spectrum TIC, base peak, lowest/highest observed m/z
    extra_arrays: bool = False          # a third array (charge array) before the m/z and intensity arrays
    intensity_first: bool = False       # the intensity array before the m/z array


@dataclasses.dataclass
class PrecursorTruth:
    mz: float                           # what a reader reports: selected ion, else isolation target
    selected_mz: Optional[float]
    isolation_target: float
    isolation_lower: float
    isolation_upper: float
    charge: int
    activation: str
    collision_energy: Optional[float]
    spectrum_ref: str
    ms1_scan_number: int


@dataclasses.dataclass
class SpectrumTruth:
    position: int
    native_id: str
    scan_number: int
    ms_level: int
    rt: float                           # minutes, as the written value converts
    centroid: bool
    polarity: str
    window: tuple[float, float]
    tic: float
    base_peak_mz: float
    base_peak_intensity: float
    lowest_mz: Optional[float]
    highest_mz: Optional[float]
    injection_time: float
    filter_text: Optional[str]
    mz: np.ndarray                      # as a reader must decode the stored array
    intensity: np.ndarray
    precursor: Optional[PrecursorTruth]
    offset: int = 0                     # byte offset of "<spectrum" in the (uncompressed) document


@dataclasses.dataclass
class ChromatogramTruth:
    id: str
    kind: str                           # "tic" or "bpc"
    times: np.ndarray                   # minutes
    intensities: np.ndarray


@dataclasses.dataclass
class FileTruth:
    options: WriteOptions
    spectra: list[SpectrumTruth]
    chromatograms: list[ChromatogramTruth]
    first_scan: int
    instrument_model: str = INSTRUMENT_MODEL
    instrument_serial: str = INSTRUMENT_SERIAL
    software_name: str = SOFTWARE_NAME
    software_version: str = SOFTWARE_VERSION
    sample_id: str = SAMPLE_ID
    sample_name: str = SAMPLE_NAME
    sample_comment: str = SAMPLE_COMMENT
    start_time_stamp: str = START_TIME_STAMP
    source_file_name: str = SOURCE_FILE_NAME
    path: str = ""
    size: int = 0                       # bytes on disk

    @property
    def last_scan(self) -> int:
        return self.first_scan + len(self.spectra) - 1

    def by_scan(self, scan_number: int) -> SpectrumTruth:
        return self.spectra[scan_number - self.first_scan]


def num(x: float) -> str:
    """A float as text that reads back as exactly the same double."""
    return repr(float(x))


def native_id(style: str, position: int, offset: int) -> str:
    if style == "scan":
        return f"scan={position + 1}"
    if style == "offset":
        return f"scan={position + offset}"
    if style == "gaps":
        return f"scan={3 * position + 2}"
    if style == "index":
        return f"index={position}"
    if style == "nonnumeric":
        return f"spectrum_{chr(65 + position % 26)}{position:05d}"
    raise ValueError(style)


def first_scan_of(style: str, offset: int) -> int:
    """The first scan number a reader gives: the ids' own when they run `scan=N`
    contiguously, else 1."""
    return offset if style == "offset" else 1


def filter_text(s: Spectrum) -> str:
    """Our own filter text format: polarity, representation, order, precursor and window."""
    head = f"{'+' if s.polarity == 'positive' else '-'} {'c' if s.centroid else 'p'} ms{s.ms_level}"
    if s.precursor is not None:
        p = s.precursor
        energy = f"{p.collision_energy:.2f}" if p.collision_energy is not None else ""
        head += f" {p.mz:.4f}@{p.activation.lower()}{energy}"
    return f"{head} [{s.window[0]:.2f}-{s.window[1]:.2f}]"


# -- arrays ------------------------------------------------------------------------------------


@dataclasses.dataclass
class _Encoded:
    text: str                # base64
    params: list[tuple[str, str]]
    decoded: np.ndarray      # what a reader must decode


def _encode(values: np.ndarray, kind: str, opts: WriteOptions) -> _Encoded:
    """kind: 'mz', 'intensity' or 'time'."""
    values = np.asarray(values, dtype=np.float64)
    comp = opts.compression
    if comp.startswith("numpress") and values.size:
        import pynumpress

        if kind == "intensity" and opts.numpress_intensity == "pic":
            raw = pynumpress.encode_pic(values)
            decoded = pynumpress.decode_pic(raw)
            term = ("MS:1002313", "MS-Numpress positive integer compression") if comp == "numpress" else \
                ("MS:1002747", "MS-Numpress positive integer compression followed by zlib compression")
        elif kind == "intensity":
            raw = pynumpress.encode_slof(values, pynumpress.optimal_slof_fixed_point(values))
            decoded = pynumpress.decode_slof(raw)
            term = ("MS:1002314", "MS-Numpress short logged float compression") if comp == "numpress" else \
                ("MS:1002748", "MS-Numpress short logged float compression followed by zlib compression")
        else:
            fixed_point = pynumpress.optimal_linear_fixed_point(values)
            raw = pynumpress.encode_linear(values, fixed_point)
            if values.size == 1:
                # The reference decoder refuses a one-value stream; the value is
                # stored as the integer nearest to value * fixed point.
                decoded = np.floor(values * fixed_point + 0.5) / fixed_point
            else:
                decoded = pynumpress.decode_linear(raw)
            term = ("MS:1002312", "MS-Numpress linear prediction compression") if comp == "numpress" else \
                ("MS:1002746", "MS-Numpress linear prediction compression followed by zlib compression")
        payload = np.asarray(raw, dtype=np.uint8).tobytes()
        params = [("MS:1000523", "64-bit float"), term]
        if comp == "numpress-zlib":
            payload = zlib.compress(payload)
            if opts.numpress_zlib_style == "separate":
                plain = {"MS:1002746": ("MS:1002312", "MS-Numpress linear prediction compression"),
                         "MS:1002747": ("MS:1002313", "MS-Numpress positive integer compression"),
                         "MS:1002748": ("MS:1002314", "MS-Numpress short logged float compression")}[term[0]]
                params = [("MS:1000523", "64-bit float"), plain, ("MS:1000574", "zlib compression")]
        return _Encoded(base64.b64encode(payload).decode("ascii"), params, np.asarray(decoded, dtype=np.float64))
    bits = {"mz": opts.mz_bits, "intensity": opts.intensity_bits, "time": 64, "charge": 32}[kind]
    dtype = np.dtype("<f4") if bits == 32 else np.dtype("<f8")
    stored = values.astype(dtype)
    payload = stored.tobytes()
    params = [("MS:1000521", "32-bit float") if bits == 32 else ("MS:1000523", "64-bit float")]
    if comp == "zlib" or (comp == "numpress-zlib"):
        payload = zlib.compress(payload)
        params.append(("MS:1000574", "zlib compression"))
    else:
        params.append(("MS:1000576", "no compression"))
    return _Encoded(base64.b64encode(payload).decode("ascii"), params, stored.astype(np.float64))


ARRAY_TERMS = {
    "charge": ('MS:1000516', 'charge array', ''),
    "mz": ('MS:1000514', 'm/z array', ' unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z"'),
    "intensity": ('MS:1000515', 'intensity array',
                  ' unitCvRef="MS" unitAccession="MS:1000131" unitName="number of detector counts"'),
}


class _Doc:
    """The document as bytes, with the current offset."""

    def __init__(self, pretty: bool, newline: str = "\n"):
        self.buf = io.BytesIO()
        self.pretty = pretty
        self.newline = newline

    def line(self, depth: int, text: str) -> None:
        if self.pretty:
            self.buf.write(("  " * depth + text + self.newline).encode("utf-8"))
        else:
            self.buf.write((text + self.newline).encode("utf-8"))

    @property
    def pos(self) -> int:
        return self.buf.tell()


def _cv(accession: str, name: str, value: str = "", unit: str = "") -> str:
    ref = "UO" if accession.startswith("UO:") else "MS"
    return f'<cvParam cvRef="{ref}" accession="{accession}" name="{name}" value={quoteattr(value)}{unit}/>'


UNIT_MZ = ' unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z"'
UNIT_COUNTS = ' unitCvRef="MS" unitAccession="MS:1000131" unitName="number of detector counts"'
UNIT_SECOND = ' unitCvRef="UO" unitAccession="UO:0000010" unitName="second"'
UNIT_MINUTE = ' unitCvRef="UO" unitAccession="UO:0000031" unitName="minute"'
UNIT_MS = ' unitCvRef="UO" unitAccession="UO:0000028" unitName="millisecond"'
UNIT_EV = ' unitCvRef="UO" unitAccession="UO:0000266" unitName="electronvolt"'


def _binary_array_list(doc: _Doc, depth: int, arrays, alter: dict, time_unit: str = "") -> None:
    doc.line(depth, f'<binaryDataArrayList count="{len(arrays)}">')
    for kind, enc in arrays:
        text = alter.get(f"{kind}_binary", enc.text)
        encoded_length = alter.get("encoded_length", len(text))
        doc.line(depth + 1, f'<binaryDataArray encodedLength="{encoded_length}">')
        for acc, name in enc.params:
            doc.line(depth + 2, _cv(acc, name))
        if kind == "time":
            doc.line(depth + 2, _cv("MS:1000595", "time array", "",
                                    UNIT_SECOND if time_unit == "second" else UNIT_MINUTE))
        else:
            acc, name, unit = ARRAY_TERMS[kind]
            doc.line(depth + 2, _cv(acc, name, "", unit))
        doc.line(depth + 2, f"<binary>{text}</binary>")
        doc.line(depth + 1, "</binaryDataArray>")
    doc.line(depth, "</binaryDataArrayList>")


def _header(doc: _Doc, opts: WriteOptions, run_id: str, n_spectra: int) -> None:
    doc.buf.write(('<?xml version="1.0" encoding="utf-8"?>' + doc.newline).encode())
    ns = 'xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"'
    if opts.indexed:
        doc.line(0, f'<indexedmzML {ns} xsi:schemaLocation="http://psi.hupo.org/ms/mzml '
                    f'http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd">')
        d = 1
    else:
        d = 0
    doc.line(d, f'<mzML {ns} xsi:schemaLocation="http://psi.hupo.org/ms/mzml '
                f'http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd" id={quoteattr(run_id)} version="1.1.0">')
    doc.line(d + 1, '<cvList count="2">')
    doc.line(d + 2, '<cv id="MS" fullName="Proteomics Standards Initiative Mass Spectrometry Ontology" '
                    'version="4.1.30" URI="https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo"/>')
    doc.line(d + 2, '<cv id="UO" fullName="Unit Ontology" version="09:04:2014" '
                    'URI="https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/master/unit.obo"/>')
    doc.line(d + 1, '</cvList>')
    doc.line(d + 1, '<fileDescription>')
    doc.line(d + 2, '<fileContent>')
    doc.line(d + 3, _cv("MS:1000579", "MS1 spectrum"))
    doc.line(d + 3, _cv("MS:1000580", "MSn spectrum"))
    doc.line(d + 2, '</fileContent>')
    id_format = {"scan": ("MS:1000776", "scan number only nativeID format"),
                 "offset": ("MS:1000776", "scan number only nativeID format"),
                 "gaps": ("MS:1000776", "scan number only nativeID format"),
                 "index": ("MS:1000774", "multiple peak list nativeID format"),
                 "nonnumeric": ("MS:1000824", "no nativeID format")}[opts.id_style]
    doc.line(d + 2, '<sourceFileList count="1">')
    doc.line(d + 3, f'<sourceFile id="SF1" name="{SOURCE_FILE_NAME}" location="file:///data/acquisitions">')
    doc.line(d + 4, _cv(*id_format))
    doc.line(d + 4, _cv("MS:1000584", "mzML format"))
    doc.line(d + 4, _cv("MS:1000569", "SHA-1", "8d1f4e0d9b4c2a7e5f3a1c0b9e8d7f6a5b4c3d2e"))
    doc.line(d + 3, '</sourceFile>')
    doc.line(d + 2, '</sourceFileList>')
    doc.line(d + 1, '</fileDescription>')
    instrument_params = [
        _cv("MS:1000031", "instrument model", INSTRUMENT_MODEL),
        _cv("MS:1000529", "instrument serial number", INSTRUMENT_SERIAL),
    ]
    if opts.param_groups:
        doc.line(d + 1, '<referenceableParamGroupList count="3">')
        doc.line(d + 2, '<referenceableParamGroup id="CommonInstrumentParams">')
        for p in instrument_params:
            doc.line(d + 3, p)
        doc.line(d + 2, '</referenceableParamGroup>')
        for level, term in ((1, ("MS:1000579", "MS1 spectrum")), (2, ("MS:1000580", "MSn spectrum"))):
            doc.line(d + 2, f'<referenceableParamGroup id="CommonMS{level}SpectrumParams">')
            doc.line(d + 3, _cv("MS:1000511", "ms level", str(level)))
            doc.line(d + 3, _cv(*term))
            doc.line(d + 2, '</referenceableParamGroup>')
        doc.line(d + 1, '</referenceableParamGroupList>')
    doc.line(d + 1, '<sampleList count="1">')
    doc.line(d + 2, f'<sample id="{SAMPLE_ID}" name={quoteattr(SAMPLE_NAME)}>')
    doc.line(d + 3, _cv("MS:1000002", "sample name", SAMPLE_NAME))
    doc.line(d + 3, f'<userParam name="comment" value={quoteattr(SAMPLE_COMMENT)}/>')
    doc.line(d + 2, '</sample>')
    doc.line(d + 1, '</sampleList>')
    doc.line(d + 1, '<softwareList count="1">')
    doc.line(d + 2, f'<software id="mzmlgen" version="{SOFTWARE_VERSION}">')
    doc.line(d + 3, _cv("MS:1000799", "custom unreleased software tool", SOFTWARE_NAME))
    doc.line(d + 2, '</software>')
    doc.line(d + 1, '</softwareList>')
    doc.line(d + 1, '<instrumentConfigurationList count="1">')
    doc.line(d + 2, '<instrumentConfiguration id="IC1">')
    if opts.param_groups:
        doc.line(d + 3, '<referenceableParamGroupRef ref="CommonInstrumentParams"/>')
    else:
        for p in instrument_params:
            doc.line(d + 3, p)
    doc.line(d + 3, '<componentList count="3">')
    doc.line(d + 4, '<source order="1">')
    doc.line(d + 5, _cv("MS:1000073", "electrospray ionization"))
    doc.line(d + 4, '</source>')
    doc.line(d + 4, '<analyzer order="2">')
    doc.line(d + 5, _cv("MS:1000084", "time-of-flight"))
    doc.line(d + 4, '</analyzer>')
    doc.line(d + 4, '<detector order="3">')
    doc.line(d + 5, _cv("MS:1000114", "microchannel plate detector"))
    doc.line(d + 4, '</detector>')
    doc.line(d + 3, '</componentList>')
    doc.line(d + 3, '<softwareRef ref="mzmlgen"/>')
    doc.line(d + 2, '</instrumentConfiguration>')
    doc.line(d + 1, '</instrumentConfigurationList>')
    doc.line(d + 1, '<dataProcessingList count="1">')
    doc.line(d + 2, '<dataProcessing id="mzmlgen_conversion">')
    doc.line(d + 3, '<processingMethod order="0" softwareRef="mzmlgen">')
    doc.line(d + 4, _cv("MS:1000544", "Conversion to mzML"))
    doc.line(d + 3, '</processingMethod>')
    doc.line(d + 2, '</dataProcessing>')
    doc.line(d + 1, '</dataProcessingList>')
    doc.line(d + 1, f'<run id={quoteattr(run_id)} defaultInstrumentConfigurationRef="IC1" '
                    f'startTimeStamp="{START_TIME_STAMP}" defaultSourceFileRef="SF1" sampleRef="{SAMPLE_ID}">')
    doc.line(d + 2, f'<spectrumList count="{n_spectra}" defaultDataProcessingRef="mzmlgen_conversion">')


def _spectrum(doc: _Doc, depth: int, s: Spectrum, t: SpectrumTruth, enc_mz: _Encoded, enc_in: _Encoded,
              opts: WriteOptions, alter: dict, ref_id: Optional[str], rt_text: str) -> None:
    length = alter.get("default_array_length", enc_mz.decoded.size)
    doc.line(depth, f'<spectrum index="{t.position}" id={quoteattr(t.native_id)} defaultArrayLength="{length}">')
    d = depth + 1
    if opts.param_groups:
        doc.line(d, f'<referenceableParamGroupRef ref="CommonMS{min(s.ms_level, 2)}SpectrumParams"/>')
    else:
        doc.line(d, _cv("MS:1000511", "ms level", str(s.ms_level)))
        doc.line(d, _cv(*(("MS:1000579", "MS1 spectrum") if s.ms_level == 1 else ("MS:1000580", "MSn spectrum"))))
    doc.line(d, _cv(*(("MS:1000130", "positive scan") if s.polarity == "positive" else ("MS:1000129", "negative scan"))))
    doc.line(d, _cv(*(("MS:1000127", "centroid spectrum") if s.centroid else ("MS:1000128", "profile spectrum"))))
    if opts.spectrum_summaries:
        if t.lowest_mz is not None:
            doc.line(d, _cv("MS:1000528", "lowest observed m/z", num(t.lowest_mz), UNIT_MZ))
            doc.line(d, _cv("MS:1000527", "highest observed m/z", num(t.highest_mz), UNIT_MZ))
        doc.line(d, _cv("MS:1000504", "base peak m/z", num(t.base_peak_mz), UNIT_MZ))
        doc.line(d, _cv("MS:1000505", "base peak intensity", num(t.base_peak_intensity), UNIT_COUNTS))
        doc.line(d, _cv("MS:1000285", "total ion current", num(t.tic)))
    doc.line(d, '<scanList count="1">')
    doc.line(d + 1, _cv("MS:1000795", "no combination"))
    doc.line(d + 1, '<scan>')
    unit = UNIT_SECOND if opts.rt_unit == "second" else UNIT_MINUTE
    doc.line(d + 2, _cv("MS:1000016", "scan start time", rt_text, unit))
    if t.filter_text is not None:
        doc.line(d + 2, _cv("MS:1000512", "filter string", t.filter_text))
    doc.line(d + 2, _cv("MS:1000927", "ion injection time", num(t.injection_time), UNIT_MS))
    doc.line(d + 2, '<scanWindowList count="1">')
    doc.line(d + 3, '<scanWindow>')
    doc.line(d + 4, _cv("MS:1000501", "scan window lower limit", num(t.window[0]), UNIT_MZ))
    doc.line(d + 4, _cv("MS:1000500", "scan window upper limit", num(t.window[1]), UNIT_MZ))
    doc.line(d + 3, '</scanWindow>')
    doc.line(d + 2, '</scanWindowList>')
    doc.line(d + 1, '</scan>')
    doc.line(d, '</scanList>')
    if s.precursor is not None:
        p = s.precursor
        doc.line(d, '<precursorList count="1">')
        doc.line(d + 1, f'<precursor spectrumRef={quoteattr(ref_id)}>' if ref_id else '<precursor>')
        doc.line(d + 2, '<isolationWindow>')
        doc.line(d + 3, _cv("MS:1000827", "isolation window target m/z", num(p.isolation_target), UNIT_MZ))
        doc.line(d + 3, _cv("MS:1000828", "isolation window lower offset", num(p.isolation_lower), UNIT_MZ))
        doc.line(d + 3, _cv("MS:1000829", "isolation window upper offset", num(p.isolation_upper), UNIT_MZ))
        doc.line(d + 2, '</isolationWindow>')
        if p.selected_mz is not None:
            doc.line(d + 2, '<selectedIonList count="1">')
            doc.line(d + 3, '<selectedIon>')
            doc.line(d + 4, _cv("MS:1000744", "selected ion m/z", num(p.selected_mz), UNIT_MZ))
            if p.charge:
                doc.line(d + 4, _cv("MS:1000041", "charge state", str(p.charge)))
            doc.line(d + 4, _cv("MS:1000042", "peak intensity", num(p.intensity), UNIT_COUNTS))
            doc.line(d + 3, '</selectedIon>')
            doc.line(d + 2, '</selectedIonList>')
        doc.line(d + 2, '<activation>')
        doc.line(d + 3, _cv(*ACTIVATION_TERMS[p.activation]))
        if p.collision_energy is not None:
            doc.line(d + 3, _cv("MS:1000045", "collision energy", num(p.collision_energy), UNIT_EV))
        doc.line(d + 2, '</activation>')
        doc.line(d + 1, '</precursor>')
        doc.line(d, '</precursorList>')
    arrays = [("intensity", enc_in), ("mz", enc_mz)] if opts.intensity_first else [("mz", enc_mz), ("intensity", enc_in)]
    if opts.extra_arrays:
        charges = np.full(enc_mz.decoded.size, float(s.precursor.charge if s.precursor else 1))
        arrays.insert(0, ("charge", _encode(charges, "charge", WriteOptions(compression="zlib"))))
    _binary_array_list(doc, d, arrays, alter)
    doc.line(depth, '</spectrum>')


def write_mzml(run: Run, path, opts: WriteOptions | None = None) -> FileTruth:
    """Writes `run` to `path` (gzip-compressed when `opts.gzip`) and returns what was written."""
    opts = opts or WriteOptions()
    data, truth = render(run, opts)
    if opts.gzip:
        data = gzip.compress(data, compresslevel=6, mtime=0)
    # Written under a temporary name and renamed, so that an interrupted run
    # never leaves a half-written file under the final name.
    temporary = f"{path}.partial"
    with open(temporary, "wb") as f:
        f.write(data)
    os.replace(temporary, path)
    truth.path = str(path)
    truth.size = len(data)
    return truth


def render(run: Run, opts: WriteOptions) -> tuple[bytes, FileTruth]:
    """The uncompressed document and its truth."""
    if opts.compression not in COMPRESSIONS or opts.id_style not in ID_STYLES or opts.index_mode not in INDEX_MODES:
        raise ValueError("unknown option")
    first = first_scan_of(opts.id_style, opts.scan_offset)
    ids = [native_id(opts.id_style, s.position, opts.scan_offset) for s in run.spectra]
    doc = _Doc(opts.pretty, opts.newline)
    _header(doc, opts, f"run_seed{run.config.seed}", len(run.spectra))
    depth = 4 if opts.indexed else 3
    truths: list[SpectrumTruth] = []
    for s in run.spectra:
        empty = s.position in opts.empty_positions
        mz = s.mz[:0] if empty else s.mz
        inten = s.intensity[:0] if empty else s.intensity
        enc_mz = _encode(mz, "mz", opts)
        enc_in = _encode(inten, "intensity", opts)
        if opts.rt_unit == "second":
            rt_text = num(s.rt * 60.0)
            rt = float(rt_text) / 60.0
        else:
            rt_text = num(s.rt)
            rt = float(rt_text)
        tic = float(inten.sum())
        if inten.size:
            i = int(np.argmax(inten))
            bp = (float(mz[i]), float(inten[i]))
        else:
            bp = (0.0, 0.0)
        prec = None
        ref_id = None
        if s.precursor is not None:
            p = s.precursor
            ref_id = ids[p.ms1_position] if opts.precursor_refs else None
            prec = PrecursorTruth(p.mz, p.selected_mz, p.isolation_target, p.isolation_lower, p.isolation_upper,
                                  p.charge if p.selected_mz is not None else 0, p.activation, p.collision_energy,
                                  ref_id or "", first + p.ms1_position if opts.precursor_refs else -1)
        t = SpectrumTruth(
            position=s.position, native_id=ids[s.position], scan_number=first + s.position, ms_level=s.ms_level,
            rt=rt, centroid=s.centroid, polarity=s.polarity, window=s.window, tic=tic,
            base_peak_mz=bp[0], base_peak_intensity=bp[1],
            lowest_mz=float(mz[0]) if mz.size else None, highest_mz=float(mz[-1]) if mz.size else None,
            injection_time=s.injection_time,
            filter_text=filter_text(s) if opts.filter_strings else None,
            mz=enc_mz.decoded, intensity=enc_in.decoded, precursor=prec, offset=doc.pos + (2 * depth if opts.pretty else 0))
        _spectrum(doc, depth, s, t, enc_mz, enc_in, opts, opts.alter.get(s.position, {}), ref_id, rt_text)
        truths.append(t)
    doc.line(depth - 1, '</spectrumList>')
    chroms: list[ChromatogramTruth] = []
    chrom_offsets: list[tuple[str, int]] = []
    if opts.chromatograms:
        times = np.array([t.rt for t in truths])
        tic = np.array([t.tic for t in truths])
        bpc = np.array([t.base_peak_intensity for t in truths])
        doc.line(depth - 1, '<chromatogramList count="2" defaultDataProcessingRef="mzmlgen_conversion">')
        for index, (cid, kind, term, values) in enumerate((
                ("TIC", "tic", ("MS:1000235", "total ion current chromatogram"), tic),
                ("BPC", "bpc", ("MS:1000628", "basepeak chromatogram"), bpc))):
            unit_scale = 60.0 if opts.chromatogram_time_unit == "second" else 1.0
            enc_t = _encode(times * unit_scale, "time", opts)
            enc_v = _encode(values, "intensity", opts)
            chrom_offsets.append((cid, doc.pos + (2 * depth if opts.pretty else 0)))
            doc.line(depth, f'<chromatogram index="{index}" id="{cid}" defaultArrayLength="{times.size}">')
            doc.line(depth + 1, _cv(*term))
            _binary_array_list(doc, depth + 1, [("time", enc_t), ("intensity", enc_v)], {},
                               opts.chromatogram_time_unit)
            doc.line(depth, '</chromatogram>')
            chroms.append(ChromatogramTruth(cid, kind, enc_t.decoded / unit_scale, enc_v.decoded))
        doc.line(depth - 1, '</chromatogramList>')
    doc.line(depth - 2, '</run>')
    doc.line(depth - 3, '</mzML>')
    if opts.indexed:
        _index(doc, opts, truths, chrom_offsets, run.config.seed)
    return doc.buf.getvalue(), FileTruth(opts, truths, chroms, first)


def _index(doc: _Doc, opts: WriteOptions, truths, chrom_offsets, seed: int) -> None:
    rng = np.random.default_rng(seed + 7)
    list_offset = doc.pos + (2 if opts.pretty else 0)

    def shown(offset: int) -> int:
        if opts.index_mode == "shifted":
            return offset + 17
        if opts.index_mode == "garbage":
            return int(rng.integers(0, list_offset))
        if opts.index_mode == "none-match":
            return offset - 1
        return offset

    doc.line(1, '<indexList count="2">')
    doc.line(2, '<index name="spectrum">')
    for t in truths:
        doc.line(3, f'<offset idRef={quoteattr(t.native_id)}>{shown(t.offset)}</offset>')
    doc.line(2, '</index>')
    doc.line(2, '<index name="chromatogram">')
    for cid, offset in chrom_offsets:
        doc.line(3, f'<offset idRef="{cid}">{shown(offset)}</offset>')
    doc.line(2, '</index>')
    doc.line(1, '</indexList>')
    if opts.index_mode == "bad-list-offset":
        list_offset += 1234
    doc.line(1, f'<indexListOffset>{list_offset}</indexListOffset>')
    prefix = ("  " if opts.pretty else "") + "<fileChecksum>"
    doc.buf.write(prefix.encode())
    sha = hashlib.sha1(doc.buf.getvalue()).hexdigest()
    doc.buf.write(f"{sha}</fileChecksum>{doc.newline}</indexedmzML>{doc.newline}".encode())
