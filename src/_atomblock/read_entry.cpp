// Entry of read_atom_lines_rs: bind, convert, read, assemble the result dict.
#include <array>
#include <string>
#include <string_view>
#include <variant>

#include "_atomblock/entries.hpp"
#include "boundary/arg_binding.hpp"
#include "boundary/conversions.hpp"
#include "boundary/failure_guard.hpp"
#include "boundary/numpy_exchange.hpp"
#include "boundary/result_keys.hpp"
#include "boundary/string_columns.hpp"
#include "reader/atom_reader.hpp"

namespace atomblock::py {
namespace {

constexpr std::array<std::string_view, 2> kParameters = {"lines", "col_types"};
constexpr Signature kSignature = {"read_atom_lines_rs", kParameters};

PyObject* read_atom_lines(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kParameters.size()> bound{};
    bind_arguments(kSignature, args, nargs, kwnames, bound);

    ConvertedLines lines = with_argument_name("lines", [&] { return convert_lines(bound[0]); });
    std::vector<std::uint8_t> col_types =
        with_argument_name("col_types", [&] { return convert_col_types(bound[1]); });

    auto outcome = reader::read_atom_lines(lines.utf8, col_types);
    if (auto* error = std::get_if<reader::ReadError>(&outcome)) {
        const std::string text = reader::error_message(*error);
        PyRef message = PyRef::steal(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!message) throw_python_error();
        PyErr_SetObject(PyExc_ValueError, message.get());
        throw PythonError();
    }
    auto& columns = std::get<reader::AtomColumns>(outcome);

    PyRef result = PyRef::steal(PyDict_New());
    if (!result) fail_result_creation();
    insert(result.get(), kFloatsKey, make_float64_array(std::move(columns.floats)));
    insert(result.get(), kIntsKey, make_int64_array(std::move(columns.ints)));
    insert(result.get(), kBoolsKey, make_uint8_array(std::move(columns.bools)));
    insert(result.get(), kStrsKey, make_string_columns(columns.strs));
    return result.release();
}

}  // namespace

extern "C" PyObject* read_atom_lines_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return guard_entry([&] { return read_atom_lines(args, nargs, kwnames); });
}

}  // namespace atomblock::py
