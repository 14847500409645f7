// Conversion of the non-array arguments into plain owned values.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "boundary/py_ref.hpp"
#include "boundary/python_error.hpp"

namespace atomblock::py {

// The converted `lines`: one UTF-8 view per line. Each view points into the
// UTF-8 form the interpreter keeps inside the str object, which `holds` keeps
// alive, so the views stay valid for as long as this value lives.
struct ConvertedLines {
    std::vector<PyRef> holds;
    std::vector<std::string_view> utf8;
};

// Each conversion raises the Python exception of the failing step and throws
// PythonError. The failures are not yet wrapped with the argument's name:
// with_argument_name does that.
ConvertedLines convert_lines(PyObject* lines);
std::vector<std::uint8_t> convert_col_types(PyObject* col_types);
std::uint64_t convert_sym_width(PyObject* sym_width);

// Replaces a pending exception whose type is exactly TypeError by
// TypeError("argument '<name>': <str(exc)>"), keeping its __cause__ and
// setting __suppress_context__. Other exceptions pass unchanged.
void rename_type_error(const char* argument_name);

// Runs convert(); a PythonError it throws leaves the argument's name on a
// pending TypeError (rename_type_error) and passes on.
template <class Convert>
auto with_argument_name(const char* argument_name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonError&) {
        rename_type_error(argument_name);
        throw;
    }
}

}  // namespace atomblock::py
