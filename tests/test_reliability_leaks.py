"""What the module takes, it gives back, on every path. Every function called
many times on each of its paths, without growth; and the buffers calls lend
to the Reader library (arrays on both allocation roads, copies, sequences,
texts) released on success, on each failure and when the lookup fails.

Each path is called CALLS times (2,000 by default; CORVIX_STRESS=1 makes it
20,000, CORVIX_LEAK_CALLS sets any count). Memory is measured with tracemalloc:
the module reserves its call buffers with the interpreter's allocator, so a
buffer that is not released shows up there, as does any object that is not.
Reference counts of the argument objects and of True, False and None must be
the same after the loop as before it. From 3.12 on True, False and None are
immortal and their count never moves, so for them the check only has force on
3.11 (the check is reported as not applicable rather than passed vacuously).
"""
import contextlib
import gc
import json
import os
import sys
import tracemalloc

import pytest

from conftest import run_python, stub_path
from signatures import NAMES, PARAMS
from families import FAMILIES, names_of, status_names
import test_data_zero_fill as zero_fill
import test_texts as texts
from test_data_buffers import ARRAYS, FILTER, SCAN_TYPE

STRESS = os.environ.get("CORVIX_STRESS", "") not in ("", "0")
CALLS = int(os.environ.get("CORVIX_LEAK_CALLS", 20000 if STRESS else 2000))
WARMUP = 200
# Steady-state noise of the interpreter (free lists, caches) is well below
# this; one leaked object or buffer per call is at least 16 bytes * CALLS.
TOLERANCE = 8 * 1024

TEXT_PARAMS = {"path", "filter"}
REAL_PARAMS = {"rt", "precursor_mz", "tolerance_ppm"}
REAL_SEQUENCES = {"mass_ranges_start", "mass_ranges_end"}
INT_SEQUENCES = {"scan_numbers"}
CAPACITY_PARAMS = {"max_length", "max_size"}


def immortal(obj):
    check = getattr(sys, "_is_immortal", None)
    if check is not None:
        return check(obj)
    return sys.version_info >= (3, 12) and sys.getrefcount(obj) >= 2**30


def fresh_value(param):
    """A good argument that is a new object of its own (no cached small int
    or interned str), so that its reference count means something."""
    if param in TEXT_PARAMS:
        return "".join(["stand", "-in.raw"])
    if param in REAL_PARAMS:
        return float("1.25")
    if param in REAL_SEQUENCES:
        return [float("100.5"), float("200.5")]
    if param in INT_SEQUENCES:
        return [int("1000001"), int("1000002")]
    if param in CAPACITY_PARAMS:
        return int("300")
    return int("1000003")


def good_args(name):
    return [fresh_value(p) for p in PARAMS[name]]


def watched_objects(args):
    objects = list(args)
    for a in args:
        if isinstance(a, list):
            objects.extend(a)
    objects += [o for o in (True, False, None) if not immortal(o)]
    return objects


def wrong_type(param):
    if param in TEXT_PARAMS:
        return 5, TypeError
    if param in REAL_SEQUENCES | INT_SEQUENCES:
        return "abc", TypeError
    return "bad", TypeError


def argument_errors(name):
    """[(args, kwargs, exception type)]: every kind of argument error."""
    params = PARAMS[name]
    good = good_args(name)
    calls = [
        (good + [0], {}, TypeError),
        ([], {}, TypeError),
        (good[:-1], {params[-1] + "_x": 1}, TypeError),
        (good, {params[0]: good[0]}, TypeError),
    ]
    for i, param in enumerate(params):
        bad = list(good)
        bad[i], error = wrong_type(param)
        calls.append((bad, {}, error))
        variants = []
        if param in TEXT_PARAMS:
            variants = [("\ud800", UnicodeEncodeError)]
        elif param in REAL_SEQUENCES:
            variants = [(5, TypeError), ([1.0, "x"], TypeError)]
        elif param in INT_SEQUENCES:
            variants = [(5, TypeError), ([1, 2**40], OverflowError), ([1, 1.5], TypeError)]
        elif param not in REAL_PARAMS:
            variants = [(2**40, OverflowError)]
        else:
            variants = [(10**400, OverflowError)]
        for value, error in variants:
            bad = list(good)
            bad[i] = value
            calls.append((bad, {}, error))
    if name == "open_raw_file":
        calls.append((["a\0b"], {}, ValueError))
    if name == "get_chromatogram":
        bad = list(good)
        bad[4] = [1.0]
        calls.append((bad, {}, ValueError))
    return calls


