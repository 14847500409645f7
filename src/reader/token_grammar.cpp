// Token conversions: grammar checks for float, integer and boolean tokens.
// Decimal rounding itself lives in decimal_to_double.
#include "reader/token_grammar.hpp"

#include <bit>
#include <cstddef>
#include <limits>

#include "common/portable_ops.hpp"
#include "reader/decimal_to_double.hpp"
#include "reader/exact_quotient.hpp"
#include "reader/float_scan.hpp"

namespace atomblock::reader {
namespace {

// Exponent digits are accumulated only while the exponent so far is below
// this bound; later digits are read and ignored (so the exponent stays
// below 65536 * 10 and any ordinary significand gives infinity or zero).
constexpr std::uint32_t kExponentAccumulationLimit = 65536;

// 65536 has five digits, so an exponent of at most five digits is read whole
// and the text as written means the same number.
constexpr std::size_t kExponentDigitsReadWhole = 5;

// Quiet NaN with an empty payload, and the sign bit of binary64.
constexpr std::uint64_t kQuietNanBits = 0x7FF8000000000000;
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// Integer tokens are decimal.
constexpr std::int64_t kDecimalBase = 10;

// ASCII letters differ from their capitals only in this bit.
constexpr unsigned char kAsciiCaseBit = 0x20;

using float_scan::digit_value;
using float_scan::is_digit;

// Case-insensitive comparison of `text` with a lower-case ASCII word. Setting
// the case bit maps exactly a letter and its capital onto the lower-case
// letter (a-z lie 0x20 above A-Z), and no other byte onto a letter.
constexpr bool equals_ignoring_case(std::string_view text, std::string_view lower_word) noexcept {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) | kAsciiCaseBit) !=
            static_cast<unsigned char>(lower_word[i]))
            return false;
    }
    return true;
}

constexpr FloatParse float_ok(double value) noexcept {
    return FloatParse{value, FloatTokenError::invalid, true};
}

constexpr FloatParse float_error(FloatTokenError error) noexcept {
    return FloatParse{0.0, error, false};
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

// Reads the run of digits at p (possibly empty) into `leading` and returns
// its end. Eight bytes at a time while eight remain before `end`, then byte
// by byte. A whole group of `count` digits is taken at once exactly when
// take() would take each of them: when the value is below
// 10^(kLeadingDigitsMax - count), it stays below 10^(kLeadingDigitsMax - 1)
// until the group's last digit is taken.
[[gnu::always_inline]] inline const char* scan_digit_run(const char* p, const char* end,
                                                         LeadingDigits& leading) noexcept {
    using digit_words::kWordBytes;
    while (static_cast<std::size_t>(end - p) >= kWordBytes) {
        const std::uint64_t word = digit_words::load_word(p);
        const unsigned count = digit_words::leading_digit_bytes(word);
        if (count == 0) return p;
        if (leading.value < digit_words::kPow10[kLeadingDigitsMax - count]) {
            leading.value =
                leading.value * digit_words::kPow10[count] + digit_words::digits_value(word, count);
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
const char* scan_significand(std::string_view token, Significand& out) noexcept {
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
        out.fraction =
            std::string_view(fraction_begin, static_cast<std::size_t>(p - fraction_begin));
    }
    return p;
}

// The exact shortcut for a whole token [+-] digits [. digits] with at least
// one digit: when all its digits were taken, their integer is at most 2^53
// and the fraction has at most kExactPow10Max digits, both the integer and
// the power of ten are binary64 values and one correctly rounded division
// gives the correctly rounded result. Returns false when it does not apply.
bool exact_plain_value(const Significand& s, double& value) noexcept {
    const std::size_t fraction_digits = s.fraction.size();
    if (s.leading.more_digits || s.leading.value > kExactIntegerMax ||
        fraction_digits > static_cast<std::size_t>(kExactPow10Max) ||
        s.integer.size() + fraction_digits == 0)
        return false;
    value = exact_quotient(s.leading.value, fraction_digits, s.negative);
    return true;
}

// inf / infinity / nan after the optional sign; anything else is invalid.
FloatParse parse_special_word(std::string_view word, bool negative) noexcept {
    if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity")) {
        const double inf = std::numeric_limits<double>::infinity();
        return float_ok(negative ? -inf : inf);
    }
    if (equals_ignoring_case(word, "nan")) {
        return float_ok(std::bit_cast<double>(negative ? kQuietNanBits | kSignBit : kQuietNanBits));
    }
    return float_error(FloatTokenError::invalid);
}

// The rest of the float grammar once the significand scan stopped at p:
// special words, the exponent, the end of the token and the rounding.
FloatParse finish_float_token(const Significand& significand, const char* p, const char* end) {
    if (significand.integer.empty() && significand.fraction.empty()) {
        // No significand: a special word, or nothing the grammar accepts.
        if (p == significand.number_begin && p != end && *p != '.')
            return parse_special_word(std::string_view(p, static_cast<std::size_t>(end - p)),
                                      significand.negative);
        return float_error(FloatTokenError::invalid);
    }

    std::int64_t exponent = 0;
    bool exponent_read_whole = true;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool exponent_negative = p != end && *p == '-';
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !is_digit(*p)) return float_error(FloatTokenError::invalid);
        std::uint32_t magnitude = 0;
        const char* const exponent_begin = p;
        for (; p != end && is_digit(*p); ++p) {
            if (magnitude < kExponentAccumulationLimit)
                magnitude = magnitude * 10 + digit_value(*p);
        }
        exponent_read_whole =
            static_cast<std::size_t>(p - exponent_begin) <= kExponentDigitsReadWhole;
        exponent = exponent_negative ? -static_cast<std::int64_t>(magnitude) : magnitude;
    }
    if (p != end) return float_error(FloatTokenError::invalid);

    const char* const number_begin = significand.number_begin;
    const std::size_t text_size = static_cast<std::size_t>(end - number_begin);
    const std::string_view text = exponent_read_whole && text_size <= kDirectTextMax
                                      ? std::string_view(number_begin, text_size)
                                      : std::string_view();
    return float_ok(decimal_to_double(DecimalNumber{
        text, significand.integer, significand.fraction, exponent, significand.leading.value,
        significand.leading.more_digits, significand.negative}));
}

}  // namespace

