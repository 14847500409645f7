// Sequence, string, byte and integer conversion of call arguments.
#include "boundary/conversions.hpp"

#include <algorithm>
#include <string>

#include "boundary/python_error.hpp"
#include "common/huge_pages.hpp"

namespace atomblock::py {
namespace {

// A sequence's __len__ is only a hint for reserving room and may lie; beyond
// this many entries the vector grows geometrically instead of trusting it.
constexpr Py_ssize_t kMaxReservationHint = Py_ssize_t{1} << 16;

constexpr long kLargestByte = 255;  // a column type code is one unsigned byte

[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, cannot_convert_message(obj, target));
}

// Steps shared by both sequence arguments: refuse str and non-sequences,
// read the length hint, then call convert_item(borrowed item) for every item
// in iteration order. Lists and tuples are walked directly, exactly as their
// iterators would walk them; item conversion runs no Python code.
template <class Reserve, class ConvertItem>
void for_each_item(PyObject* seq, Reserve&& reserve, ConvertItem&& convert_item) {
    if (PyUnicode_Check(seq)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(seq)) raise_cannot_convert(seq, "Sequence");

    if (PyList_CheckExact(seq)) {
        reserve(static_cast<std::size_t>(PyList_GET_SIZE(seq)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) convert_item(PyList_GET_ITEM(seq, i));
        return;
    }
    if (PyTuple_CheckExact(seq)) {
        reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(seq)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i)
            convert_item(PyTuple_GET_ITEM(seq, i));
        return;
    }

    const Py_ssize_t hint = PySequence_Size(seq);
    if (hint < 0)
        PyErr_Clear();
    else
        reserve(static_cast<std::size_t>(std::min(hint, kMaxReservationHint)));

    PyRef iterator = checked(PyObject_GetIter(seq));
    for (;;) {
        PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) throw PythonError();
            break;
        }
        convert_item(item.get());
    }
}

}  // namespace

ConvertedLines convert_lines(PyObject* lines) {
    ConvertedLines converted;
    for_each_item(
        lines,
        [&](std::size_t n) {
            converted.holds.reserve(n);
            converted.utf8.reserve(n);
            advise_huge_pages(converted.holds.data(), n * sizeof(PyRef));
            advise_huge_pages(converted.utf8.data(), n * sizeof(std::string_view));
        },
        [&](PyObject* item) {
            if (!PyUnicode_Check(item)) raise_cannot_convert(item, "PyString");
            Py_ssize_t size = 0;
            // Strict UTF-8; a lone surrogate raises UnicodeEncodeError. The
            // bytes live inside the str object, held below.
            const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
            if (utf8 == nullptr) throw_python_error();
            converted.holds.push_back(PyRef::borrow(item));
            converted.utf8.emplace_back(utf8, static_cast<std::size_t>(size));
        });
    return converted;
}

std::vector<std::uint8_t> convert_col_types(PyObject* col_types) {
    std::vector<std::uint8_t> codes;
    // bytes and bytearray iterate as their own byte values.
    if (PyBytes_CheckExact(col_types)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(col_types));
        codes.assign(data, data + PyBytes_GET_SIZE(col_types));
        return codes;
    }
    if (PyByteArray_CheckExact(col_types)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(col_types));
        codes.assign(data, data + PyByteArray_GET_SIZE(col_types));
        return codes;
    }
    for_each_item(
        col_types, [&](std::size_t n) { codes.reserve(n); },
        [&](PyObject* item) {
            const long value = PyLong_AsLong(item);
            if (value == -1 && PyErr_Occurred()) throw PythonError();
            if (value < 0 || value > kLargestByte)
                raise(PyExc_OverflowError, "out of range integral type conversion attempted");
            codes.push_back(static_cast<std::uint8_t>(value));
        });
    return codes;
}

std::uint64_t convert_sym_width(PyObject* sym_width) {
    PyRef index;
    PyObject* integer = sym_width;
    if (!PyLong_Check(sym_width)) {
        index = checked(PyNumber_Index(sym_width));
        integer = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError();
    return value;
}

void rename_type_error(const char* argument_name) {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, kNoExceptionSetMessage);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
          owned_traceback = PyRef::steal(traceback);
    if (type != PyExc_TypeError) {  // a subclass: passes unchanged
        PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
        return;
    }
    PyRef text = checked(PyObject_Str(owned_value.get()));
    PyRef message = checked(PyUnicode_FromFormat("argument '%s': %U", argument_name, text.get()));
    PyRef renamed = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    // SetCause steals the cause and also sets __suppress_context__.
    PyException_SetCause(renamed.get(), PyException_GetCause(owned_value.get()));
    PyErr_SetObject(PyExc_TypeError, renamed.get());
}

}  // namespace atomblock::py
