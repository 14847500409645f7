// Entry of write_frames: the count lines, comment lines and atom blocks of a
// range of a table's frames, formatted straight from its columns into one
// bytes object, without the interpreter lock.
//
// The comment line of a frame is written as the package's Python writer
// writes it: the count line, Lattice (nine shortest floats, when the frame
// has a cell), the layout's Properties text, the info pairs in the frame's
// key order, then pbc (when there is a cell or a periodic direction; before
// the pairs when one of them is the empty string ""). Info values come as
// typed columns: numbers and bools (a scalar, or items quoted and blank-
// separated, or one item in brackets, or an empty float list as "[]"), or as
// texts made by the package (strings, and every rarer value).
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "boundary/arg_binding.hpp"
#include "boundary/conversions.hpp"
#include "boundary/failure_guard.hpp"
#include "boundary/numpy_exchange.hpp"
#include "common/c_buffer.hpp"
#include "native/bytes_storage.hpp"
#include "native/native_entries.hpp"
#include "native/native_support.hpp"
#include "writer/atom_writer.hpp"
#include "writer/decimal_digits.hpp"
#include "writer/int_field.hpp"
#include "writer/shortest_float_field.hpp"

namespace atomblock::native {
namespace {

using py::PyRef;

constexpr std::array<std::string_view, 12> kParameters = {
    "offsets", "layout_ids", "layouts", "order_ids", "orders", "columns",
    "cells",   "has_cell",   "pbc",     "first",     "end",    "float_format"};
constexpr py::Signature kSignature = {"write_frames", kParameters, 11};

constexpr std::uint32_t kLastBlank = 32;  // code points 1..32 would split an atom-line token
constexpr std::size_t kCellItems = 9;
constexpr std::size_t kPbcItems = 3;
// Room of one number written in a comment line: a shortest float with the
// bytes it may store past its text, or an int64 with its sign.
constexpr std::size_t kFloatRoom = writer::kShortestFloatRoom;
constexpr std::size_t kIntRoom = writer::kMaxIntFieldLength;
// The count line ("<natoms>\n"), Lattice="..." with its blank, pbc="T T T"
// with its blank, the line end: the fixed parts of a comment line.
constexpr std::size_t kCountRoom = writer::kMaxU64Digits + 1;
constexpr std::size_t kLatticeRoom = 10 + kCellItems * (kFloatRoom + 1) + 2;
constexpr std::size_t kPbcRoom = 1 + 11;
constexpr std::size_t kLineEndRoom = 1;

[[noreturn]] void raise_value_error(const std::string& message) {
    py::raise(PyExc_ValueError, message);
}

std::string_view bytes_view(PyObject* obj, const char* what) {
    if (!PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be bytes, got %.200s", what, Py_TYPE(obj)->tp_name);
        throw py::PythonError();
    }
    return {PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
}

PyRef fast_sequence(PyObject* obj, const char* what) {
    return py::checked(PySequence_Fast(obj, what));
}

std::span<PyObject*> items_of(const PyRef& sequence) {
    return {PySequence_Fast_ITEMS(sequence.get()),
            static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get()))};
}

Py_ssize_t index_of(PyObject* obj, const char* what) {
    return convert_index(obj, what, 0, std::numeric_limits<Py_ssize_t>::max(), 0);
}

// One per-atom property kind's parts: 1-D or 2-D arrays that take the kind's
// columns in turn.
template <class T>
std::vector<py::HeldView<T>> convert_parts(PyObject* obj, py::HeldView<T> (*extract)(PyObject*)) {
    PyRef items = fast_sequence(obj, "expected a sequence of arrays");
    std::vector<py::HeldView<T>> parts;
    for (PyObject* item : items_of(items)) parts.push_back(extract(item));
    return parts;
}

// The columns of one Properties layout over the whole table.
struct Layout {
    std::vector<std::uint8_t> col_types;
    std::string_view head;  // "Properties=..."
    std::vector<py::HeldView<std::uint32_t>> strs;
    std::vector<std::uint64_t> widths;
    std::vector<py::HeldView<double>> floats;
    std::vector<py::HeldView<std::int64_t>> ints;
    std::vector<py::HeldView<std::uint8_t>> bools;
};

Layout convert_layout(PyObject* obj) {
    PyRef items = fast_sequence(obj, "a layout must be a sequence");
    const std::span<PyObject*> fields = items_of(items);
    constexpr std::size_t kFields = 7;
    if (fields.size() != kFields) raise_value_error("a layout has 7 fields");
    Layout layout;
    layout.col_types = py::convert_col_types(fields[0]);
    layout.head = bytes_view(fields[1], "a layout's head");
    layout.strs = convert_parts(fields[2], py::extract_uint32_matrix);
    PyRef widths = fast_sequence(fields[3], "str_widths must be a sequence of int");
    for (PyObject* width : items_of(widths)) layout.widths.push_back(py::convert_sym_width(width));
    layout.floats = convert_parts(fields[4], py::extract_float64_columns);
    layout.ints = convert_parts(fields[5], py::extract_int64_columns);
    layout.bools = convert_parts(fields[6], py::extract_bool_columns);
    if (layout.widths.size() != layout.strs.size())
        raise_value_error("a layout has one width per string column");
    return layout;
}

// How a frame's row of a numeric info column is written.
enum class Wrap : std::uint8_t {
    scalar,    // the one item
    quoted,    // "a b c"
    brackets,  // [a]
    empty,     // []
};

enum class ColumnKind : std::uint8_t { real, integer, logical, text };

// One info key's values, a row per frame.
struct InfoColumn {
    ColumnKind kind = ColumnKind::text;
    Wrap wrap = Wrap::scalar;
    std::optional<py::HeldView<double>> reals;
    std::optional<py::HeldView<std::int64_t>> integers;
    std::optional<py::HeldView<std::uint8_t>> logicals;
    // Texts: frame k writes texts[index[k]].
    std::vector<std::string_view> texts;
    std::optional<py::HeldView<std::int64_t>> index;
    std::size_t items = 0;  // items per row of a numeric column
    std::size_t rows = 0;
    std::size_t room = 0;  // most bytes a value may take
};

InfoColumn convert_column(PyObject* obj) {
    PyRef items = fast_sequence(obj, "an info column must be a sequence");
    const std::span<PyObject*> fields = items_of(items);
    if (fields.size() != 3) raise_value_error("an info column has 3 fields");
    const std::string_view kind = bytes_view(fields[0], "an info column's kind");
    InfoColumn column;
    if (kind == "t") {
        PyRef texts = fast_sequence(fields[1], "texts must be a sequence of bytes");
        for (PyObject* text : items_of(texts)) {
            column.texts.push_back(bytes_view(text, "a text"));
            column.room = std::max(column.room, column.texts.back().size());
        }
        column.index = py::extract_int64_columns(fields[2]);
        column.rows = column.index->view.rows;
        return column;
    }
    const Py_ssize_t wrap = convert_index(fields[2], "wrap", 0, 3, 0);
    column.wrap = static_cast<Wrap>(wrap);
    std::size_t item_room = 0;
    if (kind == "f") {
        column.kind = ColumnKind::real;
        column.reals = py::extract_float64_columns(fields[1]);
        column.items = column.reals->view.cols;
        column.rows = column.reals->view.rows;
        item_room = kFloatRoom;
    } else if (kind == "i") {
        column.kind = ColumnKind::integer;
        column.integers = py::extract_int64_columns(fields[1]);
        column.items = column.integers->view.cols;
        column.rows = column.integers->view.rows;
        item_room = kIntRoom;
    } else if (kind == "b") {
        column.kind = ColumnKind::logical;
        column.logicals = py::extract_bool_columns(fields[1]);
        column.items = column.logicals->view.cols;
        column.rows = column.logicals->view.rows;
        item_room = 1;
    } else {
        raise_value_error("an info column's kind is b\"f\", b\"i\", b\"b\" or b\"t\"");
    }
    if ((column.wrap == Wrap::scalar || column.wrap == Wrap::brackets) && column.items != 1)
        raise_value_error("a scalar info column has one item per row");
    column.room = column.items * (item_room + 1) + 4;
    return column;
}

struct Pair {
    std::string_view key;  // "key=" as written
    std::size_t column;
};

struct Order {
    std::vector<Pair> pairs;
    std::size_t room = 0;
    bool has_texts = false;  // a text column, which may hold ""
};

char* put(char* p, std::string_view text) noexcept {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

char* put_int(char* p, std::int64_t value) noexcept {
    std::uint64_t magnitude = static_cast<std::uint64_t>(value);
    if (value < 0) {
        *p++ = '-';
        magnitude = std::uint64_t{0} - magnitude;
    }
    const unsigned digits = writer::count_digits(magnitude);
    writer::write_digits_backward(magnitude, p + digits);
    return p + digits;
}

char* put_item(char* p, const InfoColumn& column, std::size_t row, std::size_t item) noexcept {
    switch (column.kind) {
        case ColumnKind::real:
            return writer::write_shortest_float(p, column.reals->view.at(row, item));
        case ColumnKind::integer: return put_int(p, column.integers->view.at(row, item));
        case ColumnKind::logical:
            *p = column.logicals->view.at(row, item) != 0 ? 'T' : 'F';
            return p + 1;
        case ColumnKind::text: break;
    }
    return p;
}

char* put_value(char* p, const InfoColumn& column, std::size_t row) noexcept {
    if (column.kind == ColumnKind::text)
        return put(p, column.texts[static_cast<std::size_t>(column.index->view.at(row, 0))]);
    switch (column.wrap) {
        case Wrap::scalar: return put_item(p, column, row, 0);
        case Wrap::brackets:
            *p++ = '[';
            p = put_item(p, column, row, 0);
            *p++ = ']';
            return p;
        case Wrap::empty: return put(p, "[]");
        case Wrap::quoted:
            *p++ = '"';
            for (std::size_t item = 0; item < column.items; ++item) {
                if (item != 0) *p++ = ' ';
                p = put_item(p, column, row, item);
            }
            *p++ = '"';
            return p;
    }
    return p;
}

bool is_empty_text(const InfoColumn& column, std::size_t row) noexcept {
    return column.kind == ColumnKind::text &&
           column.texts[static_cast<std::size_t>(column.index->view.at(row, 0))] == "\"\"";
}

// Everything a call reads, converted with the interpreter lock.
struct Table {
    py::HeldView<std::int64_t> offsets;
    py::HeldView<std::int64_t> layout_ids;
    std::vector<std::optional<Layout>> layouts;
    py::HeldView<std::int64_t> order_ids;
    std::vector<Order> orders;
    std::vector<InfoColumn> columns;
    py::HeldView<double> cells;
    py::HeldView<std::uint8_t> has_cell;
    py::HeldView<std::uint8_t> pbc;
};

std::size_t row_offset(const Table& table, std::size_t frame) {
    return static_cast<std::size_t>(table.offsets.view.at(frame, 0));
}

// The frames of one layout in the range, their rows gathered into matrices
// of its own (row-major; string columns as code points), and its formatter.
struct LayoutRange {
    std::vector<std::size_t> frames;
    std::size_t rows = 0;
    CBuffer<double> floats;
    CBuffer<std::int64_t> ints;
    CBuffer<std::uint8_t> bools;
    std::vector<CBuffer<std::uint32_t>> strs;
    std::vector<writer::StringColumn> strings;
    std::optional<writer::BlockFormatter> formatter;
};

template <class T>
std::size_t total_cols(std::span<const py::HeldView<T>> parts) {
    std::size_t cols = 0;
    for (const auto& part : parts) cols += part.view.cols;
    return cols;
}

template <class T>
writer::MatrixView<T> row_major(const CBuffer<T>& buffer, std::size_t rows, std::size_t cols) {
    writer::MatrixView<T> view;
    view.origin = reinterpret_cast<const unsigned char*>(buffer.data());
    view.rows = rows;
    view.cols = cols;
    view.row_stride = static_cast<std::ptrdiff_t>(cols * sizeof(T));
    view.col_stride = static_cast<std::ptrdiff_t>(sizeof(T));
    return view;
}

// The parts' rows of the given frames, one after the other, as one matrix.
template <class T>
CBuffer<T> gather(const Table& table, std::span<const py::HeldView<T>> parts,
                  const std::vector<std::size_t>& frames, std::size_t rows) {
    const std::size_t cols = total_cols(parts);
    CBuffer<T> out = CBuffer<T>::zeroed(rows * cols);
    std::size_t first_col = 0;
    for (const py::HeldView<T>& part : parts) {
        const writer::MatrixView<T>& v = part.view;
        std::size_t r_out = 0;
        for (const std::size_t frame : frames) {
            const std::size_t end = row_offset(table, frame + 1);
            for (std::size_t r = row_offset(table, frame); r < end; ++r, ++r_out) {
                T* dest = out.data() + r_out * cols + first_col;
                for (std::size_t c = 0; c < v.cols; ++c) dest[c] = v.at(r, c);
            }
        }
        first_col += v.cols;
    }
    return out;
}

void prepare(const Table& table, const Layout& layout, LayoutRange& range,
             writer::FloatFormat float_format) {
    const std::size_t rows = range.rows;
    range.floats = gather<double>(table, layout.floats, range.frames, rows);
    range.ints = gather<std::int64_t>(table, layout.ints, range.frames, rows);
    range.bools = gather<std::uint8_t>(table, layout.bools, range.frames, rows);
    for (std::size_t k = 0; k < layout.strs.size(); ++k) {
        range.strs.push_back(gather(table, std::span(&layout.strs[k], 1), range.frames, rows));
        const std::size_t width = layout.strs[k].view.cols;
        range.strings.push_back(
            writer::StringColumn{row_major(range.strs.back(), rows, width), layout.widths[k]});
    }
    writer::BlockLayout block{};
    block.natoms = rows;
    block.strings = range.strings;
    block.strings_in_turn = true;
    block.separate_strings = true;
    block.float_format = float_format;
    range.formatter.emplace(block, row_major(range.floats, rows, total_cols<double>(layout.floats)),
                            row_major(range.ints, rows, total_cols<std::int64_t>(layout.ints)),
                            row_major(range.bools, rows, total_cols<std::uint8_t>(layout.bools)),
                            layout.col_types);
}

// Whether rows [first, end) of the string columns hold an empty string or a
// code point that would split a token.
bool strings_faulty(std::span<const writer::StringColumn> strings, std::size_t first,
                    std::size_t end) noexcept {
    for (const writer::StringColumn& column : strings) {
        const writer::MatrixView<std::uint32_t>& points = column.codepoints;
        for (std::size_t r = first; r < end; ++r) {
            if (points.cols == 0 || points.at(r, 0) == 0) return true;
            for (std::size_t c = 0; c < points.cols; ++c) {
                const std::uint32_t point = points.at(r, c);
                if (point != 0 && point <= kLastBlank) return true;
            }
        }
    }
    return false;
}

constexpr std::string_view kPbcTexts[8] = {
    "pbc=\"F F F\"", "pbc=\"T F F\"", "pbc=\"F T F\"", "pbc=\"T T F\"",
    "pbc=\"F F T\"", "pbc=\"T F T\"", "pbc=\"F T T\"", "pbc=\"T T T\"",
};

// Appends frame k's count line and comment line.
void write_header(writer::TextBuffer& text, const Table& table, const Layout& layout,
                  std::size_t frame, std::size_t natoms) {
    const Order& order = table.orders[static_cast<std::size_t>(table.order_ids.view.at(frame, 0))];
    const bool has_cell = table.has_cell.view.at(frame, 0) != 0;
    text.ensure_room(kCountRoom + (has_cell ? kLatticeRoom : 0) + layout.head.size() + kPbcRoom +
                     order.room + kLineEndRoom);
    char* p = text.tail();
    p = put_int(p, static_cast<std::int64_t>(natoms));
    *p++ = '\n';
    if (has_cell) {
        p = put(p, "Lattice=\"");
        for (std::size_t i = 0; i < kCellItems; ++i) {
            if (i != 0) *p++ = ' ';
            p = writer::write_shortest_float(p, table.cells.view.at(frame, i));
        }
        p = put(p, "\" ");
    }
    p = put(p, layout.head);
    unsigned pbc_bits = 0;
    for (std::size_t i = 0; i < kPbcItems; ++i)
        pbc_bits |= (table.pbc.view.at(frame, i) != 0 ? 1u : 0u) << i;
    const bool show_pbc = has_cell || pbc_bits != 0;
    bool empty = false;
    if (order.has_texts) {
        for (const Pair& pair : order.pairs)
            empty = empty || is_empty_text(table.columns[pair.column], frame);
    }
    // Some readers take the text after key="" as part of it: pbc goes first then.
    const bool pbc_first = show_pbc && empty;
    if (pbc_first) {
        *p++ = ' ';
        p = put(p, kPbcTexts[pbc_bits]);
    }
    for (const Pair& pair : order.pairs) {
        *p++ = ' ';
        p = put(p, pair.key);
        p = put_value(p, table.columns[pair.column], frame);
    }
    if (show_pbc && !pbc_first) {
        *p++ = ' ';
        p = put(p, kPbcTexts[pbc_bits]);
    }
    *p++ = '\n';
    text.commit_to(p);
}

Table convert_table(std::span<PyObject* const> bound) {
    Table table{
        py::with_argument_name("offsets", [&] { return py::extract_int64_columns(bound[0]); }),
        py::with_argument_name("layout_ids", [&] { return py::extract_int64_columns(bound[1]); }),
        {},
        py::with_argument_name("order_ids", [&] { return py::extract_int64_columns(bound[3]); }),
        {},
        {},
        py::with_argument_name("cells", [&] { return py::extract_float64_matrix(bound[6]); }),
        py::with_argument_name("has_cell", [&] { return py::extract_bool_columns(bound[7]); }),
        py::with_argument_name("pbc", [&] { return py::extract_bool_columns(bound[8]); })};
    PyRef layouts = fast_sequence(bound[2], "layouts must be a sequence");
    for (PyObject* layout : items_of(layouts)) {
        if (layout == Py_None) {
            table.layouts.emplace_back();
        } else {
            table.layouts.emplace_back(convert_layout(layout));
        }
    }
    PyRef columns = fast_sequence(bound[5], "columns must be a sequence");
    for (PyObject* column : items_of(columns)) table.columns.push_back(convert_column(column));
    PyRef orders = fast_sequence(bound[4], "orders must be a sequence");
    for (PyObject* order_obj : items_of(orders)) {
        Order order;
        PyRef pairs = fast_sequence(order_obj, "an order must be a sequence of pairs");
        for (PyObject* pair_obj : items_of(pairs)) {
            PyRef pair = fast_sequence(pair_obj, "a pair must be (key, column)");
            const std::span<PyObject*> fields = items_of(pair);
            if (fields.size() != 2) raise_value_error("a pair must be (key, column)");
            const auto column = static_cast<std::size_t>(index_of(fields[1], "column"));
            if (column >= table.columns.size()) raise_value_error("a pair names no column");
            order.pairs.push_back(Pair{bytes_view(fields[0], "a key"), column});
            order.room += 1 + order.pairs.back().key.size() + table.columns[column].room;
            order.has_texts = order.has_texts || table.columns[column].kind == ColumnKind::text;
        }
        table.orders.push_back(std::move(order));
    }
    return table;
}

// Checks that the frames [first, end) find every row and entry they read.
void check_range(const Table& table, std::size_t first, std::size_t end) {
    const std::size_t n = table.layout_ids.view.rows;
    if (table.offsets.view.rows != n + 1 || table.order_ids.view.rows != n ||
        table.cells.view.rows < n || table.cells.view.cols < kCellItems ||
        table.has_cell.view.rows < n || table.pbc.view.rows < n || table.pbc.view.cols < kPbcItems)
        raise_value_error("the per-frame arrays do not agree in length");
    if (first > end || end > n) raise_value_error("frames out of range");
    for (std::size_t k = first; k < end; ++k) {
        if (table.offsets.view.at(k, 0) < 0 ||
            table.offsets.view.at(k, 0) > table.offsets.view.at(k + 1, 0))
            raise_value_error("offsets must not decrease");
        const std::int64_t layout = table.layout_ids.view.at(k, 0);
        if (layout < 0 || static_cast<std::size_t>(layout) >= table.layouts.size() ||
            !table.layouts[static_cast<std::size_t>(layout)])
            raise_value_error("a frame names no layout");
        const std::int64_t order = table.order_ids.view.at(k, 0);
        if (order < 0 || static_cast<std::size_t>(order) >= table.orders.size())
            raise_value_error("a frame names no key order");
        for (const Pair& pair : table.orders[static_cast<std::size_t>(order)].pairs) {
            const InfoColumn& column = table.columns[pair.column];
            if (column.rows <= k) raise_value_error("an info column is too short");
            if (column.kind == ColumnKind::text) {
                const std::int64_t index = column.index->view.at(k, 0);
                if (index < 0 || static_cast<std::size_t>(index) >= column.texts.size())
                    raise_value_error("a text index is out of range");
            }
        }
    }
    const std::size_t rows = first < end ? row_offset(table, end) : 0;
    for (const auto& layout : table.layouts) {
        if (!layout) continue;
        bool short_part = false;
        for (const auto& part : layout->strs) short_part = short_part || part.view.rows < rows;
        for (const auto& part : layout->floats) short_part = short_part || part.view.rows < rows;
        for (const auto& part : layout->ints) short_part = short_part || part.view.rows < rows;
        for (const auto& part : layout->bools) short_part = short_part || part.view.rows < rows;
        if (short_part) raise_value_error("a per-atom column is shorter than the frames' rows");
    }
}

PyObject* write_frames(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kParameters.size()> bound{};
    py::bind_arguments(kSignature, args, nargs, kwnames, bound);
    const Table table = convert_table(bound);
    const auto first = static_cast<std::size_t>(index_of(bound[9], "first"));
    const auto end = static_cast<std::size_t>(index_of(bound[10], "end"));
    writer::FloatFormat float_format = writer::FloatFormat::fixed_16_8;
    if (bound[11] != nullptr) {
        const std::string_view name = bytes_view(bound[11], "float_format");
        if (name == "shortest") {
            float_format = writer::FloatFormat::shortest;
        } else if (name != "fixed") {
            raise_value_error("float_format must be b\"fixed\" or b\"shortest\"");
        }
    }
    check_range(table, first, end);

    // The frames of each layout, and the room the text is first given.
    std::vector<LayoutRange> ranges(table.layouts.size());
    std::size_t capacity = 0;
    for (std::size_t k = first; k < end; ++k) {
        LayoutRange& range = ranges[static_cast<std::size_t>(table.layout_ids.view.at(k, 0))];
        range.frames.push_back(k);
        range.rows += row_offset(table, k + 1) - row_offset(table, k);
        const Order& order = table.orders[static_cast<std::size_t>(table.order_ids.view.at(k, 0))];
        capacity +=
            kCountRoom + kLatticeRoom + kPbcRoom + order.room + kLineEndRoom +
            table.layouts[static_cast<std::size_t>(table.layout_ids.view.at(k, 0))]->head.size();
    }
    for (std::size_t id = 0; id < ranges.size(); ++id) {
        const LayoutRange& range = ranges[id];
        if (range.frames.empty()) continue;
        writer::BlockLayout block{};
        block.natoms = range.rows;
        block.float_format = float_format;
        const Layout& layout = *table.layouts[id];
        std::vector<writer::StringColumn> widths;
        for (const std::uint64_t width : layout.widths)
            widths.push_back(writer::StringColumn{{}, width});
        block.strings = widths;
        capacity += writer::initial_capacity(block, total_cols<double>(layout.floats),
                                             total_cols<std::int64_t>(layout.ints),
                                             total_cols<std::uint8_t>(layout.bools));
    }

    BytesStorage storage(capacity);
    writer::TextBuffer text(storage);
    std::int64_t faulty = -1;
    {
        ReleasedLock unlocked;
        text.reserve(capacity);
        for (std::size_t id = 0; id < ranges.size(); ++id) {
            if (!ranges[id].frames.empty())
                prepare(table, *table.layouts[id], ranges[id], float_format);
        }
        std::vector<std::size_t> next_row(ranges.size(), 0);  // per layout, in its gathered rows
        for (std::size_t k = first; k < end; ++k) {
            const auto id = static_cast<std::size_t>(table.layout_ids.view.at(k, 0));
            const LayoutRange& range = ranges[id];
            const std::size_t natoms = row_offset(table, k + 1) - row_offset(table, k);
            const std::size_t row = next_row[id];
            if (strings_faulty(range.strings, row, row + natoms)) {
                faulty = static_cast<std::int64_t>(k);
                break;
            }
            write_header(text, table, *table.layouts[id], k, natoms);
            range.formatter->append(text, row, row + natoms);
            next_row[id] = row + natoms;
        }
    }
    PyRef data = storage.take(text.view());
    PyRef number = py::checked(PyLong_FromLongLong(faulty));
    return py::checked(PyTuple_Pack(2, data.get(), number.get())).release();
}

}  // namespace

extern "C" PyObject* write_frames_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return py::guard_entry([&] { return write_frames(args, nargs, kwnames); });
}

}  // namespace atomblock::native
