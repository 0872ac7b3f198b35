#!/usr/bin/env bash
# A compile-only check of every module source against the CPython 3.14
# headers, twice: as for the free-threaded build (Py_GIL_DISABLED, the
# target) and as for the ordinary build. The headers are those of the
# free-threaded interpreter this project is tested on (../shared/py314t
# beside the repository, or the interpreter CORVIX_PY314T names); for the
# ordinary build, a scratch copy of them whose pyconfig.h leaves
# Py_GIL_DISABLED undefined (the two builds' headers differ only there).
# Fails when the interpreter is not there: the check is never skipped
# silently. (The Windows platform layer is built and run under Wine by
# scripts/windows_check.sh.)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
py314t=${CORVIX_PY314T:-$here/../shared/py314t/bin/python3.14t}
if [ ! -x "$py314t" ]; then
  echo "FAILED: no free-threaded CPython 3.14 at $py314t (set CORVIX_PY314T to its python3.14t)" >&2
  exit 1
fi
include=$("$py314t" -c 'import sysconfig; print(sysconfig.get_path("include"))')
[ -f "$include/Python.h" ] && grep -q '^#define Py_GIL_DISABLED 1' "$include/pyconfig.h" \
  || { echo "FAILED: $include holds no free-threaded CPython headers" >&2; exit 1; }
version=$("$py314t" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

ordinary="$here/build/portability/python$version"
rm -rf "$ordinary"
mkdir -p "$ordinary"
cp -R "$include/." "$ordinary/"
sed -i 's|^#define Py_GIL_DISABLED 1$|/* #undef Py_GIL_DISABLED */|' "$ordinary/pyconfig.h"
if grep -q 'Py_GIL_DISABLED 1' "$ordinary/pyconfig.h"; then
  echo "FAILED: could not make the ordinary build's pyconfig.h" >&2
  exit 1
fi

status=0
for source in $(cd "$here" && ls src/*/*.cpp); do
  for headers in "$include" "$ordinary"; do
    if ! ${CXX:-g++} -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$headers" "$here/$source"; then
      echo "FAILED: $source against $headers"
      status=1
    fi
  done
done
[ $status = 0 ] && echo "portability: every module source compiles for CPython $version, free-threaded ($include) and ordinary"
exit $status
