// Atom-line reader core: splits the atom lines of one frame into tokens and
// collects typed columns. Plain C++; never touches a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/c_buffer.hpp"

namespace atomblock::reader {

// rows x cols elements, row after row, zero-filled at creation.
template <class T>
struct RowMajorMatrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    CBuffer<T> data;
};

struct AtomColumns {
    RowMajorMatrix<double> floats;
    RowMajorMatrix<std::int64_t> ints;
    RowMajorMatrix<std::uint8_t> bools;  // 0 or 1
    // One entry per `s` code; each holds natoms tokens in row order. The views
    // point into the caller's lines, which must outlive this record.
    std::vector<std::vector<std::string_view>> strs;
};

struct ReadError {
    std::string message;  // starts with "row {row}: "
    std::size_t row = 0;  // 0-based index into the lines of the call
};

struct ReadOptions {
    // A token after the one of the last code is a fault ("expected {N}
    // tokens, found more"); by default such tokens are ignored.
    bool reject_extra_tokens = false;
    // When set, called with `checkpoint_context` after every `checkpoint_rows`
    // rows (not after the last one): a long read's chance to look for a
    // request to stop. It may throw to abandon the read; the exception leaves
    // read_atom_lines with nothing leaked.
    void (*checkpoint)(void* context) = nullptr;
    void* checkpoint_context = nullptr;
    std::size_t checkpoint_rows = std::size_t{1} << 16;
};

// Reads every line by the column type codes. The first fault gives a
// ReadError; memory exhaustion (or rows x columns beyond the address space)
// throws std::bad_alloc. Lines may keep their line ending: line feed and
// carriage return are separators like blanks.
std::variant<AtomColumns, ReadError> read_atom_lines(std::span<const std::string_view> lines,
                                                     std::span<const std::uint8_t> col_types,
                                                     const ReadOptions& options = {});

}  // namespace atomblock::reader
