// The short fixed-point path of the float grammar, inline so that the
// reader's loop converts such tokens without a call; every other token takes
// the general scan of token_grammar.cpp.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reader/decimal_to_double.hpp"
#include "reader/digit_words.hpp"

namespace atomblock::reader::float_scan {

constexpr bool is_digit(char c) noexcept {
    return static_cast<unsigned char>(c - '0') <= 9;
}

constexpr unsigned digit_value(char c) noexcept {
    return static_cast<unsigned char>(c - '0');
}

// `magnitude` (not negative, not NaN) with the sign bit set when `negative`.
// Setting the bit instead of negating keeps a random sign from costing a
// mispredicted branch.
inline double with_sign_bit(double magnitude, bool negative) noexcept {
    constexpr unsigned kSignShift = 63;  // the sign is the top bit of binary64
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) |
                                 std::uint64_t{negative} << kSignShift);
}

// Digits in the integer part of a short plain decimal: they and the point
// fit in the first word of the number.
inline constexpr unsigned kShortIntegerDigitsMax = digit_words::kWordBytes - 1;

// Digits in the fraction of a short plain decimal: two words.
inline constexpr unsigned kShortFractionDigitsMax = 2 * digit_words::kWordBytes;

// The exact powers of ten of kExactPow10, positive and negated: dividing by
// -10^k gives the negated correctly rounded quotient (rounding to nearest
// is symmetric), so the sign is applied without a branch on it.
inline constexpr std::array<std::array<double, kExactPow10Max + 1>, 2> kSignedExactPow10 = [] {
    std::array<std::array<double, kExactPow10Max + 1>, 2> table{};
    for (std::size_t k = 0; k < kExactPow10.size(); ++k) {
        table[0][k] = kExactPow10[k];
        table[1][k] = -kExactPow10[k];
    }
    return table;
}();

// The fraction digits of the shortcut below's common case: "%.8f" writes
// eight, exactly one word.
inline constexpr unsigned kWordFractionDigits = digit_words::kWordBytes;

// Like short_plain_value, for fractions of other lengths.
bool short_plain_value_other(std::uint64_t integer, unsigned integer_digits, const char* fraction,
                             const char* end, bool negative, double& value) noexcept;

// The value of a number (after its sign, ending at `end`, negated when
// `negative`) of the form d{1,7} . d{1,16} with at most kLeadingDigitsMax
// digits in all, which is what fixed-point writers such as "%16.8f"
// produce, when its digits form an integer of at most 2^53: then the
// division by the exact power of ten is correctly rounded, as in the exact
// shortcut of decimal_to_double. Returns false for every other number,
// which the general scan then reads. Precondition: the number has at least
// kWordBytes bytes, so every word loaded lies within it.
inline bool short_plain_value(const char* p, const char* end, bool negative, double& value) noexcept {
    using digit_words::kWordBytes;
    const std::uint64_t head = digit_words::load_word(p);
    const unsigned integer_digits = digit_words::leading_digit_bytes(head);
    // integer_digits - 1 wraps for 0, so one test keeps 1 .. kShortIntegerDigitsMax.
    if (integer_digits - 1 >= kShortIntegerDigitsMax || p[integer_digits] != '.') return false;
    const char* const fraction = p + integer_digits + 1;
    const std::uint64_t integer = digit_words::digits_value(head, integer_digits);
    if (end - fraction != kWordFractionDigits)
        return short_plain_value_other(integer, integer_digits, fraction, end, negative, value);
    // At most 7 + 8 digits: the integer stays below 10^15 < 2^53.
    const std::uint64_t word = digit_words::load_word(fraction);
    if (!digit_words::all_digits(word)) return false;
    const std::uint64_t digits = integer * digit_words::kPow10[kWordFractionDigits] +
                                 digit_words::digits_value(word, kWordFractionDigits);
    value = static_cast<double>(digits) / kSignedExactPow10[negative][kWordFractionDigits];
    return true;
}

}  // namespace atomblock::reader::float_scan
