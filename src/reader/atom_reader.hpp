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

// What a read of atom lines found wrong. read_atom_lines gives the first five
// kinds (too_many_tokens with reject_extra_tokens only); the block readers,
// which find the lines in a buffer, add the other three.
enum class FaultKind : std::uint8_t {
    bad_float,        // a token of an `f` code is no float
    bad_int,          // a token of an `i` code is no integer in the int64 range
    bad_bool,         // a token of a `b` code is no boolean word
    too_few_tokens,   // the line ends before every code has its token
    too_many_tokens,  // a token follows the one of the last code
    too_few_lines,    // the data ends before the block has all its lines
    invalid_utf8,     // a token of an `s` code is not well-formed UTF-8
    nul_byte,         // a token of an `s` code holds a NUL byte
};

// The short name of a kind, as the Python errors carry it: "bad_float",
// "too_few_tokens", ... (the enumerator's name).
std::string_view fault_name(FaultKind kind) noexcept;

// No code position: the fault is of the line or the block, not of a column.
inline constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);

// A fault as data; error_message() words it. The fields that do not apply to
// a kind keep their defaults.
struct ReadError {
    FaultKind kind = FaultKind::bad_float;
    std::size_t row = 0;  // 0-based index into the lines of the call
    // The code position (token index on the line) of the fault: the token
    // refused, or for too_few_tokens the first code left without a token.
    // kNoColumn for too_many_tokens and too_few_lines.
    std::size_t column = kNoColumn;
    // The token refused, a view into the caller's line (which must outlive
    // the error until it is worded); for too_many_tokens the first token past
    // the last code. Empty, with a null data pointer, for too_few_tokens and
    // too_few_lines.
    std::string_view token;
    // Why a float or integer token was refused (static text; empty otherwise).
    std::string_view reason;
    // too_few_tokens, too_many_tokens: the tokens a line needs (the codes);
    // too_few_lines: the lines the block needs.
    std::size_t expected = 0;
    // too_few_tokens, too_many_tokens: the tokens the line holds (all of
    // them, also past the last code); too_few_lines: the lines there are.
    std::size_t found = 0;
};

// The fault in words, without its row: "cannot parse "x" as float: invalid
// float literal", "expected 4 tokens, ran out", ... The one place that words
// a ReadError.
std::string fault_text(const ReadError& error);

// "row {row}: " and fault_text(error): the message of read_atom_lines_rs and
// of the block readers' errors.
std::string error_message(const ReadError& error);

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
