// Atom-block writer: turns the per-atom arrays into natoms text lines laid out
// by the column plan of the type codes, in one output buffer reserved up front.
#include "writer/atom_writer.hpp"

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/column_plan.hpp"
#include "common/internal_failure.hpp"
#include "common/portable_ops.hpp"
#include "writer/float_field.hpp"
#include "writer/int_field.hpp"
#include "writer/shortest_float_field.hpp"
#include "writer/symbol_field.hpp"

namespace atomblock::writer {
namespace {

// Capacity estimate per line: the symbol width, then per field its separator
// plus minimum width (1 + 16 per float, 1 + 8 per integer, 2 + 1 per boolean),
// then the line feed and one spare byte. A shortest float counts at its
// longest, 1 + 24.
constexpr std::uint64_t kFloatEstimate = 1 + kFloatFieldWidth;
constexpr std::uint64_t kShortestFloatEstimate = 1 + kShortestFloatMaxChars;
constexpr std::uint64_t kIntEstimate = 1 + kIntFieldWidth;
constexpr std::uint64_t kBoolEstimate = 3;
constexpr std::uint64_t kLineEstimateExtra = 2;

// Most bytes a field can take, separator included.
constexpr std::size_t kFloatFieldBound = 1 + kMaxFloatFieldLength;
// A shortest float's room: it stores whole blocks past its text.
constexpr std::size_t kShortestFloatFieldBound = 1 + kShortestFloatRoom;
constexpr std::size_t kIntFieldBound = 1 + kMaxIntFieldLength;
constexpr std::size_t kBoolFieldBound = 3;
constexpr std::size_t kStringSeparatorBound = 1;
constexpr std::size_t kLineFeedBound = 1;

// Lines whose worst case is at most this many bytes get their room ensured
// once; longer ones (dozens of float columns or very long symbols) per field.
// The same amount is reserved beyond the estimate so that the usual call, whose
// lines are as long as the estimate says, never grows the buffer: 16 KiB is
// 51 float columns at their worst.
constexpr std::size_t kLineRoomCheckLimit = std::size_t{16} * 1024;

constexpr std::size_t kMaxSize = std::numeric_limits<std::size_t>::max();

std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
    std::size_t sum;
    return ops::add_overflow(a, b, sum) ? kMaxSize : sum;
}

std::size_t saturating_mul(std::size_t a, std::size_t b) noexcept {
    std::size_t product;
    return ops::mul_overflow(a, b, product) ? kMaxSize : product;
}

// Copies, not references: stores through the output's char pointer may alias
// anything reached by reference, which would force a reload of every view
// field after every store.
struct Inputs {
    StringColumn symbol;  // strings[0], or an empty column when there is none
    std::span<const StringColumn> strings;
    std::size_t natoms;
    MatrixView<double> float_mat;
    MatrixView<std::int64_t> int_mat;
    MatrixView<std::uint8_t> bool_mat;
    bool strings_in_turn;
    bool separate_strings;
};

// The string column that an `s` step writes, by its index among the `s`
// codes; kMaxSize when there is none.
std::size_t string_index(const Inputs& in, const ColumnStep& step) noexcept {
    const std::size_t k = in.strings_in_turn ? step.column : 0;
    return k < in.strings.size() ? k : kMaxSize;
}

// The non-skip steps of every line, in order. It ends at the first step that
// fails whatever the atom (a column beyond its matrix, a missing string
// column, a string width out of range): nothing after it is ever written.
struct LineLayout {
    std::vector<ColumnStep> ops;
    // Worst-case bytes of a whole line, saturating at SIZE_MAX.
    std::size_t line_bound = kLineFeedBound;
};

// The plan's own steps become the layout, rewritten in place (one
// allocation per call, as the steps are taken over rather than copied).
LineLayout compile_layout(ColumnPlan plan, const Inputs& in, std::size_t float_bound) {
    LineLayout layout{plan.take_steps()};
    std::size_t kept = 0;
    for (const ColumnStep step : layout.ops) {
        bool always_fails = false;
        std::size_t bound = 0;
        switch (step.kind) {
            case ColumnKind::skip: continue;
            case ColumnKind::string: {
                const std::size_t k = string_index(in, step);
                always_fails = k == kMaxSize || in.strings[k].width > kMaxSymbolWidth;
                if (!always_fails) {
                    // Any field of the column fits in this.
                    const StringColumn& column = in.strings[k];
                    bound =
                        saturating_add(saturating_mul(kMaxUtf8Bytes, column.codepoints.cols),
                                       static_cast<std::size_t>(column.width) + kSymbolPadSlack);
                    if (in.separate_strings) bound = saturating_add(bound, kStringSeparatorBound);
                }
                break;
            }
            case ColumnKind::real:
                always_fails = step.column >= in.float_mat.cols;
                bound = float_bound;
                break;
            case ColumnKind::integer:
                always_fails = step.column >= in.int_mat.cols;
                bound = kIntFieldBound;
                break;
            case ColumnKind::logical:
                always_fails = step.column >= in.bool_mat.cols;
                bound = kBoolFieldBound;
                break;
        }
        layout.ops[kept++] = step;  // kept never passes the step being read
        // A saturated bound selects the per-field path, which needs none.
        layout.line_bound = saturating_add(layout.line_bound, bound);
        if (always_fails) break;
    }
    layout.ops.resize(kept);
    return layout;
}

[[noreturn]] [[gnu::cold]] void fail_index(const char* matrix, std::size_t row, std::size_t rows,
                                           std::size_t col, std::size_t cols) {
    fail("index out of bounds: row " + std::to_string(row) + " of " + std::to_string(rows) +
         ", column " + std::to_string(col) + " of " + std::to_string(cols) + " in " + matrix);
}

[[noreturn]] [[gnu::cold]] void fail_symbol_width() {
    fail("Formatting argument out of range");
}

template <class T>
inline T checked_at(const MatrixView<T>& mat, std::size_t row, std::size_t col, const char* name) {
    if (row >= mat.rows || col >= mat.cols) [[unlikely]] {
        fail_index(name, row, mat.rows, col, mat.cols);
    }
    return mat.at(row, col);
}

// Appends one line. With kRoomPerField false the caller has ensured room for
// the layout's line_bound; otherwise room is ensured before each field.
// kOneSymbol: the strings are not taken in turn nor separated, and the
// symbol column has a row for every atom, which spares their tests.
// Clears `ascii` when a string field with a character beyond ASCII is written.
template <bool kRoomPerField, FloatFormat kFloatFormat, bool kOneSymbol>
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
    // Unless the strings are taken in turn, the first `s` field of the line
    // is decoded and later ones copy it (without its separator). An offset, since the per-field path
    // may move the buffer in between.
    std::size_t symbol_offset = 0;
    std::size_t symbol_size = 0;
    bool symbol_written = false;
    // The steps as a local view: stores through `p` may alias the vector's
    // own pointers, which would otherwise be reloaded after every field.
    const ColumnStep* const first = layout.ops.data();
    const ColumnStep* const last = first + layout.ops.size();
    for (const ColumnStep* step = first; step != last; ++step) {
        const ColumnStep op = *step;
        switch (op.kind) {
            case ColumnKind::string: {
                const bool separated = !kOneSymbol && in.separate_strings && step != first;
                if (!kOneSymbol && in.strings_in_turn) {
                    const std::size_t k = string_index(in, op);
                    if (k == kMaxSize)
                        fail_index("strings", atom, in.natoms, op.column, in.strings.size());
                    const StringColumn column = in.strings[k];
                    if (column.width > kMaxSymbolWidth) fail_symbol_width();
                    if (atom >= column.codepoints.rows) [[unlikely]] {
                        fail_index("strings", atom, column.codepoints.rows, k, in.strings.size());
                    }
                    if (separated) {
                        room(kStringSeparatorBound);
                        *p++ = ' ';
                    }
                    if constexpr (kRoomPerField) {
                        room(symbol_field_room(column.codepoints, atom, column.width));
                    }
                    p = write_symbol_field(column.codepoints, atom, column.width, p, ascii);
                    break;
                }
                // Every `s` code writes the one symbol column.
                if (in.symbol.width > kMaxSymbolWidth) fail_symbol_width();
                if (separated) {
                    room(kStringSeparatorBound);
                    *p++ = ' ';
                }
                if (symbol_written) {
                    room(symbol_size);
                    std::memcpy(p, out.data() + symbol_offset, symbol_size);
                    p += symbol_size;
                    break;
                }
                if (!kOneSymbol && atom >= in.symbol.codepoints.rows) [[unlikely]] {
                    fail_index("strings", atom, in.symbol.codepoints.rows, 0, in.strings.size());
                }
                if constexpr (kRoomPerField) {
                    room(symbol_field_room(in.symbol.codepoints, atom, in.symbol.width));
                }
                char* const end =
                    write_symbol_field(in.symbol.codepoints, atom, in.symbol.width, p, ascii);
                symbol_offset = static_cast<std::size_t>(p - out.data());
                symbol_size = static_cast<std::size_t>(end - p);
                symbol_written = true;
                p = end;
                break;
            }
            case ColumnKind::real: {
                const double value = checked_at(in.float_mat, atom, op.column, "float_mat");
                if constexpr (kFloatFormat == FloatFormat::fixed_16_8) {
                    room(kFloatFieldBound);
                    *p++ = ' ';
                    p += format_float_field(value, p);
                } else {
                    room(kShortestFloatFieldBound);
                    *p++ = ' ';
                    p = write_shortest_float(p, value);
                }
                break;
            }
            case ColumnKind::integer: {
                const std::int64_t value = checked_at(in.int_mat, atom, op.column, "int_mat");
                room(kIntFieldBound);
                *p++ = ' ';
                p += format_int_field(value, p);
                break;
            }
            case ColumnKind::logical: {
                const std::uint8_t value = checked_at(in.bool_mat, atom, op.column, "bool_mat");
                room(kBoolFieldBound);
                p[0] = ' ';
                p[1] = ' ';
                p[2] = value != 0 ? 'T' : 'F';
                p += kBoolFieldBound;
                break;
            }
            case ColumnKind::skip: break;  // not in a layout
        }
    }
    room(kLineFeedBound);
    *p++ = '\n';
    out.commit_to(p);
}

