// Atom-block writer core: lays out every atom line of one frame as text.
// Plain C++; never touches a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "writer/matrix_view.hpp"
#include "writer/text_buffer.hpp"

namespace atomblock::writer {

struct AtomBlock {
    TextBuffer text;    // UTF-8, natoms lines each ending in '\n'
    bool ascii = true;  // true when every byte is below 0x80
};

// How an `f` field is written after its blank: "%16.8f", or the shortest
// text that reads back to the same binary64 (Python's repr()).
enum class FloatFormat : std::uint8_t { fixed_16_8, shortest };

// A column of texts: row a holds the text of atom a as UTF-32 code points,
// zero-padded at the end; it is written left-justified to `width` code points.
struct StringColumn {
    MatrixView<std::uint32_t> codepoints;
    std::uint64_t width;
};

// What the codes other than `i` and `b` write, and how many lines.
struct BlockLayout {
    std::size_t natoms;
    std::span<const StringColumn> strings;  // must outlive the call
    // The k-th `s` code of a line writes strings[k]; otherwise every `s`
    // code writes strings[0].
    bool strings_in_turn;
    // An `s` field that is not the first field of its line gets one blank
    // before it; otherwise it follows the field before it directly.
    bool separate_strings;
    FloatFormat float_format;
};

// Throws InternalFailure ("capacity overflow", "Formatting argument out of
// range", or an index-out-of-range message) and std::bad_alloc. The text's
// memory comes from `storage`, which must outlive the returned block. Every
// `s` code writes the one symbol column with nothing before it, `f` codes
// write "%16.8f"; natoms is the symbol column's row count.
AtomBlock write_atom_block(const MatrixView<std::uint32_t>& sym_codepoints, std::uint64_t sym_width,
                           const MatrixView<double>& float_mat,
                           const MatrixView<std::int64_t>& int_mat,
                           const MatrixView<std::uint8_t>& bool_mat,
                           std::span<const std::uint8_t> col_types,
                           TextStorage& storage = heap_storage());

// The bytes that write_atom_block(layout, ...) asks of its storage first, for
// matrices of these column counts (0 when natoms is 0): the whole text fits
// unless fields come out wider than their usual widths (floats of 1e7 and
// more, ints of 9 digits and more, strings wider than their column or not
// ASCII, shortest floats aside, which are estimated at their widest). Throws
// std::bad_alloc when the estimate overflows.
std::size_t initial_capacity(const BlockLayout& layout, std::size_t float_cols,
                             std::size_t int_cols, std::size_t bool_cols);

// The same by an explicit layout. Throws InternalFailure (the messages
// above; an `s` code without its string column or an atom beyond a string
// column's rows is an index out of range) and std::bad_alloc, also when the
// capacity estimate overflows.
AtomBlock write_atom_block(const BlockLayout& layout, const MatrixView<double>& float_mat,
                           const MatrixView<std::int64_t>& int_mat,
                           const MatrixView<std::uint8_t>& bool_mat,
                           std::span<const std::uint8_t> col_types,
                           TextStorage& storage = heap_storage());

// A layout compiled once over the same matrices, for many blocks of their
// rows (the frames of a table): appends the lines of atoms [first, end) to a
// buffer of the caller's. The matrices and string columns must outlive it;
// layout.natoms is the rows every matrix offers. append() throws what
// write_atom_block throws.
class BlockFormatter {
public:
    BlockFormatter(const BlockLayout& layout, const MatrixView<double>& float_mat,
                   const MatrixView<std::int64_t>& int_mat,
                   const MatrixView<std::uint8_t>& bool_mat,
                   std::span<const std::uint8_t> col_types);
    BlockFormatter(BlockFormatter&&) noexcept;
    BlockFormatter& operator=(BlockFormatter&&) noexcept;
    BlockFormatter(const BlockFormatter&) = delete;
    BlockFormatter& operator=(const BlockFormatter&) = delete;
    ~BlockFormatter();

    // Returns true when every byte appended is below 0x80.
    bool append(TextBuffer& text, std::size_t first, std::size_t end) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace atomblock::writer
