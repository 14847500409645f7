// The failure guard: the single place where C++ failures become Python
// exceptions. Every entry from Python (a module's initialisation and its
// function entries) runs its body through guard_entry, so no C++ exception
// ever crosses into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "boundary/python_error.hpp"
#include "common/internal_failure.hpp"

namespace atomblock::py {

// Writes the diagnostic to standard error and sets PanicException(message).
// Both name the module process::module_name (process_state.hpp), which each
// module's initialisation function sets before anything can fail.
void raise_panic(const std::string& message, const SourceLocation& where);

// Runs body(), which returns a new reference or throws. Returns null with a
// Python exception set for every failure:
//   PythonError       -> the pending exception (SystemError if none is set)
//   InternalFailure   -> PanicException(message), diagnostic on stderr first
//   std::bad_alloc    -> MemoryError
//   anything else     -> PanicException with the failure's text
template <class Body>
PyObject* guard_entry(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoExceptionSetMessage);
    } catch (const InternalFailure& failure) {
        raise_panic(failure.message(), failure.where());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        raise_panic(other.what(), SourceLocation::current());
    } catch (...) {
        raise_panic(std::string(), SourceLocation::current());
    }
    return nullptr;
}

}  // namespace atomblock::py
