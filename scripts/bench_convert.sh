#!/usr/bin/env bash
# Builds the module and the mzML Reader library, installs what the
# conversion benchmark compares with (requirements-bench.txt: pyopenms), then
# runs it. Usage: scripts/bench_convert.sh [python] [--quick] [bench_convert.py options]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=$("$here/scripts/env.sh" "${1:-${PYTHON:-python3}}" | tail -n 1)
shift || true
export PATH="$(dirname "$python"):$PATH"
build=$("$here/scripts/build.sh" "$python" | tail -n 1)
stamp="$(dirname "$(dirname "$python")")/.bench-requirements"
if ! cmp -s "$here/requirements-bench.txt" "$stamp"; then
  # pyopenms has no build for every interpreter: the benchmark leaves its rows out where it is missing.
  if "$python" -m pip install -q --disable-pip-version-check -r "$here/requirements-bench.txt" >&2; then
    cp "$here/requirements-bench.txt" "$stamp"
  else
    echo "note: requirements-bench.txt did not install on $python; rows of what is missing are left out" >&2
  fi
fi
export CORVIX_MZML_READER="$build/mzml_reader/libcorvix_mzml_reader.so"
export CORVIX_BUILD_DIR="$build"
unset VELMAR_NATIVE_LIB
PYTHONPATH="$build:$here:$here/tests" exec "$python" "$here/bench/bench_convert.py" "$@"
