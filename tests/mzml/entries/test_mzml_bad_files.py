"""Damaged files never crash the library and never give wrong values: each
gives a negative status (a RuntimeError from the module), a handle that says
it is in error, or a documented empty answer, while everything that is still
intact reads as written. Every damaged file is read in a child interpreter,
so a crash (or, under the sanitizer build, a read past a buffer) fails the
test instead of ending the run."""
import gzip
import json
import pathlib
import subprocess

import numpy as np
import pytest

from mzml_session import dump_path, run_child
from mzmlgen import RunConfig, WriteOptions, broken, make_run, render, write_mzml

RUN = RunConfig(seed=33, n_scans=40, rt_start=1.0, rt_end=3.0, n_features=60, top_n=4)


@pytest.fixture(scope="module")
def small_run():
    return make_run(RUN)


def probe_files(paths: list) -> list[dict]:
    """Probes each file in one child interpreter; on a crash, names the file."""
    log = pathlib.Path(str(paths[0]) + ".progress")
    code = (
        "from probe import probe\n"
        f"paths = {[str(p) for p in paths]!r}\n"
        f"log = open({str(log)!r}, 'w')\n"
        "for p in paths:\n"
        "    log.write(p + '\\n'); log.flush()\n"
        "    print(json.dumps(probe(m, p)), flush=True)\n"
    )
    result = run_child(code)
    if result.returncode != 0:
        last = log.read_text().splitlines()[-1] if log.exists() and log.read_text() else "?"
        pytest.fail(f"the child died (status {result.returncode}) reading {last}:\n{result.stderr[-3000:]}")
    return [json.loads(line) for line in result.stdout.splitlines()]


def spectrum_is(got, s) -> bool:
    return got != "failed" and np.array_equal(got[0], s.mz) and np.array_equal(got[1], s.intensity)


def assert_reads_as_written(result: dict, truth, where: str) -> None:
    """Every scan the library reports is the scan written at that position; a
    scan whose arrays are gone reads as a failure, never as other values."""
    assert result["open"] and not result["error"], where
    assert result["first"] == truth.first_scan, where
    assert len(result["scans"]) <= len(truth.spectra), where
    for got, s in zip(result["scans"], truth.spectra):
        assert got["rt"] == pytest.approx(s.rt, rel=1e-12) and got["ms_order"] == s.ms_level, where
        assert got["spectrum"] == "failed" or spectrum_is(got["spectrum"], s), f"{where}: scan {s.scan_number}"


# -- not mzML at all ----------------------------------------------------------------------


def not_mzml(small_run) -> dict[str, tuple[bytes | None, str]]:
    """Files that are no readable mzML: name -> (content, the kind of failure
    the reading core names). None is no file at all, "dir" a directory."""
    document, _ = render(small_run, WriteOptions())
    corrupt = bytearray(gzip.compress(document, mtime=0))
    corrupt[40] ^= 0x55  # a damaged deflate block before any byte of output
    deep = b"<userParam>" * 100000 + b"</userParam>" * 100000
    kinds = {"other-xml": "not_mzml", "unclosed-root": "truncated", "gzip-cut": "truncated"}
    cases = {name: (data, kinds.get(name, "not_xml")) for name, data in broken.NOT_XML.items()}
    cases.update({
        "missing": (None, "no_such_file"),
        "directory": ("dir", "not_a_file"),
        "text-lines": (b"hello, world\n" * 100, "not_xml"),
        "gzip-junk": (gzip.compress(b"not xml at all")[:15], "not_xml"),
        "gzip-corrupt": (bytes(corrupt), "corrupt"),
        "before-first-spectrum": (document[:document.index(b"<spectrum ") + 20], "truncated"),
        "header-only": (document[:document.index(b"<run")], "truncated"),
        "too-deep": (document.replace(b"<run ", deep + b"<run ", 1), "malformed"),
    })
    return cases


