// Integer field of an atom line: "%8d" layout for any signed 64-bit value.
// Magnitudes that fill at most the 8-byte width are written inline as one word
// store; longer ones out of line.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/portable_ops.hpp"
#include "writer/decimal_digits.hpp"

namespace atomblock::writer {

inline constexpr std::size_t kIntFieldWidth = 8;
// Sign and the 19 digits of 2^63 (the magnitude of INT64_MIN): 20 bytes.
inline constexpr std::size_t kMaxIntFieldLength = 20;

namespace int_field_detail {

// Magnitudes below these fill at most the 8-byte field: 8 digits unsigned,
// 7 digits after a "-".
inline constexpr std::uint64_t kShortLimit = 100000000;
inline constexpr std::uint64_t kShortNegativeLimit = 10000000;
inline constexpr unsigned kUnitsDigitByte = kIntFieldWidth - 1;  // never blanked
inline constexpr unsigned kSignShift = 63;  // arithmetic shift that spreads the sign bit

// Magnitudes beyond the short limits: digits at full length.
std::size_t format_long_int_field(bool negative, std::uint64_t magnitude, char* out) noexcept;

}  // namespace int_field_detail

// Writes the integer field of `value` at `out` and returns its length (at
// least kIntFieldWidth). Precondition: kMaxIntFieldLength bytes are writable.
inline std::size_t format_int_field(std::int64_t value, char* out) noexcept {
    using namespace int_field_detail;
    // Magnitude without a branch (signs of real data are a coin flip): all
    // ones for a negative value, then two's-complement negation in unsigned
    // arithmetic, so INT64_MIN gives 2^63.
    const std::uint64_t sign_mask = static_cast<std::uint64_t>(value >> kSignShift);
    const bool negative = sign_mask != 0;
    const std::uint64_t magnitude = (static_cast<std::uint64_t>(value) ^ sign_mask) - sign_mask;
    const std::uint64_t limit = kShortLimit - (sign_mask & (kShortLimit - kShortNegativeLimit));
    if (magnitude >= limit) [[unlikely]] {
        return format_long_int_field(negative, magnitude, out);
    }
    const std::uint64_t lanes = eight_digit_lanes(static_cast<std::uint32_t>(magnitude));
    // Leading zero digits become spaces; the units digit always stays. At most
    // 7 leading bytes, so the shifts stay below 64.
    const unsigned leading = static_cast<unsigned>(std::countr_zero(
                                 lanes | (std::uint64_t{1} << (kByteBits * kUnitsDigitByte)))) /
                             kByteBits;
    const std::uint64_t leading_mask = (std::uint64_t{1} << (kByteBits * leading)) - 1;
    std::uint64_t word = ((lanes | kAsciiZeros) & ~leading_mask) | (kSpaceBytes & leading_mask);
    // A negative value has at least one leading space; the last one becomes "-".
    const std::uint64_t sign = (std::uint64_t{'-' ^ ' '} << (kByteBits * leading)) >> kByteBits;
    word ^= sign & (std::uint64_t{0} - static_cast<std::uint64_t>(negative));
    ops::store_le64(out, word);
    return kIntFieldWidth;
}

}  // namespace atomblock::writer
