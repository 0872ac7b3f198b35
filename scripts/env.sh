#!/usr/bin/env bash
# Makes (once) a virtual environment for one interpreter with what the build
# and the tests need, and prints its python. Usage: scripts/env.sh [python]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-${PYTHON:-python3}}
tag=$("$python" -c 'import sys, sysconfig; print("py%d%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))')
venv="$here/build/venv-$tag"
stamp="$venv/.requirements"
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv" >&2
fi
# The stamp holds both requirement files, so a change to either reinstalls.
wanted=$(cat "$here/requirements-test.txt" "$here/requirements-corvix.txt")
if [ "$wanted" != "$(cat "$stamp" 2>/dev/null)" ]; then
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    -r "$here/requirements-test.txt" -r "$here/requirements-corvix.txt" >&2
  printf '%s' "$wanted" >"$stamp"
fi
echo "$venv/bin/python"
