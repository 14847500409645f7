// Process-wide state of the boundary, all of it in one place.
//
// Every item is written once, under the interpreter lock, and then kept for
// the life of the process; none is released, not even at interpreter
// shutdown, because nothing may call into the interpreter after it is gone:
//   - owning_interpreter: the identity of the first interpreter that
//     initialised the module (compare-and-exchange from kNoInterpreter);
//   - module_object: the module object that initialisation made, returned again by
//     every later initialisation in that interpreter;
//   - module_name: the extension module's name, for diagnostics and for the
//     qualified name of PanicException;
//   - panic_exception: the PanicException class, made on the first internal
//     failure;
//   - result_keys: the interned key strs of the read result;
//   - numpy_core_package, numpy_multiarray_module: "numpy.core" or
//     "numpy._core" (by NumPy's major version) and its ".multiarray" module;
//   - numpy_api: NumPy's _ARRAY_API table with the capsule that keeps it valid;
//   - slice_container_type: the PySliceContainer type, owner of the reader's
//     buffers adopted by result arrays.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "boundary/py_ref.hpp"

namespace atomblock::py {

// A value made at most once per process and never destroyed. once(make)
// returns the stored value, or calls make() while none is stored. make()
// may run Python code (imports), which lets another thread in to make the
// same value: the first value stored stays and a later one is dropped. A
// make() that throws or returns an empty value stores nothing, so the next
// call tries again. T is default-constructible to its empty state and
// contextually converts to bool.
template <class T>
class ProcessLifetime {
public:
    constexpr ProcessLifetime() noexcept : value_() {}
    ProcessLifetime(const ProcessLifetime&) = delete;
    ProcessLifetime& operator=(const ProcessLifetime&) = delete;
    // Deliberately leaves value_ alive: it may hold references that must
    // not be released once the interpreter has finalised.
    ~ProcessLifetime() {}

    const T& get() const noexcept { return value_; }

    template <class Make>
    const T& once(Make&& make) {
        if (value_) [[likely]]
            return value_;
        return make_and_store(std::forward<Make>(make));
    }

private:
    // Out of line, so that the check above is all that calls inline.
    template <class Make>
    [[gnu::noinline, gnu::cold]] const T& make_and_store(Make&& make) {
        T made = make();
        if (!value_) value_ = std::move(made);
        return value_;
    }

    union {
        T value_;
    };
};

// NumPy's API table and the capsule reference that keeps it valid.
struct NumpyApi {
    PyRef capsule;
    void** table = nullptr;
    explicit operator bool() const noexcept { return table != nullptr; }
};

namespace process {

inline constexpr std::int64_t kNoInterpreter = -1;
// floats, ints, bools, strs
inline constexpr std::size_t kResultKeyCount = 4;

extern std::atomic<std::int64_t> owning_interpreter;
extern ProcessLifetime<PyRef> module_object;
extern const char* module_name;
extern ProcessLifetime<PyRef> panic_exception;
extern std::array<ProcessLifetime<PyRef>, kResultKeyCount> result_keys;
extern ProcessLifetime<PyRef> numpy_core_package;
extern ProcessLifetime<PyRef> numpy_multiarray_module;
extern ProcessLifetime<NumpyApi> numpy_api;
extern ProcessLifetime<PyRef> slice_container_type;

// Records the calling interpreter as the owner of the process-wide state at
// the first import, and raises ImportError with `refusal` when another
// interpreter imports later: the cached NumPy table and types are valid in
// one interpreter only.
void claim_interpreter(std::string_view refusal);

}  // namespace process
}  // namespace atomblock::py
