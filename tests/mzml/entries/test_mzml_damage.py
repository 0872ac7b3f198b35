"""Damaged files, one family: generated runs truncated at many places (right
at the end of a spectrum too; the gzip stream cut, or the cut document
compressed whole), with one byte of markup or of array text changed, with an
offset index that points wrong (also into the index itself and past the
spectrum list, and wrong as a whole), and with a wrong declared count. For
each file: no crash and no hang (every file is read in a child interpreter
under a time limit), a file cut short lists exactly the spectra wholly before
the cut, every intact spectrum reads as the generator wrote it under the scan
number of the undamaged run, every spectrum that cannot be read and every
missing one is named in the error log, and corvix warns exactly when
something was lost."""
import gzip
import re
import zlib
from dataclasses import dataclass, field

import numpy as np
import pytest

from mzml_session import run_child
from mzmlgen import RunConfig, WriteOptions, broken, make_run, render

RUN = RunConfig(seed=33, n_scans=40, rt_start=1.0, rt_end=3.0, n_features=60, top_n=4)
LOST = re.compile(r"lost (\d+) spectr")
NAMED = re.compile(r"spectrum (?:index (\d+)|indexes (\d+) to (\d+))")


@dataclass
class Case:
    name: str
    data: bytes
    truth: object
    gz: bool = False
    damaged: set = field(default_factory=set)  # positions whose bytes were changed
    intact_before: int | None = None  # truncated: spectra wholly before the cut (None: every undamaged one)
    declared: int | None = None  # the spectrum count the file declares, when not the true one


@pytest.fixture(scope="module")
def small_run():
    return make_run(RUN)


def spectrum_ends(document: bytes, truth) -> list[int]:
    return [broken.spectrum_span(document, s.offset)[1] for s in truth.spectra]


