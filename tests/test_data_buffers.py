"""Scan statistics, dependent-scan details, and memory exhaustion while
reserving arrays (the release of every call-owned buffer is in
test_reliability_leaks.py)."""
import os

import pytest

from conftest import run_python, stub_path
from families import FAMILIES

SCAN_TYPE = "get_scan_stats_scan_type"
FILTER = "get_scan_dependent_detail_filter_string"
ARRAYS = ["get_scan_dependent_detail_precursor_mass_array", "get_scan_dependent_detail_isolation_width_array"]
COUNTED_CAPACITY = FAMILIES[SCAN_TYPE].capacity
ARRAY_CAPACITY = FAMILIES[ARRAYS[0]].capacity
COUNTING = ["get_scan_dependents_count", "get_scan_dependents_instrument_type", "get_scan_dependent_detail_scan_index"]


# ---------------------------------------------------------------------------
# Scan statistics.


@pytest.mark.parametrize("status", [None, 0, 1, 20, 25, 2**31 - 1])
def test_scan_stats_always_twenty_values(corvix, stub, status):
    if status is not None:
        stub.set_result("get_scan_stats", status)
    result = corvix.get_scan_stats(3, -4)
    assert result == [float(v) for v in range(1, 21)] and all(type(v) is float for v in result)
    assert (stub.last_int("get_scan_stats", 0), stub.last_int("get_scan_stats", 1)) == (3, -4)


def test_scan_stats_unwritten_values_read_zero(corvix, stub):
    stub.set_array("get_scan_stats", 0, [7.0, float("-inf")])
    assert corvix.get_scan_stats(1, 1) == [7.0, float("-inf")] + [0.0] * 18


@pytest.mark.parametrize("name", ["get_scan_stats", SCAN_TYPE])
@pytest.mark.parametrize("status", [-1, -(2**31)])
def test_scan_stats_negative_status_raises(corvix, stub, name, status):
    stub.set_result(name, status)
    with pytest.raises(RuntimeError) as info:
        getattr(corvix, name)(1, 1)
    assert str(info.value) == f"{name} failed"


@pytest.mark.parametrize(
    "text, status, expected",
    [
        (b"Full ms", None, "Full ms"),
        (b"Full ms", 0, None),
        (b"", None, None),
        (b"ab\0cd", 5, "ab\x00cd"),
        (b"0123456789", 5, "01234"),
        ("é".encode(), 1, "\ufffd"),
        (b"ab\xffc", 4, "ab\ufffdc"),
        (b"x" * (COUNTED_CAPACITY + 6), COUNTED_CAPACITY, "x" * COUNTED_CAPACITY),
        (b"short", 12, "short" + "\x00" * 7),
    ],
)
def test_scan_type_counted_text(corvix, stub, text, status, expected):
    stub.set_text(SCAN_TYPE, text)
    if status is not None:
        stub.set_result(SCAN_TYPE, status)
    assert corvix.get_scan_stats_scan_type(2, 3) == expected
    assert [stub.last_int(SCAN_TYPE, p) for p in (0, 1, 3)] == [2, 3, COUNTED_CAPACITY]


@pytest.mark.parametrize("name", [SCAN_TYPE, FILTER])
@pytest.mark.parametrize("status", [COUNTED_CAPACITY + 1, 2**31 - 1])
def test_counted_text_above_capacity_is_an_internal_fault(corvix, stub, name, status):
    stub.set_result(name, status)
    with pytest.raises(corvix.PanicException):
        getattr(corvix, name)(*[1] * (2 if name == SCAN_TYPE else 4))
    assert stub.calls(name) == 1


# ---------------------------------------------------------------------------
# Dependent-scan details.


@pytest.mark.parametrize("name", COUNTING)
@pytest.mark.parametrize("value", [-1, 0, 7, 2**31 - 1, -(2**31)])
def test_counting_functions_pass_the_result_through(corvix, stub, name, value):
    stub.set_result(name, value)
    args = [11, -12, 13, -(2**31)][: 4 if name.endswith("scan_index") else 3]
    result = getattr(corvix, name)(*args)
    assert type(result) is int and result == value
    assert [stub.last_int(name, p) for p in range(len(args))] == args


@pytest.mark.parametrize(
    "text, status, expected",
    [
        (b"ms2 dependent", None, "ms2 dependent"),
        (b"ms2 dependent", 0, ""),
        (b"ms2 dependent", -1, None),
        (b"ms2 dependent", -(2**31), None),
        (b"ms2 dependent", 3, "ms2"),
        (b"a\0b", 3, "a\x00b"),
        ("✓".encode(), 2, "\ufffd"),
        (b"y" * COUNTED_CAPACITY, COUNTED_CAPACITY, "y" * COUNTED_CAPACITY),
    ],
)
def test_dependent_filter_text(corvix, stub, text, status, expected):
    stub.set_text(FILTER, text)
    if status is not None:
        stub.set_result(FILTER, status)
    assert corvix.get_scan_dependent_detail_filter_string(4, 5, 2, 2**31 - 1) == expected
    assert [stub.last_int(FILTER, p) for p in (0, 1, 2, 3, 5)] == [4, 5, 2, 2**31 - 1, FAMILIES[FILTER].capacity]


