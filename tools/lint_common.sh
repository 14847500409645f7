# Shared by tools/format.sh and tools/lint.sh (sourced, from the repository
# root): the tools to run and the C++ files they cover.

# clang-format 14 is the version whose layout the tree follows: later versions
# break some lines differently.
clang_format="${CLANG_FORMAT:-$(command -v clang-format-14 || command -v clang-format || echo clang-format)}"
clang_tidy="${CLANG_TIDY:-$(command -v clang-tidy-14 || command -v clang-tidy || echo clang-tidy)}"
if [ -n "${RUFF:-}" ]; then
  ruff=("$RUFF")
elif command -v ruff >/dev/null; then
  ruff=(ruff)
else
  ruff=("${PYTHON:-python3}" -m ruff)
fi

# The C++ sources of src/ and fuzz/, NUL-separated. The Unicode tables are
# generated (tools/gen_unicode_tables.py) and compared byte for byte with the
# generator's output, so they keep the generator's layout.
cpp_sources() {
  find src fuzz -path fuzz/build -prune -o -type f \( -name '*.cpp' -o -name '*.hpp' \) \
    ! -path src/reader/unicode_tables.cpp -print0 | sort -z
}
