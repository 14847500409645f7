// Entry of write_block: bind, convert in parameter order, check the shapes,
// format with the interpreter lock released, return one bytes object.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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
#include "common/column_plan.hpp"
#include "native/bytes_storage.hpp"
#include "native/native_entries.hpp"
#include "native/native_support.hpp"
#include "writer/atom_writer.hpp"

namespace atomblock::native {
namespace {

using py::PyRef;

constexpr std::array<std::string_view, 9> kParameters = {
    "str_cols",  "str_widths",   "float_mat", "int_mat",      "bool_mat",
    "col_types", "float_format", "natoms",    "check_strings"};
constexpr py::Signature kSignature = {"write_block", kParameters, 6};

// Below this many atoms the formatting is shorter than the wait for the
// interpreter lock to come back when another thread holds it.
constexpr std::size_t kReleaseLockMinAtoms = 1024;

// Code points 1 to 32 (the controls and the space) would end an atom-line
// token; 0 is padding after the text.
constexpr std::uint32_t kLastBlank = 32;

[[noreturn]] void raise_value_error(const std::string& message) {
    py::raise(PyExc_ValueError, message);
}

std::vector<py::HeldView<std::uint32_t>> convert_string_columns(PyObject* seq) {
    PyRef items = py::checked(PySequence_Fast(seq, "str_cols must be a sequence of arrays"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::vector<py::HeldView<std::uint32_t>> columns;
    columns.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        columns.push_back(py::extract_uint32_matrix(PySequence_Fast_GET_ITEM(items.get(), i)));
    return columns;
}

std::vector<std::uint64_t> convert_widths(PyObject* seq) {
    PyRef items = py::checked(PySequence_Fast(seq, "str_widths must be a sequence of int"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::vector<std::uint64_t> widths;
    widths.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        widths.push_back(py::convert_sym_width(PySequence_Fast_GET_ITEM(items.get(), i)));
    return widths;
}

writer::FloatFormat convert_float_format(PyObject* obj) {
    if (obj == nullptr) return writer::FloatFormat::fixed_16_8;
    if (PyUnicode_Check(obj)) {
        if (PyUnicode_CompareWithASCIIString(obj, "fixed") == 0)
            return writer::FloatFormat::fixed_16_8;
        if (PyUnicode_CompareWithASCIIString(obj, "shortest") == 0)
            return writer::FloatFormat::shortest;
    }
    PyErr_Format(PyExc_ValueError, "float_format must be 'fixed' or 'shortest', got %R", obj);
    throw py::PythonError();
}

// The values of one type: a matrix, or a list or tuple of parts (1-D arrays
// as one column each) that take the type's columns in turn. Several parts
// are gathered into one row-major matrix of their own, which `view` shows.
template <class T>
struct TypeColumns {
    std::vector<py::HeldView<T>> parts;
    std::optional<py::HeldView<T>> whole;
    CBuffer<T> gathered;
    writer::MatrixView<T> view{};

    // Fills `view`; the gather runs without the interpreter lock when the
    // caller has released it. Every part has at least `natoms` rows.
    void prepare(std::size_t natoms) {
        if (whole) {
            view = whole->view;
            return;
        }
        if (parts.size() == 1) {
            view = parts[0].view;
            return;
        }
        std::size_t cols = 0;
        for (const auto& part : parts) cols += part.view.cols;
        gathered = CBuffer<T>::zeroed(natoms * cols);
        std::size_t first = 0;
        for (const auto& part : parts) {
            const writer::MatrixView<T>& v = part.view;
            for (std::size_t r = 0; r < natoms; ++r) {
                T* out = gathered.data() + r * cols + first;
                for (std::size_t c = 0; c < v.cols; ++c) out[c] = v.at(r, c);
            }
            first += v.cols;
        }
        view.origin = reinterpret_cast<const unsigned char*>(gathered.data());
        view.rows = natoms;
        view.cols = cols;
        view.row_stride = static_cast<std::ptrdiff_t>(cols * sizeof(T));
        view.col_stride = static_cast<std::ptrdiff_t>(sizeof(T));
    }
};

template <class T>
TypeColumns<T> convert_type_columns(PyObject* obj, py::HeldView<T> (*extract_whole)(PyObject*),
                                    py::HeldView<T> (*extract_part)(PyObject*)) {
    TypeColumns<T> columns;
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
        columns.whole = extract_whole(obj);
        return columns;
    }
    PyRef items = py::checked(PySequence_Fast(obj, "expected a sequence of arrays"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    columns.parts.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        columns.parts.push_back(extract_part(PySequence_Fast_GET_ITEM(items.get(), i)));
    return columns;
}

// The rows a type's values offer, and their columns in all.
template <class T>
std::pair<std::size_t, std::size_t> offered_shape(const TypeColumns<T>& columns,
                                                  std::size_t natoms) {
    if (columns.whole) return {columns.whole->view.rows, columns.whole->view.cols};
    std::size_t rows = natoms, cols = 0;
    for (const auto& part : columns.parts) {
        rows = std::min(rows, part.view.rows);
        cols += part.view.cols;
    }
    return {rows, cols};
}

struct StringFault {
    std::size_t column;
    std::size_t row;
    bool empty;  // else a blank or control character
};

// The first faulty string column: an empty string (its first row), else a
// code point that would split the token (its first row).
std::optional<StringFault> find_string_fault(std::span<const writer::StringColumn> strings,
                                             std::size_t natoms) {
    for (std::size_t k = 0; k < strings.size(); ++k) {
        const writer::MatrixView<std::uint32_t>& points = strings[k].codepoints;
        if (points.cols == 0) {
            if (natoms != 0) return StringFault{k, 0, true};
            continue;
        }
        for (std::size_t r = 0; r < natoms; ++r)
            if (points.at(r, 0) == 0) return StringFault{k, r, true};
        for (std::size_t r = 0; r < natoms; ++r) {
            for (std::size_t c = 0; c < points.cols; ++c) {
                const std::uint32_t point = points.at(r, c);
                if (point != 0 && point <= kLastBlank) return StringFault{k, r, false};
            }
        }
    }
    return std::nullopt;
}

// The writer indexes without checks of its own: every row and column the
// codes reach must exist.
void check_shape(const char* name, std::pair<std::size_t, std::size_t> shape, std::size_t natoms,
                 std::size_t used_cols) {
    if (shape.first < natoms || shape.second < used_cols) {
        raise_value_error(py::concat(
            {name, " has shape (", std::to_string(shape.first), ", ", std::to_string(shape.second),
             "), needs at least (", std::to_string(natoms), ", ", std::to_string(used_cols), ")"}));
    }
}

template <class T>
void check_matrix(const char* name, const writer::MatrixView<T>& view, std::size_t natoms,
                  std::size_t used_cols) {
    check_shape(name, {view.rows, view.cols}, natoms, used_cols);
}

PyObject* write_block(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kParameters.size()> bound{};
    py::bind_arguments(kSignature, args, nargs, kwnames, bound);

    const auto str_cols =
        py::with_argument_name("str_cols", [&] { return convert_string_columns(bound[0]); });
    const auto str_widths =
        py::with_argument_name("str_widths", [&] { return convert_widths(bound[1]); });
    auto floats = py::with_argument_name("float_mat", [&] {
        return convert_type_columns(bound[2], py::extract_float64_matrix,
                                    py::extract_float64_columns);
    });
    auto ints = py::with_argument_name("int_mat", [&] {
        return convert_type_columns(bound[3], py::extract_int64_matrix, py::extract_int64_columns);
    });
    auto bools = py::with_argument_name("bool_mat", [&] {
        return convert_type_columns(bound[4], py::extract_uint8_matrix, py::extract_bool_columns);
    });
    const std::vector<std::uint8_t> col_types =
        py::with_argument_name("col_types", [&] { return py::convert_col_types(bound[5]); });
    const writer::FloatFormat float_format = convert_float_format(bound[6]);
    const bool check_strings = convert_flag(bound[8], false);

    const ColumnPlan plan(col_types);
    const std::size_t string_codes = plan.count(ColumnKind::string);
    if (str_cols.size() != str_widths.size() || str_cols.size() != string_codes) {
        raise_value_error(
            py::concat({"col_types has ", std::to_string(string_codes), " 's' codes but there are ",
                        std::to_string(str_cols.size()), " string columns and ",
                        std::to_string(str_widths.size()), " widths"}));
    }
    std::size_t natoms = 0;
    if (bound[7] != nullptr) {
        natoms = static_cast<std::size_t>(
            convert_index(bound[7], "natoms", 0, std::numeric_limits<Py_ssize_t>::max(), 0));
    } else if (!str_cols.empty()) {
        natoms = str_cols[0].view.rows;
    } else if (floats.whole) {
        natoms = floats.whole->view.rows;
    } else if (!floats.parts.empty()) {
        natoms = floats.parts[0].view.rows;
    }
    std::vector<writer::StringColumn> strings;
    strings.reserve(str_cols.size());
    for (std::size_t k = 0; k < str_cols.size(); ++k) {
        check_matrix("a string column", str_cols[k].view, natoms, 0);
        strings.push_back(writer::StringColumn{str_cols[k].view, str_widths[k]});
    }
    check_shape("float_mat", offered_shape(floats, natoms), natoms, plan.count(ColumnKind::real));
    check_shape("int_mat", offered_shape(ints, natoms), natoms, plan.count(ColumnKind::integer));
    check_shape("bool_mat", offered_shape(bools, natoms), natoms, plan.count(ColumnKind::logical));

    writer::BlockLayout layout{};
    layout.natoms = natoms;
    layout.strings = strings;
    layout.strings_in_turn = true;
    layout.separate_strings = true;
    layout.float_format = float_format;

    // Made with the lock; declared before the block, which releases into it.
    BytesStorage storage(writer::initial_capacity(layout, offered_shape(floats, natoms).second,
                                                  offered_shape(ints, natoms).second,
                                                  offered_shape(bools, natoms).second));
    std::optional<writer::AtomBlock> block;
    std::optional<StringFault> fault;
    {
        std::optional<ReleasedLock> unlocked;
        if (natoms >= kReleaseLockMinAtoms) unlocked.emplace();
        if (check_strings) fault = find_string_fault(strings, natoms);
        if (!fault) {
            floats.prepare(natoms);
            ints.prepare(natoms);
            bools.prepare(natoms);
            block.emplace(writer::write_atom_block(layout, floats.view, ints.view, bools.view,
                                                   col_types, storage));
        }
    }
    if (fault) {
        BlockErrorFields fields;
        fields.kind = fault->empty ? "empty_string" : "blank_or_control";
        fields.row = fault->row;
        fields.column = fault->column;
        fields.detail =
            py::concat({"str_cols[", std::to_string(fault->column),
                        "]: ", fault->empty ? "empty string" : "blank or control character"});
        raise_block_error(fields.detail, fields);
    }
    return storage.take(block->text.view()).release();
}

}  // namespace

extern "C" PyObject* write_block_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return py::guard_entry([&] { return write_block(args, nargs, kwnames); });
}

}  // namespace atomblock::native
