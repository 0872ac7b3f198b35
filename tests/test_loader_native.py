"""The loader test program (tests/native/loader_test.cpp) built for this
platform: the library search and the platform layer on their own, one
process per case. scripts/windows_check.sh runs the same program built for
Windows under Wine."""
import subprocess

import pytest

from conftest import BUILD_DIR

PROGRAM = BUILD_DIR / "loader_test" if BUILD_DIR is not None else None


def case_names():
    if PROGRAM is None or not PROGRAM.exists():
        return []
    listed = subprocess.run([PROGRAM, "list"], capture_output=True, text=True, check=True)
    return listed.stdout.split()


CASES = case_names()


def test_program_is_built_and_lists_its_cases():
    if BUILD_DIR is None:
        pytest.skip("CORVIX_BUILD_DIR is not set: the loader test program is not built")
    assert "race_for_the_store" in CASES and "paths_outside_ascii_round_trip" in CASES


@pytest.mark.parametrize("name", CASES)
def test_case(name, tmp_path):
    result = subprocess.run([PROGRAM, "run", name, BUILD_DIR / "reader_stub", tmp_path],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1] == f"ok {name}"
