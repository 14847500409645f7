// The NumPy array exchange: NumPy's C API reached at run time through its
// _ARRAY_API capsule, read-only views of input arrays, and output arrays
// that adopt a reader buffer without copying.
#pragma once

#include <Python.h>

#include <cstdint>

#include "boundary/py_ref.hpp"
#include "common/c_buffer.hpp"
#include "reader/atom_reader.hpp"
#include "writer/atom_writer.hpp"

namespace atomblock::py {

// A read-only view of an input array together with the reference that keeps
// the array (and so the viewed memory) alive while the view is used.
template <class T>
struct HeldView {
    PyRef array;
    writer::MatrixView<T> view;
};

// Accepts an ndarray (or subclass instance) with exactly 2 dimensions whose
// element type is T or equivalent to it; refuses anything else with
// TypeError "'<qualname>' object cannot be converted to 'PyArray<T, D>'".
// The first call of the process imports NumPy, whatever `obj` is.
HeldView<std::uint32_t> extract_uint32_matrix(PyObject* obj);
HeldView<double> extract_float64_matrix(PyObject* obj);
HeldView<std::int64_t> extract_int64_matrix(PyObject* obj);
HeldView<std::uint8_t> extract_uint8_matrix(PyObject* obj);

// As above, but a 1-D array is also accepted, as one column; the bool
// variant takes NumPy bool arrays as well as uint8 ones.
HeldView<double> extract_float64_columns(PyObject* obj);
HeldView<std::int64_t> extract_int64_columns(PyObject* obj);
HeldView<std::uint8_t> extract_bool_columns(PyObject* obj);

// New ndarray of shape (rows, cols) over the matrix's buffer, whose base is
// a PySliceContainer that owns (and finally frees) the buffer.
PyRef make_float64_array(reader::RowMajorMatrix<double>&& matrix);
PyRef make_int64_array(reader::RowMajorMatrix<std::int64_t>&& matrix);
PyRef make_uint8_array(reader::RowMajorMatrix<std::uint8_t>&& matrix);
PyRef make_uint32_array(reader::RowMajorMatrix<std::uint32_t>&& matrix);

// Element types of make_small_array.
enum class SmallArrayType : std::uint8_t { float64, int64, boolean };

// New C-ordered ndarray of `ndim` (1 or 2) dimensions `dims` in memory of its
// own, filled with a copy of the elements at `elements` (8 bytes each, or one
// byte holding 0 or 1 for bool). For the small arrays of comment lines.
PyRef make_small_array(SmallArrayType type, int ndim, const std::size_t* dims,
                       const void* elements);

}  // namespace atomblock::py
