#!/usr/bin/env bash
# The main job: builds the module and the Reader libraries, writes a demo
# mzML run (build/demo/demo_run.mzML, made by the test-data generator) if
# there is none, and runs examples/mzml_run_summary.py on it through the
# module and the mzML Reader library: a run summary on standard output and
# pictures of the total-ion chromatogram and of one MS2 spectrum in
# build/demo/. Usage: scripts/run.sh [python]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=$("$here/scripts/env.sh" "${1:-${PYTHON:-python3}}" | tail -n 1)
export PATH="$(dirname "$python"):$PATH"
build=$("$here/scripts/build.sh" "$python" | tail -n 1)
demo="$here/build/demo"
file="$demo/demo_run.mzML"
if [ ! -s "$file" ]; then
  PYTHONPATH="$here/tests" "$python" -m mzmlgen demo "$file"
fi
PYTHONPATH="$build" exec "$python" "$here/examples/mzml_run_summary.py" \
  "$build/mzml_reader/libcorvix_mzml_reader.so" "$file" --out "$demo"
