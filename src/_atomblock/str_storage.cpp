// Python str objects as the storage of the writer's text buffer.
#include "_atomblock/str_storage.hpp"

#include <limits>
#include <utility>

#include "common/huge_pages.hpp"

#include "boundary/python_error.hpp"

namespace atomblock::py {
namespace {

constexpr Py_UCS4 kMaxAsciiCodePoint = 0x7F;
constexpr std::size_t kMaxLength = static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max());

// PyUnicode_Resize on an owned str: on success `str` holds the resized
// object, on failure (an exception set) the unchanged one.
bool resize_str(PyRef& str, Py_ssize_t length) noexcept {
    PyObject* raw = str.release();
    const bool resized = PyUnicode_Resize(&raw, length) == 0;
    str = PyRef::steal(raw);
    return resized;
}

}  // namespace

char* StrStorage::resize(char* old, std::size_t, std::size_t capacity) noexcept {
    if (capacity == 0 || capacity > kMaxLength) return nullptr;
    const auto length = static_cast<Py_ssize_t>(capacity);
    if (old == nullptr) {
        str_ = PyRef::steal(PyUnicode_New(length, kMaxAsciiCodePoint));
    } else if (!resize_str(str_, length)) {
        // The str is unchanged (and still ours) when resizing fails.
        PyErr_Clear();
        return nullptr;
    }
    if (!str_) {
        PyErr_Clear();
        return nullptr;
    }
    char* data = static_cast<char*>(PyUnicode_DATA(str_.get()));
    advise_huge_pages(data, capacity);
    return data;
}

void StrStorage::release(char*) noexcept {
    str_ = PyRef();
}

PyRef StrStorage::take_ascii_str(char* data, std::size_t size) {
    if (data == nullptr || !str_) {
        PyRef empty = PyRef::steal(PyUnicode_New(0, kMaxAsciiCodePoint));
        if (!empty) fail_result_creation();
        return empty;
    }
    // Shrinking a fresh, unshared str reallocates it in place and writes the
    // terminating NUL after the new last character.
    if (!resize_str(str_, static_cast<Py_ssize_t>(size))) fail_result_creation();
    return std::move(str_);
}

}  // namespace atomblock::py
