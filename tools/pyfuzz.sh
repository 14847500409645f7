#!/usr/bin/env bash
# Runs the Python fuzz harness fuzz/python_fuzzer.py on each of its targets
# (comment, source) for a while, against the atomblock that PYTHON imports, on
# a scratch copy of the seed corpus: under atheris when PYTHON has it, else
# with the harness's plain fixed-seed driver.
# Usage: tools/pyfuzz.sh [seconds-per-target]   (default 45)
# Environment: PYTHON (default .venv/bin/python), PYFUZZ_BUILD_DIR (logs and
# findings; default fuzz/build).
# Exits non-zero when a target finds something; the reproducing input is left
# in PYFUZZ_BUILD_DIR/findings/ (replay: PYTHON fuzz/python_fuzzer.py TARGET FILE).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-45}"
python="${PYTHON:-$here/.venv/bin/python}"
build="${PYFUZZ_BUILD_DIR:-$here/fuzz/build}"
mkdir -p "$build/findings"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

if "$python" -c "import atheris" >/dev/null 2>&1; then driver="atheris"; else driver="plain driver"; fi
# Run from the scratch directory, so that the package comes from where PYTHON finds it.
echo "python fuzzing with $driver; atomblock from" \
  "$(cd "$scratch" && "$python" -c 'import atomblock; print(atomblock.__file__)')"

status=0
for target in comment source; do
  log="$build/py_$target.log"
  mkdir -p "$scratch/$target"
  cp "$here/fuzz/corpus/python_$target/"* "$scratch/$target/"
  echo "=== python $target: ${seconds}s ==="
  rc=0
  (cd "$scratch" && "$python" "$here/fuzz/python_fuzzer.py" "$target" "$scratch/$target" \
     -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=3072 \
     -artifact_prefix="$build/findings/py-$target-") >"$log" 2>&1 || rc=$?
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  echo "python $target: exit $rc, executions ${execs:-?} (log: $log)"
  if [ "$rc" -ne 0 ]; then
    echo "FINDING in python $target:"
    grep -E -B 2 -A 25 'Uncaught Python exception|Traceback|FINDING|timeout|Test unit written' "$log" |
      head -n 60
    status=1
  fi
done
exit $status