def positions(truth) -> list[int]:
    """The first, a middle and the last spectrum, and an MS2 one."""
    ms2 = next(s.position for s in truth.spectra[5:] if s.ms_level == 2)
    return sorted({0, len(truth.spectra) // 2, ms2, len(truth.spectra) - 1})


def truncations(small_run, shape: str) -> list[Case]:
    options = {"indexed": WriteOptions(), "plain": WriteOptions(indexed=False), "gzip": WriteOptions(),
               "gzip-of-cut": WriteOptions(), "numpress": WriteOptions(indexed=False, compression="numpress")}
    document, truth = render(small_run, options[shape])
    data = gzip.compress(document, mtime=0) if shape == "gzip" else document
    ends = spectrum_ends(document, truth)
    if shape == "gzip-of-cut":
        # The document cut short, then compressed whole (the gzip stream itself ends properly).
        return [Case(f"{shape}-{cut}", gzip.compress(document[:cut], mtime=0), truth, gz=True,
                     intact_before=sum(end <= cut for end in ends))
                for cut in sorted(set(broken.cut_points(document, count=8, seed=5))
                                  | {ends[p] + d for p in positions(truth) for d in (-1, 0)})]
    cases = []
    cuts = set(broken.cut_points(data, count=30, seed=len(shape)))
    if shape != "gzip":
        # Right at the end of a spectrum and one byte before it.
        cuts |= {ends[p] + d for p in positions(truth) for d in (-1, 0)}
    for cut in sorted(cuts):
        # What the reader can see of the document: for gzip, what inflates.
        seen = len(zlib.decompressobj(31).decompress(data[:cut])) if shape == "gzip" else cut
        cases.append(Case(f"{shape}-cut-{cut}", broken.truncated(data, cut), truth, gz=shape == "gzip",
                          intact_before=sum(end <= seen for end in ends)))
    return cases


def markup(small_run, shape: str) -> list[Case]:
    options = {"indexed": WriteOptions(), "plain": WriteOptions(indexed=False),
               "gzip": WriteOptions(indexed=False, compression="none")}[shape]
    document, truth = render(small_run, options)
    cases = []
    for p in positions(truth):
        for kind in broken.MARKUP_DAMAGE:
            data = broken.markup_damaged(document, truth.spectra[p].offset, kind)
            cases.append(Case(f"{shape}-{kind}-{p}", gzip.compress(data, mtime=0) if shape == "gzip" else data,
                              truth, gz=shape == "gzip", damaged={p}))
    # Two damaged spectra side by side, and one near each end.
    data = document
    for p in (10, 11, 0, len(truth.spectra) - 1):
        data = broken.markup_damaged(data, truth.spectra[p].offset, "entity-for-tag")
    cases.append(Case(f"{shape}-four", gzip.compress(data, mtime=0) if shape == "gzip" else data, truth,
                      gz=shape == "gzip", damaged={10, 11, 0, len(truth.spectra) - 1}))
    return cases


def array_text(small_run, shape: str) -> list[Case]:
    options = {"indexed": WriteOptions(), "plain": WriteOptions(indexed=False),
               "numpress": WriteOptions(compression="numpress-zlib")}[shape]
    document, truth = render(small_run, options)
    cases = []
    for p in positions(truth):
        if truth.spectra[p].mz.size == 0:
            continue
        for byte in (b"!", b"<", b"=", b"&"):
            cases.append(Case(f"{shape}-array-{byte.decode()}-{p}",
                              broken.array_text_damaged(document, truth.spectra[p].offset, byte), truth, damaged={p}))
    return cases


def index(small_run, _shape: str) -> list[Case]:
    document, truth = render(small_run, WriteOptions())
    spectra = truth.spectra
    list_offset = document.index(b"<indexList")
    chromatograms = document.index(b"<chromatogram ")
    middle = spectra[20]
    places = {
        "into-the-index": list_offset + 7,
        "at-the-index": list_offset,
        "past-the-spectrum-list": chromatograms,
        "past-the-file": len(document) + 100,
        "one-byte-early": middle.offset - 1,
        "next-spectrum": spectra[21].offset,
        "zero": 0,
    }
    cases = [Case(f"index-{name}", broken.index_offset_changed(document, middle.native_id, at), truth)
             for name, at in places.items()]
    # Every offset into the index: the index is unusable as a whole.
    data = document
    for s in spectra:
        data = broken.index_offset_changed(data, s.native_id, list_offset + 3)
    cases.append(Case("index-all-into-the-index", data, truth))
    # A wrong offset and a damaged spectrum together.
    data = broken.index_offset_changed(document, middle.native_id, chromatograms)
    data = broken.markup_damaged(data, spectra[30].offset, "close-tag-name")
    cases.append(Case("index-wrong-and-spectrum-damaged", data, truth, damaged={30}))
    # The offset of the index list itself damaged.
    at = document.rindex(b"<indexListOffset>") + len(b"<indexListOffset>")
    cases.append(Case("index-list-offset-digit", document[:at] + b"9" + document[at + 1:], truth))
    at = document.index(b"<index name=")
    cases.append(Case("index-list-markup", document[:at + 1] + b"&" + document[at + 2:], truth))
    return cases


def index_modes(small_run, shape: str) -> list[Case]:
    """Offset indexes the writer makes wrong as a whole: every offset shifted,
    garbage offsets, a wrong offset of the index list, no id matching."""
    cases = []
    for mode in ("shifted", "garbage", "bad-list-offset", "none-match"):
        document, truth = render(small_run, WriteOptions(index_mode=mode))
        data = gzip.compress(document, mtime=0) if shape == "gzip" else document
        cases.append(Case(f"index-{mode}-{shape}", data, truth, gz=shape == "gzip"))
    return cases


def declared(small_run, shape: str) -> list[Case]:
    document, truth = render(small_run, WriteOptions(indexed=shape == "indexed"))
    n = len(truth.spectra)
    return [Case(f"{shape}-declared{delta:+d}", broken.declared_count_changed(document, delta), truth,
                 declared=n + delta) for delta in (5, 1, -3)]


FAMILY = {
    "truncated-indexed": (truncations, "indexed"),
    "truncated-plain": (truncations, "plain"),
    "truncated-gzip": (truncations, "gzip"),
    "truncated-gzip-of-cut": (truncations, "gzip-of-cut"),
    "truncated-numpress": (truncations, "numpress"),
    "markup-indexed": (markup, "indexed"),
    "markup-plain": (markup, "plain"),
    "markup-gzip": (markup, "gzip"),
    "array-text-indexed": (array_text, "indexed"),
    "array-text-plain": (array_text, "plain"),
    "array-text-numpress": (array_text, "numpress"),
    "index-offsets": (index, "indexed"),
    "index-wrong-plain": (index_modes, "plain"),
    "index-wrong-gzip": (index_modes, "gzip"),
    "declared-count-indexed": (declared, "indexed"),
    "declared-count-plain": (declared, "plain"),
}

PROBE = r'''
from probe import corvix_probe, probe
log = open(LOG, "w")
for path in PATHS:
    log.write(path + "\n"); log.flush()
    print(json.dumps({"module": probe(m, path), "corvix": corvix_probe(path)}), flush=True)
'''


def read_all(tmp_path, cases: list[Case]) -> list[dict]:
    paths = []
    for k, case in enumerate(cases):
        path = tmp_path / f"{k}-{case.name}.mzML{'.gz' if case.gz else ''}"
        path.write_bytes(case.data)
        paths.append(str(path))
    progress = tmp_path / "progress"
    import subprocess

    try:
        result = run_child(f"PATHS, LOG = {paths!r}, {str(progress)!r}\n" + PROBE, timeout=900)
    except subprocess.TimeoutExpired:
        pytest.fail(f"reading hung on {progress.read_text().splitlines()[-1]}")
    if result.returncode != 0:
        last = progress.read_text().splitlines()[-1] if progress.exists() else "?"
        pytest.fail(f"the child died (status {result.returncode}) reading {last}:\n{result.stderr[-3000:]}")
    import json

    return [json.loads(line) for line in result.stdout.splitlines()]


def named_positions(log: list[str]) -> set[int]:
    out = set()
    for entry in log:
        if LOST.match(entry) and (at := NAMED.search(entry)):
            first = int(at.group(1) or at.group(2))
            out.update(range(first, int(at.group(1) or at.group(3)) + 1))
    return out


def check(case: Case, read: dict) -> None:
    result, seen = read["module"], read["corvix"]
    truth, where = case.truth, case.name
    n = len(truth.spectra)
    if not result["open"]:
        # Only a file cut before its first spectrum ends is refused, with its reason.
        assert case.intact_before == 0, where
        assert result["error"] and result["error_log"][0] == 1 and result["error_log"][1], where
        assert "open_error" in seen, where
        return
    assert not result["error"] and result["first"] == truth.first_scan, where
    scans = result["scans"]
    assert len(scans) <= n, where
    unreadable = []
    for p, got in enumerate(scans):
        s = truth.spectra[p]  # scan number first + p is the undamaged run's scan at position p
        if got["spectrum"] == "failed":
            unreadable.append(p)
            assert got["rt"] is None or got["rt"] == pytest.approx(s.rt, rel=1e-12), where
            continue
        assert got["rt"] == pytest.approx(s.rt, rel=1e-12) and got["ms_order"] == s.ms_level, f"{where}: {p}"
        assert np.array_equal(got["spectrum"][0], s.mz) and np.array_equal(got["spectrum"][1], s.intensity), \
            f"{where}: spectrum {p} differs from the one written"
        if s.filter_text is not None:
            assert got["filter"] == s.filter_text, f"{where}: filter text of spectrum {p}"
    # A trace has a point for every scan whose time is known (a lost slot has none).
    timed = sum(got["rt"] is not None for got in scans)
    assert result["tic"] == "failed" or len(result["tic"][0]) == timed, where
    # Every spectrum that was not damaged (and, cut short, lies wholly before the cut) is there and reads.
    whole = n if case.intact_before is None else case.intact_before
    for p in range(whole):
        if p not in case.damaged:
            assert p < len(scans) and p not in unreadable, f"{where}: intact spectrum {p} lost"
    assert set(unreadable) <= case.damaged or case.intact_before is not None, where
    if case.intact_before is not None:
        # Cut short: exactly the spectra wholly before the cut are listed, and all of them read.
        assert (len(scans), unreadable) == (case.intact_before, []), f"{where}: {len(scans)} listed, {unreadable}"
    # Every unreadable spectrum is named; the counts named add up to what is gone.
    log = result["log"]
    assert set(unreadable) <= named_positions(log), f"{where}: {log}"
    declared = n if case.declared is None else case.declared
    lost = sum(int(m.group(1)) for entry in log if (m := LOST.match(entry)))
    assert lost == len(unreadable) + max(0, declared - len(scans)), f"{where}: {log}"
    # corvix: a warning naming the file and the count exactly when spectra were lost.
    assert seen["lost"] == lost and seen["positions"] == sorted(named_positions(log)), where
    if lost:
        assert seen["warnings"], where
        last = seen["warnings"][-1]
        assert case.name in last and f"{lost} spectr" in last, f"{where}: {last}"
    elif not seen["chromatograms"]:
        assert not seen["warnings"], where


@pytest.mark.parametrize("kind", FAMILY)
def test_damaged_files(tmp_path, small_run, kind):
    make, shape = FAMILY[kind]
    cases = make(small_run, shape)
    assert cases
    reads = read_all(tmp_path, cases)
    assert len(reads) == len(cases)
    for case, read in zip(cases, reads):
        check(case, read)
    if kind.startswith("index-wrong"):
        # A wrong index costs nothing but time: a streaming pass reads every spectrum.
        assert all(len(r["module"]["scans"]) == len(c.truth.spectra) and not r["corvix"]["lost"]
                   for c, r in zip(cases, reads)), kind
        return
    # The family damages what it means to: some of its files lose spectra.
    assert any(r["corvix"].get("lost", 0) for r in reads), kind


# -- corvix convert and info on a damaged run --------------------------------------------------

@pytest.mark.parametrize("fmt", ["mzML", "mgf"])
def test_convert_refuses_a_damaged_run_unless_allowed(tmp_path, small_run, fmt):
    import subprocess
    import sys

    from pyteomics import mgf

    from written import pyteomics_mzml

    document, truth = render(small_run, WriteOptions(indexed=False))
    ms2 = [s.position for s in truth.spectra if s.ms_level == 2]
    structural, in_arrays = ms2[1], ms2[3]  # one lost at open, one found only when read
    data = broken.markup_damaged(document, truth.spectra[structural].offset, "close-tag-name")
    data = broken.array_text_damaged(data, truth.spectra[in_arrays].offset, b"!")
    source = tmp_path / "damaged.mzML"
    source.write_bytes(data)

    def corvix(*args):
        return subprocess.run([sys.executable, "-m", "corvix", *args], capture_output=True, text=True, timeout=600)

    refused = corvix("convert", str(source), "-o", str(tmp_path / "refused"), "-f", fmt)
    assert refused.returncode == 1 and "DamagedRunError" in refused.stderr and "1 spectrum lost" in refused.stderr
    assert not any((tmp_path / "refused").iterdir())
    allowed = corvix("convert", str(source), "-o", str(tmp_path / "out"), "-f", fmt, "--allow-damaged")
    assert allowed.returncode == 0, allowed.stderr
    assert "DAMAGED: 2 spectra lost to damage" in allowed.stdout, allowed.stdout
    kept = [s for s in truth.spectra if s.position not in (structural, in_arrays)]
    if fmt == "mzML":
        with pyteomics_mzml(str(tmp_path / "out" / "damaged.mzML"), use_index=False) as reader:
            written = list(reader)
        assert [w["id"] for w in written] == [f"scan={s.scan_number}" for s in kept]
        assert all(np.array_equal(w["m/z array"], s.mz) for w, s in zip(written, kept))
    else:
        written = list(mgf.read(str(tmp_path / "out" / "damaged.mgf")))
        assert [int(w["params"]["scans"]) for w in written] == [s.scan_number for s in kept if s.ms_level >= 2]
    info = corvix("info", str(source))
    assert info.returncode == 0 and "DAMAGED:     1 spectrum lost to damage" in info.stdout, info.stdout
    assert f"lost 1 spectrum: spectrum index {structural}" in info.stdout