template <FloatFormat kFloatFormat, bool kOneSymbol>
void write_lines(TextBuffer& text, const LineLayout& layout, const Inputs& in, std::size_t first,
                 std::size_t end, bool& ascii) {
    if (layout.line_bound <= kLineRoomCheckLimit) [[likely]] {
        for (std::size_t atom = first; atom < end; ++atom) {
            text.ensure_room(layout.line_bound);
            write_line<false, kFloatFormat, kOneSymbol>(text, layout, in, atom, ascii);
        }
    } else {
        for (std::size_t atom = first; atom < end; ++atom) {
            write_line<true, kFloatFormat, kOneSymbol>(text, layout, in, atom, ascii);
        }
    }
}

Inputs make_inputs(const BlockLayout& layout, const MatrixView<double>& float_mat,
                   const MatrixView<std::int64_t>& int_mat,
                   const MatrixView<std::uint8_t>& bool_mat) {
    return Inputs{layout.strings.empty() ? StringColumn{} : layout.strings[0], layout.strings,
                  layout.natoms, float_mat, int_mat, bool_mat,
                  // Without a string column every `s` code fails as a
                  // missing one, which only the in-turn path reports.
                  layout.strings_in_turn || layout.strings.empty(), layout.separate_strings};
}

// The lines of atoms [first, end) by the float format and the symbol path.
void write_range(TextBuffer& text, const LineLayout& lines, const Inputs& inputs,
                 FloatFormat float_format, std::size_t first, std::size_t end, bool& ascii) {
    const bool one_symbol = !inputs.strings_in_turn && !inputs.separate_strings &&
                            inputs.symbol.codepoints.rows >= inputs.natoms;
    if (float_format == FloatFormat::shortest) {
        write_lines<FloatFormat::shortest, false>(text, lines, inputs, first, end, ascii);
    } else if (one_symbol) {
        write_lines<FloatFormat::fixed_16_8, true>(text, lines, inputs, first, end, ascii);
    } else {
        write_lines<FloatFormat::fixed_16_8, false>(text, lines, inputs, first, end, ascii);
    }
}

