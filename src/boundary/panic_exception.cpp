// PanicException: the Python face of an internal failure.
#include <cstdio>
#include <string>

#include "boundary/failure_guard.hpp"
#include "boundary/process_state.hpp"

namespace atomblock::py {
namespace {

constexpr const char* kPanicExceptionClassName = "PanicException";

PyRef make_panic_exception_type() {
    const std::string module = process::module_name;
    const std::string qualified_name = concat({module, ".", kPanicExceptionClassName});
    const std::string doc =
        concat({"Raised when the code of the ", module,
                " module fails while called from Python.\n"
                "\n"
                "Like SystemExit, this exception is derived from BaseException so that it will\n"
                "typically propagate all the way through the stack and cause the Python\n"
                "interpreter to exit."});
    return PyRef::steal(PyErr_NewExceptionWithDoc(qualified_name.c_str(), doc.c_str(),
                                                  PyExc_BaseException, nullptr));
}

}  // namespace

void raise_panic(const std::string& message, const SourceLocation& where) {
    // Whatever was pending is superseded by the panic.
    PyErr_Clear();
    const std::string text =
        message.empty() ? concat({"internal failure in the ", process::module_name, " module"})
                        : message;
    std::fprintf(stderr, "%s: internal failure at %s:%u (%s): ", process::module_name,
                 where.file_name(), where.line_number(), where.function_name());
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    const PyRef& type = process::panic_exception.once(make_panic_exception_type);
    if (!type) return;  // the interpreter's exception stays set
    PyRef argument = PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!argument) return;
    PyErr_SetObject(type.get(), argument.get());
}

}  // namespace atomblock::py
