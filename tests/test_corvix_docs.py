"""The corvix user guide's code, the corvix examples (the Dask one on a local
cluster) and the package's typing, run as a user runs them."""
import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

from conftest import module_dir, stub_path

REPO = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = REPO / "examples"
GUIDE = REPO / "docs" / "guide.md"
README = REPO / "README.md"


def environment(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("VELMAR_NATIVE_LIB", "CORVIX_MZML_READER")}
    env["PYTHONPATH"] = os.pathsep.join([module_dir(), str(REPO), str(REPO / "tests")])
    env.update(extra)
    return env


def run(args, cwd, timeout=300, **extra):
    return subprocess.run([sys.executable, *map(str, args)], cwd=cwd, env=environment(**extra),
                          capture_output=True, text=True, timeout=timeout)


def guide_blocks(language, path=GUIDE):
    """The code blocks marked to run (```<language> {.corvix}) of a page, in order."""
    text = path.read_text(encoding="utf-8")
    return re.findall(rf"^```{language} \{{\.corvix\}}\n(.*?)^```", text, flags=re.S | re.M)


@pytest.fixture
def workdir(tmp_path):
    """A directory holding run.mzML, read by the stand-in standing in for the mzML Reader library."""
    (tmp_path / "run.mzML").write_bytes(b"")
    return tmp_path


@pytest.fixture
def generated(tmp_path):
    """A directory holding a generated run.mzML, and the mzML Reader library that reads it."""
    library = os.environ.get("CORVIX_MZML_READER", "")
    if not os.path.isfile(library):
        pytest.skip(f"the mzML Reader library is not built (CORVIX_MZML_READER={library!r} names no file)")
    from mzmlgen import RunConfig, make_run, write_mzml

    truth = write_mzml(make_run(RunConfig(seed=2, n_scans=120)), str(tmp_path / "run.mzML"))
    return tmp_path, library, truth


def test_guide_python_blocks_run_as_one_session(generated):
    workdir, library, truth = generated
    blocks = guide_blocks("python")
    assert len(blocks) >= 3
    script = workdir / "guide_session.py"
    script.write_text("\n".join(blocks) + "\nprint('session done')\n")
    result = run([script], workdir, CORVIX_MZML_READER=library)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"{truth.first_scan} {truth.last_scan} {len(truth.spectra)}"
    assert lines[-1] == "session done"
    assert any(line.startswith(f"{truth.instrument_model} {len(truth.spectra)} {len(truth.spectra)} ") for line in lines)
    with_precursor = sum(1 for s in truth.spectra if s.ms_level >= 2)
    assert sum(1 for line in lines if " min " in line) == with_precursor
    assert (workdir / "converted" / "run.mzML").stat().st_size > 0
    assert (workdir / "converted" / "run.mgf").stat().st_size > 0


def test_guide_shell_commands_run(generated):
    workdir, library, _ = generated
    lines = [line for block in guide_blocks("sh") for line in block.splitlines() if line.strip()]
    assert len(lines) >= 5 and all(line.startswith("corvix ") for line in lines)
    for line in lines:
        result = run(["-m", *shlex.split(line)], workdir, CORVIX_MZML_READER=library)
        assert result.returncode == 0, (line, result.stderr)
    assert (workdir / "xic.png").exists() and (workdir / "scan1.png").exists()


def test_readme_example_runs(generated):
    workdir, library, truth = generated
    blocks = guide_blocks("python", README)
    assert len(blocks) == 1
    (workdir / "example.py").write_text(blocks[0])
    result = run([workdir / "example.py"], workdir, CORVIX_MZML_READER=library)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"{len(truth.spectra)} scans, {truth.instrument_model}"
    ms2 = [s for s in truth.spectra if s.ms_level == 2]
    assert len(lines) == len(ms2) + 2 and lines[-1].startswith("TIC apex at ")
    assert [int(line.split()[0]) for line in lines[1:-1]] == [s.scan_number for s in ms2]


def test_quickstart_example(workdir):
    result = run([EXAMPLES / "corvix_quickstart.py", "run.mzML", "out"], workdir,
                 CORVIX_MZML_READER=str(stub_path("full")))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["instrument: Model S, sample: Sample 1", "scans 1..100 (100)",
                         "scan 1: rt 0.500 min, MS1, 3 peaks, base peak 300.0000"]
    assert lines[-2:] == ["TIC: 4 points, apex 40 at 1.500 min", f"wrote {os.path.join('out', 'run.mzML')} (100 spectra)"]
    result = run([EXAMPLES / "corvix_quickstart.py", "absent.raw"], workdir,
                 VELMAR_NATIVE_LIB=str(stub_path("full")))
    assert result.returncode == 1 and "no such file: absent.raw" in result.stderr


def test_dask_example_on_a_local_cluster(tmp_path):
    names = ["a.raw", "b.raw", "c.raw"]
    for name in names:
        (tmp_path / name).write_bytes(b"")
    result = run([EXAMPLES / "dask_convert.py", "out", *names, "missing.raw", "--format", "mgf", "--workers", "2"],
                 tmp_path, timeout=600, VELMAR_NATIVE_LIB=str(stub_path("full")))
    assert result.returncode == 1, result.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["a.mgf", "b.mgf", "c.mgf"]
    assert f"FAILED {tmp_path / 'missing.raw'}: FileNotFoundError" in result.stderr
    assert "3 converted, 1 failed" in result.stderr
    converted = sorted(line.split()[1] for line in result.stdout.splitlines() if line.startswith("converted"))
    assert converted == [str(tmp_path / name) for name in names]


def test_package_is_typed_and_mypy_strict_clean():
    if not (REPO / "corvix").is_dir():
        pytest.skip("checks the source tree's package; the wheel check looks for py.typed in the wheel")
    if os.environ.get("CORVIX_TYPE_CHECKED_ELSEWHERE"):
        # The type check runs no native code: CI checks the package on the oldest interpreter and
        # on the one the module is made for, and the steps that repeat the suite (without the
        # lock, under the sanitizers) name where it runs.
        pytest.skip(f"mypy --strict runs in {os.environ['CORVIX_TYPE_CHECKED_ELSEWHERE']}")
    assert (REPO / "corvix" / "py.typed").exists()
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "corvix"], cwd=REPO,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_public_callable_has_a_docstring():
    import inspect

    import corvix

    missing = []
    for name in corvix.__all__:
        obj = getattr(corvix, name)
        if inspect.isclass(obj) or inspect.isfunction(obj):
            if not inspect.getdoc(obj):
                missing.append(name)
            if inspect.isclass(obj):
                for member, value in vars(obj).items():
                    if not member.startswith("_") and callable(getattr(value, "__get__", None)) and \
                            not inspect.getdoc(value):
                        missing.append(f"{name}.{member}")
    assert missing == []
