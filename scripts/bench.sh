#!/usr/bin/env bash
# Builds the module and the Reader libraries, then runs a benchmark:
#   scripts/bench.sh [python] [--quick]          call cost against the stand-in (bench/bench.py)
#   scripts/bench.sh [python] --mzml [--quick]   the mzML Reader library against pyteomics,
#                                                pymzml and pyopenms (bench/bench_mzml.py)
#   scripts/bench.sh [python] --gzip [--quick] [--sizes 100,1000]
#                                                whole-run traces over gzip runs against reading
#                                                every spectrum, plain beside gzip (bench/bench_gzip.py)
#   scripts/bench.sh [python] --capacity [--quick] [--section ...]
#                                                a call's cost against the capacity passed, and
#                                                reading over two threads with the lock off
#                                                (bench/bench_capacity.py)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=$("$here/scripts/env.sh" "${1:-${PYTHON:-python3}}" | tail -n 1)
shift || true
export PATH="$(dirname "$python"):$PATH"
build=$("$here/scripts/build.sh" "$python" | tail -n 1)
script=bench.py
args=()
for arg in "$@"; do
  case "$arg" in
    --mzml) script=bench_mzml.py ;;
    --gzip) script=bench_gzip.py ;;
    --capacity) script=bench_capacity.py ;;
    *) args+=("$arg") ;;
  esac
done
if [ $script = bench_mzml.py ]; then
  # The readers it is compared with, installed once beside the test requirements.
  # (On a free-threaded interpreter without the lines marked "# not on free-threaded".)
  venv=$(dirname "$(dirname "$python")")
  stamp="$venv/.bench-requirements"
  if ! cmp -s "$here/requirements-bench.txt" "$stamp"; then
    if "$python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))'; then
      grep -v '# not on free-threaded' "$here/requirements-bench.txt" >"$venv/bench-requirements.txt" || true
    else
      cp "$here/requirements-bench.txt" "$venv/bench-requirements.txt"
    fi
    "$python" -m pip install -q --disable-pip-version-check -r "$venv/bench-requirements.txt" >&2
    cp "$here/requirements-bench.txt" "$stamp"
  fi
fi
CORVIX_BUILD_DIR="$build" PYTHONPATH="$build" exec "$python" "$here/bench/$script" "${args[@]}"
