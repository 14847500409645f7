// Atom-block writer: turns the per-atom arrays into natoms text lines laid out
// by the column type codes, in one output buffer reserved up front.
#include "writer/atom_writer.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "common/column_codes.hpp"
#include "common/internal_failure.hpp"
#include "writer/float_field.hpp"
#include "writer/int_field.hpp"
#include "writer/symbol_field.hpp"

namespace atomblock::writer {
namespace {

// Capacity estimate per line: the symbol width, then per field its separator
// plus minimum width (1 + 16 per float, 1 + 8 per integer, 2 + 1 per boolean),
// then the line feed and one spare byte.
constexpr std::uint64_t kFloatEstimate = 1 + kFloatFieldWidth;
constexpr std::uint64_t kIntEstimate = 1 + kIntFieldWidth;
constexpr std::uint64_t kBoolEstimate = 3;
constexpr std::uint64_t kLineEstimateExtra = 2;

// Most bytes a field can take, separator included.
constexpr std::size_t kFloatFieldBound = 1 + kMaxFloatFieldLength;
constexpr std::size_t kIntFieldBound = 1 + kMaxIntFieldLength;
constexpr std::size_t kBoolFieldBound = 3;
constexpr std::size_t kLineFeedBound = 1;

// Lines whose worst case is at most this many bytes get their room ensured
// once; longer ones (dozens of float columns or very long symbols) per field.
// The same amount is reserved beyond the estimate so that the usual call, whose
// lines are as long as the estimate says, never grows the buffer: 16 KiB is
// 51 float columns at their worst.
constexpr std::size_t kLineRoomCheckLimit = 16 * 1024;

enum class FieldKind : std::uint8_t { symbol, real, integer, boolean };

struct FieldOp {
    FieldKind kind;
    std::size_t column;  // matrix column read; unused for symbols
};

// The fields of every line, in order. It ends at the first field that fails
// whatever the atom (a column beyond its matrix, a symbol width out of range):
// nothing after it is ever written.
struct LineLayout {
    std::vector<FieldOp> ops;
    // Worst-case bytes of a whole line, saturating at SIZE_MAX.
    std::size_t line_bound = kLineFeedBound;
};

std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
    std::size_t sum;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::size_t>::max() : sum;
}

std::size_t saturating_mul(std::size_t a, std::size_t b) noexcept {
    std::size_t product;
    return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::size_t>::max() : product;
}

LineLayout compile_layout(std::span<const std::uint8_t> col_types, std::uint64_t sym_width,
                          std::size_t symbol_cols, std::size_t float_cols, std::size_t int_cols,
                          std::size_t bool_cols) {
    LineLayout layout;
    // Any symbol field fits in this (used only when the width is in range).
    const std::size_t symbol_bound =
        sym_width > kMaxSymbolWidth
            ? 0
            : saturating_add(saturating_mul(kMaxUtf8Bytes, symbol_cols),
                             static_cast<std::size_t>(sym_width) + kSymbolPadSlack);
    std::size_t next_float = 0;
    std::size_t next_int = 0;
    std::size_t next_bool = 0;
    for (const std::uint8_t code : col_types) {
        FieldOp op{};
        bool always_fails = false;
        std::size_t bound = 0;
        switch (code) {
            case kSymbolCode:
                op = {FieldKind::symbol, 0};
                always_fails = sym_width > kMaxSymbolWidth;
                bound = symbol_bound;
                break;
            case kFloatCode:
                op = {FieldKind::real, next_float++};
                always_fails = op.column >= float_cols;
                bound = kFloatFieldBound;
                break;
            case kIntCode:
                op = {FieldKind::integer, next_int++};
                always_fails = op.column >= int_cols;
                bound = kIntFieldBound;
                break;
            case kBoolCode:
                op = {FieldKind::boolean, next_bool++};
                always_fails = op.column >= bool_cols;
                bound = kBoolFieldBound;
                break;
            default:
                continue;
        }
        layout.ops.push_back(op);
        // A saturated bound selects the per-field path, which needs none.
        layout.line_bound = saturating_add(layout.line_bound, bound);
        if (always_fails) break;
    }
    return layout;
}

[[noreturn]] [[gnu::cold]] void fail_index(const char* matrix, std::size_t row, std::size_t rows,
                                           std::size_t col, std::size_t cols) {
    fail("index out of bounds: row " + std::to_string(row) + " of " + std::to_string(rows) +
         ", column " + std::to_string(col) + " of " + std::to_string(cols) + " in " + matrix);
}

[[noreturn]] [[gnu::cold]] void fail_symbol_width() { fail("Formatting argument out of range"); }

template <class T>
inline T checked_at(const MatrixView<T>& mat, std::size_t row, std::size_t col, const char* name) {
    if (row >= mat.rows || col >= mat.cols) [[unlikely]] {
        fail_index(name, row, mat.rows, col, mat.cols);
    }
    return mat.at(row, col);
}

// Copies, not references: stores through the output's char pointer may alias
// anything reached by reference, which would force a reload of every view
// field after every store.
struct Inputs {
    MatrixView<std::uint32_t> sym_codepoints;
    MatrixView<double> float_mat;
    MatrixView<std::int64_t> int_mat;
    MatrixView<std::uint8_t> bool_mat;
    std::uint64_t sym_width;
};

// Appends one line. With kRoomPerField false the caller has ensured room for
// the layout's line_bound; otherwise room is ensured before each field.
// Clears `ascii` when a symbol field with a character beyond ASCII is written.
template <bool kRoomPerField>
void write_line(TextBuffer& out, const LineLayout& layout, const Inputs& in, std::size_t atom,
                bool& ascii) {
    char* p = out.tail();
    auto room = [&](std::size_t bytes) {
        if constexpr (kRoomPerField) {
            out.commit_to(p);
            out.ensure_room(bytes);
            p = out.tail();
        }
    };
    // The first symbol field of the line is decoded; later ones copy it. An
    // offset, since the per-field path may move the buffer in between.
    std::size_t symbol_offset = 0;
    std::size_t symbol_size = 0;
    bool symbol_written = false;
    for (const FieldOp& op : layout.ops) {
        switch (op.kind) {
            case FieldKind::symbol:
                if (in.sym_width > kMaxSymbolWidth) fail_symbol_width();
                if (!symbol_written) {
                    if constexpr (kRoomPerField) {
                        room(symbol_field_room(in.sym_codepoints, atom, in.sym_width));
                    }
                    char* const end = write_symbol_field(in.sym_codepoints, atom, in.sym_width, p, ascii);
                    symbol_offset = static_cast<std::size_t>(p - out.data());
                    symbol_size = static_cast<std::size_t>(end - p);
                    symbol_written = true;
                    p = end;
                } else {
                    room(symbol_size);
                    std::memcpy(p, out.data() + symbol_offset, symbol_size);
                    p += symbol_size;
                }
                break;
            case FieldKind::real: {
                const double value = checked_at(in.float_mat, atom, op.column, "float_mat");
                room(kFloatFieldBound);
                *p++ = ' ';
                p += format_float_field(value, p);
                break;
            }
            case FieldKind::integer: {
                const std::int64_t value = checked_at(in.int_mat, atom, op.column, "int_mat");
                room(kIntFieldBound);
                *p++ = ' ';
                p += format_int_field(value, p);
                break;
            }
            case FieldKind::boolean: {
                const std::uint8_t value = checked_at(in.bool_mat, atom, op.column, "bool_mat");
                room(kBoolFieldBound);
                p[0] = ' ';
                p[1] = ' ';
                p[2] = value != 0 ? 'T' : 'F';
                p += kBoolFieldBound;
                break;
            }
        }
    }
    room(kLineFeedBound);
    *p++ = '\n';
    out.commit_to(p);
}

}  // namespace

