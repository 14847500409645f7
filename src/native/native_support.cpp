// Boundary helpers of the atomblock._native entries.
#include "native/native_support.hpp"

#include <cstring>
#include <utility>

#include "lib/failure_guard.hpp"
#include "lib/numpy_exchange.hpp"
#include "lib/process_state.hpp"
#include "reader/atom_reader.hpp"

namespace atomblock::native {
namespace {

constexpr const char* kBlockErrorName = "atomblock._native.BlockError";
constexpr const char* kBlockErrorDoc =
    "A fault in an atom block: the message of the atom-line reader, \"row {r}: ...\".\n"
    "\n"
    "`row` is the 0-based row of the fault within the block.";

// Created at module initialisation and kept for the life of the process.
py::ProcessLifetime<py::PyRef> block_error;

}  // namespace

PinnedBuffer::PinnedBuffer(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) py::throw_python_error();
}

void ReleasedLock::check_signals() {
    PyEval_RestoreThread(state_);
    const int raised = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    if (raised != 0) throw py::PythonError();  // the exception waits in this thread's state
}

bool on_main_thread() noexcept {
    // threading follows the main thread across fork(). A process that has not
    // imported it has started no thread through it: the caller is taken to be
    // the main thread (on any other, no signal is pending anyway).
    PyObject* const modules = PySys_GetObject("modules");  // borrowed
    PyObject* const threading = modules != nullptr && PyDict_Check(modules)
                                    ? PyDict_GetItemString(modules, "threading")
                                    : nullptr;  // borrowed
    if (threading == nullptr) return true;
    const py::PyRef main = py::PyRef::steal(PyObject_CallMethod(threading, "main_thread", nullptr));
    const py::PyRef ident =
        main ? py::PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : py::PyRef();
    bool same = false;
    if (ident) {
        const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
        same = PyErr_Occurred() == nullptr && main_ident == PyThread_get_thread_ident();
    }
    PyErr_Clear();  // an interpreter that cannot tell (at shutdown) only goes unchecked
    return same;
}

Py_ssize_t convert_index(PyObject* obj, const char* name, Py_ssize_t low, Py_ssize_t high,
                         Py_ssize_t fallback) {
    if (obj == nullptr) return fallback;
    const Py_ssize_t value = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred()) py::throw_python_error();
    if (value < low || value > high) {
        PyErr_Format(PyExc_ValueError, "%s must be in [%zd, %zd], got %zd", name, low, high, value);
        throw py::PythonError();
    }
    return value;
}

bool convert_flag(PyObject* obj, bool fallback) {
    if (obj == nullptr) return fallback;
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) py::throw_python_error();
    return truth != 0;
}

PyObject* block_error_type() {
    return block_error
        .once([] {
            return py::PyRef::steal(PyErr_NewExceptionWithDoc(kBlockErrorName, kBlockErrorDoc,
                                                              PyExc_ValueError, nullptr));
        })
        .get();
}

void raise_block_error(const std::string& message, std::size_t row) {
    PyObject* type = block_error_type();
    if (type == nullptr) py::throw_python_error();
    py::PyRef text = py::checked(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    py::PyRef error = py::checked(PyObject_CallOneArg(type, text.get()));
    py::PyRef row_value = py::checked(PyLong_FromSize_t(row));
    if (PyObject_SetAttrString(error.get(), "row", row_value.get()) < 0) py::throw_python_error();
    PyErr_SetObject(type, error.get());
    throw py::PythonError();
}

py::PyRef make_int64_vector(const std::int64_t* values, std::size_t count) {
    reader::RowMajorMatrix<std::int64_t> column{count, 1, CBuffer<std::int64_t>::zeroed(count)};
    if (count != 0) std::memcpy(column.data.data(), values, count * sizeof(std::int64_t));
    py::PyRef matrix = py::make_int64_array(std::move(column));
    return py::checked(
        PyObject_CallMethod(matrix.get(), "reshape", "n", static_cast<Py_ssize_t>(count)));
}

}  // namespace atomblock::native
