// Carrying Python exceptions and internal failures through C++ code.
//
// Boundary code that calls the interpreter throws PythonError when a call
// fails; the Python exception stays set in the interpreter and the failure
// guard returns null for it. Helpers here build the few errors the boundary
// raises itself.
#pragma once

#include <Python.h>

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

#include "boundary/py_ref.hpp"

namespace atomblock::py {

// Thrown after a failed interpreter call; the Python exception is (or, if the
// interpreter set none, will be reported as SystemError) already pending.
struct PythonError : std::exception {
    const char* what() const noexcept override { return "Python exception set"; }
};

// Throws PythonError for a failed interpreter call, first substituting
// SystemError "attempted to fetch exception but none was set" when the
// interpreter reported failure without setting an exception.
[[noreturn]] void throw_python_error();

// Returns obj, or throws PythonError when it is null.
inline PyRef checked(PyObject* obj) {
    if (obj == nullptr) throw_python_error();
    return PyRef::steal(obj);
}

// Joins the pieces of a message. (Chains of std::string operator+ with
// literals trip a false -Wrestrict alarm in GCC 12.)
inline std::string concat(std::initializer_list<std::string_view> pieces) {
    std::string joined;
    for (std::string_view piece : pieces) joined.append(piece);
    return joined;
}

// Messages that carry caller text (a keyword, a type name) are built as str
// objects from that text, never through a C string or UTF-8: the text may
// hold NUL characters or lone surrogates and must appear whole.

// "'<qualname of obj's type>' object cannot be converted to '<target>'"
PyRef cannot_convert_message(PyObject* obj, const char* target);

// Raises `type` with `message` (UTF-8) and throws PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);
// Raises `type` with the str `message`; a null message (its creation failed)
// leaves the interpreter's exception pending.
[[noreturn]] void raise(PyObject* type, PyRef message);

// The type's __qualname__ as a str, or "<failed to extract type name>" when
// it cannot be read as a str. Never leaves an exception set; throws
// PythonError only when not even that str can be made.
PyRef type_qualname(PyObject* obj);

// Fetches and clears the pending exception and renders it as
// "TypeName: message" (or just the type name when the message is empty), in
// UTF-8 with lone surrogates backslash-escaped.
std::string take_error_description();

// When the interpreter fails to build part of a result: print its exception
// to standard error and abandon the call with "Python API call failed".
[[noreturn]] void fail_result_creation();

// The message the interpreter uses when a call fails without an exception.
inline constexpr const char* kNoExceptionSetMessage =
    "attempted to fetch exception but none was set";

}  // namespace atomblock::py
