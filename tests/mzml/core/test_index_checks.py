"""The offset index, driven through mzml_dump: each check of the index names
what it found, a wrong index is never trusted, and a refused index costs
nothing but time (the file opens by a full pass)."""
import re

import pytest

from dump import run_dump
from handmade import assert_arrays, document, make_spectra, write

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
    "offset-negative": (lambda d: re.sub(rb"<indexListOffset>\d+", b"<indexListOffset>-5", d),
                        "offset_out_of_range"),
    "offset-not-a-number": (lambda d: re.sub(rb"<indexListOffset>\d+", b"<indexListOffset>x", d),
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
    # A refused index costs nothing but time: the file opens by a full pass,
    # as it does when an entry missed (the open pass settles it by a full one).
    status, info = run_dump("info", path)
    expected = [] if case == "chromatogram-count" else arrays
    assert status == 0 and len(info["scans"]) == len(expected)
    assert info["used_index"] == (problem == "none" and not MISSES.get(case)), info["used_index"]
    assert_arrays(path, expected)
