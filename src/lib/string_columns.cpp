// Building the string columns of a read as Python lists of str.
#include "lib/string_columns.hpp"

#include <cstring>

#include "lib/python_error.hpp"

namespace atomblock::py {
namespace {

PyObject* new_str(std::string_view token) {
    return PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), "strict");
}

}  // namespace

PyRef make_string_columns(const std::vector<std::vector<std::string_view>>& columns) {
    PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
    if (!outer) fail_result_creation();
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const auto& column = columns[c];
        PyObject* inner = PyList_New(static_cast<Py_ssize_t>(column.size()));
        if (inner == nullptr) fail_result_creation();
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(c), inner);  // steals
        for (std::size_t r = 0; r < column.size(); ++r) {
            PyObject* value = new_str(column[r]);
            if (value == nullptr) fail_result_creation();
            PyList_SET_ITEM(inner, static_cast<Py_ssize_t>(r), value);  // steals
        }
    }
    return outer;
}

}  // namespace atomblock::py
