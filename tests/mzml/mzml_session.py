"""What every test of the mzML session shares, as a plainly named module (the
session's conftest and the stand-in session's both import as `conftest`):
where the built mzML Reader library and mzml_dump are, the file shapes every
value test runs over, the run they are written from, and a child interpreter
with the library loaded."""
import os
import pathlib
import subprocess
import sys

import pytest

TESTS = pathlib.Path(__file__).resolve().parent.parent
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))  # the generator package and the shared helpers of tests/

from mzmlgen import RunConfig, WriteOptions  # noqa: E402

BUILD_DIR = pathlib.Path(os.environ["CORVIX_BUILD_DIR"]) if os.environ.get("CORVIX_BUILD_DIR") else None
LIB_NAME = "corvix_mzml_reader.dll" if sys.platform == "win32" else "libcorvix_mzml_reader.so"


def mzml_library() -> pathlib.Path:
    # The library that corvix would pick (scripts/test.sh points it into the
    # build directory; the wheel check at the copy installed with corvix).
    chosen = os.environ.get("CORVIX_MZML_READER")
    if chosen:
        return pathlib.Path(chosen)
    if BUILD_DIR is None:
        pytest.fail("CORVIX_BUILD_DIR is not set: run the mzML tests through scripts/test.sh")
    path = BUILD_DIR / "mzml_reader" / LIB_NAME
    if not path.exists():
        pytest.fail(f"the mzML Reader library was not built: {path}")
    return path


def dump_path() -> str:
    """The reading core's command-line window, built beside the library."""
    if BUILD_DIR is None:
        pytest.skip("CORVIX_BUILD_DIR is not set: the mzML reading core is not built")
    path = BUILD_DIR / "mzml_reader" / ("mzml_dump.exe" if sys.platform == "win32" else "mzml_dump")
    if not path.exists():
        pytest.skip("mzml_dump is not built (CORVIX_MZML_READER=OFF)")
    return str(path)


# The shapes every value test runs over: name -> write options.
SHAPES = {
    "indexed-zlib": WriteOptions(),
    "plain-zlib": WriteOptions(indexed=False),
    "uncompressed-32": WriteOptions(compression="none", mz_bits=32, intensity_bits=32),
    "uncompressed-64": WriteOptions(compression="none", mz_bits=64, intensity_bits=64, indexed=False),
    "numpress-slof": WriteOptions(compression="numpress"),
    "numpress-pic-zlib": WriteOptions(compression="numpress-zlib", numpress_intensity="pic", indexed=False),
    "gzip-indexed": WriteOptions(gzip=True),
    "gzip-plain": WriteOptions(gzip=True, indexed=False, compression="none"),
    "no-filter-offset-ids": WriteOptions(filter_strings=False, id_style="offset"),
    "gap-ids": WriteOptions(id_style="gaps", param_groups=False),
    "index-ids-minutes": WriteOptions(id_style="index", rt_unit="minute", chromatogram_time_unit="minute"),
    "nonnumeric-compact": WriteOptions(id_style="nonnumeric", pretty=False, filter_strings=False, chromatograms=False),
    "empty-spectra": WriteOptions(empty_positions=(1, 2, 9)),
    "crlf-numpress-zlib": WriteOptions(newline="\r\n", compression="numpress-zlib"),
    "no-summaries-no-refs": WriteOptions(spectrum_summaries=False, precursor_refs=False, intensity_bits=64),
    "extra-array-intensity-first": WriteOptions(extra_arrays=True, intensity_first=True, indexed=False,
                                                mz_bits=32),
}

# One run for all shapes: mixed activations and polarities, every third MS2
# without a selected ion (its precursor is the isolation target), every fifth
# MS2 followed by an MS3 scan of its most intense fragment.
RUN_CONFIG = RunConfig(seed=21, n_scans=120, activation="mixed", polarity="alternate", selected_ion_every=3,
                       rt_start=0.3, rt_end=6.0, n_features=150, ms3_every=5)


def write_shapes(run, shapes: dict, folder: pathlib.Path) -> dict:
    """The generated `run` written once per shape into `folder`: shape name -> the writer's truth."""
    from mzmlgen import write_mzml

    return {name: write_mzml(run, str(folder / f"shape{k}.mzML{'.gz' if o.gzip else ''}"), o)
            for k, (name, o) in enumerate(shapes.items())}


def run_child(code: str, timeout: float = 600) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter that has loaded the mzML Reader library
    as `m` (so that a crash is seen as a failed test, not a dead test run)."""
    prologue = (
        "import sys, json\n"
        f"sys.path.insert(0, {str(TESTS)!r}); sys.path.insert(0, {str(TESTS / 'mzml')!r})\n"
        "import native_corvix_py_backend as m\n"
        f"m.set_dylib_path({str(mzml_library())!r})\n"
    )
    environment = {k: v for k, v in os.environ.items() if k != "VELMAR_NATIVE_LIB"}
    return subprocess.run([sys.executable, "-c", prologue + code], env=environment, capture_output=True,
                          text=True, timeout=timeout)
