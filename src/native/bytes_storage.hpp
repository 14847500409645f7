// BytesStorage: writer text storage inside a bytes object made beforehand, so
// that a formatted text becomes the returned object without a copy.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "boundary/py_ref.hpp"
#include "boundary/python_error.hpp"
#include "writer/text_buffer.hpp"

namespace atomblock::native {

inline constexpr std::size_t kMaxBytesLength =
    static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max());

// Text storage in a bytes object made beforehand, with the interpreter lock,
// so that the writer (which runs without the lock) formats straight into the
// object returned. A request beyond that object moves the text to the C heap
// (the block is then copied into a bytes object at the end, as without this
// storage). resize() and release() never touch a Python object: they may run
// without the lock, also while a failure unwinds.
class BytesStorage final : public writer::TextStorage {
public:
    // `capacity` bytes made ready; no object when it is 0.
    explicit BytesStorage(std::size_t capacity) {
        if (capacity == 0) return;
        if (capacity > kMaxBytesLength) throw std::bad_alloc();
        bytes_ = py::checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
        capacity_ = capacity;
    }
    BytesStorage(const BytesStorage&) = delete;
    BytesStorage& operator=(const BytesStorage&) = delete;
    ~BytesStorage() { std::free(heap_); }

    char* resize(char* old, std::size_t used, std::size_t capacity) noexcept override {
        if (old == nullptr && bytes_ && capacity <= capacity_)
            return PyBytes_AS_STRING(bytes_.get());
        if (old != nullptr && old == heap_) {
            char* grown = static_cast<char*>(std::realloc(heap_, capacity));
            if (grown != nullptr) heap_ = grown;
            return grown;
        }
        char* moved = static_cast<char*>(std::malloc(capacity));
        if (moved == nullptr) return nullptr;
        if (used != 0) std::memcpy(moved, old, used);
        std::free(heap_);
        heap_ = moved;
        return moved;
    }

    void release(char* data) noexcept override {
        if (data != nullptr && data == heap_) {
            std::free(heap_);
            heap_ = nullptr;
        }
    }

    // The result: the prepared object cut to `size` when the text is in it,
    // else a copy of the text. Needs the interpreter lock.
    py::PyRef take(std::string_view text) {
        if (bytes_ && text.data() == PyBytes_AS_STRING(bytes_.get())) {
            PyObject* raw = bytes_.release();
            // A fresh, unshared bytes object shrinks in place (its memory
            // given back to the allocator); on failure it has been freed.
            if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(text.size())) < 0)
                py::throw_python_error();
            return py::PyRef::steal(raw);
        }
        return py::checked(
            PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }

private:
    py::PyRef bytes_;
    std::size_t capacity_ = 0;
    char* heap_ = nullptr;  // the text once it left the bytes object
};

}  // namespace atomblock::native
