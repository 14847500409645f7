#!/usr/bin/env bash
# Runs the whole pytest suite against a build of the extension made with
# AddressSanitizer and UndefinedBehaviorSanitizer. Any sanitizer report fails
# the run. Usage: tools/sanitize.sh [pytest args...]
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded and leak detection is off (CPython keeps memory until exit).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${SANITIZE_BUILD_DIR:-$here/build/sanitize}"
python="${PYTHON:-$here/.venv/bin/python}"
cxx="${CXX:-g++}"

BUILD_TYPE=RelWithDebInfo "$here/tools/dev_build.sh" "$build" -DATOMBLOCK_SANITIZE=ON \
  -DCMAKE_CXX_COMPILER="$cxx"

asan="$("$cxx" -print-file-name=libasan.so)"
ubsan="$("$cxx" -print-file-name=libubsan.so)"
log_dir="$(mktemp -d)"
export LD_PRELOAD="$asan:$ubsan"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$log_dir/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$log_dir/ubsan"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
export ATOMBLOCK_UNDER_SANITIZER=1  # tests that measure RSS skip: ASan's quarantine holds freed memory
export PYTHONMALLOC=malloc   # let ASan see the interpreter's allocations too

status=0
(cd "$here" && "$python" -m pytest -q -p no:cacheprovider "$@") || status=$?
unset LD_PRELOAD
if compgen -G "$log_dir/*" >/dev/null; then
  # Refused huge allocations are logged as warnings (the code sees them as
  # failures and raises MemoryError); anything else is a report.
  if grep -q -E "ERROR: |runtime error:" "$log_dir"/*; then
    echo "sanitizer reports:"
    cat "$log_dir"/*
    status=1
  else
    echo "sanitizer warnings (no errors):"
    cat "$log_dir"/*
  fi
fi
rm -rf "$log_dir"
exit $status