@pytest.mark.parametrize("name", ARRAYS)
@pytest.mark.parametrize(
    "written, status, expected",
    [
        ([400.0, 500.0], None, [400.0, 500.0]),
        ([1.0, 2.0, 3.0, 4.0, 5.0], 3, [1.0, 2.0, 3.0]),
        ([1.0, 2.0], 4, [1.0, 2.0, 0.0, 0.0]),
        ([1.0, 2.0], 0, []),
        ([float(i) for i in range(300)], 300, [float(i) for i in range(ARRAY_CAPACITY)]),
        ([1.0], 2**31 - 1, [1.0] + [0.0] * (ARRAY_CAPACITY - 1)),
        ([1.0], -1, None),
        ([1.0], -(2**31), None),
    ],
)
def test_dependent_arrays(corvix, stub, name, written, status, expected):
    stub.set_array(name, 0, written)
    if status is not None:
        stub.set_result(name, status)
    assert getattr(corvix, name)(6, 7, 8, -(2**31)) == expected
    assert [stub.last_int(name, p) for p in (0, 1, 2, 3, 5)] == [6, 7, 8, -(2**31), ARRAY_CAPACITY]


STATS_AND_DEPENDENTS = {
    "get_scan_stats": 2, SCAN_TYPE: 2, FILTER: 4, ARRAYS[0]: 4, ARRAYS[1]: 4,
    COUNTING[0]: 3, COUNTING[1]: 3, COUNTING[2]: 4,
}


@pytest.mark.parametrize("name", STATS_AND_DEPENDENTS)
def test_first_failing_parameter_is_named(corvix, stub, name):
    n = STATS_AND_DEPENDENTS[name]
    params = ["handle", "scan_number", "ms_order", "detail_index"][:n]
    for first in range(n):
        with pytest.raises(TypeError) as info:
            getattr(corvix, name)(*([1] * first + ["x"] * (n - first)))
        assert str(info.value).startswith(f"argument '{params[first]}': ")
    assert stub.total_calls() == 0


# ---------------------------------------------------------------------------
# Memory exhaustion: an orderly MemoryError, never a crash. The child lowers
# its address space first so that it cannot take the machine down.

EXHAUSTION = """
import os, resource
sanitized = 'asan' in os.environ.get('LD_PRELOAD', '')
if not sanitized:
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
import native_corvix_py_backend as m
m.set_dylib_path({path!r})
calls = [
    'm.get_centroid_stream(1, 1, 2**31 - 1)',
    'm.get_spectrum(1, 1, 2**31 - 1)',
    'm.get_averaged_spectrum(1, [1, 2], 2**31 - 1)',
    "m.get_chromatogram(1, 0, 'f', [1.0], [2.0], 1, 2, 2**31 - 1)",
    # The first arrays fit, a later one does not: those reserved are released.
    'm.get_spectrum(1, 1, 2**28 + 2**27)',
    'm.get_centroid_stream(1, 1, 2**27 + 2**26)',
    # After all of that the memory is back: 2 GiB of arrays fit again. (Under
    # the address sanitizer the limit is per allocation: 1.25 GiB.)
    'm.get_spectrum(1, 1, 2**27)',
    'm.get_centroid_stream(1, 1, 2**25)',
]
for call in calls:
    try:
        result = eval(call)
        print('ok', len(result[0]))
    except MemoryError:
        print('MemoryError')
"""


