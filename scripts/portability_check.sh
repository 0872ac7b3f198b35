#!/usr/bin/env bash
# Two compile-only checks for targets this machine cannot run.
# 1. The Windows platform layer, with the MinGW-w64 cross compiler (installed
#    from Debian's packages when missing and we are root).
# 2. Every module source against CPython 3.14 headers twice: as for the
#    ordinary build and as for the free-threaded build (Py_GIL_DISABLED). No
#    free-threaded interpreter is installed here, so this proves the sources
#    build for it. The headers come from Debian's libpython3.14-dev, fetched
#    into a scratch directory (nothing is installed).
# A check whose tools cannot be had is skipped with a message; compile errors
# fail.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
status=0
mingw=$(command -v x86_64-w64-mingw32-g++-posix || command -v x86_64-w64-mingw32-g++ || true)
if [ -z "$mingw" ] && [ "$(id -u)" = 0 ]; then
  (apt-get update -qq && apt-get install -y -qq g++-mingw-w64-x86-64-posix) >/dev/null 2>&1 || true
  mingw=$(command -v x86_64-w64-mingw32-g++-posix || true)
fi
if [ -n "$mingw" ]; then
  if "$mingw" -std=c++20 -Wall -Wextra -Werror -fsyntax-only "$here/src/binding/platform_windows.cpp"; then
    echo "windows platform layer: compiles with $(basename "$mingw")"
  else
    echo "FAILED: src/binding/platform_windows.cpp for Windows"
    status=1
  fi
else
  echo "windows platform layer check skipped: no MinGW-w64 compiler"
fi
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
