// StrStorage: text storage backed by the memory of a Python str, so that an
// ASCII atom block is written straight into the object that is returned.
#pragma once

#include <Python.h>

#include <cstddef>

#include "boundary/py_ref.hpp"
#include "writer/text_buffer.hpp"

namespace atomblock::py {

// Owns at most one compact ASCII str under construction. Its character data
// is the storage block; the bytes written there become the str's characters
// once take_ascii_str() fixes the length. The str is never seen by Python
// before then, and is released with the storage if it is not taken.
class StrStorage final : public writer::TextStorage {
public:
    StrStorage() noexcept = default;
    StrStorage(const StrStorage&) = delete;
    StrStorage& operator=(const StrStorage&) = delete;
    ~StrStorage() = default;

    char* resize(char* old, std::size_t used, std::size_t capacity) noexcept override;
    void release(char* data) noexcept override;

    // The str holding the block `data` (which TextBuffer::release() handed
    // out), cut to `size` characters. Every byte below `size` must be ASCII.
    // A failure to shrink ends the call as an internal failure.
    PyRef take_ascii_str(char* data, std::size_t size);

private:
    PyRef str_;
};

}  // namespace atomblock::py
