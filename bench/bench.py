"""Call-cost benchmark of native_corvix_py_backend.

Every call shape of the module is timed, in one run on the interpreter that
runs this script, against the stand-in Reader library, next to

  * the same entry point called through ctypes, the way a careful user would
    write it: argtypes and restype set once, a fresh zero-filled buffer per
    call (ctypes.create_string_buffer or a (c_double * n)() array), the status
    checked, the text decoded and split in Python, the arrays sliced to lists;
  * the interpreter's own floor: a call of a built-in that does nothing
    measurable, and array.array(...).tolist() for every element of the lists
    that a bulk call returns.

Each figure is the minimum over several rounds of timeit loops (the rounds
of the candidates of one row are interleaved, so a burst of load on a shared
machine hits all of them alike; bench/_common.py has the timer). Figures include timeit's loop
overhead, which is printed too; it is not subtracted.

Usage:
    CORVIX_BUILD_DIR=build/py311-release PYTHONPATH=build/py311-release \\
        python bench/bench.py [--quick] [--library PATH]

--quick runs tiny repetitions only to show that the script still works; its
figures mean nothing and its exit status ignores the targets. Without it the
exit status is 1 when a target is missed.
"""

import argparse
import array
import ctypes
import gc
import importlib.util
import sys
import tracemalloc

from _common import TESTS, Clock, Target, fmt_time, header, import_module, library_path, report_targets

HANDLE_SCAN = 1  # scan number used throughout
FILTER_TEXT = b"FTMS + p NSI Full ms2 524.2648@hcd28.00 [140.0000-1060.0000]"  # 60 bytes
TRAILER_FIELDS = 40
CHROMATOGRAM_POINTS = 100_000
BULK_SIZES = (10, 1_000, 1_000_000)


# ---------------------------------------------------------------------------
# Set-up


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny repetitions; proves the script runs")
    parser.add_argument("--library", help="path of the stand-in Reader library")
    return parser.parse_args()


def load_reader_stub_class():
    found = importlib.util.spec_from_file_location("readerstub", TESTS / "readerstub.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module.ReaderStub


def trailer_values_text():
    """40 fields as an instrument writes them: numbers, flags, short words."""
    samples = ["2", "10.000", "60000", "On", "524.2648", "0.00", "1.2e+06", "Off", "3", "28.00"]
    return "|".join(samples[i % len(samples)] for i in range(TRAILER_FIELDS)).encode()


def masses(n):
    return [100.0 + 1900.0 * i / max(n, 1) for i in range(n)]


def intensities(n):
    return [1000.0 + (i * 7919) % 100_000 for i in range(n)]


# ---------------------------------------------------------------------------
# The careful ctypes user


class CtypesUser:
    """The same entry points through ctypes, written the way a careful user
    would: prototypes declared once, buffers zero-filled per call, statuses
    checked, texts decoded with replacement and split in Python."""

    def __init__(self, path):
        lib = ctypes.CDLL(str(path))
        i32, dbl = ctypes.c_int32, ctypes.c_double
        pd, pi = ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int32)

        def proto(name, restype, *argtypes):
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = list(argtypes)
            return fn

        self.get_num_scans = proto("get_num_scans", i32, i32)
        self.get_scan_rt = proto("get_scan_rt", dbl, i32, i32)
        self._filter = proto("get_scan_filter_string", i32, i32, i32, ctypes.c_char_p, i32)
        self._trailer = proto("get_trailer_extra_values", i32, i32, i32, ctypes.c_char_p, i32)
        self._spectrum = proto("get_spectrum", i32, i32, i32, pd, pd, i32)
        self._centroids = proto("get_centroid_stream_full", i32, i32, i32, pd, pd, pd, pd, pi, pd, i32)
        self._chromatogram = proto(
            "get_chromatogram", i32, i32, i32, ctypes.c_char_p, pd, pd, i32, i32, i32, pd, pd, i32
        )

    def get_scan_filter_string(self, handle, scan_number):
        buffer = ctypes.create_string_buffer(1024)
        if self._filter(handle, scan_number, buffer, 1024) < 0:
            raise RuntimeError("get_scan_filter_string failed")
        return buffer.value.decode("utf-8", "replace")

    def get_trailer_extra_values(self, handle, scan_number):
        buffer = ctypes.create_string_buffer(8192)
        if self._trailer(handle, scan_number, buffer, 8192) < 0:
            raise RuntimeError("get_trailer_extra_values failed")
        return buffer.value.decode("utf-8", "replace").split("|")

    def get_spectrum(self, handle, scan_number, max_length):
        row = ctypes.c_double * max_length
        m, i = row(), row()
        count = self._spectrum(handle, scan_number, m, i, max_length)
        if count < 0:
            raise RuntimeError("get_spectrum failed")
        n = min(count, max_length)
        return m[:n], i[:n]

    def get_centroid_stream(self, handle, scan_number, max_length):
        row = ctypes.c_double * max_length
        a1, a2, a3, a4 = row(), row(), row(), row()
        ints = (ctypes.c_int32 * max_length)()
        trailer = (ctypes.c_double * 2)()
        count = self._centroids(handle, scan_number, a1, a2, a3, a4, ints, trailer, max_length)
        if count < 0:
            raise RuntimeError("get_centroid_stream_full failed")
        n = min(count, max_length)
        return a1[:n], a2[:n], a3[:n], a4[:n], ints[:n], trailer[0], trailer[1]

    def get_chromatogram(self, handle, trace_type, filter, starts, ends, start_scan, end_scan, max_length):
        ranges = ctypes.c_double * len(starts)
        row = ctypes.c_double * max_length
        times, values = row(), row()
        count = self._chromatogram(
            handle, trace_type, filter.encode(), ranges(*starts), ranges(*ends), len(starts),
            start_scan, end_scan, times, values, max_length,
        )
        if count < 0:
            raise RuntimeError("get_chromatogram failed")
        n = min(count, max_length)
        return times[:n], values[:n]


