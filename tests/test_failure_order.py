"""Which failure a call reports when it has several, around the Reader
library: with no library at all, with the stand-in that has no entry points
(lookups fail) and with the one that lacks get_revision. Argument faults that
need no library, the load error, capacity faults and lookup failures come in a
fixed order, whatever the function.

One row per group of calls: the calls run in one fresh interpreter per
library situation (a process keeps the first library it loads), and each
answer line must match its pattern in full."""
import re

import pytest

from conftest import outcomes, stub_path
from test_data import ARRAY_CALLS, SHORT_END, with_capacity
from test_data_buffers import STATS_AND_DEPENDENTS

NOT_FOUND = "RuntimeError: " + re.escape("Dylib not found and VELMAR_NATIVE_LIB not set.")
CAPACITY = re.escape("PanicException: capacity overflow")


def lookup(entry):
    return f"RuntimeError: get function {entry}: .+"


# How the library is (not) there: outcomes() keywords.
SITUATIONS = {
    "no library": lambda: {},
    "no entry points, by set_dylib_path": lambda: {"variant": "empty"},
    "no entry points, by VELMAR_NATIVE_LIB": lambda: {"VELMAR_NATIVE_LIB": str(stub_path("empty"))},
    "no get_revision, by VELMAR_NATIVE_LIB": lambda: {"VELMAR_NATIVE_LIB": str(stub_path("missing"))},
}

ARRAY_ENTRIES = [entry for entry, _, _ in ARRAY_CALLS.values()]

# name -> (calls, {situation: the pattern of each answer line})
CASES = {
    # The capacity is checked once the library is there, before the lookup.
    "negative capacity of every array call": (
        [f"m.{name}(*{with_capacity(name, -1)!r})" for name in ARRAY_CALLS],
        {"no entry points, by set_dylib_path": [CAPACITY] * len(ARRAY_CALLS),
         "no library": [NOT_FOUND] * len(ARRAY_CALLS)},
    ),
    "lookup failures name the entry point of array calls": (
        [f"m.{name}(*{list(args)!r})" for name, (_, args, _) in ARRAY_CALLS.items()] + ["m.is_centroid(1, 1)"],
        {"no entry points, by set_dylib_path": [lookup(e) for e in ARRAY_ENTRIES + ["is_centroid"]]},
    ),
    "lookup failures of statistics and dependents": (
        [f"m.{name}(*{[1] * n!r})" for name, n in STATS_AND_DEPENDENTS.items()],
        {"no entry points, by set_dylib_path": [lookup(name) for name in STATS_AND_DEPENDENTS]},
    ),
    # List lengths and argument types are refused before the library is sought.
    "chromatogram with a shorter end list": (
        ["m.get_chromatogram(1, 0, '', [1.0, 2.0], [3.0], 1, 2, 10)",
         "m.get_chromatogram(1, 0, '', [1.0, 2.0], [3.0], 1, 2, 'x')",
         "m.get_chromatogram(1, 0, '', [1.0], [3.0], 1, 2, 10)"],
        {"no library": ["ValueError: " + re.escape(SHORT_END),
                        re.escape("TypeError: argument 'max_length': 'str' object cannot be interpreted as an integer"),
                        NOT_FOUND]},
    ),
    # A NUL in the filter text: after the library, before the capacity and the lookup.
    "chromatogram NUL, capacity and lookup": (
        ["m.get_chromatogram(1, 0, 'a\\0b', [], [], 1, 2, 10)",
         "m.get_chromatogram(1, 0, 'a\\0b', [], [], 1, 2, -1)",
         "m.get_chromatogram(1, 0, 'ab', [], [], 1, 2, 10)"],
        {"no entry points, by set_dylib_path": ["PanicException: .*NUL.*", CAPACITY, lookup("get_chromatogram")],
         "no library": [NOT_FOUND] * 3},
    ),
    "MS2 filter masses capacity and lookup": (
        ["m.get_ms2_filter_masses(1, -1)", "m.get_ms2_filter_masses(1, 1)", "m.get_num_scans(1)"],
        {"no entry points, by VELMAR_NATIVE_LIB": [CAPACITY, lookup("get_ms2_filter_masses"),
                                                   lookup("get_num_scans")],
         "no library": [NOT_FOUND] * 3},
    ),
    # A NUL byte in a path: the load error and the lookup come first.
    "open_raw_file NUL byte": (
        ["m.open_raw_file('a\\0b')", "m.get_num_scans(1)"],
        {"no library": [NOT_FOUND] * 2,
         "no entry points, by VELMAR_NATIVE_LIB": [lookup("open_raw_file"), lookup("get_num_scans")],
         "no get_revision, by VELMAR_NATIVE_LIB": [re.escape("ValueError: nul byte in path"), "ok: 100"]},
    ),
}


@pytest.mark.parametrize("case, situation", [(case, situation) for case, (_, expected) in CASES.items()
                                             for situation in expected])
def test_failure_order(tmp_path, case, situation):
    calls, expected = CASES[case]
    lines = outcomes(calls, cwd=tmp_path, **SITUATIONS[situation]())
    assert len(lines) == len(calls)
    mismatched = [(call, line, pattern) for call, line, pattern in zip(calls, lines, expected[situation])
                  if not re.fullmatch(pattern, line, flags=re.S)]
    assert mismatched == []
