// Binding of fast-call arguments to a function's declared parameters.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

namespace atomblock::py {

// A function's Python name and its positional-or-keyword parameters, in
// order; the first `required` of them must be given, the rest are optional.
struct Signature {
    std::string_view name;
    std::span<const std::string_view> parameters;
    std::size_t required = static_cast<std::size_t>(-1);  // all of them
};

// Fills `bound` (one borrowed slot per parameter) from the positional
// arguments and then the keyword arguments, in the order the caller gave
// them; an optional parameter that was not given stays null. Every binding
// fault raises TypeError and throws PythonError.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound);

}  // namespace atomblock::py
