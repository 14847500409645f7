// Integer field of an atom line: "%8d" layout for any signed 64-bit value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "writer/decimal_digits.hpp"

namespace atomblock::writer {

inline constexpr std::size_t kIntFieldWidth = 8;
// Sign and the 19 digits of 2^63 (the magnitude of INT64_MIN): 20 bytes.
inline constexpr std::size_t kMaxIntFieldLength = 20;

// Writes the integer field of `value` at `out` and returns its length (at
// least kIntFieldWidth). Precondition: kMaxIntFieldLength bytes are writable.
std::size_t format_int_field(std::int64_t value, char* out) noexcept;

}  // namespace atomblock::writer