# ---------------------------------------------------------------------------
# The rows


def main():
    args = parse_args()
    path = library_path("stand-in", args.library)
    corvix = import_module()

    corvix.set_dylib_path(str(path))
    stub = load_reader_stub_class()(str(path))
    stub.reset()
    user = CtypesUser(path)
    clock = Clock.for_calls(args.quick)

    h = corvix.open_raw_file("bench.raw")
    s = HANDLE_SCAN
    stub.set_text("get_scan_filter_string", FILTER_TEXT)
    stub.set_text("get_trailer_extra_values", trailer_values_text())

    header("native_corvix_py_backend call cost", args.quick, f"stand-in Reader library: {path}",
           f"min of {clock.rounds} rounds; every figure is per call and includes the timeit loop")
    print()

    rows = []  # (label, module, ctypes, floor, floor label)
    targets: list[Target] = []

    def check_same(label, a, b):
        if a != b:
            raise AssertionError(f"{label}: module and ctypes results differ")

    empty = ()
    base = {"corvix": corvix, "user": user, "h": h, "s": s, "empty": empty, "int": int}
    loop = clock.per_call({"loop": ("pass", {})})["loop"]

    # Scalar and float calls. Floors: len(()) is a one-argument built-in that
    # returns a cached small int and allocates nothing; isinstance(h, int) is
    # the same for two arguments (it returns a singleton bool).
    scalar_rows = [
        ("get_num_scans(h)", "corvix.get_num_scans(h)", "user.get_num_scans(h)", "len(empty)", "len(())",
         lambda: (corvix.get_num_scans(h), user.get_num_scans(h))),
        ("get_scan_rt(h, s)", "corvix.get_scan_rt(h, s)", "user.get_scan_rt(h, s)", "isinstance(h, int)",
         "isinstance(h, int)", lambda: (corvix.get_scan_rt(h, s), user.get_scan_rt(h, s))),
        ("get_scan_rt(handle=h, scan_number=s)", "corvix.get_scan_rt(handle=h, scan_number=s)",
         "user.get_scan_rt(h, s)", "isinstance(h, int)", "isinstance(h, int)",
         lambda: (corvix.get_scan_rt(handle=h, scan_number=s), user.get_scan_rt(h, s))),
    ]
    text_rows = [
        ("get_scan_filter_string(h, s)", "corvix.get_scan_filter_string(h, s)",
         "user.get_scan_filter_string(h, s)", "isinstance(h, int)", "isinstance(h, int)",
         lambda: (corvix.get_scan_filter_string(h, s), user.get_scan_filter_string(h, s))),
        (f"get_trailer_extra_values(h, s) [{TRAILER_FIELDS} fields]", "corvix.get_trailer_extra_values(h, s)",
         "user.get_trailer_extra_values(h, s)", "isinstance(h, int)", "isinstance(h, int)",
         lambda: (corvix.get_trailer_extra_values(h, s), user.get_trailer_extra_values(h, s))),
    ]
    for group, kind in ((scalar_rows, "scalar"), (text_rows, "text")):
        for label, mod, ct, floor, floor_label, same in group:
            check_same(label, *same())
            t = clock.per_call({"module": (mod, base), "ctypes": (ct, base), "floor": (floor, base)})
            rows.append((label, t["module"], t["ctypes"], t["floor"], floor_label))
            what = "ctypes, same entry point" if kind == "scalar" else "careful ctypes"
            targets.append(Target(f"{label} <= 0.5 x {what}", t["module"] / t["ctypes"], 0.5))

    # Bulk lists. Floor: array.array(...).tolist() of every list returned.
    spectrum_floor_1m = None
    for n in BULK_SIZES:
        stub.set_array("get_spectrum", 0, masses(n))
        stub.set_array("get_spectrum", 1, intensities(n))
        ns = dict(base, n=n, a=array.array("d", masses(n)), b=array.array("d", intensities(n)))
        label = f"get_spectrum(h, s, {n:,})"
        check_same(label, corvix.get_spectrum(h, s, n), user.get_spectrum(h, s, n))
        t = clock.per_call({
            "module": ("corvix.get_spectrum(h, s, n)", ns),
            "ctypes": ("user.get_spectrum(h, s, n)", ns),
            "floor": ("a.tolist(); b.tolist()", ns),
        })
        rows.append((label, t["module"], t["ctypes"], t["floor"], f"2 x tolist() of {n:,} doubles"))
        if n == 1_000_000:
            spectrum_floor_1m = t["module"] / t["floor"]
        stub.set_array("get_spectrum", 0, [])
        stub.set_array("get_spectrum", 1, [])
        gc.collect()
    targets.append(Target("get_spectrum(h, s, 1,000,000) <= 1.2 x two tolist() of 1,000,000 doubles",
                          spectrum_floor_1m, 1.2))

    for n in BULK_SIZES:
        columns = [masses(n), intensities(n), [60000.0] * n, [float(i % 97) for i in range(n)]]
        for k, column in enumerate(columns):
            stub.set_array("get_centroid_stream_full", k, column)
        charges = [1 + i % 4 for i in range(n)]
        stub.set_int_array("get_centroid_stream_full", charges)
        stub.set_trailer("get_centroid_stream_full", 1.5, 2.5)
        ns = dict(base, n=n, cols=[array.array("d", c) for c in columns], ints=array.array("i", charges))
        label = f"get_centroid_stream(h, s, {n:,})"
        check_same(label, corvix.get_centroid_stream(h, s, n), user.get_centroid_stream(h, s, n))
        t = clock.per_call({
            "module": ("corvix.get_centroid_stream(h, s, n)", ns),
            "ctypes": ("user.get_centroid_stream(h, s, n)", ns),
            "floor": ("for c in cols: c.tolist()\nints.tolist()", ns),
        })
        rows.append((label, t["module"], t["ctypes"], t["floor"], f"5 x tolist() of {n:,}"))
        for k in range(4):
            stub.set_array("get_centroid_stream_full", k, [])
        stub.set_int_array("get_centroid_stream_full", [])
        gc.collect()

    n = CHROMATOGRAM_POINTS
    stub.set_array("get_chromatogram", 0, [0.01 * i for i in range(n)])
    stub.set_array("get_chromatogram", 1, intensities(n))
    ns = dict(
        base, n=n, flt=FILTER_TEXT.decode(), lo=[400.0, 524.0, 810.0], hi=[401.0, 525.0, 811.0],
        a=array.array("d", [0.01 * i for i in range(n)]), b=array.array("d", intensities(n)),
    )
    call = "(h, 0, flt, lo, hi, 1, 100, n)"
    label = f"get_chromatogram(3 ranges, {n:,} points)"
    check_same(label, eval("corvix.get_chromatogram" + call, ns), eval("user.get_chromatogram" + call, ns))
    t = clock.per_call({
        "module": ("corvix.get_chromatogram" + call, ns),
        "ctypes": ("user.get_chromatogram" + call, ns),
        "floor": ("a.tolist(); b.tolist()", ns),
    })
    rows.append((label, t["module"], t["ctypes"], t["floor"], f"2 x tolist() of {n:,} doubles"))

    # The table.
    width = max(len(r[0]) for r in rows)
    head = f"{'call':<{width}}  {'module':>11}  {'ctypes':>11}  {'floor':>11}  {'mod/ctypes':>10}  {'mod/floor':>9}  floor"
    print(head)
    print("-" * len(head))
    for label, mod, ct, floor, floor_label in rows:
        print(f"{label:<{width}}  {fmt_time(mod)}  {fmt_time(ct)}  {fmt_time(floor)}  "
              f"{mod / ct:10.2f}  {mod / floor:9.2f}  {floor_label}")
    print(f"{'(timeit loop alone: pass)':<{width}}  {fmt_time(loop)}")
    print()

    # No heap allocation for argument parsing or keyword matching.
    allocation_ok = check_parsing_allocates_nothing(corvix, h, s)
    print()

    missed = report_targets(targets)
    print(f"  {'PASS' if allocation_ok else 'MISS'}  {'--':>6}  no heap allocation in argument parsing or keyword matching")

    stub.reset()
    if not allocation_ok:
        return 1
    return 0 if args.quick or missed == 0 else 1


