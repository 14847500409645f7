// Entry of parse_comment_fast: the comment scanner's result as Python objects,
// or None when the scanner declines the line.
#include <Python.h>

#include <cstring>
#include <string_view>

#include "boundary/failure_guard.hpp"
#include "boundary/numpy_exchange.hpp"
#include "boundary/py_ref.hpp"
#include "boundary/python_error.hpp"
#include "native/native_entries.hpp"
#include "scan/comment_scan.hpp"

namespace atomblock::native {
namespace {

using py::checked;
using py::PyRef;

constexpr Py_UCS4 kMaxAsciiCodePoint = 0x7F;

// The scanner only accepts ASCII, so every text is copied into a one-byte str.
PyRef ascii_str(std::string_view text) {
    PyRef str = checked(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), kMaxAsciiCodePoint));
    if (!text.empty()) std::memcpy(PyUnicode_DATA(str.get()), text.data(), text.size());
    return str;
}

constexpr std::size_t kCellSide = 3;

// An array value: (count,) or, for a square one, (3, 3).
PyRef array_of(const InfoPair& pair, const CommentScan& scan) {
    const std::size_t square[2] = {kCellSide, kCellSide};
    const std::size_t flat[1] = {pair.count};
    const int ndim = pair.square ? 2 : 1;
    const std::size_t* dims = pair.square ? square : flat;
    switch (pair.array_type) {
        case ArrayType::int64:
            return py::make_small_array(py::SmallArrayType::int64, ndim, dims,
                                        scan.ints.data() + pair.offset);
        case ArrayType::boolean:
            return py::make_small_array(py::SmallArrayType::boolean, ndim, dims,
                                        scan.flags.data() + pair.offset);
        case ArrayType::float64: break;
    }
    return py::make_small_array(py::SmallArrayType::float64, ndim, dims,
                                scan.reals.data() + pair.offset);
}

PyRef value_of(const InfoPair& pair, const CommentScan& scan) {
    switch (pair.kind) {
        case InfoKind::boolean: return PyRef::borrow(pair.boolean ? Py_True : Py_False);
        case InfoKind::integer: return checked(PyLong_FromLongLong(pair.integer));
        case InfoKind::real: return checked(PyFloat_FromDouble(pair.real));
        case InfoKind::array: return array_of(pair, scan);
        case InfoKind::text: break;
    }
    return ascii_str(pair.text);
}

PyRef special_or_none(const SpecialValue& value) {
    if (value.typed_cell) {
        const std::size_t dims[2] = {kCellSide, kCellSide};
        return py::make_small_array(py::SmallArrayType::float64, 2, dims, value.cell.data());
    }
    return value.present ? ascii_str(value.raw) : PyRef::borrow(Py_None);
}

PyObject* parse_comment_fast(PyObject* line) {
    if (!PyUnicode_Check(line)) {
        PyErr_Format(PyExc_TypeError, "line must be a str, not %.100s", Py_TYPE(line)->tp_name);
        throw py::PythonError();
    }
#if PY_VERSION_HEX < 0x030C0000  // legacy strings may lack their compact form until then
    if (PyUnicode_READY(line) < 0) py::throw_python_error();
#endif
    if (!PyUnicode_IS_ASCII(line)) Py_RETURN_NONE;
    const std::string_view text(static_cast<const char*>(PyUnicode_DATA(line)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(line)));
    // Reused by every call of a thread: its pair vector keeps its capacity.
    thread_local CommentScan scan;
    if (!scan_comment(text, scan)) Py_RETURN_NONE;

    PyRef info = checked(PyDict_New());
    for (const InfoPair& pair : scan.pairs) {
        PyRef key = ascii_str(pair.key);
        PyRef value = value_of(pair, scan);
        if (PyDict_SetItem(info.get(), key.get(), value.get()) < 0) py::throw_python_error();
    }
    PyRef lattice = special_or_none(scan.lattice);
    PyRef pbc = special_or_none(scan.pbc);
    PyRef properties = special_or_none(scan.properties);
    return checked(PyTuple_Pack(4, info.get(), lattice.get(), pbc.get(), properties.get()))
        .release();
}

}  // namespace

extern "C" PyObject* parse_comment_fast_entry(PyObject*, PyObject* line) {
    return py::guard_entry([&] { return parse_comment_fast(line); });
}

}  // namespace atomblock::native
