#!/usr/bin/env bash
# Packaging check: builds the sdist and the wheel with `python -m build`,
# installs the wheel into a fresh virtual environment outside the source tree,
# and runs, against the INSTALLED module and package, the tests of what the
# wheel adds to the sources, then stubtest and a strict type check of the
# installed corvix package and of the examples.
#
# `python -m build` builds the sdist first and then the wheel from the
# unpacked sdist, in an isolated environment: the wheel is the proof that the
# sdist builds from scratch.
#
# What runs against the installed wheel, and why not every test: the wheel's
# module is compiled from the same sources, by the same CMake files and build
# type, as the one the whole suite checks on the free-threaded interpreter
# (twice), on the stock one and under the sanitizers (.ci/run). What only the
# wheel can get wrong is what it packs and where: the module importable from
# site-packages with its function table (test_registry) and its typing stub
# (test_stub_file, stubtest), the library search seen from an installed
# module (test_loader), the corvix package with its command line, its
# examples and its guide (every tests/test_corvix*.py, test_examples), and the
# mzML Reader library installed inside corvix and found there (the mzML
# session: every value of every file shape, and corvix over that library).
#
# Usage: scripts/wheel_check.sh [python] [pytest options...]
# (the options, such as -x or -k EXPR, apply to the copied tests/)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-${PYTHON:-python3}}
shift || true
base_python=$(command -v "$python")
unset PYTHONPATH VELMAR_NATIVE_LIB

work=$(mktemp -d "${TMPDIR:-/tmp}/corvix-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT
step() { echo "--- $*"; }

# Without byte-compiling at install where the interpreter may write its own
# caches (scripts/env.sh says why).
no_compile=()
if [ -z "${PYTHONDONTWRITEBYTECODE:-}" ]; then no_compile=(--no-compile); fi

step "fresh virtual environment outside the source tree, with what the tests need"
"$base_python" -m venv "$work/venv"
venv_python="$work/venv/bin/python"
"$venv_python" -m pip install -q "${no_compile[@]}" --disable-pip-version-check \
  -r "$here/requirements-test.txt" -r "$here/requirements-corvix.txt"
# build, cmake and ninja come from there (requirements-test.txt).
export PATH="$work/venv/bin:$PATH"
project_python="$venv_python"

step "python -m build: sdist, then a wheel from the sdist"
if ! "$project_python" -m build --outdir "$work/dist" "$here" >"$work/build.log" 2>&1; then
  cat "$work/build.log"; exit 1
fi
grep -q "Building wheel from sdist" "$work/build.log" || { cat "$work/build.log"; echo "wheel not built from the sdist" >&2; exit 1; }
sdists=("$work"/dist/*.tar.gz) wheels=("$work"/dist/*.whl)
[ ${#sdists[@]} = 1 ] && [ -f "${sdists[0]}" ] && [ ${#wheels[@]} = 1 ] && [ -f "${wheels[0]}" ] \
  || { ls -l "$work/dist" >&2; echo "expected one sdist and one wheel" >&2; exit 1; }
"$project_python" - "${sdists[0]}" "${wheels[0]}" <<'PY'
import sys, tarfile, zipfile
sdist, wheel = sys.argv[1:]
names = set(zipfile.ZipFile(wheel).namelist())
stub = "native_corvix_py_backend.pyi"
missing = {stub, "native_corvix_py_backend-stubs/__init__.pyi"} - names
assert not missing, f"wheel lacks {missing}"
assert any(n.startswith("native_corvix_py_backend.") and n.endswith((".so", ".pyd")) for n in names), names
assert len(set(zipfile.ZipFile(wheel).read(n) for n in (stub, "native_corvix_py_backend-stubs/__init__.pyi"))) == 1
for needed in ("corvix/__init__.py", "corvix/py.typed", "corvix/cli.py"):
    assert needed in names, f"wheel lacks {needed}"
assert any(n.startswith("corvix/lib/") and "corvix_mzml_reader" in n for n in names), "wheel lacks the mzML Reader library"
members = {m.split("/", 1)[1] for m in tarfile.open(sdist).getnames() if "/" in m}
for needed in ("CMakeLists.txt", "pyproject.toml", "README.md", stub, "src/lib/registry.h",
               "src/binding/reader_entries.def", "mzml_reader/CMakeLists.txt", "corvix/__init__.py"):
    assert needed in members, f"sdist lacks {needed}"
print("wheel:", wheel.rsplit("/", 1)[1], "-", len(names), "files")
PY

step "the wheel installed into it"
"$venv_python" -m pip install -q "${no_compile[@]}" --disable-pip-version-check "${wheels[0]}[dask]"

step "stand-in Reader library and the other programs the tests use (the module is the wheel's)"
build=$(CORVIX_BUILD_TARGETS="reader_stub loader_test corvix_mzml_reader mzml_dump" \
  "$here/scripts/build.sh" "$project_python" | tail -n 1)
[ -f "$build/reader_stub/full/VelmarNativeReader.dll" ] || { echo "no stand-in in $build" >&2; exit 1; }

# Copies of tests/, examples/, docs/, bench/ and README.md (side by side, as the tests
# of the documented code expect), run from outside the tree with nothing on PYTHONPATH: the module
# can only come from the virtual environment.
mkdir -p "$work/copy"
cp -R "$here/tests" "$here/examples" "$here/docs" "$here/bench" "$here/README.md" "$work/copy/"
# The table of native signatures, which the mzML entry-point tests compare the library's exports with.
mkdir -p "$work/copy/src/binding" && cp "$here/src/binding/reader_entries.def" "$work/copy/src/binding/"
find "$work/copy" -name __pycache__ -prune -exec rm -rf {} +
cd "$work"
module_file=$("$venv_python" -c 'import native_corvix_py_backend as m; print(m.__file__)')
case "$module_file" in
  "$work/venv/"*) echo "module: $module_file" ;;
  *) echo "imported $module_file, not the installed module" >&2; exit 1 ;;
esac

# The mzML Reader library the tests use is the one installed inside corvix.
mzml_library=$(env -u CORVIX_MZML_READER "$venv_python" -c 'import corvix; print(corvix.mzml_reader_path())')
case "$mzml_library" in
  "$work/venv/"*) echo "mzML Reader library: $mzml_library" ;;
  *) echo "corvix.mzml_reader_path() gave $mzml_library, not the installed library" >&2; exit 1 ;;
esac
export CORVIX_MZML_READER="$mzml_library"
"$venv_python" -m corvix --help >/dev/null
"$work/venv/bin/corvix" info --help >/dev/null

step "the tests of what the wheel packs, against the installed module (the stand-in session, then the mzML session)"
t="$work/copy/tests"
CORVIX_BUILD_DIR="$build" "$venv_python" -m pytest -q -p no:cacheprovider "$t"/test_registry.py \
  "$t"/test_stub_file.py "$t"/test_loader.py "$t"/test_corvix*.py "$t"/test_examples.py "$@"
CORVIX_BUILD_DIR="$build" "$venv_python" -m pytest -q -p no:cacheprovider "$t"/mzml/entries/test_mzml_values.py \
  "$t"/mzml/module/test_corvix*.py "$@"

step "stubtest against the installed module"
"$venv_python" -m mypy.stubtest --allowlist "$here/scripts/stubtest_allowlist.txt" native_corvix_py_backend

step "the installed corvix package, and the examples against the installed stub, type-check strictly"
"$venv_python" -m mypy --strict --cache-dir "$work/mypy-cache" -p corvix
"$venv_python" -m mypy --strict --cache-dir "$work/mypy-cache" "$work/copy/examples"
echo "wheel check passed"
