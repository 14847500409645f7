// Token conversions of the reader: the exact text accepted in float, integer
// and boolean columns, the value it yields, and the reason a token is refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "reader/float_scan.hpp"

namespace atomblock::reader {

enum class FloatTokenError : std::uint8_t { empty, invalid };
enum class IntTokenError : std::uint8_t { empty, invalid_digit, too_large, too_small };

// `value` is meaningful only when `ok`; `error` only when not.
struct FloatParse {
    double value;
    FloatTokenError error;
    bool ok;
};

struct IntParse {
    std::int64_t value;
    IntTokenError error;
    bool ok;
};

// The whole token must be: [+-] (digits [. digits*] | . digits) [(e|E) [+-] digits],
// or [+-] inf / infinity / nan in any letter case. Decimal numbers convert to
// the nearest binary64, ties to even, for any number of digits; magnitudes
// beyond the range give a signed infinity or a signed zero, never an error.
// NaN is always the quiet NaN 0x7FF8000000000000, with the sign bit set after '-'.
// Pure and allocation-free; throws InternalFailure only on a broken invariant
// of the rounding step (see decimal_to_double). Defined below, with the fast
// paths of float_scan.hpp; everything else goes to parse_float_general.
FloatParse parse_float_token(std::string_view token);

// The same for a token that lies inside `line`, every byte of which may be
// read: short numbers are then read in one word, and fixed-point numbers in
// one register, that may reach beyond the token into the line.
FloatParse parse_float_token(std::string_view token, std::string_view line);

// The whole token must be [+-] digits with a value in the int64 range.
// Digits are taken left to right and the first character that is no digit,
// or that would leave the range, decides the error; later characters are not
// examined. A '-' token is built downwards, so INT64_MIN is accepted.
// Defined below: tokens that cannot leave the range are converted inline.
IntParse parse_int_token(std::string_view token) noexcept;

// Exactly T True TRUE true (true) and F False FALSE false (false); anything
// else gives nothing. Defined below: single letters are decided inline.
std::optional<bool> parse_bool_token(std::string_view token) noexcept;

// The reason texts that the reader's error messages carry.
std::string_view reason_text(FloatTokenError error) noexcept;
std::string_view reason_text(IntTokenError error) noexcept;

namespace detail {

// parse_float_token for a non-empty token that the fast paths turn down.
FloatParse parse_float_general(std::string_view token);

// An int64 token of at most this many digits cannot leave the range
// (10^18 - 1 < 2^63 - 1).
inline constexpr std::size_t kIntDigitsAlwaysInRange = 18;

// parse_int_token for the digits (and anything else) after the sign of a
// token longer than kIntDigitsAlwaysInRange bytes, checking the range.
IntParse parse_long_int(std::string_view digits, bool negative) noexcept;

// parse_bool_token for tokens longer than one byte.
std::optional<bool> parse_bool_word(std::string_view token) noexcept;

}  // namespace detail

inline FloatParse parse_float_token(std::string_view token, std::string_view line) {
    if (token.empty()) return FloatParse{0.0, FloatTokenError::empty, false};
    const bool negative = token[0] == '-';
    const char* const number = token.data() + (negative || token[0] == '+');
    const char* const end = token.data() + token.size();
    const auto size = static_cast<std::size_t>(end - number);
    const char* const line_end = line.data() + line.size();
    using digit_words::kWordBytes;
    double value;
#if ATOMBLOCK_HAVE_SSE2
    if (size - float_scan::kFixedPointMin <=
            float_scan::kFixedPointMax - float_scan::kFixedPointMin &&
        end - line.data() >= static_cast<std::ptrdiff_t>(float_scan::kVectorBytes) &&
        float_scan::fixed_point_value(end, size, negative, value))
        return FloatParse{value, FloatTokenError::invalid, true};
#endif
    if (size - 1 < kWordBytes) {
        // One word holds the number: the word that ends with it, or else
        // the one that starts with it.
        std::uint64_t word;
        if (end - line.data() >= static_cast<std::ptrdiff_t>(kWordBytes)) {
            word = digit_words::load_word(end - kWordBytes) >> (8 * (kWordBytes - size));
        } else if (line_end - number >= static_cast<std::ptrdiff_t>(kWordBytes)) {
            word = digit_words::load_word(number);
        } else {
            return detail::parse_float_general(token);
        }
        if (float_scan::word_plain_value(word, static_cast<unsigned>(size), negative, value))
            return FloatParse{value, FloatTokenError::invalid, true};
        return detail::parse_float_general(token);
    }
    if (size >= kWordBytes && float_scan::short_plain_value(number, end, negative, value))
        return FloatParse{value, FloatTokenError::invalid, true};
    return detail::parse_float_general(token);
}

inline FloatParse parse_float_token(std::string_view token) {
    return parse_float_token(token, token);
}

inline IntParse parse_int_token(std::string_view token) noexcept {
    if (token.empty()) return IntParse{0, IntTokenError::empty, false};
    const bool negative = token[0] == '-';
    if (token[0] == '+' || token[0] == '-') token.remove_prefix(1);
    if (token.empty()) return IntParse{0, IntTokenError::invalid_digit, false};
    if (token.size() > detail::kIntDigitsAlwaysInRange)
        return detail::parse_long_int(token, negative);

    // Built as a magnitude and negated at the end: every value of at most
    // kIntDigitsAlwaysInRange digits and its negation are in range.
    std::uint64_t magnitude = 0;
    for (const char c : token) {
        if (!float_scan::is_digit(c)) return IntParse{0, IntTokenError::invalid_digit, false};
        magnitude = magnitude * 10 + float_scan::digit_value(c);
    }
    const auto value = static_cast<std::int64_t>(magnitude);
    return IntParse{negative ? -value : value, IntTokenError::empty, true};
}

namespace detail {

// What a one-byte boolean token means, by its byte: only T and F are words.
enum class BoolLetter : std::uint8_t { none, false_letter, true_letter };

inline constexpr std::array<BoolLetter, 256> kBoolLetters = [] {  // one entry per byte value
    std::array<BoolLetter, 256> table{};
    table['F'] = BoolLetter::false_letter;
    table['T'] = BoolLetter::true_letter;
    return table;
}();

}  // namespace detail

inline std::optional<bool> parse_bool_token(std::string_view token) noexcept {
    if (token.size() != 1) return detail::parse_bool_word(token);
    // T and F come in random order: one table load decides both whether the
    // letter is a word and which, so that no branch depends on which it is.
    const detail::BoolLetter letter = detail::kBoolLetters[static_cast<unsigned char>(token[0])];
    if (letter == detail::BoolLetter::none) return std::nullopt;
    return letter == detail::BoolLetter::true_letter;
}

}  // namespace atomblock::reader
