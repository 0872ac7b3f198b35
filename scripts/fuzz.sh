#!/usr/bin/env bash
# Builds the fuzz target of the mzML reading core with libFuzzer (clang,
# AddressSanitizer + UndefinedBehaviorSanitizer), writes its seed corpus
# and fuzzes for a while. Fails on any crash, sanitizer report, leak,
# timeout or allocation beyond the memory limit.
# Usage: scripts/fuzz.sh [seconds]        (default 60)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$here/build/fuzz"
src="$here/mzml_reader"
cxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$cxx" ] && [ "$(id -u)" = 0 ]; then
  echo "installing clang and its libFuzzer runtime from Debian's packages"
  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev) >/dev/null 2>&1 || true
  cxx=$(command -v clang++ || command -v clang++-14 || true)
fi
[ -n "$cxx" ] || { echo "FAILED: clang++ is not installed and could not be installed" >&2; exit 1; }
mkdir -p "$build/corpus" "$build/artifacts"
# The arrays' inflate path the library is built with: libdeflate when installed.
deflate=()
if [ -f /usr/include/libdeflate.h ]; then deflate=(-DMZML_READER_LIBDEFLATE -ldeflate); fi
# The reading core: the sources CMake builds into mzml_reader_core.
core=()
while read -r f; do core+=("$src/$f"); done < <(sed -n '/^set(MZML_READER_CORE_SOURCES/,/^)/p' "$src/CMakeLists.txt" | grep '\.cpp$' | tr -d ' ')
[ ${#core[@]} -gt 0 ] || { echo "FAILED: no core sources found in $src/CMakeLists.txt" >&2; exit 1; }
"$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$src" "${core[@]}" "$src/fuzz/fuzz_mzml.cpp" \
  "${deflate[@]}" -lexpat -lz -o "$build/fuzz_mzml"
rm -rf "$build/seeds"
python3 "$src/fuzz/make_corpus.py" "$build/seeds"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
"$build/fuzz_mzml" -max_total_time="$seconds" -max_len=65536 -timeout=20 -rss_limit_mb=2048 -malloc_limit_mb=1024 \
  -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/" "$build/corpus" "$build/seeds"
echo "fuzzing the mzML reading core for ${seconds}s: no crash"
