"""A streaming writer of indexed mzML 1.1.

The document is written from text templates, one spectrum at a time, with
arrays as float64 binary data (zlib, uncompressed or MS-Numpress), inside an
``indexedmzML`` wrapper: the byte offset of every spectrum and chromatogram,
the offset of the index, and the SHA-1 of every byte before the checksum's
value. Only the offsets of the spectra written so far are kept in memory.
"""

from __future__ import annotations

import hashlib
import re
from collections import Counter
from collections.abc import Iterable
from types import TracebackType
from typing import IO

from .binary import Encoded, EncodingPipeline, check_compression, encode_pair
from .record import ChromatogramRecord, PrecursorRecord, RunRecord, SpectrumRecord, xml_name
from .vocabulary import ACTIVATION_TERMS, CHROMATOGRAM_TERMS, CV_LIST, TERMS, UNITS
from .xmltext import TextForXml, number

_NS = ('xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
       'xsi:schemaLocation="http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd"')
_SOFTWARE_ID = "corvix"
_PROCESSING_ID = "corvix_conversion"
_CONFIGURATION_ID = "IC1"
_SOURCE_ID = "SF1"
_SAMPLE_ID = "sample_1"
_FLUSH_BYTES = 4 << 20
# The form of a spectrum id that the schema allows: key=value pairs separated by single spaces.
_ID_FORM = re.compile(r"[^ \t\r\n]+=[^ \t\r\n]+(?: [^ \t\r\n]+=[^ \t\r\n]+)*")
# Terms of a spectrum's summary values; the unit of each.
_SUMMARIES = (("total ion current", "number of detector counts"), ("base peak m/z", "m/z"),
              ("base peak intensity", "number of detector counts"), ("lowest observed m/z", "m/z"),
              ("highest observed m/z", "m/z"))


def cv(name: str, value: str = "", unit: str | None = None) -> str:
    """A cvParam element of the term `name` (see :data:`~corvix.writers.vocabulary.TERMS`)."""
    term = TERMS[name]
    text = f'<cvParam cvRef="{term.cv}" accession="{term.accession}" name="{term.name}" value="{value}"'
    if unit is not None:
        u = UNITS[unit]
        text += f' unitCvRef="{u.cv}" unitAccession="{u.accession}" unitName="{u.name}"'
    return text + "/>"


# Elements written unchanged for many spectra.
_FIXED = {name: cv(name) for name in TERMS}
_MS_LEVEL = {level: cv("ms level", str(level)) for level in range(1, 11)}
_POLARITY = {"+": _FIXED["positive scan"], "-": _FIXED["negative scan"]}
_CENTROID = {True: _FIXED["centroid spectrum"], False: _FIXED["profile spectrum"]}
_ARRAY_NAME = {
    "mz": cv("m/z array", unit="m/z"),
    "intensity": cv("intensity array", unit="number of detector counts"),
    "time": cv("time array", unit="minute"),
}


