#!/usr/bin/env bash
# Incremental developer build of the extension into a build directory of its
# own, without pip: tools/dev_build.sh [BUILD_DIR] [extra cmake args...]
# Then run tests against it with: PYTHONPATH=BUILD_DIR python -m pytest
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/dev}"
shift || true
python="${PYTHON:-$here/.venv/bin/python}"
# CMake resolves a relative interpreter path against its own search, not this
# shell's directory, and may then pick another Python: hand it an absolute one.
case "$python" in
  /*) ;;
  */*) python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")" ;;
  *) python="$(command -v "$python")" ;;
esac
# ATOMBLOCK_WERROR=ON in the environment turns warnings into errors here and in
# the scripts that build through this one (tools/sanitize.sh); CI sets it.
werror=()
[ -z "${ATOMBLOCK_WERROR:-}" ] || werror=(-DATOMBLOCK_WERROR="$ATOMBLOCK_WERROR")
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
    -DPython_EXECUTABLE="$python" "${werror[@]}" "$@" >/dev/null
fi
cmake --build "$build" -j "${JOBS:-1}"
