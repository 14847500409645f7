// The function entries of atomblock._native, called by the interpreter with
// the fast-call convention with keyword names (METH_FASTCALL | METH_KEYWORDS).
#pragma once

#include <Python.h>

namespace atomblock::native {

extern "C" PyObject* read_block_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);
extern "C" PyObject* skip_lines_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);
extern "C" PyObject* index_frames_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
extern "C" PyObject* write_block_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
extern "C" PyObject* read_table_batch_entry(PyObject* module, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames);
extern "C" PyObject* write_frames_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
extern "C" PyObject* ascii_strings_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
// METH_O: the comment line.
extern "C" PyObject* parse_comment_fast_entry(PyObject* module, PyObject* line);

}  // namespace atomblock::native
