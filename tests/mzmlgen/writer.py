"""Writes a synthetic `Run` as an mzML document in the shapes that converters
produce, and returns the truth: what was written, value for value, as a
reader must decode it.

Shapes (see `WriteOptions`): wrapped in `indexedmzML` with a correct offset
index and SHA-1 checksum, or a bare `mzML`; arrays zlib-compressed,
uncompressed or MS-Numpress (linear m/z; slof or pic intensities, optionally
followed by zlib); 32- or 64-bit floats; gzip-wrapped; with or without filter
texts; native ids `scan=N` (contiguous from 1 or from an offset, with gaps),
`spectrum=N` with gaps, `index=N`, several `key=value` pairs, non-numeric
or free text with spaces; TIC and base-peak chromatograms, and SRM
chromatograms naming their precursor and product m/z (also in files without
spectra); referenceable param groups; retention times in milliseconds,
seconds or minutes; spectra in acquisition order or all MS1 scans first
(retention time then falls back in file order); summaries, filter string and
collision energy as cvParams or userParams, with extra userParams of odd
names; spectra without a centroid/profile term; an instrument known only by
the generic model term; asymmetric isolation windows; non-standard binary
arrays. A few hooks make broken files on purpose (`index_mode`, `alter`).

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
ID_STYLES = ("scan", "offset", "gaps", "index", "nonnumeric", "spectrum-gaps", "keyvalue", "freetext")
ORDERS = ("acquisition", "levels")
SPECTRUM_LISTS = ("spectra", "empty", "absent")
MODEL_TERMS = ("named", "generic")
TIME_UNITS = ("millisecond", "second", "minute")
TIME_SCALE = {"millisecond": 60000.0, "second": 60.0, "minute": 1.0}  # per minute
KEYVALUE_FIRST = 11461                  # first scan of the "keyvalue" ids
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
    order: str = "acquisition"          # one of ORDERS: "levels" writes every MS1 scan, then MS2, then MS3
    user_params: bool = False           # filter string, collision energy, TIC, base peak and observed m/z range
                                        # as userParams (on spectrum, scan, activation), plus extra userParams
    tic_scale: float = 1.0              # the written TIC is the sum of the stored intensities times this
    representation: bool = True         # write the centroid/profile term
    model_term: str = "named"           # one of MODEL_TERMS: "generic" writes the generic term without a value
    isolation_offsets: Optional[tuple[float, float]] = None  # (lower, upper) instead of the run's own
    nonstandard_arrays: tuple[str, ...] = ()   # names of non-standard data arrays written after the others
    padding_params: int = 0             # that many more userParams of about 100 bytes on each scan element
    srm_chromatograms: int = 0          # SRM chromatograms (precursor and product m/z) after TIC and BPC
    spectrum_list: str = "spectra"      # one of SPECTRUM_LISTS: "empty"/"absent" write no spectra


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
    source_scan_number: int


@dataclasses.dataclass
class SpectrumTruth:
    position: int                       # position in the file
    native_id: str
    scan_number: int
    ms_level: int
    rt: float                           # minutes, as the written value converts
    centroid: Optional[bool]            # None: no centroid/profile term written
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
    summaries: bool = True              # TIC, base peak and observed m/z range are written (cv or user params)
    user_params: list = dataclasses.field(default_factory=list)  # (name, value) in document order
    extra_arrays: tuple = ()            # names of the arrays besides m/z and intensity, in document order
    acquisition: int = 0                # position in the run model (acquisition order)

    def stated(self, name: str) -> Optional[float]:
        """A summary value as the file states it ("tic", "base_peak_mz", "base_peak_intensity",
        "lowest_mz", "highest_mz"), None where the file does not."""
        return getattr(self, name) if self.summaries else None


@dataclasses.dataclass
class ChromatogramTruth:
    id: str
    kind: str                           # "tic", "bpc" or "srm"
    times: np.ndarray                   # minutes
    intensities: np.ndarray
    precursor_mz: Optional[float] = None
    product_mz: Optional[float] = None
    term: str = ""                      # the chromatogram type term's name


@dataclasses.dataclass
class FileTruth:
    options: WriteOptions
    spectra: list[SpectrumTruth]
    chromatograms: list[ChromatogramTruth]
    first_scan: int
    instrument_model: Optional[str] = INSTRUMENT_MODEL   # None: only the generic term, without a value
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
    """The id of the spectrum at `position` of the acquisition."""
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
    if style == "spectrum-gaps":
        return f"spectrum={1011 + 2 * position + position // 5}"
    if style == "keyvalue":
        return f"source=A run=2 scan={KEYVALUE_FIRST + position}"
    if style == "freetext":
        # Spaces, a bar, a percent sign and markup characters: what free text may hold.
        return f"run 2 | spot {chr(65 + position % 8)}{position:03d} & 20% <laser>"
    raise ValueError(style)


def _scan_term(native: str) -> Optional[int]:
    """The N of a `scan=N` term of an id (at its start or after a space), None when there is none."""
    for word in native.split(" "):
        if word.startswith("scan="):
            digits = word[5:]
            return int(digits) if digits.isdigit() else None
    return None


def first_scan_of(ids: list[str]) -> int:
    """The first scan number a reader gives: the ids' own when they carry `scan=N`
    numbers running contiguously in file order (and fitting 32 bits), else 1."""
    if not ids:
        return 1
    first = _scan_term(ids[0])
    if first is None or first < 1 or first + len(ids) > 2**31 - 1:
        return 1
    for i, native in enumerate(ids):
        if _scan_term(native) != first + i:
            return 1
    return first


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


TIME_UNITS_XML = {"millisecond": UNIT_MS, "second": UNIT_SECOND, "minute": UNIT_MINUTE}


def _binary_array_list(doc: _Doc, depth: int, arrays, alter: dict, time_unit: str = "") -> None:
    doc.line(depth, f'<binaryDataArrayList count="{len(arrays)}">')
    for kind, enc in arrays:
        text = alter.get(f"{kind}_binary", enc.text)
        encoded_length = alter.get("encoded_length", len(text))
        doc.line(depth + 1, f'<binaryDataArray encodedLength="{encoded_length}">')
        for acc, name in enc.params:
            doc.line(depth + 2, _cv(acc, name))
        if kind == "time":
            doc.line(depth + 2, _cv("MS:1000595", "time array", "", TIME_UNITS_XML[time_unit or "minute"]))
        elif kind.startswith("nonstandard:"):
            doc.line(depth + 2, _cv("MS:1000786", "non-standard data array", kind.split(":", 1)[1],
                                    ' unitCvRef="UO" unitAccession="UO:0000186" unitName="dimensionless unit"'))
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
    if opts.spectrum_list == "spectra":
        doc.line(d + 3, _cv("MS:1000579", "MS1 spectrum"))
        doc.line(d + 3, _cv("MS:1000580", "MSn spectrum"))
    if opts.srm_chromatograms:
        doc.line(d + 3, _cv("MS:1001473", "selected reaction monitoring chromatogram"))
    doc.line(d + 2, '</fileContent>')
    id_format = {"scan": ("MS:1000776", "scan number only nativeID format"),
                 "offset": ("MS:1000776", "scan number only nativeID format"),
                 "gaps": ("MS:1000776", "scan number only nativeID format"),
                 "index": ("MS:1000774", "multiple peak list nativeID format"),
                 "nonnumeric": ("MS:1000824", "no nativeID format"),
                 "spectrum-gaps": ("MS:1000777", "spectrum identifier nativeID format"),
                 "keyvalue": ("MS:1000824", "no nativeID format"),
                 "freetext": ("MS:1000824", "no nativeID format")}[opts.id_style]
    doc.line(d + 2, '<sourceFileList count="1">')
    doc.line(d + 3, f'<sourceFile id="SF1" name="{SOURCE_FILE_NAME}" location="file:///data/acquisitions">')
    doc.line(d + 4, _cv(*id_format))
    doc.line(d + 4, _cv("MS:1000584", "mzML format"))
    doc.line(d + 4, _cv("MS:1000569", "SHA-1", "8d1f4e0d9b4c2a7e5f3a1c0b9e8d7f6a5b4c3d2e"))
    doc.line(d + 3, '</sourceFile>')
    doc.line(d + 2, '</sourceFileList>')
    doc.line(d + 1, '</fileDescription>')
    instrument_params = [
        _cv("MS:1000031", "instrument model", INSTRUMENT_MODEL if opts.model_term == "named" else ""),
        _cv("MS:1000529", "instrument serial number", INSTRUMENT_SERIAL),
    ]
    if opts.param_groups:
        doc.line(d + 1, '<referenceableParamGroupList count="4">')
        doc.line(d + 2, '<referenceableParamGroup id="CommonInstrumentParams">')
        for p in instrument_params:
            doc.line(d + 3, p)
        doc.line(d + 2, '</referenceableParamGroup>')
        for level, term in ((1, ("MS:1000579", "MS1 spectrum")), (2, ("MS:1000580", "MSn spectrum")),
                            (3, ("MS:1000580", "MSn spectrum"))):
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
    if opts.spectrum_list != "absent":
        doc.line(d + 2, f'<spectrumList count="{n_spectra}" defaultDataProcessingRef="mzmlgen_conversion">')


def _user(name: str, value: str) -> str:
    return f'<userParam name={quoteattr(name)} value={quoteattr(value)}/>'


# Extra userParams of the "user_params" shape: names with spaces, colons and a
# bracketed prefix; values with spaces kept at both ends, a bar and a percent sign.
EXTRA_SPECTRUM_PARAMS = (("[mzmlgen extra]Scan Segment:", "1"), ("acquisition note", "  kept as written  "))
EXTRA_SCAN_PARAMS = (("[mzmlgen extra]Monitor Target:", "a|b at 5%"),)
EXTRA_ION_PARAMS = (("[mzmlgen extra]Precursor Purity:", "0.87"),)
EXTRA_ACTIVATION_PARAMS = (("activation note", "stepped: 25;30;35"),)


def _spectrum(doc: _Doc, depth: int, s: Spectrum, t: SpectrumTruth, enc_mz: _Encoded, enc_in: _Encoded,
              opts: WriteOptions, alter: dict, ref_id: Optional[str], rt_text: str) -> None:
    """Writes one spectrum and records its userParams in t.user_params, in document order."""
    length = alter.get("default_array_length", enc_mz.decoded.size)
    doc.line(depth, f'<spectrum index="{t.position}" id={quoteattr(t.native_id)} defaultArrayLength="{length}">')
    d = depth + 1
    users = opts.user_params

    def user_params(level: int, params) -> None:
        for name, value in params:
            doc.line(level, _user(name, value))
            t.user_params.append((name, value))

    if opts.param_groups:
        doc.line(d, f'<referenceableParamGroupRef ref="CommonMS{s.ms_level}SpectrumParams"/>')
    else:
        doc.line(d, _cv("MS:1000511", "ms level", str(s.ms_level)))
        doc.line(d, _cv(*(("MS:1000579", "MS1 spectrum") if s.ms_level == 1 else ("MS:1000580", "MSn spectrum"))))
    doc.line(d, _cv(*(("MS:1000130", "positive scan") if s.polarity == "positive" else ("MS:1000129", "negative scan"))))
    if opts.representation:
        doc.line(d, _cv(*(("MS:1000127", "centroid spectrum") if s.centroid else ("MS:1000128", "profile spectrum"))))
    if opts.spectrum_summaries and not users:
        if t.lowest_mz is not None:
            doc.line(d, _cv("MS:1000528", "lowest observed m/z", num(t.lowest_mz), UNIT_MZ))
            doc.line(d, _cv("MS:1000527", "highest observed m/z", num(t.highest_mz), UNIT_MZ))
        doc.line(d, _cv("MS:1000504", "base peak m/z", num(t.base_peak_mz), UNIT_MZ))
        doc.line(d, _cv("MS:1000505", "base peak intensity", num(t.base_peak_intensity), UNIT_COUNTS))
        doc.line(d, _cv("MS:1000285", "total ion current", num(t.tic)))
    if users:
        summary = [("total ion current", num(t.tic)), ("base peak m/z", num(t.base_peak_mz)),
                   ("base peak intensity", num(t.base_peak_intensity))] if opts.spectrum_summaries else []
        user_params(d, summary + list(EXTRA_SPECTRUM_PARAMS))
    doc.line(d, '<scanList count="1">')
    doc.line(d + 1, _cv("MS:1000795", "no combination"))
    doc.line(d + 1, '<scan>')
    doc.line(d + 2, _cv("MS:1000016", "scan start time", rt_text, TIME_UNITS_XML[opts.rt_unit]))
    if t.filter_text is not None and not users:
        doc.line(d + 2, _cv("MS:1000512", "filter string", t.filter_text))
    doc.line(d + 2, _cv("MS:1000927", "ion injection time", num(t.injection_time), UNIT_MS))
    if users:
        scan_params = [("filter string", t.filter_text)] if t.filter_text is not None else []
        if opts.spectrum_summaries and t.lowest_mz is not None:
            scan_params += [("lowest observed m/z", num(t.lowest_mz)), ("highest observed m/z", num(t.highest_mz))]
        user_params(d + 2, scan_params + list(EXTRA_SCAN_PARAMS))
    user_params(d + 2, [(f"[mzmlgen padding]Note {k:04d}:", f"{k:04d} " + "x" * 90) for k in range(opts.padding_params)])
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
        pt = t.precursor
        doc.line(d, '<precursorList count="1">')
        doc.line(d + 1, f'<precursor spectrumRef={quoteattr(ref_id)}>' if ref_id else '<precursor>')
        doc.line(d + 2, '<isolationWindow>')
        doc.line(d + 3, _cv("MS:1000827", "isolation window target m/z", num(pt.isolation_target), UNIT_MZ))
        doc.line(d + 3, _cv("MS:1000828", "isolation window lower offset", num(pt.isolation_lower), UNIT_MZ))
        doc.line(d + 3, _cv("MS:1000829", "isolation window upper offset", num(pt.isolation_upper), UNIT_MZ))
        doc.line(d + 2, '</isolationWindow>')
        if p.selected_mz is not None:
            doc.line(d + 2, '<selectedIonList count="1">')
            doc.line(d + 3, '<selectedIon>')
            doc.line(d + 4, _cv("MS:1000744", "selected ion m/z", num(p.selected_mz), UNIT_MZ))
            if p.charge:
                doc.line(d + 4, _cv("MS:1000041", "charge state", str(p.charge)))
            doc.line(d + 4, _cv("MS:1000042", "peak intensity", num(p.intensity), UNIT_COUNTS))
            if users:
                user_params(d + 4, EXTRA_ION_PARAMS)
            doc.line(d + 3, '</selectedIon>')
            doc.line(d + 2, '</selectedIonList>')
        doc.line(d + 2, '<activation>')
        doc.line(d + 3, _cv(*ACTIVATION_TERMS[p.activation]))
        if p.collision_energy is not None and not users:
            doc.line(d + 3, _cv("MS:1000045", "collision energy", num(p.collision_energy), UNIT_EV))
        if users:
            energy = [("collision energy", num(p.collision_energy))] if p.collision_energy is not None else []
            user_params(d + 3, energy + list(EXTRA_ACTIVATION_PARAMS))
        doc.line(d + 2, '</activation>')
        doc.line(d + 1, '</precursor>')
        doc.line(d, '</precursorList>')
    arrays = [("intensity", enc_in), ("mz", enc_mz)] if opts.intensity_first else [("mz", enc_mz), ("intensity", enc_in)]
    if opts.extra_arrays:
        charges = np.full(enc_mz.decoded.size, float(s.precursor.charge if s.precursor else 1))
        arrays.insert(0, ("charge", _encode(charges, "charge", WriteOptions(compression="zlib"))))
    for k, name in enumerate(opts.nonstandard_arrays):
        values = np.arange(enc_mz.decoded.size, dtype=np.float64) * (k + 1)
        arrays.append((f"nonstandard:{name}", _encode(values, "charge", WriteOptions(compression="zlib"))))
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
    if (opts.compression not in COMPRESSIONS or opts.id_style not in ID_STYLES or opts.index_mode not in INDEX_MODES
            or opts.order not in ORDERS or opts.spectrum_list not in SPECTRUM_LISTS
            or opts.model_term not in MODEL_TERMS or opts.rt_unit not in TIME_UNITS
            or opts.chromatogram_time_unit not in TIME_UNITS):
        raise ValueError("unknown option")
    spectra = run.spectra if opts.spectrum_list == "spectra" else []
    # File order: acquisition order, or every MS1 scan, then every MS2 scan, ...
    in_file = sorted(spectra, key=lambda s: (s.ms_level, s.position)) if opts.order == "levels" else list(spectra)
    file_position = {s.position: k for k, s in enumerate(in_file)}
    # Ids follow the acquisition, so with "levels" they no longer rise in file order.
    ids = {s.position: native_id(opts.id_style, s.position, opts.scan_offset) for s in spectra}
    first = first_scan_of([ids[s.position] for s in in_file])
    doc = _Doc(opts.pretty, opts.newline)
    _header(doc, opts, f"run_seed{run.config.seed}", len(in_file))
    depth = 4 if opts.indexed else 3
    time_scale = TIME_SCALE[opts.rt_unit]
    truths: list[SpectrumTruth] = []
    for k, s in enumerate(in_file):
        empty = s.position in opts.empty_positions
        mz = s.mz[:0] if empty else s.mz
        inten = s.intensity[:0] if empty else s.intensity
        enc_mz = _encode(mz, "mz", opts)
        enc_in = _encode(inten, "intensity", opts)
        rt_text = num(s.rt * time_scale) if time_scale != 1.0 else num(s.rt)
        rt = float(rt_text) / time_scale if time_scale != 1.0 else float(rt_text)
        tic = float(inten.sum())
        if opts.spectrum_summaries and opts.tic_scale != 1.0:
            tic = float(num(tic * opts.tic_scale))
        if inten.size:
            i = int(np.argmax(inten))
            bp = (float(mz[i]), float(inten[i]))
        else:
            bp = (0.0, 0.0)
        prec = None
        ref_id = None
        if s.precursor is not None:
            p = s.precursor
            ref_id = ids[p.source_position] if opts.precursor_refs else None
            lower, upper = opts.isolation_offsets or (p.isolation_lower, p.isolation_upper)
            prec = PrecursorTruth(p.mz, p.selected_mz, p.isolation_target, lower, upper,
                                  p.charge if p.selected_mz is not None else 0, p.activation, p.collision_energy,
                                  ref_id or "", first + file_position[p.source_position] if opts.precursor_refs else -1)
        extra = (("charge array",) if opts.extra_arrays else ()) + tuple(opts.nonstandard_arrays)
        t = SpectrumTruth(
            position=k, native_id=ids[s.position], scan_number=first + k, ms_level=s.ms_level,
            rt=rt, centroid=s.centroid if opts.representation else None, polarity=s.polarity, window=s.window, tic=tic,
            base_peak_mz=bp[0], base_peak_intensity=bp[1],
            lowest_mz=float(mz[0]) if mz.size else None, highest_mz=float(mz[-1]) if mz.size else None,
            injection_time=s.injection_time,
            filter_text=filter_text(s) if opts.filter_strings else None,
            mz=enc_mz.decoded, intensity=enc_in.decoded, precursor=prec, offset=doc.pos + (2 * depth if opts.pretty else 0),
            summaries=opts.spectrum_summaries, extra_arrays=extra, acquisition=s.position)
        _spectrum(doc, depth, s, t, enc_mz, enc_in, opts, opts.alter.get(s.position, {}), ref_id, rt_text)
        truths.append(t)
    if opts.spectrum_list != "absent":
        doc.line(depth - 1, '</spectrumList>')
    chroms: list[ChromatogramTruth] = []
    chrom_offsets: list[tuple[str, int]] = []
    written: list[tuple[str, str, tuple[str, str], np.ndarray, np.ndarray, list[str]]] = []
    if opts.chromatograms and truths:
        times = np.array([t.rt for t in truths])
        tic = np.array([t.tic for t in truths])
        bpc = np.array([t.base_peak_intensity for t in truths])
        written.append(("TIC", "tic", ("MS:1000235", "total ion current chromatogram"), times, tic, []))
        written.append(("BPC", "bpc", ("MS:1000628", "basepeak chromatogram"), times, bpc, []))
    srm = _srm_traces(run, opts.srm_chromatograms)
    for cid, q1, q3, energy, times, values in srm:
        body = ['<precursor>', '  <isolationWindow>',
                '    ' + _cv("MS:1000827", "isolation window target m/z", num(q1), UNIT_MZ), '  </isolationWindow>',
                '  <activation>', '    ' + _cv(*ACTIVATION_TERMS["CID"]),
                '    ' + _cv("MS:1000045", "collision energy", num(energy), UNIT_EV), '  </activation>',
                '</precursor>', '<product>', '  <isolationWindow>',
                '    ' + _cv("MS:1000827", "isolation window target m/z", num(q3), UNIT_MZ), '  </isolationWindow>',
                '</product>']
        written.append((cid, "srm", ("MS:1001473", "selected reaction monitoring chromatogram"), times, values, body))
    if written:
        doc.line(depth - 1, f'<chromatogramList count="{len(written)}" defaultDataProcessingRef="mzmlgen_conversion">')
        unit_scale = TIME_SCALE[opts.chromatogram_time_unit]
        for index, (cid, kind, term, times, values, body) in enumerate(written):
            enc_t = _encode(times * unit_scale, "time", opts)
            enc_v = _encode(values, "intensity", opts)
            chrom_offsets.append((cid, doc.pos + (2 * depth if opts.pretty else 0)))
            doc.line(depth, f'<chromatogram index="{index}" id={quoteattr(cid)} defaultArrayLength="{times.size}">')
            doc.line(depth + 1, _cv(*term))
            for line in body:
                doc.line(depth + 1, line)
            _binary_array_list(doc, depth + 1, [("time", enc_t), ("intensity", enc_v)], {},
                               opts.chromatogram_time_unit)
            doc.line(depth, '</chromatogram>')
            q = next(((q1, q3) for c, q1, q3, *_ in srm if c == cid), (None, None))
            chroms.append(ChromatogramTruth(cid, kind, enc_t.decoded / unit_scale, enc_v.decoded, q[0], q[1], term[1]))
        doc.line(depth - 1, '</chromatogramList>')
    doc.line(depth - 2, '</run>')
    doc.line(depth - 3, '</mzML>')
    if opts.indexed:
        _index(doc, opts, truths, chrom_offsets, run.config.seed)
    model = INSTRUMENT_MODEL if opts.model_term == "named" else None
    return doc.buf.getvalue(), FileTruth(opts, truths, chroms, first, instrument_model=model)


def _srm_traces(run: Run, count: int):
    """`count` SRM transitions over the run's time range: (id, precursor m/z, product m/z,
    collision energy, times in minutes, intensities), each sampled at its own times."""
    rng = np.random.default_rng(run.config.seed + 101)
    out = []
    start, end = run.config.rt_start, run.config.rt_end
    for k in range(count):
        q1 = round(float(rng.uniform(300.0, 900.0)), 4)
        q3 = round(float(rng.uniform(100.0, q1 - 10.0)), 4)
        energy = round(float(rng.uniform(10.0, 40.0)), 1)
        points = int(rng.integers(120, 200))
        times = np.round(np.sort(rng.uniform(start, end, points)), 6)
        apex, width = rng.uniform(start, end), (end - start) * rng.uniform(0.01, 0.04)
        values = np.round(10 ** rng.uniform(4, 6) * np.exp(-0.5 * ((times - apex) / width) ** 2)
                          + rng.uniform(0.0, 200.0, points), 2)
        out.append((f"SRM {k + 1} Q1={q1:.4f} Q3={q3:.4f}", q1, q3, energy, times, values))
    return out


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