def test_memory_exhaustion_raises_memory_error():
    env = {}
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        limits = ":allocator_may_return_null=1:max_allocation_size_mb=1280"
        env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + limits
    result = run_python(EXHAUSTION.format(path=str(stub_path("full"))), env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.split("\n")[:8] == ["MemoryError"] * 6 + ["ok 5", "ok 3"], result.stderr


# ---------------------------------------------------------------------------
# The internal-fault path allocates nothing: with the memory exhausted, a
# call whose result cannot be created still raises the fault it is, "Python
# API call failed", instead of another fault or std::terminate. The child
# limits its address space and takes every block its allocators can still
# give: the C heap, and on a free-threaded build first the interpreter's own
# allocator (its objects and buffers do not come from the C heap there).
# Blocks of the sizes of the call's own buffers are given back just before
# the call, so that only the creation of its result fails.

FAULT_UNDER_EXHAUSTION = """
import ctypes, resource, sys, sysconfig
import native_corvix_py_backend as m
from readerstub import ReaderStub
FULL = {path!r}
m.set_dylib_path(FULL)
stub = ReaderStub(FULL)
libc = ctypes.CDLL(None)
api = ctypes.pythonapi
for lib, take, give in ((libc, 'malloc', 'free'), (api, 'PyMem_Malloc', 'PyMem_Free'),
                        (api, 'PyObject_Malloc', 'PyObject_Free')):
    getattr(lib, take).restype = ctypes.c_void_p
    getattr(lib, take).argtypes = [ctypes.c_size_t]
    getattr(lib, give).argtypes = [ctypes.c_void_p]
api.PyMem_Calloc.restype = ctypes.c_void_p
api.PyMem_Calloc.argtypes = [ctypes.c_size_t, ctypes.c_size_t]
libc.mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
libc.mallopt(-3, 64 * 1024)  # M_MMAP_THRESHOLD: blocks of 64 KiB and more are mapped on their own, for good
ALLOCATORS = [(libc.malloc, libc.free)]
if sysconfig.get_config_var('Py_GIL_DISABLED'):
    ALLOCATORS[:0] = [(api.PyMem_Malloc, api.PyMem_Free), (api.PyObject_Malloc, api.PyObject_Free)]
held = (ctypes.c_void_p * 1_000_000)()
unlimited = resource.getrlimit(resource.RLIMIT_AS)[1]

def vm_size():
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith('VmSize:'):
                return int(line.split()[1]) * 1024

def run_exhausted(call, buffers):
    # call() with every allocator exhausted but for blocks of the sizes `buffers`
    limit = vm_size() + (64 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, unlimited))
    reserve = [api.PyMem_Calloc(1, size) for size in buffers]
    ends = []
    n = 0
    for take, _ in ALLOCATORS:
        size = 1 << 26
        while size >= 16:
            p = take(size)
            if p:
                held[n] = p
                n += 1
            else:
                size //= 2
        ends.append(n)
    for p in reserve:
        api.PyMem_Free(p)
    outcome = None
    try:
        call()
    except BaseException as error:
        outcome = error
    start = 0
    for (_, give), end in zip(ALLOCATORS, ends):
        for i in range(start, end):
            give(held[i])
        start = end
    resource.setrlimit(resource.RLIMIT_AS, (unlimited, unlimited))
    return type(outcome).__name__ + ': ' + str(outcome), [b - a for a, b in zip([0] + ends, ends)]

points = 1 << 20
stub.set_result('get_spectrum', 2**31 - 1)
m.get_spectrum(0, 1, 8)
stub.set_text('get_instrument_method', b'x' * 100_000)
m.get_instrument_method(1, 0)
try:
    m.get_spectrum(0, 1, -1)  # the first exception of a thread sets up its exception state
except BaseException:
    pass
spectrum_buffers = [16 * points + 4096, 16 << 10]  # masses and intensities in one block, room for small ones
# The 128 KiB text buffer: from the heap where the interpreter's allocator
# keeps what it frees (the free-threaded build's mimalloc; the spectrum call
# before took its arrays from there too); otherwise glibc gave the spectrum's
# reserve back to the system, the arrays were mapped, and the thread keeps
# that mapping, which now serves the text buffer.
text_buffers = [131072, 32 << 10] if sysconfig.get_config_var('Py_GIL_DISABLED') else [32 << 10]
print(run_exhausted(lambda: m.get_spectrum(0, 1, points), spectrum_buffers), flush=True)
print(run_exhausted(lambda: m.get_instrument_method(1, 0), text_buffers), flush=True)
print(run_exhausted(lambda: m.get_spectrum(0, 1, points), spectrum_buffers), flush=True)
print((m.get_spectrum(0, 1, 3), len(m.get_instrument_method(1, 0))))
"""


def test_fault_path_needs_no_heap():
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the address sanitizer's allocator and shadow memory cannot run under an address-space limit")
    result = run_python(FAULT_UNDER_EXHAUSTION.format(path=str(stub_path("full"))))
    assert result.returncode == 0, result.stdout + result.stderr[-3000:]
    lines = [eval(line) for line in result.stdout.splitlines()]
    # the memory really was exhausted: every allocator gave out after some blocks
    assert all(all(count > 0 for count in taken) for _, taken in lines[:3]), lines
    assert [outcome for outcome, _ in lines[:3]] == ["PanicException: Python API call failed"] * 3
    # and all is well once the memory is back
    assert lines[3] == (([100.0, 101.0, 102.0], [1000.0, 2000.0, 3000.0]), 100000)
    assert "terminate called" not in result.stderr