def test_files_that_are_not_mzml_give_a_handle_in_error(tmp_path, small_run):
    """The reading core names the kind of failure (what decisions read) and
    the reason; the entry points give a handle in error whose log holds that
    reason."""
    cases = not_mzml(small_run)
    paths = []
    for name, (content, _) in cases.items():
        path = tmp_path / (name + (".mzML.gz" if name.startswith("gzip") else ".mzML"))
        if content == "dir":
            path.mkdir()
        elif content is not None:
            path.write_bytes(content)
        paths.append(path)
    for (name, (_, kind)), path, result in zip(cases.items(), paths, probe_files(paths)):
        dump = subprocess.run([dump_path(), "info", str(path)], capture_output=True, text=True, timeout=120)
        assert dump.returncode == 1, (name, dump.returncode, dump.stderr[-2000:])
        core = json.loads(dump.stdout)
        assert core["failure"] == kind and core["error"], (name, core)
        assert result["open"] is False and result["error"] is True, name
        assert result["num_scans"] == -1 and result["spectrum"] == "failed", name
        count, message = result["error_log"]
        assert count == 1 and isinstance(message, str) and core["error"] in message, (name, message, core)


# -- paths that are not regular files --------------------------------------------------------

SPECIAL = r'''
import corvix
h = m.open_raw_file(PATH)
out = [m.is_open(h), m.is_error(h), m.get_error_log_items_count(h), m.get_error_log_item_message(h, 0)]
try:
    corvix.open(PATH)
    out.append("opened")
except corvix.OpenError as error:
    out.append(str(error))
print(json.dumps(out))
'''


