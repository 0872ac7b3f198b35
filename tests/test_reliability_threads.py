"""Many threads at once: against one handle, and racing the very first call.

Only portable threading APIs are used, so the tests run unchanged on a
free-threaded interpreter. There the fresh-process race runs with the lock
forced off (PYTHON_GIL=0), which is when several threads can be inside the
loader at the same moment; with the lock on, the calls take turns and the
same assertions hold.
"""
import os
import sys
import sysconfig
import threading

import pytest

from conftest import run_python, stub_path
from signatures import NAMES
from test_arguments import good_args
from families import FAMILIES, same_value

THREADS = 16 if os.environ.get("CORVIX_STRESS", "") not in ("", "0") else 8
ROUNDS = 100 if os.environ.get("CORVIX_STRESS", "") not in ("", "0") else 10
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def same_result(a, b):
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same_result(x, y) for x, y in zip(a, b))
    return same_value(a, b) if isinstance(a, float) else (type(a) is type(b) and a == b)


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


def test_every_function_from_many_threads(corvix, stub, fast_switching):
    handle = corvix.open_raw_file("threads.raw")
    calls = {}
    for name in NAMES:
        args = good_args(name)
        # One handle for all; get_path gives back the path last opened.
        args[0] = "threads.raw" if name == "open_raw_file" else handle if name != "set_dylib_path" else args[0]
        calls[name] = args
    expected = {name: getattr(corvix, name)(*args) for name, args in calls.items() if name != "open_raw_file"}
    before = {name: stub.calls(FAMILIES[name].entry) for name in NAMES if name != "set_dylib_path"}
    barrier = threading.Barrier(THREADS)
    problems, handles = [], []

    def worker(offset):
        barrier.wait()
        # Each thread walks the table from its own starting point, so that
        # different shapes are in flight at the same moment.
        order = NAMES[offset:] + NAMES[:offset]
        for _ in range(ROUNDS):
            for name in order:
                try:
                    result = getattr(corvix, name)(*calls[name])
                except BaseException as error:  # noqa: B036 - recorded and failed below
                    problems.append((name, repr(error)))
                    continue
                if name == "open_raw_file":
                    handles.append(result)
                elif not same_result(result, expected[name]):
                    problems.append((name, result))

    threads = [threading.Thread(target=worker, args=(i * len(NAMES) // THREADS,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert problems == []
    # No call was lost or doubled, and every open got a handle of its own.
    for name, count in before.items():
        assert stub.calls(FAMILIES[name].entry) == count + THREADS * ROUNDS, name
    assert len(set(handles)) == THREADS * ROUNDS


RACE = r"""
import ctypes, os, sys, threading
import native_corvix_py_backend as m

path = os.path.realpath(os.environ["VELMAR_NATIVE_LIB"])
threads = int(sys.argv[1])
# The first call of every thread may be the one that loads the library:
# plain calls (through VELMAR_NATIVE_LIB) and set_dylib_path race each other.
calls = [
    ("get_revision", (1,)), ("get_file_name", (1,)), ("get_spectrum", (1, 2, 8)),
    ("set_dylib_path", (path,)), ("get_scan_stats", (1, 2)), ("is_open", (1,)),
]
barrier = threading.Barrier(threads)
results = [None] * threads

def worker(i):
    name, args = calls[i % len(calls)]
    barrier.wait()
    try:
        results[i] = (name, getattr(m, name)(*args))
    except BaseException as error:
        results[i] = (name, "raised " + repr(error))

workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
for t in workers:
    t.start()
for t in workers:
    t.join()

# One file mapped: every mapping of the library has the same inode.
inodes = set()
for line in open("/proc/self/maps"):
    fields = line.split()
    if len(fields) >= 6 and os.path.realpath(fields[5]) == path:
        inodes.add((fields[3], fields[4]))

# dlopen of a path that is already loaded only counts a reference, so the
# number of references held tells whether every losing thread released its
# own. Count them by releasing them one by one until the library is gone
# (this unloads it: nothing calls the module after this point).
libc = ctypes.CDLL(None)
libc.dlopen.restype = ctypes.c_void_p
libc.dlopen.argtypes = [ctypes.c_char_p, ctypes.c_int]
libc.dlclose.argtypes = [ctypes.c_void_p]
references = 0
while references < 1000:
    probe = libc.dlopen(path.encode(), os.RTLD_NOW | os.RTLD_NOLOAD)
    if not probe:
        break
    libc.dlclose(probe)  # the probe's own reference
    libc.dlclose(probe)  # one that was held before
    references += 1
print(repr((results, len(inodes), references)))
"""

EXPECTED = {
    "get_revision": 66,
    "get_file_name": "Stand-in file.raw",
    "get_spectrum": ([100.0, 101.0, 102.0, 103.0, 104.0], [1000.0, 2000.0, 3000.0, 4000.0, 5000.0]),
    "set_dylib_path": None,
    "get_scan_stats": [float(v) for v in range(1, 21)],
    "is_open": True,
}


@pytest.mark.parametrize("attempt", range(3))
def test_threads_racing_the_first_call(tmp_path, attempt):
    env = {"VELMAR_NATIVE_LIB": str(stub_path("full"))}
    if FREE_THREADED:
        env["PYTHON_GIL"] = "0"
    threads = THREADS * 2
    result = run_python(RACE.replace("int(sys.argv[1])", str(threads)), cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    results, mapped_files, references = eval(result.stdout.strip().splitlines()[-1])
    assert len(results) == threads
    for name, value in results:
        assert same_result(value, EXPECTED[name]), (name, value)
    assert mapped_files == 1
    # Exactly the one reference of the stored library is left: every thread
    # that loaded a copy and lost the store released it.
    assert references == 1
