#!/usr/bin/env bash
# Builds the platform layer, the library search and the loader test program
# for 64-bit Windows with MinGW-w64, together with the Windows build of the
# stand-in Reader library, and runs every case of the program under Wine.
# Usage: scripts/windows_check.sh
# The compiler (g++-mingw-w64-x86-64-posix) and Wine (wine64) come from
# Debian's packages and are installed when missing and we are root. When
# either cannot be had, or Wine cannot start a Windows program here, the
# check says so and fails. CORVIX_WINE names another Wine command.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build/windows"

find_wine() {
  command -v wine64 || command -v wine || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; } || true
}
mingw=$(command -v x86_64-w64-mingw32-g++-posix || true)
wine=${CORVIX_WINE:-$(find_wine)}
if { [ -z "$mingw" ] || [ -z "$wine" ]; } && [ "$(id -u)" = 0 ]; then
  echo "installing g++-mingw-w64-x86-64-posix and wine64 from Debian's packages"
  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
     g++-mingw-w64-x86-64-posix wine64) >/dev/null 2>&1 || true
  mingw=$(command -v x86_64-w64-mingw32-g++-posix || true)
  wine=$(find_wine)
fi
[ -n "$mingw" ] || { echo "FAILED: no MinGW-w64 compiler (x86_64-w64-mingw32-g++-posix) and it could not be installed" >&2; exit 1; }
[ -n "$wine" ] || { echo "FAILED: Wine (wine64) is not installed and could not be installed" >&2; exit 1; }

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S "$here" -B "$build" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DCORVIX_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >&2

export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's server outlives the programs for a few seconds; stop it with the check.
wineserver=$(command -v wineserver || command -v wineserver64 || ls /usr/lib/wine/wineserver64 2>/dev/null || true)
trap '[ -n "$wineserver" ] && "$wineserver" -k >/dev/null 2>&1 || true' EXIT
program="$build/loader_test.exe"
# Wine creates its prefix on first start; a machine where that or the start
# of a Windows program fails must not pass this check.
if ! cases=$("$wine" "$program" list 2>"$build/wine-start.log" | tr -d '\r') || [ -z "$cases" ]; then
  echo "FAILED: Wine could not start the Windows loader test program on this machine ($wine):" >&2
  tail -n 20 "$build/wine-start.log" >&2
  exit 1
fi
stubs=$("$wine" winepath -w "$build/reader_stub" 2>/dev/null | tr -d '\r')
scratch=$("$wine" winepath -w "$build/scratch" 2>/dev/null | tr -d '\r')
[ -n "$stubs" ] && [ -n "$scratch" ] || { echo "FAILED: Wine could not translate the build paths" >&2; exit 1; }
rm -rf "$build/scratch"
mkdir -p "$build/scratch"

passed=0 failed=0
for name in $cases; do
  if "$wine" "$program" run "$name" "$stubs" "$scratch" | tr -d '\r'; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
done
echo "loader test under Wine ($("$wine" --version 2>/dev/null || echo "version unknown")): $passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
