#!/usr/bin/env bash
# Runs the whole pytest suite against a build of the extension made with
# AddressSanitizer and UndefinedBehaviorSanitizer. Any sanitizer report fails
# the run. Usage: tools/sanitize.sh [pytest args...]
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded and leak detection is off (CPython keeps memory until exit).
# Reports go to standard error, which pytest captures only at the sys level
# here (--capture=sys), so a report that aborts the run is still printed.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${SANITIZE_BUILD_DIR:-$here/build/sanitize}"
python="${PYTHON:-$here/.venv/bin/python}"
cxx="${CXX:-g++}"

BUILD_TYPE=RelWithDebInfo "$here/tools/dev_build.sh" "$build" -DATOMBLOCK_SANITIZE=ON \
  -DCMAKE_CXX_COMPILER="$cxx"

asan="$("$cxx" -print-file-name=libasan.so)"
ubsan="$("$cxx" -print-file-name=libubsan.so)"
report="$(mktemp)"
export LD_PRELOAD="$asan:$ubsan"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
export ATOMBLOCK_UNDER_SANITIZER=1  # tests that measure RSS skip: ASan's quarantine holds freed memory
export PYTHONMALLOC=malloc   # let ASan see the interpreter's allocations too

status=0
(cd "$here" && "$python" -m pytest -q -p no:cacheprovider --capture=sys "$@") 2> >(tee "$report" >&2) ||
  status=$?
unset LD_PRELOAD
sleep 1  # let tee drain
# Refused huge allocations are logged as warnings (the code sees them as
# failures and raises MemoryError); anything else is a report.
if grep -q -E "ERROR: (Address|Undefined|Leak)|runtime error:" "$report"; then
  echo "sanitizer reports found (see above)"
  status=1
fi
rm -f "$report"
exit $status
