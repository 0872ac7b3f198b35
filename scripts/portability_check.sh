#!/usr/bin/env bash
# A compile-only check for a target this machine cannot run: every module
# source against CPython 3.14 headers twice, as for the ordinary build and as
# for the free-threaded build (Py_GIL_DISABLED). No free-threaded interpreter
# is installed here, so this proves the sources build for it. The headers
# come from Debian's libpython3.14-dev, fetched into a scratch directory
# (nothing is installed). When they cannot be had the check is skipped with a
# message; compile errors fail. (The Windows platform layer is built and run
# under Wine by scripts/windows_check.sh.)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
status=0
work=${CORVIX_FT_DIR:-$here/build/ft-headers}
mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/root"
include="$work/root/usr/include"
if [ ! -f "$include/python3.14/Python.h" ]; then
  echo "deb [trusted=yes] http://deb.debian.org/debian sid main" > "$work/sources.list"
  apt=(-o Dir::Etc::sourcelist="$work/sources.list" -o Dir::Etc::sourceparts=/dev/null
       -o Dir::State::Lists="$work/lists" -o Dir::Cache::Archives="$work/archives" -o APT::Sandbox::User=root)
  if ! (cd "$work" && timeout 300 apt-get "${apt[@]}" -qq update >/dev/null 2>&1 &&
        timeout 300 apt-get "${apt[@]}" -qq download libpython3.14-dev python3.14-dev >/dev/null 2>&1); then
    echo "free-threaded compile check skipped: CPython 3.14 headers could not be fetched"
    exit $status
  fi
  for deb in "$work"/*.deb; do dpkg -x "$deb" "$work/root"; done
fi
for source in $(cd "$here" && ls src/*/*.cpp); do
  for flags in "" "-DPy_GIL_DISABLED=1"; do
    if ! ${CXX:-g++} -std=c++20 -Wall -Wextra -Werror -fsyntax-only $flags -I"$include" -I"$include/python3.14" \
         "$here/$source"; then
      echo "FAILED: $source ${flags:-(default build)}"
      status=1
    fi
  done
done
[ $status = 0 ] && echo "free-threaded compile check: all sources compile for CPython 3.14 with and without Py_GIL_DISABLED"
exit $status
