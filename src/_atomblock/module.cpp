// The _atomblock module: definition, start-up and the one-interpreter guard.
#include <Python.h>

#include <cstdint>

#include "_atomblock/entries.hpp"
#include "boundary/failure_guard.hpp"
#include "boundary/process_state.hpp"

namespace atomblock::py {
namespace {

constexpr const char* kModuleName = "_atomblock";

constexpr int kFastCallWithKeywords = METH_FASTCALL | METH_KEYWORDS;

constexpr const char* kWriteAtomsDoc =
    "write_atoms_rs(sym_codepoints, sym_width, float_mat, int_mat, bool_mat, col_types)\n"
    "--\n"
    "\n"
    "Build the complete extxyz atom block (all `natoms` lines) as a Python str.\n"
    "\n"
    "Replaces the Python loop `for i in range(natoms): fileobj.write(fmt % tuple(data[i]))`.\n"
    "\n"
    "`sym_codepoints` is a (natoms, max_str_len) uint32 array of UTF-32 LE codepoints,\n"
    "obtained from `symbols_array.view(np.uint32).reshape(natoms, -1)`.  The codepoints are\n"
    "decoded in place, without creating Python string objects, avoiding per-atom (O(N)) Python overhead.\n"
    "\n"
    "Column layout is described by `col_types` (list of ints: ord('s'), ord('f'), etc.):\n"
    "  ord('s') \u2192 next symbol from sym_codepoints (left-justified to `sym_width`)\n"
    "  ord('f') \u2192 next column from `float_mat`  (%16.8f)\n"
    "  ord('i') \u2192 next column from `int_mat`    (%8d)\n"
    "  ord('b') \u2192 next column from `bool_mat`   (' %.1s' \u2192 \"  T\" / \"  F\")\n"
    "\n"
    "`float_mat`, `int_mat`, `bool_mat` may have 0 columns.";

constexpr const char* kReadAtomLinesDoc =
    "read_atom_lines_rs(lines, col_types)\n"
    "--\n"
    "\n"
    "Parse `natoms` atom lines, returning a Python dict with keys:\n"
    "  'floats' \u2192 ndarray shape (natoms, n_float_cols), dtype float64\n"
    "  'ints'   \u2192 ndarray shape (natoms, n_int_cols),   dtype int64\n"
    "  'bools'  \u2192 ndarray shape (natoms, n_bool_cols),  dtype uint8 (0/1)\n"
    "  'strs'   \u2192 Python list of lists of str, one sub-list per string column\n"
    "\n"
    "`col_types` is a bytes/list of ints, one per token per line:\n"
    "  b'f'=102 \u2192 float, b'i'=105 \u2192 int, b's'=115 \u2192 string, b'b'=98 \u2192 bool\n"
    "\n"
    "Raises `ValueError` if any line cannot be parsed according to `col_types`.";

PyCFunction as_function(PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// The module's surface -- the function names and their order in __all__, their
// signatures and docs, PanicException (made on the first internal failure, not
// a module attribute), the empty module doc and the conversion messages of the
// entries -- is a published contract: callers match on these names and on the
// messages' text. Keep them exactly as they are, however odd they look.
//
// Function descriptors live as long as the process: the function objects
// point at them.
PyMethodDef methods[] = {
    {"write_atoms_rs", as_function(write_atoms_entry), kFastCallWithKeywords, kWriteAtomsDoc},
    {"read_atom_lines_rs", as_function(read_atom_lines_entry), kFastCallWithKeywords,
     kReadAtomLinesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "",  // present and empty
    0,   // no per-module state: what is kept is process-wide (see process_state.hpp)
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// __all__ lists the functions in the table's order.
void set_all(PyObject* module) {
    PyRef all = checked(PyList_New(0));
    for (const PyMethodDef* def = methods; def->ml_name != nullptr; ++def) {
        PyRef name = checked(PyUnicode_FromString(def->ml_name));
        if (PyList_Append(all.get(), name.get()) < 0) throw_python_error();
    }
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_python_error();
}

PyObject* initialise() {
    process::claim_interpreter(
        "_atomblock does not support sub-interpreters: it can only be imported once per "
        "process, by the interpreter that imported it first");

    // A failed creation stores nothing: the next import starts afresh.
    const PyRef& module = process::module_object.once([] {
        PyRef created = checked(PyModule_Create(&module_def));
        set_all(created.get());
        return created;
    });
    return PyRef::borrow(module.get()).release();
}

}  // namespace
}  // namespace atomblock::py

PyMODINIT_FUNC PyInit__atomblock() {
    atomblock::py::process::module_name = atomblock::py::kModuleName;
    return atomblock::py::guard_entry([] { return atomblock::py::initialise(); });
}
