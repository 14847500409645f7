// The _atomblock module: definition, start-up and the one-interpreter guard.
#include <Python.h>

#include <cstdint>

#include "common/internal_failure.hpp"
#include "lib/entries.hpp"
#include "lib/failure_guard.hpp"
#include "lib/process_state.hpp"

namespace atomblock::py {
namespace {

// The C API version that CPython 3.10 passes to PyModule_Create2.
constexpr int kModuleApiVersion = 1013;
constexpr const char* kModuleName = "_atomblock";

// METH_FASTCALL | METH_KEYWORDS = 0x80 | 0x02
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

// Function descriptors live as long as the process: the function objects
// point at them.
PyMethodDef write_atoms_def = {
    "write_atoms_rs",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_atoms_entry)),
    kFastCallWithKeywords, kWriteAtomsDoc};
PyMethodDef read_atom_lines_def = {
    "read_atom_lines_rs",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_atom_lines_entry)),
    kFastCallWithKeywords, kReadAtomLinesDoc};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,  // m_name
    "",           // m_doc: present and empty
    0,            // m_size: no per-module state
    nullptr,      // m_methods: functions are added after creation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void add_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name = checked(PyModule_GetNameObject(module));
    PyRef function = checked(PyCFunction_NewEx(def, module, module_name.get()));
    PyRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));

    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_python_error();
    }
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        fail("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw_python_error();
}

PyObject* initialise() {
    process::claim_interpreter(
        "_atomblock does not support sub-interpreters: it can only be imported once per "
        "process, by the interpreter that imported it first");

    // A failed creation stores nothing: the next import starts afresh.
    const PyRef& module = process::module_object.once([] {
        PyRef created = checked(PyModule_Create2(&module_def, kModuleApiVersion));
        add_function(created.get(), &write_atoms_def);
        add_function(created.get(), &read_atom_lines_def);
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
