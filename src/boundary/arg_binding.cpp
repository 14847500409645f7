// Argument binding with the interpreter's own wording of binding faults.
#include "boundary/arg_binding.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "boundary/python_error.hpp"

namespace atomblock::py {
namespace {

std::string full_name(const Signature& signature) {
    return concat({signature.name, "()"});
}

std::string quoted(std::string_view name) {
    return concat({"'", name, "'"});
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string missing_list(const std::vector<std::string_view>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2)
                list += " and ";
            else if (i + 1 == names.size())
                list += ", and ";
            else
                list += ", ";
        }
        list += quoted(names[i]);
    }
    return list;
}

// "<name>() got an unexpected keyword argument '<str(keyword)>'", built from
// the keyword's str itself: it may hold NUL characters or lone surrogates.
PyRef unexpected_keyword_message(const Signature& signature, PyObject* keyword) {
    PyRef text = checked(PyObject_Str(keyword));
    return checked(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                        full_name(signature).c_str(), text.get()));
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound) {
    const std::size_t nparams = signature.parameters.size();
    for (PyObject*& slot : bound) slot = nullptr;

    if (static_cast<std::size_t>(nargs) > nparams) {
        raise(PyExc_TypeError, concat({full_name(signature), " takes ", std::to_string(nparams),
                                       " positional arguments but ", std::to_string(nargs), " ",
                                       nargs == 1 ? "was" : "were", " given"}));
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* utf8 =
            PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
        if (utf8 == nullptr) PyErr_Clear();
        const std::string_view name = utf8 == nullptr
                                          ? std::string_view()
                                          : std::string_view(utf8, static_cast<std::size_t>(size));
        std::size_t index = nparams;
        for (std::size_t p = 0; p < nparams && utf8 != nullptr; ++p) {
            if (signature.parameters[p] == name) {
                index = p;
                break;
            }
        }
        if (index == nparams) {
            raise(PyExc_TypeError, unexpected_keyword_message(signature, keyword));
        }
        if (bound[index] != nullptr) {
            raise(PyExc_TypeError,
                  concat({full_name(signature), " got multiple values for argument ",
                          quoted(signature.parameters[index])}));
        }
        bound[index] = args[nargs + k];
    }

    std::vector<std::string_view> missing;
    for (std::size_t p = 0; p < std::min(nparams, signature.required); ++p)
        if (bound[p] == nullptr) missing.push_back(signature.parameters[p]);
    if (!missing.empty()) {
        raise(PyExc_TypeError,
              concat({full_name(signature), " missing ", std::to_string(missing.size()),
                      " required positional ", missing.size() == 1 ? "argument" : "arguments", ": ",
                      missing_list(missing)}));
    }
}

}  // namespace atomblock::py
