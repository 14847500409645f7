// Correctly rounded conversion of an already validated decimal number to binary64.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reader/exact_quotient.hpp"

namespace atomblock::reader {

// A decimal number split up by the float grammar: value = (integer digits,
// fraction digits) x 10^exponent, negated when `negative`. The digit views
// hold ASCII digits only (either may be empty, not both).
//
// `leading` carries what the grammar scanner accumulated on the way: the
// first up-to-kLeadingDigitsMax significant digits as an integer, and whether
// more significant digits followed (`more_digits`). It lets ordinary tokens
// take an exact shortcut without a second pass over the digits.
//
// `text` is the number as written, without its sign, when std::from_chars
// can round it directly (at most kDirectTextMax bytes and an exponent read
// whole, see the grammar); otherwise it is empty.
struct DecimalNumber {
    std::string_view text;
    std::string_view integer;
    std::string_view fraction;
    std::int64_t exponent;
    std::uint64_t leading;
    bool more_digits;
    bool negative;
};

// A uint64 holds every 19-digit decimal (10^19 - 1 < 2^64 ~ 1.8e19).
inline constexpr int kLeadingDigitsMax = 19;

// Longest text passed to std::from_chars as written: not above the 800
// digits that the canonical rounding keeps (see decimal_to_double.cpp).
inline constexpr std::size_t kDirectTextMax = 800;

// The binary64 nearest to the number, ties to even; beyond the largest finite
// value it is a signed infinity, at or below half the smallest subnormal a
// signed zero. Allocation-free; throws InternalFailure only if the standard
// library refuses the canonical text it is given (a broken invariant).
double decimal_to_double(const DecimalNumber& number);

}  // namespace atomblock::reader