def run_loop(function, calls, count):
    """Calls function count times, cycling through calls; each call must
    end as its entry says (None: return normally)."""
    for i in range(count):
        args, kwargs, error = calls[i % len(calls)]
        if error is None:
            function(*args, **kwargs)
            continue
        try:
            function(*args, **kwargs)
        except error:
            pass
        else:
            raise AssertionError(f"{function.__name__}{tuple(args)} {kwargs} did not raise {error.__name__}")


def measure(function, calls, watched, count=CALLS):
    """(growth of traced memory over `count` calls, reference counts of the
    watched objects that moved). The collector stays off throughout, so no
    collection runs inside a measurement."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        run_loop(function, calls, WARMUP)
        # Without a collection, what the calls leave in reference cycles still
        # counts: the growth is at most this, and the counts moved at most as
        # much. That settles nearly every case at once; a collection would
        # cost more than the calls on the free-threaded build, whose
        # collector visits every object of the process whatever generation
        # it is asked for.
        growth, moved = run_and_compare(function, calls, watched, count, collect=False)
        if growth < TOLERANCE and not moved:
            return growth, moved
        growth, moved = run_and_compare(function, calls, watched, count, collect=True)
        # A leak grows again with every run of calls; a one-off does not (a
        # cache that grew, or memory the free-threaded interpreter frees only
        # later, once every thread has passed a quiescent point). Up to three
        # more runs tell them apart.
        for _ in range(3):
            if growth < TOLERANCE:
                break
            growth = min(growth, run_and_compare(function, calls, watched, count, collect=True)[0])
        return growth, moved
    finally:
        if enabled:
            gc.enable()


def run_and_compare(function, calls, watched, count, collect):
    """One run of calls between two readings of traced memory and reference
    counts; with `collect`, one cheap collection of the youngest generation
    before each reading frees what the calls left in reference cycles."""
    if collect:
        gc.collect(0)
    refs_before = [sys.getrefcount(o) for o in watched]
    memory_before = tracemalloc.get_traced_memory()[0]
    run_loop(function, calls, count)
    if collect:
        gc.collect(0)
    memory_after = tracemalloc.get_traced_memory()[0]
    refs_after = [sys.getrefcount(o) for o in watched]
    moved = [(repr(o)[:40], b, a) for o, b, a in zip(watched, refs_before, refs_after) if a != b]
    return memory_after - memory_before, moved


@pytest.fixture(scope="module", autouse=True)
def traced():
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    yield
    if started:
        tracemalloc.stop()


def check(function, calls, args=()):
    growth, moved = measure(function, calls, watched_objects(args))
    assert growth < TOLERANCE, f"{function.__name__}: traced memory grew by {growth} bytes over {CALLS} calls"
    assert moved == [], f"{function.__name__}: reference counts changed (object, before, after): {moved}"


@pytest.mark.parametrize("name", NAMES)
def test_success_path(corvix, stub, name):
    args = good_args(name)
    function = getattr(corvix, name)
    check(function, [(args, {}, None)], args)
    if name != "set_dylib_path":
        assert stub.calls(FAMILIES[name].entry) == WARMUP + CALLS


@pytest.mark.parametrize("name", NAMES)
def test_argument_errors(corvix, stub, name):
    args = good_args(name)
    calls = argument_errors(name)
    # The good argument objects are reused inside the bad calls.
    check(getattr(corvix, name), calls, args)
    if name == "open_raw_file":
        # The nul-byte path reaches the lookup but never the entry point.
        assert stub.calls("open_raw_file") == 0
    else:
        assert stub.total_calls() == 0


RAISING = [n for n in status_names() if FAMILIES[n].negative == "raise"]
QUIET = [n for n in status_names() if FAMILIES[n].negative != "raise"]


@pytest.mark.parametrize("name", RAISING)
def test_status_failure(corvix, stub, name):
    entry = FAMILIES[name].entry
    stub.set_result(entry, -1)
    args = good_args(name)
    check(getattr(corvix, name), [(args, {}, RuntimeError)], args)


@pytest.mark.parametrize("name", QUIET)
def test_silent_failure(corvix, stub, name):
    stub.set_result(FAMILIES[name].entry, -7)
    args = good_args(name)
    function = getattr(corvix, name)
    assert function(*args) in ("", [], None)
    check(function, [(args, {}, None)], args)


@pytest.mark.parametrize("name", sorted(names_of("caller_sized")))
def test_capacity_overflow(corvix, stub, name):
    args = good_args(name)
    args[-1] = -1
    check(getattr(corvix, name), [(args, {}, corvix.PanicException)], args)
    assert stub.total_calls() == 0


def internal_faults(corvix, stub):
    """(name, args): calls that end in PanicException other than capacity."""
    stub.set_result("get_scan_stats_scan_type", 1025)
    stub.set_result("get_scan_dependent_detail_filter_string", 2**31 - 1)
    chromatogram = good_args("get_chromatogram")
    chromatogram[2] = "a\0b"
    return [
        ("get_scan_stats_scan_type", good_args("get_scan_stats_scan_type")),
        ("get_scan_dependent_detail_filter_string", good_args("get_scan_dependent_detail_filter_string")),
        ("get_chromatogram", chromatogram),
    ]


@pytest.mark.parametrize("which", [0, 1, 2])
def test_internal_fault(corvix, stub, which):
    name, args = internal_faults(corvix, stub)[which]
    check(getattr(corvix, name), [(args, {}, corvix.PanicException)], args)


# -- lookup failure and load failure: a process of their own ----------------

SUBPROCESS = r"""
import gc, json, sys, tracemalloc
import native_corvix_py_backend as m
from test_reliability_leaks import good_args, watched_objects, measure, CALLS
from families import FAMILIES
from signatures import NAMES

