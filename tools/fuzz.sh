#!/usr/bin/env bash
# Builds the libFuzzer targets of the reader and writer cores and of the
# byte scanners of file text (src/scan) with ASan and UBSan and runs each for a while
# on a scratch copy of the seed corpus.
# Usage: tools/fuzz.sh [seconds-per-target]   (default 60)
# One fuzzing process at a time (no -jobs/-workers: the machine is shared).
# Exits non-zero when a target finds a crash, a sanitizer report or a failed
# check; the reproducing input is left in fuzz/build/findings/.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="$here/fuzz/build"
cxx="${CXX:-clang++}"

# clang and the libFuzzer runtime come from Debian's packages.
fuzzer_runtime_present() {
  command -v "$cxx" >/dev/null 2>&1 &&
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
      "$cxx" -x c++ -fsanitize=fuzzer - -o /dev/null >/dev/null 2>&1
}
if ! fuzzer_runtime_present; then
  echo "installing clang and the libFuzzer runtime"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q clang libclang-rt-14-dev >/dev/null ||
    apt-get install -y -q clang-14 libclang-rt-14-dev >/dev/null
  if ! command -v "$cxx" >/dev/null 2>&1 && command -v clang++-14 >/dev/null 2>&1; then cxx=clang++-14; fi
  fuzzer_runtime_present || { echo "no working libFuzzer toolchain" >&2; exit 2; }
fi

mkdir -p "$build/findings"
flags=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -O1 -g -std=c++20
       -I"$here/src" -I"$here/fuzz")
echo "building with $("$cxx" --version | head -n 1)"
"$cxx" "${flags[@]}" "$here/fuzz/reader_fuzzer.cpp" "$here"/src/reader/*.cpp -o "$build/reader_fuzzer"
"$cxx" "${flags[@]}" "$here/fuzz/fields_fuzzer.cpp" "$here"/src/writer/*.cpp -o "$build/fields_fuzzer"
"$cxx" "${flags[@]}" "$here/fuzz/scan_fuzzer.cpp" "$here"/src/scan/*.cpp "$here"/src/reader/*.cpp \
  -o "$build/scan_fuzzer"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
run_target() {  # name, max input length, extra libFuzzer flags...
  local name="$1" max_len="$2" log="$build/$1.log"
  shift 2
  mkdir -p "$scratch/$name"
  cp "$here/fuzz/corpus/$name/"* "$scratch/$name/"
  echo "=== $name: ${seconds}s, max_len $max_len ==="
  local rc=0
  "$build/${name}_fuzzer" "$scratch/$name" -max_total_time="$seconds" -max_len="$max_len" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$name-" "$@" >"$log" 2>&1 || rc=$?
  local execs
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  echo "$name: exit $rc, executions ${execs:-?}, corpus $(ls "$scratch/$name" | wc -l) inputs (log: $log)"
  if [ "$rc" -ne 0 ] || grep -qE '^(==[0-9]+==ERROR|SUMMARY: |CHECK failed)' "$log"; then
    echo "FINDING in $name:"
    grep -E -A 30 'ERROR|CHECK failed|runtime error|Test unit written' "$log" | head -n 80
    status=1
  fi
}
run_target reader 4096 -dict="$here/fuzz/reader.dict"
run_target fields 256
run_target scan 4096 -dict="$here/fuzz/scan.dict"
exit $status
