// Entry of ascii_strings: zero-padded code points (a NumPy str array's memory)
// as UTF-8 text and offsets, the layout of an Arrow string array, for text
// that is all ASCII (species, labels); None for any other text.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "boundary/arg_binding.hpp"
#include "boundary/failure_guard.hpp"
#include "boundary/py_ref.hpp"
#include "boundary/python_error.hpp"
#include "native/native_entries.hpp"
#include "native/native_support.hpp"

namespace atomblock::native {
namespace {

using py::checked;
using py::PyRef;

constexpr std::array<std::string_view, 2> kParameters = {"points", "width"};
constexpr py::Signature kSignature = {"ascii_strings", kParameters};
constexpr std::uint32_t kAsciiEnd = 0x80;

// Code point `k` of the buffer (any alignment).
std::uint32_t point_at(const char* points, std::size_t k) noexcept {
    std::uint32_t point = 0;
    std::memcpy(&point, points + k * sizeof(point), sizeof(point));
    return point;
}

// Fills `offsets` (items + 1 of them) and, when `data` is given, the text;
// false when a code point is not ASCII or an item holds a NUL before its end.
bool ascii_text(const char* points, std::size_t items, std::size_t width, std::int64_t* offsets,
                char* data) {
    std::int64_t at = 0;
    offsets[0] = 0;
    for (std::size_t i = 0; i < items; ++i) {
        const std::size_t first = i * width;
        std::size_t length = 0;
        for (std::uint32_t point = 0;
             length < width && (point = point_at(points, first + length)) != 0; ++length) {
            if (point >= kAsciiEnd) return false;
            if (data != nullptr)
                data[at + static_cast<std::int64_t>(length)] = static_cast<char>(point);
        }
        for (std::size_t k = length; k < width; ++k)
            if (point_at(points, first + k) != 0)
                return false;  // a NUL inside the item: not padding
        at += static_cast<std::int64_t>(length);
        offsets[i + 1] = at;
    }
    return true;
}

PyObject* ascii_strings(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kParameters.size()> bound{};
    py::bind_arguments(kSignature, args, nargs, kwnames, bound);
    const PinnedBuffer buffer(bound[0]);
    const std::string_view bytes = buffer.bytes();
    const auto width =
        static_cast<std::size_t>(convert_index(bound[1], "width", 1, PY_SSIZE_T_MAX / 4, 1));
    if (bytes.size() % (width * sizeof(std::uint32_t)) != 0) {
        PyErr_SetString(PyExc_ValueError, "points must hold whole items of `width` code points");
        throw py::PythonError();
    }
    const std::size_t items = bytes.size() / (width * sizeof(std::uint32_t));
    const char* points = bytes.data();
    PyRef offsets = checked(PyBytes_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>((items + 1) * sizeof(std::int64_t))));
    // The offsets go straight into their bytes object (int64 at its aligned start).
    auto* offset_values = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(offsets.get()));
    if (!ascii_text(points, items, width, offset_values, nullptr)) Py_RETURN_NONE;
    PyRef data =
        checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(offset_values[items])));
    ascii_text(points, items, width, offset_values, PyBytes_AS_STRING(data.get()));
    return PyTuple_Pack(2, offsets.get(), data.get());
}

}  // namespace

extern "C" PyObject* ascii_strings_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return py::guard_entry([&] { return ascii_strings(args, nargs, kwnames); });
}

}  // namespace atomblock::native
