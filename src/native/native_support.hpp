// Boundary helpers of the atomblock._native entries: pinned buffers, the
// released interpreter lock, integer and flag arguments, and BlockError.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "boundary/py_ref.hpp"
#include "boundary/python_error.hpp"
#include "reader/atom_reader.hpp"

namespace atomblock::native {

// The bytes of a C-contiguous buffer-protocol object, pinned (bytearray and
// mmap refuse resizing and closing while a view is exported) until the
// holder is destroyed, on every path.
class PinnedBuffer {
public:
    // Raises the interpreter's TypeError/BufferError and throws PythonError
    // when `obj` exports no contiguous buffer.
    explicit PinnedBuffer(PyObject* obj);
    PinnedBuffer(const PinnedBuffer&) = delete;
    PinnedBuffer& operator=(const PinnedBuffer&) = delete;
    ~PinnedBuffer() { PyBuffer_Release(&view_); }

    std::string_view bytes() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

// Releases the interpreter lock for its lifetime. No Python object may be
// touched while it lives; its destructor takes the lock back, also while a
// C++ exception unwinds towards the failure guard.
class ReleasedLock {
public:
    ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;
    ~ReleasedLock() { PyEval_RestoreThread(state_); }

    // Takes the lock back for a moment and runs the pending signal handlers
    // (those of the main thread; elsewhere nothing is pending). When one
    // raises (Ctrl-C: KeyboardInterrupt), releases the lock again and throws
    // PythonError with that exception pending in this thread.
    void check_signals();

private:
    PyThreadState* state_;
};

// True when the calling thread (holding the lock) is the interpreter's main
// thread, the one that runs signal handlers; false when that cannot be told.
bool on_main_thread() noexcept;

// An integer argument (anything with __index__) in [low, high]; ValueError
// "<name> must be ..." otherwise. `fallback` when `obj` is null (not given).
Py_ssize_t convert_index(PyObject* obj, const char* name, Py_ssize_t low, Py_ssize_t high,
                         Py_ssize_t fallback);

// The truth value of an optional argument; `fallback` when not given.
bool convert_flag(PyObject* obj, bool fallback);

// Creates BlockError once per process; later calls return the same class.
// Returns a borrowed reference (null with an exception set on failure).
PyObject* block_error_type();

// The attributes of a BlockError besides its message (see kBlockErrorDoc).
struct BlockErrorFields {
    std::string_view kind;                   // .kind
    std::size_t row = 0;                     // .row
    std::size_t column = reader::kNoColumn;  // .column; None when kNoColumn
    std::optional<std::size_t> token_start;  // .token = (start, end), or None
    std::size_t token_end = 0;
    std::optional<std::size_t> found;  // .found, or None
    std::string detail;                // .detail: the message without its row
};

// Raises BlockError(message) with the given attributes and throws PythonError.
[[noreturn]] void raise_block_error(const std::string& message, const BlockErrorFields& fields);

// Raises the BlockError of a reader fault in the lines of `buffer` (which
// the views of `error` point into) and throws PythonError. Its message is
// error_message(error); .token is the token's byte offsets in `buffer`.
[[noreturn]] void raise_read_error(const reader::ReadError& error, std::string_view buffer);

// An int64 ndarray of shape (count,) copied from `values`.
py::PyRef make_int64_vector(const std::int64_t* values, std::size_t count);

}  // namespace atomblock::native
