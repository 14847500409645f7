// Building, describing and checking Python exceptions for the boundary.
#include "boundary/python_error.hpp"

#include "common/internal_failure.hpp"

namespace atomblock::py {

void throw_python_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoExceptionSetMessage);
    throw PythonError();
}

void raise(PyObject* type, std::string_view message) {
    raise(type, PyRef::steal(PyUnicode_DecodeUTF8(
                    message.data(), static_cast<Py_ssize_t>(message.size()), "strict")));
}

void raise(PyObject* type, PyRef message) {
    if (!message) throw_python_error();
    PyErr_SetObject(type, message.get());
    throw PythonError();
}

PyRef type_qualname(PyObject* obj) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) return name;
    PyErr_Clear();
    return checked(PyUnicode_FromString("<failed to extract type name>"));
}

namespace {

// UTF-8 of a str, whole (NUL characters included), lone surrogates escaped.
std::string utf8_text(PyObject* str) {
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace

std::string take_error_description() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return "no Python exception was set";
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
          owned_traceback = PyRef::steal(traceback);
    std::string description = "<unknown exception>";
    if (PyType_Check(type)) description = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    if (owned_value) {
        PyRef text = PyRef::steal(PyObject_Str(owned_value.get()));
        const std::string message = text ? utf8_text(text.get()) : std::string();
        if (!message.empty()) description.append(": ").append(message);
    }
    PyErr_Clear();
    return description;
}

PyRef cannot_convert_message(PyObject* obj, const char* target) {
    PyRef qualname = type_qualname(obj);
    return checked(
        PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target));
}

void fail_result_creation() {
    if (PyErr_Occurred()) PyErr_PrintEx(0);
    fail("Python API call failed");
}

}  // namespace atomblock::py
