// Token conversions: grammar checks for float, integer and boolean tokens.
// Decimal rounding itself lives in decimal_to_double.
#include "reader/token_grammar.hpp"

#include <bit>
#include <cstddef>
#include <limits>

#include "reader/decimal_to_double.hpp"
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

// ASCII letters differ from their capitals only in this bit.
constexpr unsigned char kAsciiCaseBit = 0x20;

// An int64 token of at most 18 digits cannot leave the range (10^18 - 1 < 2^63 - 1).
constexpr std::size_t kIntDigitsAlwaysInRange = 18;

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

}  // namespace

namespace detail {

FloatParse finish_float_token(const float_scan::Significand& significand, const char* p,
                              const char* end) {
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
            if (magnitude < kExponentAccumulationLimit) magnitude = magnitude * 10 + digit_value(*p);
        }
        exponent_read_whole = static_cast<std::size_t>(p - exponent_begin) <= kExponentDigitsReadWhole;
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

}  // namespace detail

IntParse parse_int_token(std::string_view token) noexcept {
    if (token.empty()) return IntParse{0, IntTokenError::empty, false};
    const bool negative = token[0] == '-';
    if (token[0] == '+' || token[0] == '-') token.remove_prefix(1);
    if (token.empty()) return IntParse{0, IntTokenError::invalid_digit, false};

    std::int64_t value = 0;
    if (token.size() <= kIntDigitsAlwaysInRange) {
        for (char c : token) {
            if (!is_digit(c)) return IntParse{0, IntTokenError::invalid_digit, false};
            const auto d = static_cast<std::int64_t>(digit_value(c));
            value = negative ? value * 10 - d : value * 10 + d;
        }
        return IntParse{value, IntTokenError::empty, true};
    }
    const IntTokenError out_of_range = negative ? IntTokenError::too_small : IntTokenError::too_large;
    for (char c : token) {
        if (!is_digit(c)) return IntParse{0, IntTokenError::invalid_digit, false};
        const auto d = static_cast<std::int64_t>(digit_value(c));
        if (__builtin_mul_overflow(value, 10, &value) ||
            (negative ? __builtin_sub_overflow(value, d, &value)
                      : __builtin_add_overflow(value, d, &value)))
            return IntParse{0, out_of_range, false};
    }
    return IntParse{value, IntTokenError::empty, true};
}

namespace detail {

std::optional<bool> parse_bool_word(std::string_view token) noexcept {
    switch (token.size()) {
        case 4:
            if (token == "True" || token == "TRUE" || token == "true") return true;
            break;
        case 5:
            if (token == "False" || token == "FALSE" || token == "false") return false;
            break;
        default:
            break;
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
