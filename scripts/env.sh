#!/usr/bin/env bash
# Makes (once) a virtual environment for one interpreter with what the build
# and the tests need, and prints its python. Usage: scripts/env.sh [python]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-${PYTHON:-python3}}
tag=$("$python" -c 'import sys, sysconfig; print("py%d%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))')
venv="$here/build/venv-$tag"
stamp="$venv/.requirements"
# Two steps of .ci/run may ask for the same environment at once: one makes it,
# the other waits.
mkdir -p "$here/build"
exec 9>"$here/build/venv-$tag.lock"
flock 9
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv" >&2
fi
# Both requirement files, less the lines marked "# not on free-threaded" on a
# free-threaded interpreter (packages without wheels for it). The stamp holds
# what was installed, so a change to either file reinstalls.
wanted=$(cat "$here/requirements-test.txt" "$here/requirements-corvix.txt")
case "$tag" in *t) wanted=$(printf '%s\n' "$wanted" | grep -v '# not on free-threaded' || true) ;; esac
# pip byte-compiles every module of every package it installs, half of the
# install's processor time. Where the interpreter may write its own bytecode
# caches (PYTHONDONTWRITEBYTECODE unset, as in .ci/run) it is skipped: the
# interpreter compiles, once, only the modules a run imports.
no_compile=()
if [ -z "${PYTHONDONTWRITEBYTECODE:-}" ]; then no_compile=(--no-compile); fi
if [ "$wanted" != "$(cat "$stamp" 2>/dev/null)" ]; then
  printf '%s\n' "$wanted" >"$venv/requirements.txt"
  "$venv/bin/python" -m pip install -q "${no_compile[@]}" --disable-pip-version-check -r "$venv/requirements.txt" >&2
  printf '%s' "$wanted" >"$stamp"
fi
echo "$venv/bin/python"
