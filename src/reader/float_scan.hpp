// The significand part of the float grammar, inline so that the reader's
// loop converts ordinary tokens ([+-] digits [. digits], exactly
// representable) without a call; everything else continues out of line.
#pragma once

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

// The first kLeadingDigitsMax significant digits of a significand as an
// integer, and whether more digits followed. A digit is taken while fewer
// than kLeadingDigitsMax significant ones are held, that is while the value
// is below 10^(kLeadingDigitsMax - 1): leading zeros add nothing to it.
struct LeadingDigits {
    std::uint64_t value = 0;
    bool more_digits = false;

    void take(char c) noexcept {
        if (value < digit_words::kPow10[kLeadingDigitsMax - 1]) {
            value = value * 10 + digit_value(c);
        } else {
            more_digits = true;
        }
    }
};

// `magnitude` (not negative, not NaN) with the sign bit set when `negative`.
// Setting the bit instead of negating keeps a random sign from costing a
// mispredicted branch.
inline double with_sign_bit(double magnitude, bool negative) noexcept {
    constexpr unsigned kSignShift = 63;  // the sign is the top bit of binary64
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) |
                                 std::uint64_t{negative} << kSignShift);
}

// Reads the run of digits at p (possibly empty) into `leading` and returns
// its end. Eight bytes at a time while eight remain before `end`, then byte
// by byte. A whole group of `count` digits is taken at once exactly when
// take() would take each of them: when the value is below
// 10^(kLeadingDigitsMax - count), it stays below 10^(kLeadingDigitsMax - 1)
// until the group's last digit is taken.
inline const char* scan_digit_run(const char* p, const char* end, LeadingDigits& leading) noexcept {
    using digit_words::kWordBytes;
    while (static_cast<std::size_t>(end - p) >= kWordBytes) {
        const std::uint64_t word = digit_words::load_word(p);
        const unsigned count = digit_words::leading_digit_bytes(word);
        if (count == 0) return p;
        if (leading.value < digit_words::kPow10[kLeadingDigitsMax - count]) {
            leading.value = leading.value * digit_words::kPow10[count] +
                            digit_words::digits_value(word, count);
        } else {
            for (unsigned i = 0; i < count; ++i) leading.take(p[i]);
        }
        p += count;
        if (count < kWordBytes) return p;
    }
    while (p != end && is_digit(*p)) leading.take(*p++);
    return p;
}

// What the significand scan of a float token found: the number as written
// after its sign starts at number_begin; the integer and fraction digit
// runs (either may be empty) and their leading digits.
struct Significand {
    const char* number_begin;
    std::string_view integer;
    std::string_view fraction;
    LeadingDigits leading;
    bool negative;
};

// Scans [+-] digits* [. digits*] from the start of a non-empty token and
// returns where the scan stopped.
inline const char* scan_significand(std::string_view token, Significand& out) noexcept {
    const char* p = token.data();
    const char* const end = p + token.size();
    out.negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    out.number_begin = p;
    const char* const integer_begin = p;
    p = scan_digit_run(p, end, out.leading);
    out.integer = std::string_view(integer_begin, static_cast<std::size_t>(p - integer_begin));
    out.fraction = std::string_view();
    if (p != end && *p == '.') {
        const char* const fraction_begin = ++p;
        p = scan_digit_run(p, end, out.leading);
        out.fraction = std::string_view(fraction_begin, static_cast<std::size_t>(p - fraction_begin));
    }
    return p;
}

// The exact shortcut for a whole token [+-] digits [. digits] with at least
// one digit: when all its digits were taken, their integer is at most 2^53
// and the fraction has at most kExactPow10Max digits, both the integer and
// the power of ten are binary64 values and one correctly rounded division
// gives the correctly rounded result. Returns false when it does not apply.
inline bool exact_plain_value(const Significand& s, double& value) noexcept {
    const std::size_t fraction_digits = s.fraction.size();
    if (s.leading.more_digits || s.leading.value > kExactIntegerMax ||
        fraction_digits > static_cast<std::size_t>(kExactPow10Max) ||
        s.integer.size() + fraction_digits == 0)
        return false;
    const double magnitude = static_cast<double>(s.leading.value) / kExactPow10[fraction_digits];
    value = with_sign_bit(magnitude, s.negative);
    return true;
}

// Digits in the integer part of a short plain decimal: they and the point
// fit in the first word of the number.
inline constexpr unsigned kShortIntegerDigitsMax = digit_words::kWordBytes - 1;

// Digits in the fraction of a short plain decimal: two words.
inline constexpr unsigned kShortFractionDigitsMax = 2 * digit_words::kWordBytes;

// The value of a number (after its sign, ending at `end`) of the form
// d{1,7} . d{1,16} with at most kLeadingDigitsMax digits in all, which is
// what fixed-point writers such as "%16.8f" produce, when its digits form an
// integer of at most 2^53: then the division by the exact power of ten is
// correctly rounded, as in exact_plain_value. Returns false for every other
// number, which the general scan then reads. Precondition: the number has
// at least kWordBytes bytes, so every word loaded lies within it.
inline bool short_plain_value(const char* p, const char* end, double& magnitude) noexcept {
    using digit_words::kWordBytes;
    const std::uint64_t head = digit_words::load_word(p);
    const unsigned integer_digits = digit_words::leading_digit_bytes(head);
    if (integer_digits == 0 || integer_digits > kShortIntegerDigitsMax || p[integer_digits] != '.')
        return false;
    const char* const fraction = p + integer_digits + 1;
    const auto fraction_digits = static_cast<unsigned>(end - fraction);
    if (fraction_digits == 0 || fraction_digits > kShortFractionDigitsMax ||
        integer_digits + fraction_digits > static_cast<unsigned>(kLeadingDigitsMax))
        return false;

    std::uint64_t value = digit_words::digits_value(head, integer_digits);
    unsigned tail_digits = fraction_digits;
    if (fraction_digits > kWordBytes) {
        const std::uint64_t word = digit_words::load_word(fraction);
        if (digit_words::leading_digit_bytes(word) != kWordBytes) return false;
        value = value * digit_words::kPow10[kWordBytes] + digit_words::digits_value(word, kWordBytes);
        tail_digits -= kWordBytes;
    }
    // The last tail_digits bytes, from the word that ends the number: its
    // lower bytes, already read, are shifted out and zero bytes (no digits)
    // come in at the top.
    const std::uint64_t tail = digit_words::load_word(end - kWordBytes) >> (8 * (kWordBytes - tail_digits));
    if (digit_words::leading_digit_bytes(tail) != tail_digits) return false;
    value = value * digit_words::kPow10[tail_digits] + digit_words::digits_value(tail, tail_digits);
    if (value > kExactIntegerMax) return false;
    magnitude = static_cast<double>(value) / kExactPow10[fraction_digits];
    return true;
}

}  // namespace atomblock::reader::float_scan
