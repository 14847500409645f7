#!/usr/bin/env bash
# Check-only lint of the tree, run by CI; changes no file. Each check runs and
# reports, and the exit status is non-zero when any of them found something:
#   format  clang-format --dry-run --Werror on the C++ of src/ and fuzz/
#   tidy    clang-tidy (.clang-tidy, every finding an error) on each source of
#           the compile database, which is configured in BUILD_DIR when missing
#   ruff    ruff check ([tool.ruff] in pyproject.toml) on the Python files
# Usage: tools/lint.sh [--build-dir DIR] [format] [tidy] [ruff]   (default: all three)
# Environment: PYTHON (the interpreter whose headers the database uses), JOBS,
# CLANG_FORMAT, CLANG_TIDY, RUFF. tools/format.sh applies the layout and ruff's fixes.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
# shellcheck source=tools/lint_common.sh
. tools/lint_common.sh

build="$root/build/lint"
checks=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    format|tidy|ruff) checks+=("$1"); shift ;;
    *) echo "usage: tools/lint.sh [--build-dir DIR] [format] [tidy] [ruff]" >&2; exit 2 ;;
  esac
done
[ ${#checks[@]} -gt 0 ] || checks=(format tidy ruff)
python="${PYTHON:-$root/.venv/bin/python}"
jobs="${JOBS:-2}"

check_format() {
  echo "clang-format: $("$clang_format" --version)"
  local n
  n=$(cpp_sources | tr -cd '\0' | wc -c)
  cpp_sources | xargs -0 "$clang_format" --dry-run --Werror
  echo "clang-format: $n files laid out as .clang-format says"
}

check_tidy() {
  echo "clang-tidy: $("$clang_tidy" --version | grep -i version)"
  if [ ! -f "$build/compile_commands.json" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DPython_EXECUTABLE="$python" \
      -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  fi
  local sources out rc=0
  sources="$("$python" - "$build/compile_commands.json" "$root/src/" <<'PY'
import json, sys
files = sorted({entry["file"] for entry in json.load(open(sys.argv[1]))})
print("\n".join(f for f in files if f.startswith(sys.argv[2])))
PY
)"
  out="$(mktemp)"
  # Headers are checked through every source that includes them; their
  # findings repeat, so each diagnostic is printed once.
  printf '%s\n' "$sources" | xargs -P "$jobs" -n 1 "$clang_tidy" -p "$build" --quiet \
    --use-color=false >"$out" 2>/dev/null || rc=$?
  "$python" - "$out" <<'PY'
import re, sys
seen, block = set(), []
def flush():
    key = "\n".join(block)
    if block and key not in seen:
        seen.add(key)
        print(key)
for line in open(sys.argv[1], errors="replace"):
    line = line.rstrip("\n")
    if re.match(r"^\S+:\d+:\d+: (warning|error): ", line):
        flush()
        block = [line]
    elif block:
        block.append(line)
flush()
print(f"clang-tidy: {len(seen)} distinct findings")
PY
  rm -f "$out"
  echo "clang-tidy: $(printf '%s\n' "$sources" | wc -l) sources of $build"
  return $rc
}

check_ruff() {
  echo "ruff: $("${ruff[@]}" --version)"
  "${ruff[@]}" check --no-fix --output-format=concise .
}

failed=()
for check in "${checks[@]}"; do
  echo "=== lint: $check ==="
  "check_$check" || failed+=("$check")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "lint: findings in: ${failed[*]}"
  exit 1
fi
echo "lint: clean (${checks[*]})"
