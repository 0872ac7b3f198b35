#!/usr/bin/env bash
# Builds the module, the stand-in Reader library, the mzML Reader library and
# the tools the tests use, for one interpreter.
# Usage: scripts/build.sh [python] [extra cmake -D options...]
# Prints the build directory on its last line. CORVIX_BUILD_TARGETS="a b"
# builds only those targets (and what they need) instead of everything.
#
# Only the module depends on the interpreter. Everything else (the stand-in's
# variants, the mzML Reader library, mzml_dump, loader_test) is built once per
# variant in build/native-<variant>/ and shared by every interpreter's build:
# build/<pytag>-<variant>/ holds the module and links to those parts
# (reader_stub/, mzml_reader/, loader_test), so that it looks as one build
# directory to the tests, the benchmarks and the main job. Two builds started
# at once (the two lanes of .ci/run) take turns on a directory they share.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-${PYTHON:-python3}}
shift || true
# CMake runs in the build directory: a relative path to the interpreter would
# name nothing there (and CMake would quietly find another interpreter).
python=$(command -v "$python")
case "$python" in /*) ;; *) python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")" ;; esac
tag=$("$python" -c 'import sys, sysconfig; print("py%d%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))')
variant=${CORVIX_BUILD_VARIANT:-release}
build="$here/build/$tag-$variant"
native="$here/build/native-$variant"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
jobs=$(nproc 2>/dev/null || echo 2)
# cmake and ninja may come from the interpreter's environment.
export PATH="$(dirname "$(command -v "$python")"):$PATH"

# Which targets go to which directory.
module_targets=() native_targets=() build_module=1 build_native=1
if [ -n "${CORVIX_BUILD_TARGETS:-}" ]; then
  build_module=0 build_native=0
  for target in $CORVIX_BUILD_TARGETS; do
    if [ "$target" = native_corvix_py_backend ]; then
      module_targets+=(--target "$target") build_module=1
    else
      native_targets+=(--target "$target") build_native=1
    fi
  done
fi

mkdir -p "$here/build"
if [ $build_native = 1 ]; then
  (
    flock 9
    cmake -S "$here" -B "$native" "${generator[@]}" -DCORVIX_MODULE=OFF "$@" >/dev/null
    cmake --build "$native" -j "$jobs" "${native_targets[@]}" >&2
  ) 9>"$here/build/native-$variant.lock"
fi
if [ $build_module = 1 ]; then
  (
    flock 9
    cmake -S "$here" -B "$build" "${generator[@]}" -DPython_EXECUTABLE="$(command -v "$python")" \
      -DCORVIX_READER_STUB=OFF -DCORVIX_MZML_READER=OFF "$@" >/dev/null
    cmake --build "$build" -j "$jobs" "${module_targets[@]}" >&2
  ) 9>"$here/build/$tag-$variant.lock"
fi
mkdir -p "$build"
# The shared parts, seen from the interpreter's build directory (a directory
# left there by a build that made them itself is replaced by the link).
for part in reader_stub mzml_reader loader_test; do
  if [ -e "$build/$part" ] && [ ! -L "$build/$part" ]; then rm -rf "${build:?}/$part"; fi
  ln -sfn "../native-$variant/$part" "$build/$part"
done
echo "$build"
