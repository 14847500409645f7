// Byte-level walks over the text of an extxyz file held in one buffer: atom
// lines as views, line skipping, the frame walk over count lines, and UTF-8
// validation. Plain C++; never touches a Python object, so it runs with the
// interpreter lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "reader/atom_reader.hpp"

namespace atomblock::native {

// A line ends at '\n' (excluded from its view; a '\r' before it stays and is
// whitespace to the reader). The last line may end at the end of the data.
struct LineRun {
    std::size_t lines = 0;  // lines found, at most the number wanted
    std::size_t end = 0;    // offset just after the last line found
};

// Appends views of up to `wanted` lines starting at `offset` (<= data.size())
// to `lines`; the views point into `data`.
LineRun split_lines(std::string_view data, std::size_t offset, std::size_t wanted,
                    std::vector<std::string_view>& lines);

// As split_lines, without keeping the views.
LineRun skip_lines(std::string_view data, std::size_t offset, std::size_t wanted);

struct FrameIndex {
    std::vector<std::int64_t> offsets;  // byte offset of each frame's count line
    std::vector<std::int64_t> natoms;
    std::size_t stop_offset = 0;
    std::size_t stop_line = 0;  // '\n' bytes between the start and stop_offset
};

// Walks whole frames (count line, comment line, natoms atom lines) from
// `offset`, at most `max_frames` of them. Stops at the end of the data, at a
// line that is not a count line (decimal digits with optional blanks, tabs
// and carriage returns around them), or at a frame that the data cuts short
// (not listed). Whitespace alone up to the end of the data counts as the end.
FrameIndex index_frames(std::string_view data, std::size_t offset, std::size_t max_frames);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF): exactly what a strict decoder accepts.
bool is_valid_utf8(std::string_view text) noexcept;

// What a string token holds: well-formed UTF-8 without a NUL byte, well-formed
// UTF-8 with one, or bytes that are not well-formed UTF-8.
enum class Utf8Token : std::uint8_t { valid, nul, invalid };
Utf8Token classify_utf8_token(std::string_view text) noexcept;

// The number of code points of well-formed UTF-8 `text` (its bytes that are
// not continuation bytes).
std::size_t count_code_points(std::string_view text) noexcept;

// Writes the code points of well-formed UTF-8 `text` to `out`, which has room
// for count_code_points(text) of them. Precondition: is_valid_utf8(text).
void decode_utf8(std::string_view text, std::uint32_t* out) noexcept;

// One zero-padded (items, longest) matrix of the code points of well-formed
// UTF-8 texts, at least one code point wide (as NumPy gives an array of
// empty strings). Throws std::bad_alloc only.
reader::RowMajorMatrix<std::uint32_t> code_point_matrix(std::span<const std::string_view> texts);

}  // namespace atomblock::native
