// Boundary helpers of the atomblock._native entries.
#include "native/native_support.hpp"

#include <cstring>
#include <utility>

#include "boundary/failure_guard.hpp"
#include "boundary/numpy_exchange.hpp"
#include "boundary/process_state.hpp"
#include "reader/atom_reader.hpp"

namespace atomblock::native {
namespace {

constexpr const char* kBlockErrorName = "atomblock._native.BlockError";
constexpr const char* kBlockErrorDoc =
    "A fault in an atom block, as data. read_block's message is \"row {row}: {detail}\".\n"
    "\n"
    "row: the 0-based row of the fault within the block.\n"
    "kind: what went wrong: 'bad_float', 'bad_int', 'bad_bool', 'too_few_tokens',\n"
    "    'too_many_tokens', 'too_few_lines', 'invalid_utf8', 'nul_byte' (read_block);\n"
    "    'empty_string', 'blank_or_control' (write_block).\n"
    "column: read_block: the token's index on the line (its position in col_types), for\n"
    "    too_few_tokens the first one missing; write_block: the index in str_cols; None for\n"
    "    too_many_tokens and too_few_lines.\n"
    "token: (start, end) byte offsets in the buffer of the token refused (for\n"
    "    too_many_tokens, of the first token past the last column), or None.\n"
    "found: the tokens the line holds (too_few_tokens, too_many_tokens) or the lines the\n"
    "    block holds (too_few_lines); None for the other kinds.\n"
    "detail: the fault in words, without the row.";

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

namespace {

void set_attribute(PyObject* error, const char* name, py::PyRef value) {
    if (PyObject_SetAttrString(error, name, value.get()) < 0) py::throw_python_error();
}

py::PyRef decoded(std::string_view text) {
    return py::checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

py::PyRef size_or_none(std::optional<std::size_t> value) {
    if (!value) return py::PyRef::borrow(Py_None);
    return py::checked(PyLong_FromSize_t(*value));
}

}  // namespace

void raise_block_error(const std::string& message, const BlockErrorFields& fields) {
    PyObject* type = block_error_type();
    if (type == nullptr) py::throw_python_error();
    py::PyRef error = py::checked(PyObject_CallOneArg(type, decoded(message).get()));
    PyObject* const target = error.get();
    set_attribute(target, "row", size_or_none(fields.row));
    set_attribute(target, "kind", decoded(fields.kind));
    set_attribute(target, "column",
                  size_or_none(fields.column == reader::kNoColumn
                                   ? std::nullopt
                                   : std::optional<std::size_t>(fields.column)));
    py::PyRef token = py::PyRef::borrow(Py_None);
    if (fields.token_start) {
        token = py::checked(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(*fields.token_start),
                                          static_cast<Py_ssize_t>(fields.token_end)));
    }
    set_attribute(target, "token", std::move(token));
    set_attribute(target, "found", size_or_none(fields.found));
    set_attribute(target, "detail", decoded(fields.detail));
    PyErr_SetObject(type, target);
    throw py::PythonError();
}

void raise_read_error(const reader::ReadError& error, std::string_view buffer) {
    using reader::FaultKind;
    BlockErrorFields fields;
    fields.kind = reader::fault_name(error.kind);
    fields.row = error.row;
    fields.column = error.column;
    if (error.token.data() != nullptr) {
        fields.token_start = static_cast<std::size_t>(error.token.data() - buffer.data());
        fields.token_end = *fields.token_start + error.token.size();
    }
    if (error.kind == FaultKind::too_few_tokens || error.kind == FaultKind::too_many_tokens ||
        error.kind == FaultKind::too_few_lines)
        fields.found = error.found;
    fields.detail = reader::fault_text(error);
    raise_block_error(reader::error_message(error), fields);
}

py::PyRef make_int64_vector(const std::int64_t* values, std::size_t count) {
    reader::RowMajorMatrix<std::int64_t> column{count, 1, CBuffer<std::int64_t>::zeroed(count)};
    if (count != 0) std::memcpy(column.data.data(), values, count * sizeof(std::int64_t));
    py::PyRef matrix = py::make_int64_array(std::move(column));
    return py::checked(
        PyObject_CallMethod(matrix.get(), "reshape", "n", static_cast<Py_ssize_t>(count)));
}

}  // namespace atomblock::native
