#!/usr/bin/env bash
# Compiles every core source (reader, writer, scanners) with the mingw-w64 cross
# compiler (64-bit Windows: LLP64, so long is 32 bits) with the project's
# warnings as errors. Nothing is linked or run; this catches code that only
# builds where long is 64 bits or that uses POSIX-only calls.
# Usage: tools/mingw_check.sh   (CXX_MINGW overrides the compiler)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cxx="${CXX_MINGW:-x86_64-w64-mingw32-g++}"

if ! command -v "$cxx" >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1; then
  echo "installing g++-mingw-w64-x86-64"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q g++-mingw-w64-x86-64 >/dev/null 2>&1 ||
    (apt-get update -q >/dev/null 2>&1 && apt-get install -y -q g++-mingw-w64-x86-64 >/dev/null 2>&1) || true
fi
command -v "$cxx" >/dev/null 2>&1 || { echo "no $cxx" >&2; exit 2; }

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
failed=0
count=0
for source in "$here"/src/reader/*.cpp "$here"/src/writer/*.cpp "$here"/src/scan/*.cpp; do
  count=$((count + 1))
  if ! "$cxx" -std=c++20 -O2 -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Werror \
       -I"$here/src" -c "$source" -o "$out/$(basename "$source").o"; then
    echo "mingw-w64: ${source#"$here"/} FAILED"
    failed=$((failed + 1))
  fi
done
echo "mingw-w64 ($("$cxx" -dumpversion)): $((count - failed)) of $count core sources compile without warnings"
[ "$failed" -eq 0 ]
