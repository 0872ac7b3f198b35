"""The mzML tests: the mzML Reader library against files made by the
generator (tests/mzmlgen) and by hand, in three folders by what they drive:
core/ the reading core through its command-line window mzml_dump, entries/
the 186 entry points (through ctypes and through the module's functions),
module/ the module and corvix over the library. The module keeps the first
Reader library it loads for the life of the process, so these tests run in
their own pytest session (scripts/test.sh runs them as a second one) with the
mzML library loaded first. Shared helpers are in mzml_session.py (import
them from there: the stand-in session's conftest is also named `conftest`)."""
import pathlib

import pytest

from mzml_session import LIB_NAME, RUN_CONFIG, SHAPES, mzml_library
from mzmlgen import make_run, write_mzml


@pytest.fixture(scope="session")
def m():
    """The module with the mzML Reader library loaded in this process."""
    import native_corvix_py_backend as module

    library = mzml_library()
    module.set_dylib_path(str(library))
    maps = pathlib.Path("/proc/self/maps")
    if maps.exists() and LIB_NAME not in maps.read_text():
        pytest.fail("another Reader library was loaded first in this process: the mzML tests need their own "
                    "pytest session (bash scripts/test.sh python3 tests/mzml)")
    return module


@pytest.fixture(scope="session")
def synthetic_run():
    return make_run(RUN_CONFIG)


@pytest.fixture(scope="session")
def corpus(tmp_path_factory, synthetic_run):
    """Every shape written once: name -> FileTruth (with .path)."""
    folder = tmp_path_factory.mktemp("mzml")
    out = {}
    for name, options in SHAPES.items():
        suffix = ".mzML.gz" if options.gzip else ".mzML"
        out[name] = write_mzml(synthetic_run, folder / (name + suffix), options)
    return out