@pytest.mark.parametrize("kind", ["fifo", "socket", "character-device", "directory"])
def test_paths_that_are_not_regular_files_are_refused_without_waiting(tmp_path, kind):
    import os
    import socket

    path, keep = tmp_path / kind, None
    if kind == "fifo":
        os.mkfifo(path)  # no writer: opening it for reading would wait for one
    elif kind == "socket":
        keep = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        keep.bind(str(path))
        keep.listen(1)
    elif kind == "character-device":
        path = pathlib.Path("/dev/null")
    else:
        path.mkdir()
    try:
        result = run_child(f"PATH = {str(path)!r}\n" + SPECIAL, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail(f"opening a {kind} blocked")
    finally:
        if keep is not None:
            keep.close()
    assert result.returncode == 0, result.stderr[-3000:]
    is_open, is_error, count, reason, seen = json.loads(result.stdout)
    assert (is_open, is_error, count, reason) == (False, True, 1, "not a regular file")
    assert seen.endswith("the Reader library cannot open this file: not a regular file"), seen


# -- arrays that do not decode or do not match their declared length ----------------------


def test_damaged_arrays_fail_alone(tmp_path, small_run):
    position = next(s.position for s in small_run.spectra if s.ms_level == 2 and s.mz.size > 10)
    n = small_run.spectra[position].mz.size
    damages = broken.array_damage(n)
    paths, truths = [], []
    for name, alter in damages.items():
        document, truth = broken.damaged(small_run, position, alter)
        path = tmp_path / f"{name}.mzML"
        path.write_bytes(document)
        paths.append(path)
        truths.append(truth)
    for name, truth, result in zip(damages, truths, probe_files(paths)):
        where = f"{name} at position {position}"
        assert result["open"], where
        assert len(result["scans"]) == len(truth.spectra), where
        for k, (got, s) in enumerate(zip(result["scans"], truth.spectra)):
            if k == position:
                # The damaged scan: refused, or (when only a declared length that
                # the arrays contradict is damaged) read as stored; never other values.
                assert got["spectrum"] == "failed" or (name.startswith("declared") and spectrum_is(got["spectrum"], s)), \
                    f"{where}: {str(got['spectrum'])[:200]}"
            else:
                assert spectrum_is(got["spectrum"], s), f"{where}: intact scan {s.scan_number}"
        # The TIC comes from the scans' own values; an extracted ion chromatogram needs the damaged arrays.
        assert result["tic"][1] == pytest.approx([s.tic for s in truth.spectra], rel=1e-12), where
        if result["scans"][position]["spectrum"] == "failed":
            assert result["xic"] == "failed", where
            # The failed read named the spectrum in the error log, once, however often it was read.
            assert len(result["log"]) == 1 and result["log"][0].startswith(
                f"lost 1 spectrum: spectrum index {position} (id \"{truth.spectra[position].native_id}\")"), where
        else:
            assert result["log"] == [], where


# -- arguments out of range ---------------------------------------------------------------

BAD_ARGUMENTS = r'''
from signatures import SIGNATURES
h = m.open_raw_file(PATH)
first, last = m.get_first_scan(h), m.get_last_scan(h)
assert m.is_open(h)
values = {"index": 0, "ms_order": 2, "detail_index": 0, "max_length": 10, "max_size": 10, "segment": 0,
          "device_type": 0, "device_number": 1, "trace_type": 0, "filter": "", "mass_ranges_start": [400.0],
          "mass_ranges_end": [500.0], "start_scan": 0, "end_scan": 0, "rt": 1.0, "precursor_mz": 500.0,
          "tolerance_ppm": 5.0, "scan_numbers": [first]}
odd = []
for signature in SIGNATURES:
    name, params = signature[:-1].split("(")
    params = params.split(", ")
    if "scan_number" not in params:
        continue
    for scan in (first - 1, last + 1, 0, -1, 2**31 - 1, -2**31):
        args = [h if p == "handle" else scan if p == "scan_number" else values[p] for p in params]
        try:
            r = getattr(m, name)(*args)
        except RuntimeError:
            continue
        if r is None or r is False or r == -1 or (isinstance(r, float) and math.isnan(r)):
            continue
        odd.append(f"{name}(scan {scan}) = {r!r}")
print(json.dumps(odd))
'''


def test_scan_numbers_out_of_range(corpus):
    result = run_child("import math\n" + f"PATH = {corpus['indexed-zlib'].path!r}\n" + BAD_ARGUMENTS)
    assert result.returncode == 0, result.stderr[-3000:]
    assert json.loads(result.stdout) == []


CALLS = r'''
h = m.open_raw_file(PATH)
first, last = m.get_first_scan(h), m.get_last_scan(h)
nan, inf = float("nan"), float("inf")

def outcome(call, *args):
    try:
        return repr(call(*args))
    except RuntimeError as e:
        return "RuntimeError: " + str(e)

out = {
    "nan-low": outcome(m.get_chromatogram, h, 2, "", [nan], [500.0], 0, 0, 10),
    "nan-high": outcome(m.get_chromatogram, h, 2, "", [400.0], [nan], 0, 0, 10),
    "reversed": outcome(m.get_chromatogram, h, 2, "", [500.0], [400.0], 0, 0, 10),
    "infinite": outcome(lambda: len(m.get_chromatogram(h, 2, "", [-inf], [inf], 0, 0, 1000)[0])),
    "mass-range-without-ranges": outcome(m.get_chromatogram, h, 2, "", [], [], 0, 0, 10),
    "unknown-trace": outcome(m.get_chromatogram, h, 7, "", [], [], 0, 0, 10),
    "scan-range-outside": outcome(m.get_chromatogram, h, 0, "", [], [], last + 5, last + 9, 10),
    "filter-matching-nothing": outcome(m.get_chromatogram, h, 0, "ms7", [], [], 0, 0, 10),
    "capacity-0-spectrum": outcome(m.get_spectrum, h, first, 0),
    "capacity-0-centroids": outcome(m.get_centroid_stream, h, first + 1, 0),
    "capacity-0-chromatogram": outcome(m.get_chromatogram, h, 0, "", [], [], 0, 0, 0),
    "capacity-0-average": outcome(m.get_averaged_spectrum, h, [first], 0),
    "capacity-0-filter-masses": outcome(m.get_ms2_filter_masses, h, 0),
    "average-of-nothing": outcome(m.get_averaged_spectrum, h, [], 10),
    "rt-nan": outcome(m.get_scan_number_from_rt, h, nan),
    "ms1-rt-nan": outcome(m.get_ms1_scan_number_from_rt, h, nan),
    "ppm-negative": outcome(m.get_ms2_scan_number_from_rt, h, 1.0, 500.0, -5.0),
    "ppm-nan": outcome(m.get_ms2_scan_number_from_rt, h, 1.0, 500.0, nan),
}
m.close_raw_file(h)
out["closed-spectrum"] = outcome(m.get_spectrum, h, first, 10)
out["closed-num-scans"] = outcome(m.get_num_scans, h)
out["closed-is-open"] = outcome(m.is_open, h)
out["closed-model"] = outcome(m.get_instrument_model, h)
out["never-issued"] = outcome(m.get_num_scans, 987654)
out["negative-handle"] = outcome(m.get_scan_rt, -3, 1)
out["close-twice"] = outcome(m.close_raw_file, h)
print(json.dumps(out))
'''


def test_nan_ranges_capacity_zero_and_stale_handles(corpus):
    truth = corpus["indexed-zlib"]
    result = run_child(f"PATH = {truth.path!r}\n" + CALLS)
    assert result.returncode == 0, result.stderr[-3000:]
    out = json.loads(result.stdout)
    failed = "RuntimeError: get_chromatogram failed"
    assert out["nan-low"] == out["nan-high"] == out["reversed"] == failed
    assert out["mass-range-without-ranges"] == out["unknown-trace"] == failed
    assert out["infinite"] == repr(len(truth.spectra))
    assert out["scan-range-outside"] == out["filter-matching-nothing"] == "([], [])"
    assert out["capacity-0-spectrum"] == out["capacity-0-chromatogram"] == out["capacity-0-average"] == "([], [])"
    assert out["capacity-0-centroids"] == "([], [], [], [], [], nan, nan)"  # trailer values not held
    assert out["capacity-0-filter-masses"] == "[]"
    assert out["average-of-nothing"] == "([], [])" or out["average-of-nothing"].startswith("RuntimeError")
    assert out["rt-nan"] == out["ms1-rt-nan"] == out["ppm-negative"] == out["ppm-nan"] == "-1"
    assert out["closed-spectrum"] == "RuntimeError: get_spectrum failed"
    assert out["closed-num-scans"] == out["never-issued"] == "-1"
    assert out["closed-is-open"] == "False"
    assert out["closed-model"] == "RuntimeError: get_instrument_model failed"
    assert out["negative-handle"] == "nan"
    assert out["close-twice"] == "None"


# -- random damage, drawn by hypothesis ---------------------------------------------------

FUZZ = r'''
import os
from hypothesis import HealthCheck, given, settings, strategies as st
from probe import probe
DOC = open(SOURCE, "rb").read()
count = [0]

@settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None,
          suppress_health_check=list(HealthCheck))
@given(st.lists(st.tuples(st.integers(0, len(DOC) - 1), st.binary(min_size=0, max_size=6),
                          st.integers(0, 6)), min_size=1, max_size=4))
def damage(edits):
    data = bytearray(DOC)
    for where, new, drop in sorted(edits, reverse=True):
        data[where:where + drop] = new
    with open(TARGET, "wb") as f:
        f.write(data)
    with open(LOG, "w") as f:
        f.write(repr(edits))
    probe(m, TARGET)
    count[0] += 1

damage()
print(count[0])
'''


@pytest.mark.parametrize("indexed", [True, False])
def test_random_damage_never_crashes(tmp_path, small_run, indexed):
    source = tmp_path / "source.mzML"
    write_mzml(small_run, source, WriteOptions(indexed=indexed, compression="zlib" if indexed else "numpress"))
    target, log = tmp_path / "damaged.mzML", tmp_path / "edits.txt"
    result = run_child(f"SOURCE, TARGET, LOG, EXAMPLES = {str(source)!r}, {str(target)!r}, {str(log)!r}, 150\n" + FUZZ)
    assert result.returncode == 0, (
        f"crashed on the edits {log.read_text() if log.exists() else '?'} of {source}:\n{result.stderr[-3000:]}")
    assert int(result.stdout.split()[-1]) == 150