def loop(expect_message):
    out = {}
    for name in NAMES:
        args = good_args(name)
        f = getattr(m, name)
        if expect_message(name, None) == "skip":
            continue
        try:
            f(*args)
        except RuntimeError as error:
            message = str(error)
        else:
            message = None
        if not expect_message(name, message):
            out[name] = "unexpected: %r" % (message,)
            continue
        growth, moved = measure(f, [(args, {}, RuntimeError)], watched_objects(args), COUNT)
        out[name] = [growth, moved]
    return out

COUNT = CALL_COUNT
tracemalloc.start()
missing = loop(lambda name, message: message == (
    "Dylib not found at: " + good_args(name)[0] if name == "set_dylib_path"
    else "Dylib not found and VELMAR_NATIVE_LIB not set."))
m.set_dylib_path(EMPTY)
lookup = loop(lambda name, message: "skip" if name == "set_dylib_path" else (
    message is not None and message.startswith("get function %s: " % FAMILIES[name].entry)))
print(json.dumps({"missing": missing, "lookup": lookup}))
"""


def test_lookup_and_load_failures_in_own_process(tmp_path):
    # No library anywhere first (every call searches again and fails), then
    # the stand-in variant without entry points (every lookup fails).
    # set_dylib_path has no lookup: with a library loaded it returns None.
    # Each of these calls searches for the library or looks an entry point up
    # again: 1,000 calls a function keep one leaked object per call (16 bytes
    # or more) twice over the tolerance at half the cost.
    calls = CALLS if STRESS else min(CALLS, 2 * TOLERANCE // 16)
    code = SUBPROCESS.replace("EMPTY", repr(str(stub_path("empty")))).replace("CALL_COUNT", str(calls))
    result = run_python(code, cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    problems = []
    for path, per_name in report.items():
        assert len(per_name) == (187 if path == "missing" else 186)
        for name, outcome in per_name.items():
            if isinstance(outcome, str):
                problems.append((path, name, outcome))
                continue
            growth, moved = outcome
            if growth >= TOLERANCE or moved:
                problems.append((path, name, growth, moved))
    assert problems == []


@contextlib.contextmanager
def tracing():
    """Traces memory for the block, leaving on the tracing this module keeps on."""
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        yield
    finally:
        if started:
            tracemalloc.stop()


# -- call buffers: arrays, copies, sequences and texts -----------------------
# Every array, copy and sequence buffer is released on every path, on both
# roads to a zero-filled block: the interpreter's allocator for small arrays,
# pages mapped from the system (reported to tracemalloc) from 64 KiB per
# array. A leak of one buffer per call would add up to megabytes
# of traced memory here, and of address space on the mapped road.

SMALL, MAPPED = 100, 40_000  # points per array: 1.6 KB and 640 KB of spectrum arrays


def path_calls(m, stub, n=SMALL):
    """(setup, call) pairs covering success and each failure path, with
    result arrays of capacity `n`."""
    big = list(range(1, 200))

    def status(entry, value):
        return lambda: stub.set_result(entry, value)

    def none():
        stub.reset()

    stretched = [float(i) for i in range(300)]
    return [
        (none, lambda: m.get_spectrum(1, 1, n)),
        (status("get_spectrum", -1), lambda: m.get_spectrum(1, 1, n)),
        (none, lambda: m.get_spectrum(1, 1, -1)),
        (none, lambda: m.get_centroid_stream(1, 1, n)),
        (status("get_centroid_stream_full", -1), lambda: m.get_centroid_stream(1, 1, n)),
        (none, lambda: m.get_centroid_stream(1, 1, -1)),
        (none, lambda: m.get_averaged_spectrum(1, big, n)),
        (none, lambda: m.get_averaged_spectrum(1, big + ["x"], 100)),
        (none, lambda: m.get_averaged_spectrum(1, big + [2**40], 100)),
        (status("get_averaged_spectrum", -1), lambda: m.get_averaged_spectrum(1, big, n)),
        (none, lambda: m.get_averaged_spectrum(1, big, -1)),
        (none, lambda: m.get_chromatogram(1, 0, "filter" * 50, stretched, stretched, 1, 2, n)),
        (none, lambda: m.get_chromatogram(1, 0, "f", stretched, stretched + ["x"], 1, 2, n)),
        (none, lambda: m.get_chromatogram(1, 0, "f", stretched, stretched[:-1], 1, 2, n)),
        (none, lambda: m.get_chromatogram(1, 0, "f", stretched, stretched, 1, 2, "x")),
        (none, lambda: m.get_chromatogram(1, 0, "f\0" * 50, stretched, stretched, 1, 2, n)),
        (none, lambda: m.get_chromatogram(1, 0, "f", stretched, stretched, 1, 2, -1)),
        (status("get_chromatogram", -1), lambda: m.get_chromatogram(1, 0, "f" * 300, stretched, stretched, 1, 2, n)),
        (none, lambda: m.get_ms2_filter_masses(1, n)),
        (status("get_ms2_filter_masses", -1), lambda: m.get_ms2_filter_masses(1, n)),
        (none, lambda: m.get_scan_stats(1, 1)),
        (status("get_scan_stats", -1), lambda: m.get_scan_stats(1, 1)),
        (none, lambda: m.get_scan_stats_scan_type(1, 1)),
        (status(SCAN_TYPE, 0), lambda: m.get_scan_stats_scan_type(1, 1)),
        (status(SCAN_TYPE, -1), lambda: m.get_scan_stats_scan_type(1, 1)),
        (status(SCAN_TYPE, FAMILIES[SCAN_TYPE].capacity + 1), lambda: m.get_scan_stats_scan_type(1, 1)),
        (none, lambda: m.get_scan_dependent_detail_filter_string(1, 1, 1, 1)),
        (status(FILTER, -1), lambda: m.get_scan_dependent_detail_filter_string(1, 1, 1, 1)),
        (status(FILTER, FAMILIES[FILTER].capacity + 1), lambda: m.get_scan_dependent_detail_filter_string(1, 1, 1, 1)),
        (none, lambda: m.get_scan_dependent_detail_precursor_mass_array(1, 1, 1, 1)),
        (status(ARRAYS[1], -1), lambda: m.get_scan_dependent_detail_isolation_width_array(1, 1, 1, 1)),
    ]


def run_paths(pairs, rounds):
    for setup, call in pairs:
        setup()
        for _ in range(rounds):
            try:
                call()
            except BaseException:
                pass


@pytest.mark.parametrize("n", [SMALL, MAPPED])
def test_buffers_released_on_every_path(corvix, stub, capfd, n):
    pairs = path_calls(corvix, stub, n)
    with tracing():
        run_paths(pairs, 50)  # warm up caches and free lists
        gc.collect()
        baseline, address_space = tracemalloc.get_traced_memory()[0], vm_size()
        run_paths(pairs, 200 if n == SMALL else 50)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - baseline
    capfd.readouterr()  # the internal-fault reports
    assert grown < 32 * 1024, f"traced memory grew by {grown} bytes"
    # (The address sanitizer keeps freed blocks mapped in its quarantine.)
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        assert vm_size() - address_space < 16 << 20


def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))


def test_large_result_blocks_are_traced_and_released(corvix, stub):
    # Large arrays come from the system directly; they must still show in
    # tracemalloc while the call runs, and go back afterwards.
    n = 1 << 20  # 8 MiB per array
    xs = [1.0]

    def calls():
        corvix.get_spectrum(1, 1, n)
        corvix.get_centroid_stream(1, 1, n)
        corvix.get_averaged_spectrum(1, [1], n)
        corvix.get_chromatogram(1, 0, "", xs, xs, 1, 2, n)
        corvix.get_ms2_filter_masses(1, n)

    calls()
    with tracing():
        gc.collect()
        base, address_space = tracemalloc.get_traced_memory()[0], vm_size()
        tracemalloc.reset_peak()
        corvix.get_spectrum(1, 1, n)
        peak = tracemalloc.get_traced_memory()[1] - base
        for _ in range(10):
            calls()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    assert peak >= 2 * 8 * n, f"the two 8 MiB arrays were not traced (peak {peak} bytes)"
    assert grown < 64 * 1024, f"traced memory grew by {grown} bytes"
    # One leaked array per call would map hundreds of MiB. (The address
    # sanitizer keeps freed blocks mapped in its quarantine: not there.)
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        assert vm_size() - address_space < 16 << 20


LOOKUP_PATHS = """
import gc, tracemalloc
import native_corvix_py_backend as m
m.set_dylib_path({path!r})
xs = [float(i) for i in range(300)]
n = {n}
calls = [
    lambda: m.get_spectrum(1, 1, n),
    lambda: m.get_centroid_stream(1, 1, n),
    lambda: m.get_averaged_spectrum(1, list(range(300)), n),
    lambda: m.get_chromatogram(1, 0, 'f' * 300, xs, xs, 1, 2, n),
    lambda: m.get_ms2_filter_masses(1, n),
    lambda: m.get_scan_stats(1, 1),
    lambda: m.get_scan_stats_scan_type(1, 1),
    lambda: m.get_scan_dependent_detail_filter_string(1, 1, 1, 1),
    lambda: m.get_scan_dependent_detail_precursor_mass_array(1, 1, 1, 1),
]
def run(rounds):
    for call in calls:
        for _ in range(rounds):
            try:
                call()
            except RuntimeError:
                pass