std::size_t float_bound_of(FloatFormat float_format) noexcept {
    return float_format == FloatFormat::shortest ? kShortestFloatFieldBound : kFloatFieldBound;
}

// Writes the block into a buffer of `estimate` bytes plus the per-line
// slack. Precondition: natoms > 0 and estimate <= SIZE_MAX - kLineRoomCheckLimit.
AtomBlock write_block(const BlockLayout& layout, const MatrixView<double>& float_mat,
                      const MatrixView<std::int64_t>& int_mat,
                      const MatrixView<std::uint8_t>& bool_mat,
                      std::span<const std::uint8_t> col_types, TextStorage& storage,
                      std::size_t estimate) {
    AtomBlock block{TextBuffer(storage), true};
    block.text.reserve(estimate + kLineRoomCheckLimit);

    const Inputs inputs = make_inputs(layout, float_mat, int_mat, bool_mat);
    const LineLayout lines =
        compile_layout(ColumnPlan(col_types), inputs, float_bound_of(layout.float_format));
    bool ascii = true;
    write_range(block.text, lines, inputs, layout.float_format, 0, layout.natoms, ascii);
    block.ascii = ascii;
    return block;
}

}  // namespace

AtomBlock write_atom_block(const MatrixView<std::uint32_t>& sym_codepoints, std::uint64_t sym_width,
                           const MatrixView<double>& float_mat,
                           const MatrixView<std::int64_t>& int_mat,
                           const MatrixView<std::uint8_t>& bool_mat,
                           std::span<const std::uint8_t> col_types, TextStorage& storage) {
    const std::size_t natoms = sym_codepoints.rows;

    // Unsigned 64-bit arithmetic wraps on overflow by definition.
    const std::uint64_t per_line = sym_width + kFloatEstimate * float_mat.cols +
                                   kIntEstimate * int_mat.cols + kBoolEstimate * bool_mat.cols +
                                   kLineEstimateExtra;
    const std::uint64_t estimate = static_cast<std::uint64_t>(natoms) * per_line;
    if (static_cast<std::int64_t>(estimate) < 0) fail("capacity overflow");
    if (natoms == 0) return AtomBlock{TextBuffer(storage), true};
    if (estimate > kMaxSize - kLineRoomCheckLimit) throw std::bad_alloc();

    const StringColumn symbol{sym_codepoints, sym_width};
    const BlockLayout layout{natoms, std::span(&symbol, 1), false, false, FloatFormat::fixed_16_8};
    return write_block(layout, float_mat, int_mat, bool_mat, col_types, storage,
                       static_cast<std::size_t>(estimate));
}

