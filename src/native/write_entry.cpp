// Entry of write_block: bind, convert in parameter order, check the shapes,
// format with the interpreter lock released, return one bytes object.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/column_codes.hpp"
#include "lib/arg_binding.hpp"
#include "lib/conversions.hpp"
#include "lib/failure_guard.hpp"
#include "lib/numpy_exchange.hpp"
#include "native/native_entries.hpp"
#include "native/native_support.hpp"
#include "writer/atom_writer.hpp"

namespace atomblock::native {
namespace {

using py::PyRef;

constexpr std::array<std::string_view, 7> kParameters = {
    "str_cols", "str_widths", "float_mat", "int_mat", "bool_mat", "col_types", "float_format"};
constexpr py::Signature kSignature = {"write_block", kParameters, 6};

// Below this many atoms the formatting is shorter than the wait for the
// interpreter lock to come back when another thread holds it.
constexpr std::size_t kReleaseLockMinAtoms = 1024;

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
        if (PyUnicode_CompareWithASCIIString(obj, "fixed") == 0) return writer::FloatFormat::fixed_16_8;
        if (PyUnicode_CompareWithASCIIString(obj, "shortest") == 0) return writer::FloatFormat::shortest;
    }
    PyErr_Format(PyExc_ValueError, "float_format must be 'fixed' or 'shortest', got %R", obj);
    throw py::PythonError();
}

struct CodeCounts {
    std::size_t strings = 0, floats = 0, ints = 0, bools = 0;
};

CodeCounts count_codes(const std::vector<std::uint8_t>& col_types) {
    CodeCounts counts;
    for (const std::uint8_t code : col_types) {
        if (code == kStrCode) ++counts.strings;
        if (code == kFloatCode) ++counts.floats;
        if (code == kIntCode) ++counts.ints;
        if (code == kBoolCode) ++counts.bools;
    }
    return counts;
}

// The writer indexes without checks of its own: every row and column the
// codes reach must exist.
template <class T>
void check_matrix(const char* name, const writer::MatrixView<T>& view, std::size_t natoms,
                  std::size_t used_cols) {
    if (view.rows < natoms || view.cols < used_cols) {
        raise_value_error(py::concat({name, " has shape (", std::to_string(view.rows), ", ",
                                      std::to_string(view.cols), "), needs at least (",
                                      std::to_string(natoms), ", ", std::to_string(used_cols), ")"}));
    }
}

PyObject* write_block(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kParameters.size()> bound{};
    py::bind_arguments(kSignature, args, nargs, kwnames, bound);

    const auto str_cols = py::with_argument_name("str_cols", [&] { return convert_string_columns(bound[0]); });
    const auto str_widths = py::with_argument_name("str_widths", [&] { return convert_widths(bound[1]); });
    const auto float_mat = py::with_argument_name("float_mat", [&] { return py::extract_float64_matrix(bound[2]); });
    const auto int_mat = py::with_argument_name("int_mat", [&] { return py::extract_int64_matrix(bound[3]); });
    const auto bool_mat = py::with_argument_name("bool_mat", [&] { return py::extract_uint8_matrix(bound[4]); });
    const std::vector<std::uint8_t> col_types =
        py::with_argument_name("col_types", [&] { return py::convert_col_types(bound[5]); });
    const writer::FloatFormat float_format = convert_float_format(bound[6]);

    const CodeCounts counts = count_codes(col_types);
    if (str_cols.size() != str_widths.size() || str_cols.size() != counts.strings) {
        raise_value_error(py::concat({"col_types has ", std::to_string(counts.strings),
                                      " 's' codes but there are ", std::to_string(str_cols.size()),
                                      " string columns and ", std::to_string(str_widths.size()),
                                      " widths"}));
    }
    const std::size_t natoms = str_cols.empty() ? float_mat.view.rows : str_cols[0].view.rows;
    std::vector<writer::StringColumn> strings;
    strings.reserve(str_cols.size());
    for (std::size_t k = 0; k < str_cols.size(); ++k) {
        check_matrix("a string column", str_cols[k].view, natoms, 0);
        strings.push_back(writer::StringColumn{str_cols[k].view, str_widths[k]});
    }
    check_matrix("float_mat", float_mat.view, natoms, counts.floats);
    check_matrix("int_mat", int_mat.view, natoms, counts.ints);
    check_matrix("bool_mat", bool_mat.view, natoms, counts.bools);

    writer::BlockLayout layout{};
    layout.natoms = natoms;
    layout.strings = strings;
    layout.strings_in_turn = true;
    layout.separate_strings = true;
    layout.float_format = float_format;

    std::optional<writer::AtomBlock> block;
    {
        std::optional<ReleasedLock> unlocked;
        if (natoms >= kReleaseLockMinAtoms) unlocked.emplace();
        block.emplace(writer::write_atom_block(layout, float_mat.view, int_mat.view, bool_mat.view,
                                               col_types));
    }
    const std::string_view text = block->text.view();
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

extern "C" PyObject* write_block_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return py::guard_entry([&] { return write_block(args, nargs, kwnames); });
}

}  // namespace atomblock::native
