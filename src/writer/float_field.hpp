// Float field of an atom line: "%16.8f" layout, correctly rounded, with
// "NaN" / "inf" / "-inf" for the special values.
//
// Magnitudes from 2^-12 to below 2^64 take an exact integer-arithmetic path
// that is inlined into the writer; the rest (tiny values, huge values, NaN and
// infinities) goes to an out-of-line routine.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/portable_ops.hpp"
#include "writer/decimal_digits.hpp"
#include "writer/short_float_field.hpp"

namespace atomblock::writer {

inline constexpr std::size_t kFloatFieldWidth = kShortFloatFieldWidth;  // "%16.8f"
inline constexpr std::size_t kFloatFractionDigits = 8;
// The largest finite double is about 1.8e308, so it has 309 integer digits.
inline constexpr std::size_t kMaxFloatIntegerDigits = 309;
// Sign, integer digits, point, fraction digits: 1 + 309 + 1 + 8 = 319 bytes.
inline constexpr std::size_t kMaxFloatFieldLength =
    1 + kMaxFloatIntegerDigits + 1 + kFloatFractionDigits;

namespace float_field_detail {

// binary64 layout: 1 sign bit, 11 exponent bits, 52 stored fraction bits.
inline constexpr unsigned kFractionBits = 52;
inline constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << kFractionBits) - 1;
inline constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << kFractionBits;
inline constexpr unsigned kExponentMask = 0x7FF;
inline constexpr unsigned kSignShift = 63;
// A normal value with biased exponent b is m * 2^(b - 1075), m the 53-bit
// significand (1023 bias + 52 fraction bits).
inline constexpr unsigned kExponentOffset = 1023 + kFractionBits;
// Biased exponent of 2^64: below it the integer part fits in 64 bits.
inline constexpr unsigned kFastExponentEnd = 1023 + 64;
// Biased exponent of 2^-12: from it on the binary point lies at most 64 bits
// right of the significand's last bit (1075 - 1011 = 64), so the fraction is
// exactly a 64-bit binary fixed-point number.
inline constexpr unsigned kFastExponentBegin = 1023 - 12;
// 10^8: one unit of the integer part in units of the last fraction digit.
inline constexpr std::uint32_t kFractionScale = 100000000;
// Half a unit of the last fraction digit, in the 2^-64 units of the remainder.
inline constexpr std::uint64_t kHalfRemainder = std::uint64_t{1} << 63;
inline constexpr char kSpaces[kFloatFieldWidth + 1] = "                ";

// Writes sign, integer part, point and the eight fraction digits (fraction
// below 10^8), right-aligned in kFloatFieldWidth; returns the length.
inline std::size_t write_fixed_field(bool negative, std::uint64_t integer_part,
                                     std::uint32_t fraction, char* out) noexcept {
    const std::size_t integer_digits = count_digits(integer_part);
    const std::size_t length = (negative ? 1 : 0) + integer_digits + 1 + kFloatFractionDigits;
    const std::size_t padding = length < kFloatFieldWidth ? kFloatFieldWidth - length : 0;
    std::memcpy(out, kSpaces, kFloatFieldWidth);
    char* p = out + padding;
    if (negative) *p++ = '-';
    p += integer_digits;
    write_digits_backward(integer_part, p);
    *p++ = '.';
    write_eight_digits(p, fraction);
    return padding + length;
}

// NaN, infinities, magnitudes of 2^64 and above and below 2^-12.
std::size_t format_float_field_slow(double value, char* out) noexcept;

}  // namespace float_field_detail

// Writes the float field of `value` at `out` and returns its length (at least
// kFloatFieldWidth). Precondition: kMaxFloatFieldLength bytes are writable.
inline std::size_t format_float_field(double value, char* out) noexcept {
    using namespace float_field_detail;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    const unsigned biased = static_cast<unsigned>(bits >> kFractionBits) & kExponentMask;
    if (biased < kFastExponentBegin || biased >= kFastExponentEnd) [[unlikely]] {
        return format_float_field_slow(value, out);
    }
    const bool negative = (bits >> kSignShift) != 0;
    const std::uint64_t significand = (bits & kFractionMask) | kHiddenBit;

    std::uint64_t integer_part;
    std::uint32_t fraction = 0;
    if (biased >= kExponentOffset) {
        integer_part = significand << (biased - kExponentOffset);  // an integer below 2^64
    } else {
        // value = significand / 2^shift with shift in 1..64.
        const unsigned shift = kExponentOffset - biased;
        integer_part = (significand >> (shift - 1)) >> 1;
        // The fraction as a 0.64 fixed-point number (integer bits shift out),
        // times 10^8: the high word is the truncated eight digits, the low word
        // the remainder in units of 2^-64.
        const std::uint64_t fixed = significand << (64 - shift);
        const ops::UInt128 scaled = ops::mul_64x64(fixed, kFractionScale);
        fraction = static_cast<std::uint32_t>(scaled.high);
        const std::uint64_t remainder = scaled.low;
        // Round half to even without a branch: the remainder's comparison
        // with one half is a coin flip on real data.
        const bool round_up =
            (remainder > kHalfRemainder) | ((remainder == kHalfRemainder) & ((fraction & 1u) != 0));
        fraction += static_cast<std::uint32_t>(round_up);
        if (fraction == kFractionScale) [[unlikely]] {
            fraction = 0;
            ++integer_part;  // cannot wrap: non-integers are below 2^53
        }
    }
    if (integer_part < (negative ? kShortNegativeIntegerLimit : kShortIntegerLimit)) [[likely]] {
        write_short_float_field(negative, static_cast<std::uint32_t>(integer_part), fraction, out);
        return kShortFloatFieldWidth;
    }
    return write_fixed_field(negative, integer_part, fraction, out);
}

}  // namespace atomblock::writer
