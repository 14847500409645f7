// Building the string columns of a read as Python lists of str.
#include "lib/string_columns.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "common/huge_pages.hpp"
#include "lib/python_error.hpp"

namespace atomblock::py {
namespace {

constexpr Py_UCS4 kMaxAsciiCodePoint = 0x7F;

bool is_ascii(std::string_view token) noexcept {
    unsigned char any = 0;
    for (char c : token) any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

// A new str with the token's characters; the token is valid UTF-8.
PyObject* new_str(std::string_view token) {
    const auto size = static_cast<Py_ssize_t>(token.size());
    if (is_ascii(token)) {
        PyObject* str = PyUnicode_New(size, kMaxAsciiCodePoint);
        if (str != nullptr) std::memcpy(PyUnicode_DATA(str), token.data(), token.size());
        return str;
    }
    return PyUnicode_DecodeUTF8(token.data(), size, "strict");
}

// Symbol and label columns repeat a few short tokens over and over, so each
// call keeps a small direct-mapped cache from token bytes to the str made for
// them and hands out that same (immutable) str again.
class StrCache {
public:
    // Tokens longer than this are rarely repeated; they bypass the cache.
    static constexpr std::size_t kMaxCachedLength = 32;
    // Power of two, so that the slot is the hash's low bits.
    static constexpr std::size_t kSlots = 64;

    StrCache() = default;
    StrCache(const StrCache&) = delete;
    StrCache& operator=(const StrCache&) = delete;
    ~StrCache() {
        for (PyObject* str : strs_) Py_XDECREF(str);
    }

    // A new reference to a str equal to the token, or null with an error set.
    PyObject* get(std::string_view token) {
        if (token.size() > kMaxCachedLength) return new_str(token);
        const std::size_t slot = hash(token) & (kSlots - 1);
        if (strs_[slot] != nullptr && keys_[slot] == token) {
            Py_INCREF(strs_[slot]);
            return strs_[slot];
        }
        PyObject* str = new_str(token);
        if (str == nullptr) return nullptr;
        Py_XDECREF(strs_[slot]);
        Py_INCREF(str);
        strs_[slot] = str;
        keys_[slot] = token;  // views into the caller's lines, alive for the call
        return str;
    }

private:
    static std::size_t hash(std::string_view token) noexcept {
        // FNV-1a, 64-bit: offset basis and prime of the published parameters.
        constexpr std::uint64_t kOffsetBasis = 14695981039346656037ull;
        constexpr std::uint64_t kPrime = 1099511628211ull;
        std::uint64_t h = kOffsetBasis;
        for (char c : token) h = (h ^ static_cast<unsigned char>(c)) * kPrime;
        return static_cast<std::size_t>(h ^ (h >> 32));
    }

    std::array<PyObject*, kSlots> strs_{};
    std::array<std::string_view, kSlots> keys_{};
};

}  // namespace

PyRef make_string_columns(const std::vector<std::vector<std::string_view>>& columns) {
    PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
    if (!outer) fail_result_creation();
    StrCache cache;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const auto& column = columns[c];
        PyObject* inner = PyList_New(static_cast<Py_ssize_t>(column.size()));
        if (inner == nullptr) fail_result_creation();
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(c), inner);  // steals
        // The item array of a new list is zeroed but not yet touched.
        advise_huge_pages(reinterpret_cast<PyListObject*>(inner)->ob_item,
                          column.size() * sizeof(PyObject*));
        for (std::size_t r = 0; r < column.size(); ++r) {
            PyObject* value = cache.get(column[r]);
            if (value == nullptr) fail_result_creation();
            PyList_SET_ITEM(inner, static_cast<Py_ssize_t>(r), value);  // steals
        }
    }
    return outer;
}

}  // namespace atomblock::py
