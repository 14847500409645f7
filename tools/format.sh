#!/usr/bin/env bash
# Applies the project's layout in place: clang-format (.clang-format) on the
# C++ sources of src/ and fuzz/, and ruff's automatic fixes (import order, 3.10
# forms, stray whitespace; [tool.ruff] in pyproject.toml) on the Python files.
# Python is not run through a formatter: its hand-aligned comments and tables
# stay as written. tools/lint.sh checks the same things without changing files.
# Usage: tools/format.sh     (CLANG_FORMAT, RUFF override the tools' paths)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/lint_common.sh
. tools/lint_common.sh

echo "clang-format: $("$clang_format" --version)"
cpp_sources | xargs -0 "$clang_format" -i
echo "ruff: $("${ruff[@]}" --version)"
"${ruff[@]}" check --fix --output-format=concise . || echo "note: the findings above need a hand fix"
