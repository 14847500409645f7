// The atomblock._native module: definition and start-up.
#include <Python.h>

#include "lib/failure_guard.hpp"
#include "lib/py_ref.hpp"
#include "lib/python_error.hpp"

namespace atomblock::native {
namespace {

using py::checked;
using py::PyRef;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "atomblock._native",
    "Private native helpers of the atomblock package: buffer reading and block writing.",
    0,
    nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* initialise() {
    PyRef module = checked(PyModule_Create(&module_def));
    return module.release();
}

}  // namespace
}  // namespace atomblock::native

PyMODINIT_FUNC PyInit__native() {
    return atomblock::py::guard_entry([] { return atomblock::native::initialise(); });
}
