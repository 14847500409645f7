// PanicException: the Python face of an internal failure.
#include <cstdio>
#include <mutex>
#include <string>

#include "lib/failure_guard.hpp"

namespace atomblock::py {
namespace {

constexpr const char* kPanicExceptionName = "_atomblock.PanicException";
constexpr const char* kPanicExceptionDoc =
    "Raised when the code of the _atomblock module fails while called from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.";
constexpr const char* kGenericPanicMessage = "internal failure in the _atomblock module";

// Created on the first internal failure and kept for the life of the process.
PyObject* panic_exception_type = nullptr;

PyObject* get_panic_exception_type() {
    if (panic_exception_type == nullptr) {
        PyObject* created = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr) return nullptr;
        // Creation runs no Python code, but keep the first one stored should
        // another thread ever have raced us here.
        if (panic_exception_type == nullptr)
            panic_exception_type = created;
        else
            Py_DECREF(created);
    }
    return panic_exception_type;
}

}  // namespace

void raise_panic(const std::string& message, const SourceLocation& where) {
    // Whatever was pending is superseded by the panic.
    PyErr_Clear();
    const std::string& text = message.empty() ? std::string(kGenericPanicMessage) : message;
    std::fprintf(stderr, "_atomblock: internal failure at %s:%u (%s): %s\n", where.file_name(),
                 where.line_number(), where.function_name(), text.c_str());
    std::fflush(stderr);
    PyObject* type = get_panic_exception_type();
    if (type == nullptr) return;  // the interpreter's exception stays set
    PyRef argument = PyRef::steal(PyUnicode_DecodeUTF8(text.data(),
                                                       static_cast<Py_ssize_t>(text.size()),
                                                       "replace"));
    if (!argument) return;
    PyErr_SetObject(type, argument.get());
}

}  // namespace atomblock::py
