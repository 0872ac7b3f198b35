#!/usr/bin/env bash
# Builds the module and the mzML Reader library, then runs the corvix
# benchmark. Usage: scripts/bench_corvix.sh [python] [--quick] [--scans N]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=$("$here/scripts/env.sh" "${1:-${PYTHON:-python3}}" | tail -n 1)
shift || true
export PATH="$(dirname "$python"):$PATH"
build=$("$here/scripts/build.sh" "$python" | tail -n 1)
export CORVIX_MZML_READER="$build/mzml_reader/libcorvix_mzml_reader.so"
unset VELMAR_NATIVE_LIB
PYTHONPATH="$build:$here:$here/tests" exec "$python" "$here/bench/bench_corvix.py" "$@"
