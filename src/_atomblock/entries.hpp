// The two function entries, called by the interpreter with the fast-call
// convention with keyword names (METH_FASTCALL | METH_KEYWORDS).
#pragma once

#include <Python.h>

namespace atomblock::py {

extern "C" PyObject* read_atom_lines_entry(PyObject* module, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames);
extern "C" PyObject* write_atoms_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

}  // namespace atomblock::py
