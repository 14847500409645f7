// The keys of the atom-columns dict that both modules' read entries return
// ({"floats", "ints", "bools", "strs"}, in that insertion order), interned
// once per process and shared.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "boundary/process_state.hpp"
#include "boundary/py_ref.hpp"
#include "boundary/python_error.hpp"

namespace atomblock::py {

enum ResultKey : std::size_t { kFloatsKey, kIntsKey, kBoolsKey, kStrsKey };
inline constexpr std::array<const char*, process::kResultKeyCount> kResultKeyNames = {
    "floats", "ints", "bools", "strs"};

// The interned key str, made on first use and kept for the life of the
// process: a call on a small frame would otherwise spend a good part of its
// time making and hashing the keys. Borrowed.
inline PyObject* result_key(ResultKey key) {
    return process::result_keys[key]
        .once([key] {
            PyRef created = PyRef::steal(PyUnicode_InternFromString(kResultKeyNames[key]));
            if (!created) fail_result_creation();
            return created;
        })
        .get();
}

// Inserts a new value under `key`; a failing insertion passes the
// interpreter's exception.
inline void insert(PyObject* dict, ResultKey key, PyRef value) {
    if (PyDict_SetItem(dict, result_key(key), value.get()) < 0) throw_python_error();
}

}  // namespace atomblock::py
