"""What corvix's conversion of a generated file must hold, from the generator's truth alone: the id each
spectrum is written under, its summaries, its precursor, and checks of a converted mzML or MGF file read
back with pyteomics (and lxml for the userParams, whose values pyteomics turns into numbers)."""
import os
import re

import numpy as np
import pytest

from written import check_mzml, mgf_entries, precursor_of, pyteomics_mzml, same_floats, spectra_by_id

ACTIVATION = {"HCD": "beam-type collision-induced dissociation", "CID": "collision-induced dissociation",
              "ETD": "electron transfer dissociation"}
# The ids the indexed-mzML schema allows; others are written as index=N with the id as the spectrum title.
ID_FORM = re.compile(r"\S+=\S+( \S+=\S+)*")
SCAN_PAIR = re.compile(r"(?:^|\s)scan=(\d+)(?:\s|$)")
SUMMARIES = {"total ion current": "tic", "base peak m/z": "base_peak_mz", "base peak intensity": "base_peak_intensity",
             "lowest observed m/z": "lowest_mz", "highest observed m/z": "highest_mz"}


def written_id(s):
    return s.native_id if ID_FORM.fullmatch(s.native_id) else f"index={s.position}"


def expected_summaries(s):
    """As the file states them; from the peaks only where it does not (no base peak or range without peaks)."""
    peaks = len(s.mz) > 0
    top = int(np.argmax(s.intensity)) if peaks else 0
    computed = {"tic": float(np.sum(s.intensity)), "base_peak_mz": peaks and float(s.mz[top]),
                "base_peak_intensity": peaks and float(s.intensity[top]),
                "lowest_mz": peaks and float(np.min(s.mz)), "highest_mz": peaks and float(np.max(s.mz))}
    out = {}
    for term, name in SUMMARIES.items():
        stated = s.stated(name)
        out[term] = stated if stated is not None else (computed[name] if computed[name] is not False else None)
    return out


def expected_precursor(truth, s):
    p = s.precursor
    if p is None:
        return None
    ref = None
    if truth.options.precursor_refs and p.spectrum_ref:
        source = next(t for t in truth.spectra if t.native_id == p.spectrum_ref)
        ref = written_id(source)
    return {"mz": p.mz, "charge": p.charge or None, "target": pytest.approx(p.isolation_target, rel=1e-12),
            "lower": pytest.approx(p.isolation_lower, rel=1e-12), "upper": pytest.approx(p.isolation_upper, rel=1e-12),
            "activation": [ACTIVATION[p.activation]], "energy": p.collision_energy, "ref": ref}


def filter_of(spectrum):
    """The filter string a read-back spectrum holds (a cvParam of its scan, or a userParam of its own)."""
    return spectrum["scanList"]["scan"][0].get("filter string", spectrum.get("filter string"))


def check_converted_mzml(truth, path, where, cut_user_params=False):
    """Asserts that `path`, corvix's mzML of the generated file `truth`, is valid and holds its spectra."""
    document = check_mzml(path)
    read = spectra_by_id(path)
    assert list(read) == [written_id(s) for s in truth.spectra], where
    for s, spectrum in zip(truth.spectra, read.values()):
        at = f"{where}: {s.native_id}"
        assert spectrum.get("spectrum title") == (None if ID_FORM.fullmatch(s.native_id) else s.native_id), at
        assert spectrum["ms level"] == s.ms_level, at
        scan = spectrum["scanList"]["scan"][0]
        assert scan["scan start time"] == pytest.approx(s.rt, rel=1e-12), at
        assert scan["scan start time"].unit_info == "minute", at
        assert ("centroid spectrum" in spectrum, "profile spectrum" in spectrum) == (s.centroid is True,
                                                                                     s.centroid is False), at
        assert ("positive scan" in spectrum) == (s.polarity == "positive"), at
        assert filter_of(spectrum) == s.filter_text, at
        assert {term: spectrum.get(term) for term in SUMMARIES} == expected_summaries(s), at
        assert same_floats(spectrum["m/z array"], s.mz) and same_floats(spectrum["intensity array"], s.intensity), at
        assert precursor_of(spectrum) == expected_precursor(truth, s), at
        element = document.find(f".//{{*}}spectrum[@index='{s.position}']")
        users = [(u.get("name"), u.get("value")) for u in element.findall("{*}userParam")]
        if cut_user_params:
            assert 0 < len(users) < len(s.user_params) and users == list(s.user_params[:len(users)]), at
        else:
            assert users == list(s.user_params), at
    return document


def check_converted_chromatograms(truth, path):
    with pyteomics_mzml(str(path)) as reader:
        traces = list(reader.iterfind("chromatogram"))
    assert [t["id"] for t in traces] == [c.id for c in truth.chromatograms]
    for c, t in zip(truth.chromatograms, traces):
        np.testing.assert_allclose(t["time array"], c.times, rtol=1e-12, atol=0)
        assert same_floats(t["intensity array"], c.intensities), c.id
        assert c.term in t, c.id
        windows = []
        for element in ("precursor", "product"):
            found = t.get(element, {})
            found = found[0] if isinstance(found, list) else found
            windows.append(found.get("isolationWindow", {}).get("isolation window target m/z"))
        assert windows == [c.precursor_mz, c.product_mz], c.id


def check_converted_mgf(truth, path):
    msn = [s for s in truth.spectra if s.ms_level >= 2]
    entries = mgf_entries(path)
    assert len(entries) == len(msn)
    name = os.path.basename(truth.path)
    for entry, s in zip(entries, msn):
        params = entry["params"]
        assert params["title"] == f"{name}: {s.native_id}"
        scan = SCAN_PAIR.search(s.native_id)
        assert params.get("scans") == (scan and scan.group(1)), s.native_id
        assert params["rtinseconds"] == pytest.approx(s.rt * 60.0, rel=1e-12)
        assert params["pepmass"][0] == s.precursor.mz
        charge = s.precursor.charge * (1 if s.polarity == "positive" else -1)
        assert [int(c) for c in params.get("charge", [])] == ([charge] if charge else [])
        assert same_floats(entry["m/z array"], s.mz) and same_floats(entry["intensity array"], s.intensity)
