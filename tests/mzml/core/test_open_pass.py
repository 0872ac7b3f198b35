"""The open pass of the reading core, driven through mzml_dump on documents
written here: metadata and arrays of indexed, plain and gzip documents, scan
numbering, time units, every vocabulary term the reader acts on, instrument
parameters, nesting and junk, gzip random access and reading from many
threads (truncation: entries/test_mzml_damage.py)."""
import gzip

import numpy as np
import pytest

from dump import run_dump
from handmade import assert_arrays, document, make_spectra, spectrum_xml, write

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