std::size_t initial_capacity(const BlockLayout& layout, std::size_t float_cols,
                             std::size_t int_cols, std::size_t bool_cols) {
    if (layout.natoms == 0) return 0;
    // The same estimate as above with every string column's width (and its
    // separator), saturating: an estimate that does not fit cannot be had.
    std::size_t per_line = kLineEstimateExtra;
    const std::size_t string_separator = layout.separate_strings ? kStringSeparatorBound : 0;
    for (const StringColumn& column : layout.strings) {
        const std::size_t width =
            column.width > kMaxSize ? kMaxSize : static_cast<std::size_t>(column.width);
        per_line = saturating_add(per_line, saturating_add(width, string_separator));
    }
    const std::size_t float_estimate =
        layout.float_format == FloatFormat::shortest ? kShortestFloatEstimate : kFloatEstimate;
    per_line = saturating_add(per_line, saturating_mul(float_estimate, float_cols));
    per_line = saturating_add(per_line, saturating_mul(kIntEstimate, int_cols));
    per_line = saturating_add(per_line, saturating_mul(kBoolEstimate, bool_cols));
    const std::size_t estimate = saturating_mul(layout.natoms, per_line);
    if (estimate > kMaxSize - kLineRoomCheckLimit) throw std::bad_alloc();
    return estimate + kLineRoomCheckLimit;
}

AtomBlock write_atom_block(const BlockLayout& layout, const MatrixView<double>& float_mat,
                           const MatrixView<std::int64_t>& int_mat,
                           const MatrixView<std::uint8_t>& bool_mat,
                           std::span<const std::uint8_t> col_types, TextStorage& storage) {
    if (layout.natoms == 0) return AtomBlock{TextBuffer(storage), true};
    const std::size_t capacity =
        initial_capacity(layout, float_mat.cols, int_mat.cols, bool_mat.cols);
    return write_block(layout, float_mat, int_mat, bool_mat, col_types, storage,
                       capacity - kLineRoomCheckLimit);
}

struct BlockFormatter::State {
    Inputs inputs;
    LineLayout lines;
    FloatFormat float_format;
};

BlockFormatter::BlockFormatter(const BlockLayout& layout, const MatrixView<double>& float_mat,
                               const MatrixView<std::int64_t>& int_mat,
                               const MatrixView<std::uint8_t>& bool_mat,
                               std::span<const std::uint8_t> col_types) {
    Inputs inputs = make_inputs(layout, float_mat, int_mat, bool_mat);
    LineLayout lines =
        compile_layout(ColumnPlan(col_types), inputs, float_bound_of(layout.float_format));
    state_ = std::make_unique<State>(State{inputs, std::move(lines), layout.float_format});
}

BlockFormatter::~BlockFormatter() = default;
BlockFormatter::BlockFormatter(BlockFormatter&&) noexcept = default;
BlockFormatter& BlockFormatter::operator=(BlockFormatter&&) noexcept = default;

bool BlockFormatter::append(TextBuffer& text, std::size_t first, std::size_t end) const {
    bool ascii = true;
    write_range(text, state_->lines, state_->inputs, state_->float_format, first, end, ascii);
    return ascii;
}

}  // namespace atomblock::writer