class MzMLWriter:
    """Writes one run as indexed mzML to a binary stream.

    Use as a context manager, or call :meth:`close` when every spectrum is
    written::

        with MzMLWriter(out, run_record, compression="zlib") as writer:
            for spectrum in records:
                writer.write(spectrum)

    Exactly ``run.spectrum_count`` spectra must be written; the run's
    chromatograms follow them. Leaving the block on an exception writes no
    ending (the caller discards the output).
    """

    def __init__(self, out: IO[bytes], run: RunRecord, compression: str = "zlib", threads: int = 2) -> None:
        self._out = out
        self._run = run
        self._compression = check_compression(compression)
        self._sha1 = hashlib.sha1()
        self._position = 0
        # Output is gathered and hashed and written a few MB at a time.
        self._buffer = bytearray()
        self._offsets: list[tuple[str, int]] = []
        self._ids: set[str] = set()
        # Native ids written under another id (see _spectrum_id), and what they became.
        self._renamed: dict[str, str] = {}
        self._text = TextForXml()
        self.notes: Counter[str] = Counter()
        """What could not be written as it was, with counts."""
        self.written = 0
        """Spectra written so far."""
        # zlib and Numpress run in worker threads; base64 alone is cheaper inline.
        self._pipeline: EncodingPipeline[tuple[object, object, str], tuple[Encoded, Encoded]] = EncodingPipeline(
            encode_pair, threads=0 if compression == "none" else threads)  # type: ignore[arg-type]
        self._closed = False
        self._emit(self._header().encode("utf-8"))

    # -- output ---------------------------------------------------------------------------

    def _emit(self, data: bytes) -> None:
        self._buffer += data
        self._position += len(data)
        if len(self._buffer) >= _FLUSH_BYTES:
            self._flush()

    def _flush(self) -> None:
        if self._buffer:
            self._sha1.update(self._buffer)
            self._out.write(self._buffer)
            self._buffer.clear()

    def _attr(self, text: str) -> str:
        return self._text(text)

    # -- header ---------------------------------------------------------------------------

    def _header(self) -> str:
        from .. import __version__

        run, a = self._run, self._attr
        lines = ['<?xml version="1.0" encoding="utf-8"?>', f"<indexedmzML {_NS}>",
                 f'  <mzML xmlns="http://psi.hupo.org/ms/mzml" id="{a(run.run_id)}" version="1.1.0">',
                 f'    <cvList count="{len(CV_LIST)}">']
        lines += [f'      <cv id="{cv_id}" fullName="{a(name)}" URI="{a(uri)}"/>' for cv_id, name, uri in CV_LIST]
        lines += ["    </cvList>", "    <fileDescription>", "      <fileContent>"]
        if 1 in run.ms_levels:
            lines.append("        " + _FIXED["MS1 spectrum"])
        if any(level > 1 for level in run.ms_levels):
            lines.append("        " + _FIXED["MSn spectrum"])
        lines.append("      </fileContent>")
        lines.append('      <sourceFileList count="1">')
        location = _file_location(run.source_path)
        lines.append(f'        <sourceFile id="{_SOURCE_ID}" name="{a(run.source_name)}" location="{a(location)}">')
        for term in (run.native_id_format, run.source_format):
            if term is not None:
                lines.append("          " + _FIXED[term])
        lines += ["        </sourceFile>", "      </sourceFileList>", "    </fileDescription>"]
        sample_ref = ""
        name, sample_id = run.sample.get("name"), run.sample.get("id")
        if name or sample_id:
            sample_ref = f' sampleRef="{_SAMPLE_ID}"'
            lines.append('    <sampleList count="1">')
            lines.append(f'      <sample id="{_SAMPLE_ID}"' + (f' name="{a(name)}">' if name else ">"))
            if name:
                lines.append("        " + cv("sample name", a(name)))
            if sample_id:
                lines.append("        " + cv("sample number", a(sample_id)))
            lines += ["      </sample>", "    </sampleList>"]
        lines += ['    <softwareList count="1">',
                  f'      <software id="{_SOFTWARE_ID}" version="{a(__version__)}">',
                  "        " + cv("custom unreleased software tool", "corvix"),
                  "      </software>", "    </softwareList>",
                  '    <instrumentConfigurationList count="1">',
                  f'      <instrumentConfiguration id="{_CONFIGURATION_ID}">']
        if run.instrument.get("model"):
            lines.append("        " + cv("instrument model", a(str(run.instrument["model"]))))
        if run.instrument.get("serial_number"):
            lines.append("        " + cv("instrument serial number", a(str(run.instrument["serial_number"]))))
        lines += ["      </instrumentConfiguration>", "    </instrumentConfigurationList>",
                  '    <dataProcessingList count="1">', f'      <dataProcessing id="{_PROCESSING_ID}">',
                  f'        <processingMethod order="1" softwareRef="{_SOFTWARE_ID}">',
                  "          " + _FIXED["Conversion to mzML"], "        </processingMethod>",
                  "      </dataProcessing>", "    </dataProcessingList>"]
        start = f' startTimeStamp="{a(run.start_time)}"' if run.start_time else ""
        lines.append(f'    <run id="{a(run.run_id)}" defaultInstrumentConfigurationRef="{_CONFIGURATION_ID}"'
                     f' defaultSourceFileRef="{_SOURCE_ID}"{sample_ref}{start}>')
        lines.append(f'      <spectrumList count="{run.spectrum_count}" defaultDataProcessingRef="{_PROCESSING_ID}">')
        return "\n".join(lines) + "\n"

    # -- spectra --------------------------------------------------------------------------

    def write(self, spectrum: SpectrumRecord) -> None:
        """Write one spectrum (its arrays are encoded in the background; it appears in order)."""
        if self._closed:
            raise ValueError("the mzML writer is closed")
        if len(spectrum.mz) != len(spectrum.intensity):
            raise ValueError(f"spectrum {spectrum.native_id}: {len(spectrum.mz)} m/z values but "
                             f"{len(spectrum.intensity)} intensities")
        if self.written >= self._run.spectrum_count:
            raise ValueError(f"more spectra than the {self._run.spectrum_count} announced")
        self.written += 1
        work = (spectrum.mz, spectrum.intensity, self._compression)
        for item, arrays in self._pipeline.put(spectrum, work, 16 * len(spectrum.mz)):
            self._spectrum(item, arrays)  # type: ignore[arg-type]

    def _spectrum_id(self, s: SpectrumRecord) -> str:
        """The id a spectrum is written under: its native id when the schema allows it (key=value pairs)
        and no spectrum written before has it; otherwise "index=N" (its position), the native id being
        kept as its spectrum title."""
        native = s.native_id
        if _ID_FORM.fullmatch(native) and native not in self._ids:
            written = native
        else:
            written, copy = f"index={s.index}", 0
            while written in self._ids:
                copy += 1
                written = f"index={s.index} copy={copy}"
            self._renamed.setdefault(native, written)
        self._ids.add(written)
        return written

    def _reference(self, native: str) -> str | None:
        """What a precursor's reference to the spectrum of native id `native` is written as."""
        if native in self._renamed:
            return self._renamed[native]
        if _ID_FORM.fullmatch(native):
            return native
        # A spectrum not written before this one, under an id that will not be its own.
        self.notes["precursor references to spectra not written before them"] += 1
        return None

    def _spectrum(self, s: SpectrumRecord, arrays: tuple[Encoded, Encoded]) -> None:
        a = self._attr
        identifier = a(self._spectrum_id(s))
        self._offsets.append((identifier, self._position + 8))
        level = _MS_LEVEL.get(s.ms_level) or cv("ms level", str(s.ms_level))
        lines = [f'        <spectrum index="{s.index}" id="{identifier}" defaultArrayLength="{len(s.mz)}">',
                 "          " + level]
        if s.ms_level == 1:
            lines.append("          " + _FIXED["MS1 spectrum"])
        elif s.ms_level > 1:
            lines.append("          " + _FIXED["MSn spectrum"])
        if identifier != a(s.native_id):
            lines.append("          " + cv("spectrum title", a(s.native_id)))
        if s.polarity in _POLARITY:
            lines.append("          " + _POLARITY[s.polarity])
        if s.centroid is not None:
            lines.append("          " + _CENTROID[s.centroid])
        # A value the file states as a userParam is written by that userParam alone, as the file wrote it.
        as_user = {name.lower() for name, _ in s.user_params}
        for (term, unit), stated in zip(_SUMMARIES, summaries(s)):
            if stated is not None and term not in as_user:
                lines.append("          " + cv(term, number(stated), unit))
        for name, value in s.user_params:
            lines.append(f'          <userParam name="{a(name)}" value="{a(value)}"/>')
        if s.user_params_left_out:
            self.notes["userParams the Reader library could not pass on (its trailer text was full)"] += \
                s.user_params_left_out
        if s.extra_arrays:
            self.notes["binary arrays besides m/z and intensity (their values are not read)"] += len(s.extra_arrays)
        lines += ['          <scanList count="1">', "            " + _FIXED["no combination"],
                  "            <scan>",
                  "              " + cv("scan start time", number(s.rt), "minute")]
        if s.filter is not None and "filter string" not in as_user:
            lines.append("              " + cv("filter string", a(s.filter)))
        lines += ["            </scan>", "          </scanList>"]
        if s.precursors:
            lines.append(f'          <precursorList count="{len(s.precursors)}">')
            for precursor in s.precursors:
                self._precursor(lines, precursor)
            lines.append("          </precursorList>")
        self._emit(("\n".join(lines) + "\n").encode("utf-8"))
        self._arrays(arrays, ("mz", "intensity"), "          ")
        self._emit(b"        </spectrum>\n")

    def _precursor(self, lines: list[str], p: PrecursorRecord) -> None:
        target = None if p.spectrum_ref is None else self._reference(p.spectrum_ref)
        ref = "" if target is None else f' spectrumRef="{self._attr(target)}"'
        lines.append(f"            <precursor{ref}>")
        window = [("isolation window target m/z", p.isolation_target),
                  ("isolation window lower offset", p.isolation_lower_offset),
                  ("isolation window upper offset", p.isolation_upper_offset)]
        if any(value is not None for _, value in window):
            lines.append("              <isolationWindow>")
            lines += ["                " + cv(name, number(value), "m/z") for name, value in window if value is not None]
            lines.append("              </isolationWindow>")
        if p.mz is not None:
            lines += ['              <selectedIonList count="1">', "                <selectedIon>",
                      "                  " + cv("selected ion m/z", number(p.mz), "m/z")]
            if p.charge is not None:
                lines.append("                  " + cv("charge state", str(p.charge)))
            lines += ["                </selectedIon>", "              </selectedIonList>"]
        lines.append("              <activation>")
        if p.activation in ACTIVATION_TERMS:
            lines.append("                " + _FIXED[ACTIVATION_TERMS[p.activation]])
        elif p.activation is not None:
            self.notes[f"activation {p.activation!r} (no vocabulary term)"] += 1
        if p.collision_energy is not None:
            lines.append("                " + cv("collision energy", number(p.collision_energy), "electronvolt"))
        lines += ["              </activation>", "            </precursor>"]

    def _arrays(self, arrays: tuple[Encoded, Encoded], kinds: tuple[str, str], indent: str) -> None:
        self._emit(f'{indent}<binaryDataArrayList count="2">\n'.encode())
        for encoded, kind in zip(arrays, kinds):
            head = [f'{indent}  <binaryDataArray encodedLength="{len(encoded.text)}">']
            head += [f"{indent}    {_FIXED[term]}" for term in encoded.terms]
            head.append(f"{indent}    {_ARRAY_NAME[kind]}")
            head.append(f"{indent}    <binary>")
            self._emit("\n".join(head).encode())
            self._emit(encoded.text)
            self._emit(f"</binary>\n{indent}  </binaryDataArray>\n".encode())
        self._emit(f"{indent}</binaryDataArrayList>\n".encode())

    # -- chromatograms and the index ---------------------------------------------------------

    def _chromatograms(self, records: Iterable[ChromatogramRecord]) -> list[tuple[str, int]]:
        records = list(records)
        offsets: list[tuple[str, int]] = []
        if not records:
            return offsets
        a = self._attr
        self._emit(f'      <chromatogramList count="{len(records)}" '
                   f'defaultDataProcessingRef="{_PROCESSING_ID}">\n'.encode())
        seen: set[str] = set()
        for index, c in enumerate(records):
            if len(c.rt) != len(c.intensity):
                raise ValueError(f"chromatogram {c.id}: {len(c.rt)} times but {len(c.intensity)} intensities")
            name, copy = c.id, 0
            while name in seen:  # ids must be unique: a repeated one gets a number
                copy += 1
                name = f"{c.id} ({copy + 1})"
            if copy:
                self.notes["chromatogram ids repeated (numbered)"] += 1
            seen.add(name)
            identifier = a(name)
            offsets.append((identifier, self._position + 8))
            lines = [f'        <chromatogram index="{index}" id="{identifier}" defaultArrayLength="{len(c.rt)}">']
            if c.kind in CHROMATOGRAM_TERMS:
                lines.append("          " + _FIXED[CHROMATOGRAM_TERMS[c.kind]])
            elif c.kind in TERMS and c.kind.endswith(" chromatogram"):
                lines.append("          " + _FIXED[c.kind])
            elif c.kind is not None:
                self.notes[f"chromatogram kind {c.kind!r} (no vocabulary term)"] += 1
            for element, mz in (("precursor", c.precursor_mz), ("product", c.product_mz)):
                if mz is not None:
                    lines += [f"          <{element}>", "            <isolationWindow>",
                              "              " + cv("isolation window target m/z", number(mz), "m/z"),
                              "            </isolationWindow>"]
                    if element == "precursor":
                        lines.append("            <activation/>")
                    lines.append(f"          </{element}>")
            self._emit(("\n".join(lines) + "\n").encode("utf-8"))
            self._arrays(encode_pair((c.rt, c.intensity, self._compression), ("time", "intensity")),
                         ("time", "intensity"), "          ")
            self._emit(b"        </chromatogram>\n")
        self._emit(b"      </chromatogramList>\n")
        return offsets

    def close(self) -> None:
        """Write what is left: the queued spectra, the chromatograms, the index and the checksum."""
        if self._closed:
            return
        try:
            for item, arrays in self._pipeline.drain():
                self._spectrum(item, arrays)  # type: ignore[arg-type]
        finally:
            self._pipeline.close()
        self._closed = True
        if self.written != self._run.spectrum_count:
            raise ValueError(f"{self.written} spectra written, {self._run.spectrum_count} announced")
        self._emit(b"      </spectrumList>\n")
        chromatograms = self._chromatograms(self._run.chromatograms)
        self._emit(b"    </run>\n  </mzML>\n")
        index_offset = self._position + 2
        parts = [f'  <indexList count="{2 if chromatograms else 1}">\n    <index name="spectrum">\n']
        parts += [f'      <offset idRef="{i}">{offset}</offset>\n' for i, offset in self._offsets]
        parts.append("    </index>\n")
        if chromatograms:
            parts.append('    <index name="chromatogram">\n')
            parts += [f'      <offset idRef="{i}">{offset}</offset>\n' for i, offset in chromatograms]
            parts.append("    </index>\n")
        parts.append(f"  </indexList>\n  <indexListOffset>{index_offset}</indexListOffset>\n  <fileChecksum>")
        self._emit("".join(parts).encode("utf-8"))
        self._flush()
        self._out.write(f"{self._sha1.hexdigest()}</fileChecksum>\n</indexedmzML>\n".encode())
        if self._text.replaced:
            self.notes["texts with characters XML cannot hold (replaced by U+FFFD)"] += self._text.replaced

    def abandon(self) -> None:
        """Stop without writing an ending (the output is incomplete and must be discarded)."""
        self._closed = True
        self._pipeline.close()

    def __enter__(self) -> MzMLWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        if kind is None:
            self.close()
        else:
            self.abandon()


def summaries(s: SpectrumRecord) -> tuple[float | None, ...]:
    """Total ion current, base peak m/z and intensity, lowest and highest observed m/z of a spectrum: as the
    source states them, computed from the peaks where it does not (no base peak or m/z range without peaks)."""
    stated = (s.tic, s.base_peak_mz, s.base_peak_intensity, s.lowest_mz, s.highest_mz)
    if all(value is not None for value in stated):
        return stated
    tic = s.tic if s.tic is not None else float(s.intensity.sum())
    if not len(s.mz):
        return (tic,) + stated[1:]
    top = int(s.intensity.argmax())
    computed = (tic, float(s.mz[top]), float(s.intensity[top]), float(s.mz.min()), float(s.mz.max()))
    return tuple(value if value is not None else fallback for value, fallback in zip(stated, computed))


def _file_location(path: str) -> str:
    """The file URI of the directory holding `path`."""
    import os
    from pathlib import Path

    return Path(os.path.abspath(path)).parent.as_uri()


__all__ = ["MzMLWriter", "cv", "xml_name"]
