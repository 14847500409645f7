#!/usr/bin/env bash
# Builds the reader and writer cores and the byte scanners of file text
# with the fuzz targets' oracle checks and the plain driver
# fuzz/oracle_main.cpp (no libFuzzer), and runs them over the seed corpus
# plus fixed-seed mutations: natively, and cross-compiled for other
# architectures (statically linked) under qemu user emulation.
# Usage: tools/cross_check.sh [ARCH...]   ARCH: native, portable, aarch64, s390x
#        (default: all four; portable is native with the portable paths, plain
#        operations and own decimal rounding forced, as -DATOMBLOCK_PORTABLE=ON
#        does; s390x is big-endian)
# Environment: ORACLE_MUTATIONS (mutations per seed, default 5000),
#              CROSS_BUILD_DIR (default build/cross).
# Exits non-zero when a build fails or an oracle check fails; the failing
# input is left in CROSS_BUILD_DIR/ARCH-TARGET-failure.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${CROSS_BUILD_DIR:-$here/build/cross}"
mutations="${ORACLE_MUTATIONS:-5000}"
archs=("$@")
[ "${#archs[@]}" -gt 0 ] || archs=(native portable aarch64 s390x)

# Debian's cross compilers and qemu, installed when missing (a fresh CI machine).
ensure_tools() {  # command, package
  command -v "$1" >/dev/null 2>&1 && return 0
  command -v apt-get >/dev/null 2>&1 || { echo "missing $1 (package $2)" >&2; return 1; }
  echo "installing $2"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q "$2" >/dev/null 2>&1 ||
    (apt-get update -q >/dev/null 2>&1 && apt-get install -y -q "$2" >/dev/null 2>&1)
  command -v "$1" >/dev/null 2>&1 || { echo "could not install $2" >&2; return 1; }
}

mkdir -p "$build"
flags=(-std=c++20 -O2 -Wall -Wextra -I"$here/src" -I"$here/fuzz")
status=0
for arch in "${archs[@]}"; do
  case "$arch" in
    native) cxx="${CXX:-g++}"; runner=(); extra=() ;;
    portable) cxx="${CXX:-g++}"; runner=()
      extra=(-DATOMBLOCK_PORTABLE -DATOMBLOCK_PLAIN_OPS -DATOMBLOCK_OWN_DECIMAL) ;;
    aarch64|s390x)
      cxx="$arch-linux-gnu-g++"; runner=("qemu-$arch-static"); extra=(-static)
      ensure_tools "$cxx" "g++-$arch-linux-gnu" && ensure_tools "${runner[0]}" qemu-user-static ||
        { status=1; continue; } ;;
    *) echo "unknown architecture $arch (native, portable, aarch64, s390x)" >&2; exit 2 ;;
  esac
  for target in reader fields scan; do
    case "$target" in
      reader) sources=("$here"/src/reader/*.cpp); max_len=4096 ;;  # max_len as in tools/fuzz.sh
      fields) sources=("$here"/src/writer/*.cpp); max_len=256 ;;
      scan) sources=("$here"/src/scan/*.cpp "$here"/src/reader/*.cpp); max_len=4096 ;;
    esac
    exe="$build/$arch-${target}_oracle"
    start=$SECONDS
    if ! "$cxx" "${flags[@]}" "${extra[@]}" "$here/fuzz/oracle_main.cpp" "$here/fuzz/${target}_fuzzer.cpp" \
         "${sources[@]}" -o "$exe"; then
      echo "$arch $target: BUILD FAILED"
      status=1
      continue
    fi
    built=$((SECONDS - start))
    rm -f "$build/$arch-$target-failure"
    if "${runner[@]}" "$exe" -n "$mutations" -m "$max_len" -o "$build/$arch-$target-failure" \
         "$here/fuzz/corpus/$target"; then
      echo "$arch $target: passed (build ${built}s, run $((SECONDS - start - built))s)"
    else
      echo "$arch $target: ORACLE FAILED (input in $build/$arch-$target-failure)"
      status=1
    fi
  done
done
exit $status
