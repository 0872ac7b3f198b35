#!/usr/bin/env bash
# Builds the module, the stand-in Reader library and the mzML Reader library
# for one interpreter and runs the whole test suite against them.
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
  # Its own build directory: <variant>-asan when a variant is set, else asan.
  export CORVIX_BUILD_VARIANT="${CORVIX_BUILD_VARIANT:+$CORVIX_BUILD_VARIANT-}asan"
  # -O1, as the sanitizers' authors advise: reports as exact, and the build
  # costs about two thirds of an -O2 one.
  extra=(-DCORVIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g -DNDEBUG"
         "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g -DNDEBUG")
fi
build=$("$here/scripts/build.sh" "$python" "${extra[@]}" | tail -n 1)
export CORVIX_BUILD_DIR="$build"
# corvix finds the mzML Reader library of this build through this variable.
export CORVIX_MZML_READER="$build/mzml_reader/libcorvix_mzml_reader.so"
# The module from the build directory; the corvix package from the repository root.
export PYTHONPATH="$build:$here${PYTHONPATH:+:$PYTHONPATH}"
if [ "${CORVIX_SANITIZE:-0}" = 1 ]; then
  # The interpreter is not instrumented: preload the sanitizer runtimes and
  # route its allocations through malloc so they are checked too, where the
  # interpreter lets them be (a free-threaded build accepts only its own
  # mimalloc, or debug, and refuses to start with "malloc"; there the
  # interpreter's allocations, the module's PyMem buffers included, stay
  # outside the sanitizer's view). Leak reports are off (the interpreter
  # keeps memory until exit); leaks are checked with tracemalloc by the tests
  # instead.
  malloc_accepted=0
  if PYTHONMALLOC=malloc "$python" -c pass >/dev/null 2>&1; then malloc_accepted=1; fi
  cxx=${CXX:-g++}
  export LD_PRELOAD="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libubsan.so)"
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  if [ $malloc_accepted = 1 ]; then
    export PYTHONMALLOC=malloc
  else
    echo "note: $python does not accept PYTHONMALLOC=malloc; its own allocator stays (see docs/development.md)" >&2
  fi
fi
cd "$here"
# The module keeps the first Reader library it loads for the life of the
# process: the suite against the stand-in and the mzML tests (tests/mzml,
# against the mzML Reader library) run as two pytest sessions. Arguments that
# name test paths choose the session(s) those paths belong to; without paths
# both sessions run with the given options, and the run fails if either does.
mzml_paths=0
other_paths=0
for arg in "$@"; do
  case "$arg" in
    -*) ;;
    tests/mzml|tests/mzml/*|*/tests/mzml|*/tests/mzml/*) mzml_paths=1 ;;
    *) if [ -e "${arg%%::*}" ]; then other_paths=1; fi ;;
  esac
done
pytest=("$python" -m pytest -q -p no:cacheprovider)
if [ $mzml_paths = 1 ] && [ $other_paths = 0 ]; then
  exec "${pytest[@]}" "$@"
fi
if [ $other_paths = 1 ] && [ $mzml_paths = 0 ]; then
  exec "${pytest[@]}" --ignore=tests/mzml "$@"
fi
if [ $other_paths = 1 ]; then
  echo "test.sh: give paths of one session only (tests/mzml runs in its own)" >&2
  exit 2
fi
status=0
"${pytest[@]}" --ignore=tests/mzml "$@" || status=$?
echo "=== mzML Reader library tests (tests/mzml, own session)"
mzml_status=0
"${pytest[@]}" "$@" tests/mzml || mzml_status=$?
# Exit 5 (no test selected, e.g. by -k) counts as a failure only when
# neither session ran anything.
if [ $status = 5 ] && [ $mzml_status != 5 ]; then status=0; fi
if [ $mzml_status != 0 ] && [ $mzml_status != 5 ]; then status=$mzml_status; fi
exit $status
