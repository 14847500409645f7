// Building, describing and checking Python exceptions for the boundary.
#include "lib/python_error.hpp"

#include "common/internal_failure.hpp"

namespace atomblock::py {

void throw_python_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoExceptionSetMessage);
    throw PythonError();
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError();
}

std::string type_qualname(PyObject* obj) {
    static constexpr const char* kUnknown = "<failed to extract type name>";
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                                     "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return kUnknown;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return kUnknown;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

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
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 != nullptr && *utf8 != '\0') description += std::string(": ") + utf8;
    }
    PyErr_Clear();
    return description;
}

std::string cannot_convert_message(PyObject* obj, std::string_view target) {
    return concat({"'", type_qualname(obj), "' object cannot be converted to '", target, "'"});
}

void fail_result_creation() {
    if (PyErr_Occurred()) PyErr_PrintEx(0);
    fail("Python API call failed");
}

}  // namespace atomblock::py
