// Python str objects as the storage of the writer's text buffer.
#include "lib/str_storage.hpp"

#include <limits>

#include "common/huge_pages.hpp"

#include "lib/python_error.hpp"

namespace atomblock::py {
namespace {

constexpr Py_UCS4 kMaxAsciiCodePoint = 0x7F;
constexpr std::size_t kMaxLength = static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max());

}  // namespace

char* StrStorage::resize(char* old, std::size_t, std::size_t capacity) noexcept {
    if (capacity == 0 || capacity > kMaxLength) return nullptr;
    const auto length = static_cast<Py_ssize_t>(capacity);
    if (old == nullptr) {
        Py_XDECREF(str_);
        str_ = PyUnicode_New(length, kMaxAsciiCodePoint);
    } else if (PyUnicode_Resize(&str_, length) < 0) {
        // The str is unchanged (and still ours) when resizing fails.
        PyErr_Clear();
        return nullptr;
    }
    if (str_ == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    char* data = static_cast<char*>(PyUnicode_DATA(str_));
    advise_huge_pages(data, capacity);
    return data;
}

void StrStorage::release(char*) noexcept {
    Py_CLEAR(str_);
}

PyRef StrStorage::take_ascii_str(char* data, std::size_t size) {
    if (data == nullptr || str_ == nullptr) {
        PyObject* empty = PyUnicode_New(0, kMaxAsciiCodePoint);
        if (empty == nullptr) fail_result_creation();
        return PyRef::steal(empty);
    }
    // Shrinking a fresh, unshared str reallocates it in place and writes the
    // terminating NUL after the new last character.
    if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(size)) < 0) fail_result_creation();
    PyObject* str = str_;
    str_ = nullptr;
    return PyRef::steal(str);
}

}  // namespace atomblock::py