def check_parsing_allocates_nothing(corvix, h, s):
    """Keyword and positional calls whose results are cached objects (a small
    int) must not allocate at all: the parser works on the caller's argument
    vector and matches keywords by pointer. tracemalloc's peak would rise
    with any block that the interpreter's allocators handed out during the
    call, however briefly. (A `**mapping` call cannot be checked this way:
    the interpreter itself allocates to unpack the mapping before the module
    is entered.)"""
    calls = {
        "get_num_scans(h)": lambda: corvix.get_num_scans(h),
        "get_num_scans(handle=h)": lambda: corvix.get_num_scans(handle=h),
        "get_ms_order(scan_number=s, handle=h)": lambda: corvix.get_ms_order(scan_number=s, handle=h),
        "get_scan_filter_ms_order(h, scan_number=s)": lambda: corvix.get_scan_filter_ms_order(h, scan_number=s),
    }
    print("heap blocks allocated during one call (tracemalloc peak above the level before the call)")
    ok = True
    tracemalloc.start()
    try:
        for label, call in calls.items():
            for _ in range(3):
                call()  # warm the interpreter's caches first
            worst = 0
            for _ in range(100):
                before = tracemalloc.get_traced_memory()[0]
                tracemalloc.reset_peak()
                call()
                worst = max(worst, tracemalloc.get_traced_memory()[1] - before)
            ok &= worst == 0
            print(f"  {worst:6d} bytes  {label}")
        # The probe must see what the module does allocate: a text call
        # reserves its 1024-byte buffer through the interpreter's allocator.
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        corvix.get_scan_filter_string(h, s)
        seen = tracemalloc.get_traced_memory()[1] - before
        ok &= seen >= 1024
        print(f"  {seen:6d} bytes  get_scan_filter_string(h, s) (control: its 1024-byte buffer must show)")
    finally:
        tracemalloc.stop()
    return ok


if __name__ == "__main__":
    sys.exit(main())
