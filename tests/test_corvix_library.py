"""Which Reader library corvix has the module load: the reader argument, the
mzML default, the one-library-per-process rule and mzml_reader_path. Each
case runs in a fresh interpreter, since a process keeps the first library it
loads."""
import os
import pathlib
import shutil
import sys

import pytest

from conftest import run_python, stub_path


@pytest.fixture
def files(tmp_path):
    for name in ("a.raw", "b.mzML", "c.MZML.GZ"):
        (tmp_path / name).write_bytes(b"")
    return tmp_path


@pytest.fixture
def second_library(tmp_path):
    """A copy of the stand-in: the same code under another file, i.e. a different library."""
    copy = tmp_path / "other" / "VelmarNativeReader.dll"
    copy.parent.mkdir()
    shutil.copy(stub_path("full"), copy)
    return str(copy)


def run_case(code, cwd, **env):
    result = run_python("import corvix, native_corvix_py_backend as m\n" + code, cwd=cwd, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()


def test_the_reader_argument_loads_that_library_and_a_second_one_is_refused(files, second_library):
    stub = str(stub_path("full"))
    lines = run_case(f"""
run = corvix.open('a.raw', reader={stub!r})
print(corvix.loaded_reader() == {os.path.realpath(stub)!r}, len(run))
corvix.open('a.raw', reader={stub!r}).close()   # the same library again is fine
try:
    corvix.open('b.mzML', reader={second_library!r})
except corvix.ReaderConflictError as e:
    print('conflict', isinstance(e, RuntimeError), e.path)
    print(str(e))
print(corvix.open('b.mzML').handle is not None)   # no reader: the loaded one reads it
""", files)
    assert lines[0] == "True 100"
    assert lines[1] == "conflict True b.mzML"
    assert os.path.realpath(stub) in lines[2] and os.path.realpath(second_library) in lines[2]
    assert "keeps the first one it loads" in lines[2]
    assert lines[3] == "True"


def test_a_library_loaded_outside_corvix_is_recognised(files, second_library):
    stub = str(stub_path("full"))
    lines = run_case(f"""
m.set_dylib_path({stub!r})
corvix.open('a.raw', reader={stub!r}).close()
print('same ok')
try:
    corvix.open('a.raw', reader={second_library!r})
except corvix.ReaderConflictError as e:
    print('conflict:', e)
""", files)
    assert lines[0] == "same ok"
    # Confirmed once, the library is named in the refusal.
    assert lines[1].startswith(f"conflict: a.raw: this process already uses the Reader library {os.path.realpath(stub)}")


def test_an_unconfirmed_library_loaded_outside_corvix_refuses_another(files, second_library):
    lines = run_case(f"""
m.set_dylib_path({str(stub_path("full"))!r})
try:
    corvix.open('a.raw', reader={second_library!r})
except corvix.ReaderConflictError as e:
    print('conflict:', e)
""", files)
    assert lines[0].startswith("conflict: a.raw: this process already uses another Reader library (loaded before")


def test_mzml_files_default_to_the_mzml_reader(files, second_library):
    # The stand-in plays the mzML Reader library here; what matters is which file is loaded.
    lines = run_case("""
for name in ('b.mzML', 'c.MZML.GZ', 'a.raw'):
    with corvix.open(name) as run:
        print(name, corvix.loaded_reader(), len(run))
""", files, CORVIX_MZML_READER=second_library)
    real = os.path.realpath(second_library)
    assert lines == [f"b.mzML {real} 100", f"c.MZML.GZ {real} 100", f"a.raw {real} 100"]


def test_the_mzml_default_yields_to_a_loaded_library_and_to_the_variable(files, second_library):
    shutil.copy(stub_path("full"), files / "VelmarNativeReader.dll")
    lines = run_case("""
corvix.open('a.raw').close()            # the module's own search loads ./VelmarNativeReader.dll
with corvix.open('b.mzML') as run:      # so no mzML Reader library is asked for
    print(corvix.loaded_reader(), len(run))
""", files, CORVIX_MZML_READER=second_library)
    assert lines == ["None 100"]
    (files / "VelmarNativeReader.dll").unlink()
    lines = run_case("""
with corvix.open('b.mzML') as run:
    print(corvix.loaded_reader(), len(run))
""", files, VELMAR_NATIVE_LIB=str(stub_path("full")), CORVIX_MZML_READER=second_library)
    assert lines == ["None 100"]


def test_missing_libraries_are_explained(files):
    import corvix
    from corvix import _library

    if (pathlib.Path(corvix.__file__).parent / "lib" / _library.mzml_library_name()).exists():
        pytest.skip("corvix is installed with its mzML Reader library, so none can be missing")
    lines = run_case("""
for call in ("corvix.open('a.raw')", "corvix.open('b.mzML')", "corvix.open('a.raw', reader='nowhere.so')",
             "corvix.mzml_reader_path()"):
    try:
        eval(call)
    except Exception as e:
        print(type(e).__name__ + ': ' + str(e))
""", files, CORVIX_MZML_READER="")
    assert lines[0].startswith("ReaderNotFoundError: a.raw: no Reader library found. Pass reader=PATH")
    assert "VELMAR_NATIVE_LIB" in lines[0] and "set_dylib_path" in lines[0] and "mzml_reader_path" in lines[0]
    assert lines[1].startswith("FileNotFoundError: the mzML Reader library is not installed")
    assert "CORVIX_MZML_READER" in lines[1]
    assert lines[2] == "FileNotFoundError: Reader library not found: nowhere.so"
    assert lines[3] == lines[1]


def test_mzml_reader_path_contract(tmp_path, monkeypatch):
    import corvix
    from corvix import _library

    library = tmp_path / "build" / "mzml_reader" / _library.mzml_library_name()
    monkeypatch.setenv("CORVIX_MZML_READER", str(library))
    with pytest.raises(FileNotFoundError, match="CORVIX_MZML_READER names .* no file there"):
        corvix.mzml_reader_path()
    library.parent.mkdir(parents=True)
    library.write_bytes(b"")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("CORVIX_MZML_READER", os.path.join("build", "mzml_reader", library.name))
    found = corvix.mzml_reader_path()
    assert found == str(library.resolve()) and os.path.isabs(found)
    # Installed layout: the library inside the package, under lib/.
    monkeypatch.delenv("CORVIX_MZML_READER")
    package = tmp_path / "site" / "corvix"
    shutil.copytree(os.path.dirname(corvix.__file__), package, ignore=shutil.ignore_patterns("__pycache__", "lib"))
    (package / "lib").mkdir()
    (package / "lib" / _library.mzml_library_name()).write_bytes(b"")
    result = run_python("import corvix; print(corvix.mzml_reader_path())",
                        env={"PYTHONPATH": os.pathsep.join([str(package.parent), os.path.dirname(sys.modules['native_corvix_py_backend'].__file__)]),
                             "CORVIX_MZML_READER": ""})
    assert result.stdout.strip() == str(package / "lib" / _library.mzml_library_name()), result.stderr
    names = {"linux": "libcorvix_mzml_reader.so", "darwin": "libcorvix_mzml_reader.dylib",
             "win32": "corvix_mzml_reader.dll"}
    assert _library.mzml_library_name() == names.get(sys.platform, "libcorvix_mzml_reader.so")