tracemalloc.start()
run(50)
gc.collect()
base = tracemalloc.get_traced_memory()[0]
run(200)
gc.collect()
print(tracemalloc.get_traced_memory()[0] - base)
"""


@pytest.mark.parametrize("n", [SMALL, MAPPED])
def test_buffers_released_when_the_lookup_fails(n):
    result = run_python(LOOKUP_PATHS.format(path=str(stub_path("empty")), n=n))
    assert result.returncode == 0, result.stdout + result.stderr
    assert int(result.stdout) < 32 * 1024


# tracemalloc sees the arrays while the call runs, on both roads, and sees
# them go. (That the address space comes back too is checked with the
# release on every path, above.)


VISIBLE_CASES = [(entry, capacity) for entry, capacity in zero_fill.ARRAY_CASES if capacity >= 1000]


@pytest.mark.parametrize("entry, capacity", VISIBLE_CASES)
def test_arrays_are_traced_while_the_call_runs(corvix, stub, entry, capacity):
    zero_fill.call(corvix, entry, capacity)
    with tracing():
        gc.collect()
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        zero_fill.call(corvix, entry, capacity)
        peak = tracemalloc.get_traced_memory()[1] - base
        for _ in range(5):
            zero_fill.call(corvix, entry, capacity)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    # The peak is taken against the traced total before the call; whatever the
    # interpreter frees meanwhile (a few kilobytes of its own caches) lowers it.
    assert peak >= zero_fill.ELEMENT_BYTES[entry] * capacity - 16 * 1024, f"{peak} bytes traced at the peak"
    assert grown < 16 * 1024, f"traced memory grew by {grown} bytes"


# -- text buffers ---------------------------------------------------------------


def test_buffers_are_released_on_every_path(corvix, stub):
    def every_path():
        for name in [*texts.NAMES, *texts.SLOT_FUNCTIONS]:
            texts.call(corvix, name)
            stub.set_result(name, -1)
            try:
                texts.call(corvix, name)
            except RuntimeError:
                pass
        corvix.get_ms2_filter_masses(1, 1000)
        stub.set_result("get_ms2_filter_masses", -1)
        with pytest.raises(RuntimeError):
            corvix.get_ms2_filter_masses(1, 1000)
        stub.reset()

    every_path()
    with tracing():
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(20):
            every_path()
        grown = tracemalloc.get_traced_memory()[0] - before
    # one leaked buffer per pass would be at least 20 * 256 bytes
    assert grown < 4096


def test_buffers_are_released_when_the_entry_point_is_missing(tmp_path):
    code = (
        "import tracemalloc\n"
        "import native_corvix_py_backend as m\n"
        "from test_texts import NAMES, SLOT_FUNCTIONS, arguments\n"
        "calls = [(getattr(m, n), [g for g, _ in arguments(n)]) for n in [*NAMES, *SLOT_FUNCTIONS]]\n"
        "calls.append((m.get_ms2_filter_masses, [1, 1000]))\n"
        "def every_call():\n"
        "    for function, args in calls:\n"
        "        try:\n"
        "            function(*args)\n"
        "        except RuntimeError as e:\n"
        "            assert str(e).startswith('get function ' + function.__name__ + ': '), e\n"
        "        else:\n"
        "            raise AssertionError(function.__name__)\n"
        "every_call()\n"
        "tracemalloc.start()\n"
        "before = tracemalloc.get_traced_memory()[0]\n"
        "for _ in range(20):\n"
        "    every_call()\n"
        "print(tracemalloc.get_traced_memory()[0] - before)\n"
    )
    result = run_python(code, cwd=tmp_path, env={"VELMAR_NATIVE_LIB": str(stub_path("empty"))})
    assert result.returncode == 0, result.stdout + result.stderr
    assert int(result.stdout) < 4096
