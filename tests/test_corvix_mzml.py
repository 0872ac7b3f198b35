"""Runs tests/corvix_mzml_cases.py (corvix over the mzML Reader library, and
the mzML -> corvix -> mzML round trip) in a pytest process of its own: this
session has loaded the stand-in, and a process keeps the first Reader library
it loads."""
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import module_dir

HERE = pathlib.Path(__file__).resolve().parent


def test_corvix_over_the_mzml_reader_library(tmp_path):
    library = os.environ.get("CORVIX_MZML_READER", "")
    if not library or not os.path.isfile(library):
        pytest.skip(f"the mzML Reader library is not built (CORVIX_MZML_READER={library!r} names no file)")
    env = {k: v for k, v in os.environ.items() if k != "VELMAR_NATIVE_LIB"}
    env["PYTHONPATH"] = os.pathsep.join([module_dir(), str(HERE.parent), str(HERE)])
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--basetemp", str(tmp_path / "t"),
         str(HERE / "corvix_mzml_cases.py")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, result.stdout[-6000:] + result.stderr[-3000:]
    assert " passed" in result.stdout and " skipped" not in result.stdout, result.stdout
