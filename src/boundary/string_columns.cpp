// Building the string columns of a read as Python lists of str.
#include "boundary/string_columns.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "boundary/python_error.hpp"
#include "common/huge_pages.hpp"

namespace atomblock::py {
namespace {

constexpr Py_UCS4 kMaxAsciiCodePoint = 0x7F;

bool is_ascii(std::string_view token) noexcept {
    unsigned char any = 0;
    for (char c : token) any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

// A new str with the token's characters (the token is valid UTF-8), or
// null with an exception set.
PyRef new_str(std::string_view token) {
    const auto size = static_cast<Py_ssize_t>(token.size());
    if (is_ascii(token)) {
        PyRef str = PyRef::steal(PyUnicode_New(size, kMaxAsciiCodePoint));
        if (str) std::memcpy(PyUnicode_DATA(str.get()), token.data(), token.size());
        return str;
    }
    return PyRef::steal(PyUnicode_DecodeUTF8(token.data(), size, "strict"));
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

    // A str equal to the token, or null with an exception set.
    PyRef get(std::string_view token) {
        if (token.size() > kMaxCachedLength) return new_str(token);
        const std::size_t slot = hash(token) & (kSlots - 1);
        if (strs_[slot] && keys_[slot] == token) return PyRef::borrow(strs_[slot].get());
        strs_[slot] = new_str(token);  // null when creation failed: never a hit
        keys_[slot] = token;           // views into the caller's lines, alive for the call
        return PyRef::borrow(strs_[slot].get());
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

    std::array<PyRef, kSlots> strs_{};
    std::array<std::string_view, kSlots> keys_{};
};

}  // namespace

PyRef make_string_columns(const std::vector<std::vector<std::string_view>>& columns) {
    PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
    if (!outer) fail_result_creation();
    StrCache cache;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const auto& column = columns[c];
        PyRef new_inner = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(column.size())));
        if (!new_inner) fail_result_creation();
        PyObject* inner = new_inner.get();
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(c), new_inner.release());  // steals
        // The item array of a new list is zeroed but not yet touched.
        advise_huge_pages(reinterpret_cast<PyListObject*>(inner)->ob_item,
                          column.size() * sizeof(PyObject*));
        for (std::size_t r = 0; r < column.size(); ++r) {
            PyRef value = cache.get(column[r]);
            if (!value) fail_result_creation();
            PyList_SET_ITEM(inner, static_cast<Py_ssize_t>(r), value.release());  // steals
        }
    }
    return outer;
}

}  // namespace atomblock::py