namespace float_scan {

bool short_plain_value_other(std::uint64_t head, unsigned integer_digits, const char* fraction,
                             const char* end, bool negative, double& value) noexcept {
    using digit_words::kWordBytes;
    const auto fraction_digits = static_cast<unsigned>(end - fraction);
    if (fraction_digits == 0 || fraction_digits > kShortFractionDigitsMax ||
        integer_digits + fraction_digits > static_cast<unsigned>(kLeadingDigitsMax))
        return false;
    std::uint64_t digits = digit_words::digits_value(head, integer_digits);
    unsigned tail_digits = fraction_digits;
    if (fraction_digits > kWordBytes) {
        const std::uint64_t word = digit_words::load_word(fraction);
        if (!digit_words::all_digits(word)) return false;
        digits =
            digits * digit_words::kPow10[kWordBytes] + digit_words::digits_value(word, kWordBytes);
        tail_digits -= kWordBytes;
    }
    // The last tail_digits bytes, from the word that ends the number: its
    // lower bytes, already read, are shifted out and zero bytes (no digits)
    // come in at the top.
    const std::uint64_t tail =
        digit_words::load_word(end - kWordBytes) >> (8 * (kWordBytes - tail_digits));
    if (digit_words::leading_digit_bytes(tail) != tail_digits) return false;
    digits =
        digits * digit_words::kPow10[tail_digits] + digit_words::digits_value(tail, tail_digits);
    if (digits > kExactIntegerMax) return false;
    value = exact_quotient(digits, fraction_digits, negative);
    return true;
}

}  // namespace float_scan

namespace detail {

FloatParse parse_float_general(std::string_view token) {
    Significand significand;
    const char* const stop = scan_significand(token, significand);
    const char* const end = token.data() + token.size();
    double value;
    if (stop == end && exact_plain_value(significand, value))
        return FloatParse{value, FloatTokenError::invalid, true};
    return finish_float_token(significand, stop, end);
}

IntParse parse_long_int(std::string_view digits, bool negative) noexcept {
    const IntTokenError out_of_range =
        negative ? IntTokenError::too_small : IntTokenError::too_large;
    std::int64_t value = 0;
    for (char c : digits) {
        if (!is_digit(c)) return IntParse{0, IntTokenError::invalid_digit, false};
        const auto d = static_cast<std::int64_t>(digit_value(c));
        if (ops::mul_overflow(value, kDecimalBase, value) ||
            (negative ? ops::sub_overflow(value, d, value) : ops::add_overflow(value, d, value)))
            return IntParse{0, out_of_range, false};
    }
    return IntParse{value, IntTokenError::empty, true};
}

std::optional<bool> parse_bool_word(std::string_view token) noexcept {
    switch (token.size()) {
        case 4:
            if (token == "True" || token == "TRUE" || token == "true") return true;
            break;
        case 5:
            if (token == "False" || token == "FALSE" || token == "false") return false;
            break;
        default: break;
    }
    return std::nullopt;
}

}  // namespace detail

std::string_view reason_text(FloatTokenError error) noexcept {
    switch (error) {
        case FloatTokenError::empty: return "cannot parse float from empty string";
        case FloatTokenError::invalid: return "invalid float literal";
    }
    return "invalid float literal";
}

std::string_view reason_text(IntTokenError error) noexcept {
    switch (error) {
        case IntTokenError::empty: return "cannot parse integer from empty string";
        case IntTokenError::invalid_digit: return "invalid digit found in string";
        case IntTokenError::too_large: return "number too large to fit in target type";
        case IntTokenError::too_small: return "number too small to fit in target type";
    }
    return "invalid digit found in string";
}

}  // namespace atomblock::reader
