#!/usr/bin/env bash
# Builds the module and the stand-in Reader library, then runs the call-cost
# benchmark. Usage: scripts/bench.sh [python] [--quick]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=$("$here/scripts/env.sh" "${1:-${PYTHON:-python3}}" | tail -n 1)
shift || true
export PATH="$(dirname "$python"):$PATH"
build=$("$here/scripts/build.sh" "$python" | tail -n 1)
CORVIX_BUILD_DIR="$build" PYTHONPATH="$build" exec "$python" "$here/bench/bench.py" "$@"