AtomBlock write_atom_block(const MatrixView<std::uint32_t>& sym_codepoints, std::uint64_t sym_width,
                           const MatrixView<double>& float_mat,
                           const MatrixView<std::int64_t>& int_mat,
                           const MatrixView<std::uint8_t>& bool_mat,
                           std::span<const std::uint8_t> col_types, TextStorage& storage) {
    const std::size_t natoms = sym_codepoints.rows;
    AtomBlock block{TextBuffer(storage), true};

    // Unsigned 64-bit arithmetic wraps on overflow by definition.
    const std::uint64_t per_line = sym_width + kFloatEstimate * float_mat.cols +
                                   kIntEstimate * int_mat.cols + kBoolEstimate * bool_mat.cols +
                                   kLineEstimateExtra;
    const std::uint64_t estimate = static_cast<std::uint64_t>(natoms) * per_line;
    if (static_cast<std::int64_t>(estimate) < 0) fail("capacity overflow");
    if (natoms == 0) return block;
    if (estimate > std::numeric_limits<std::size_t>::max() - kLineRoomCheckLimit) throw std::bad_alloc();
    block.text.reserve(static_cast<std::size_t>(estimate) + kLineRoomCheckLimit);

    const LineLayout layout = compile_layout(col_types, sym_width, sym_codepoints.cols, float_mat.cols,
                                             int_mat.cols, bool_mat.cols);
    const Inputs inputs{sym_codepoints, float_mat, int_mat, bool_mat, sym_width};
    bool ascii = true;
    if (layout.line_bound <= kLineRoomCheckLimit) [[likely]] {
        for (std::size_t atom = 0; atom < natoms; ++atom) {
            block.text.ensure_room(layout.line_bound);
            write_line<false>(block.text, layout, inputs, atom, ascii);
        }
    } else {
        for (std::size_t atom = 0; atom < natoms; ++atom) {
            write_line<true>(block.text, layout, inputs, atom, ascii);
        }
    }
    block.ascii = ascii;
    return block;
}

}  // namespace atomblock::writer
