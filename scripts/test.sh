#!/usr/bin/env bash
# Builds the module and the stand-in Reader library, then runs the test suite.
# Usage: scripts/test.sh [python] [pytest args...]
#   CORVIX_SANITIZE=1 runs the suite against an AddressSanitizer and
#   UndefinedBehaviorSanitizer build.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-${PYTHON:-python3}}
shift || true
extra=()
if [ "${CORVIX_SANITIZE:-0}" = 1 ]; then
  export CORVIX_BUILD_VARIANT=asan
  extra=(-DCORVIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
build=$("$here/scripts/build.sh" "$python" "${extra[@]}" | tail -n 1)
export CORVIX_BUILD_DIR="$build"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
if [ "${CORVIX_SANITIZE:-0}" = 1 ]; then
  # The interpreter itself is not instrumented: preload the runtime, and let
  # the interpreter's own allocations through without leak reports.
  asan=$("${CXX:-g++}" -print-file-name=libasan.so)
  ubsan=$("${CXX:-g++}" -print-file-name=libubsan.so)
  export LD_PRELOAD="$asan $ubsan"
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export PYTHONMALLOC=malloc
fi
cd "$here"
exec "$python" -m pytest -q "$@"
