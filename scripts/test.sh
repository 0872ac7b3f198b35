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
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
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
    echo "note: $python does not accept PYTHONMALLOC=malloc; its own allocator stays (see README)" >&2
  fi
fi
cd "$here"
exec "$python" -m pytest -q -p no:cacheprovider "$@"
