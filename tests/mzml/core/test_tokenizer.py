"""Element headers and arrays are read by a tokenizer for the plain subset of
XML that writers produce, and by expat for anything else. Where it accepts
bytes it must report exactly what expat reports; and both paths give the
same answers for whole files (`mzml_dump paths` reads a file both ways)."""
import json
import subprocess
import pathlib

import numpy as np
import pytest

from dump import run_dump, run_dump_output
from handmade import document, make_spectra, spectrum_xml, write
from mzml_session import dump_path

def tokenize(data, stop_at=None):
    status, out = run_dump("tokenize", *([stop_at] if stop_at else []), stdin=data)
    assert status == 0
    return out["result"], out["events"]


def tokenize_each(inputs):
    """tokenize() of every input, in one mzml_dump process."""
    stdin = b"".join(b"%d\n" % len(data) + data for data in inputs)
    status, out = run_dump_output("tokenize-each", stdin=stdin)
    assert status == 0
    answers = [json.loads(line) for line in out.splitlines()]
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


def both_paths(path) -> dict:
    result = subprocess.run([dump_path(), "paths", str(path)], capture_output=True, text=True, timeout=300)
    assert result.returncode in (0, 1), f"crashed on {path}: {result.stderr[-3000:]}"
    return json.loads(result.stdout) if result.returncode == 0 else {}


def test_both_tokenizer_paths_agree_on_every_shape_and_on_damage(corpus, tmp_path):
    for name, truth in corpus.items():
        out = both_paths(truth.path)
        assert out["differ"] == 0 and out["readable"] == out["elements"] > 0, name
        assert out["index"] is None or out["index"]["same"], name
    rng = np.random.default_rng(17)
    source = pathlib.Path(corpus["indexed-zlib"].path).read_bytes()
    target = tmp_path / "damaged.mzML"
    for _ in range(40):
        data, edits = bytearray(source), []
        for _ in range(int(rng.integers(1, 4))):
            at, drop = int(rng.integers(0, len(data))), int(rng.integers(0, 3))
            new = bytes(rng.choice(list(b'<>/&"= :x\x80'), int(rng.integers(0, 3))).tolist())
            data[at:at + drop] = new
            edits.append((at, drop, new))
        target.write_bytes(bytes(data))
        out = both_paths(target)
        assert not out or (out["differ"] == 0 and (out["index"] is None or out["index"]["same"])), edits
