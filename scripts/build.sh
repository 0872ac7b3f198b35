#!/usr/bin/env bash
# Builds the module and the stand-in Reader library for one interpreter.
# Usage: scripts/build.sh [python] [extra cmake -D options...]
# Prints the build directory on its last line. CORVIX_BUILD_TARGETS="a b"
# builds only those targets (and what they need) instead of everything.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-${PYTHON:-python3}}
shift || true
tag=$("$python" -c 'import sys, sysconfig; print("py%d%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))')
variant=${CORVIX_BUILD_VARIANT:-release}
build="$here/build/$tag-$variant"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S "$here" -B "$build" "${generator[@]}" -DPython_EXECUTABLE="$(command -v "$python")" "$@" >/dev/null
targets=()
for target in ${CORVIX_BUILD_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" "${targets[@]}" >&2
echo "$build"
