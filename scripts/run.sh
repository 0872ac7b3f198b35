#!/usr/bin/env bash
# Builds the module and the stand-in Reader library, then runs the quick-start
# example against the stand-in. Usage: scripts/run.sh [python]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=$("$here/scripts/env.sh" "${1:-${PYTHON:-python3}}" | tail -n 1)
export PATH="$(dirname "$python"):$PATH"
build=$("$here/scripts/build.sh" "$python" | tail -n 1)
PYTHONPATH="$build" exec "$python" "$here/examples/quickstart.py" "$build/reader_stub/full/VelmarNativeReader.dll" example.raw
