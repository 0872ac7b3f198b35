#!/usr/bin/env bash
# Builds the module and the stand-in Reader library for one interpreter and
# runs the whole test suite against them.
# Usage: scripts/test.sh [python] [pytest args...]
#   CORVIX_SANITIZE=1  build with AddressSanitizer + UndefinedBehaviorSanitizer
#                      and run the suite under them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-${PYTHON:-python3}}
shift || true
python=$("$here/scripts/env.sh" "$python" | tail -n 1)
export PATH="$(dirname "$python"):$PATH"
extra=()
if [ "${CORVIX_SANITIZE:-0}" = 1 ]; then
  export CORVIX_BUILD_VARIANT=asan
  extra=(-DCORVIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
build=$("$here/scripts/build.sh" "$python" "${extra[@]}" | tail -n 1)
export CORVIX_BUILD_DIR="$build"
# corvix finds the mzML Reader library of this build through this variable.
export CORVIX_MZML_READER="$build/mzml_reader/libcorvix_mzml_reader.so"
# The module from the build directory; the corvix package from the repository root.
export PYTHONPATH="$build:$here${PYTHONPATH:+:$PYTHONPATH}"
if [ "${CORVIX_SANITIZE:-0}" = 1 ]; then
  # The interpreter is not instrumented: preload the sanitizer runtimes and
  # route its allocations through malloc so they are checked too. Leak
  # reports are off (the interpreter keeps memory until exit); leaks are
  # checked with tracemalloc by the tests instead.
  cxx=${CXX:-g++}
  export LD_PRELOAD="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libubsan.so)"
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export PYTHONMALLOC=malloc
fi
cd "$here"
exec "$python" -m pytest -q -p no:cacheprovider "$@"
