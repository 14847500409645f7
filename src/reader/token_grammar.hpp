// Token conversions of the reader: the exact text accepted in float, integer
// and boolean columns, the value it yields, and the reason a token is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

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
// of the rounding step (see decimal_to_double).
FloatParse parse_float_token(std::string_view token);

// The whole token must be [+-] digits with a value in the int64 range.
// Digits are taken left to right and the first character that is no digit,
// or that would leave the range, decides the error; later characters are not
// examined. A '-' token is built downwards, so INT64_MIN is accepted.
IntParse parse_int_token(std::string_view token) noexcept;

// Exactly T True TRUE true (true) and F False FALSE false (false); anything
// else gives nothing.
std::optional<bool> parse_bool_token(std::string_view token) noexcept;

// The reason texts that the reader's error messages carry.
std::string_view reason_text(FloatTokenError error) noexcept;
std::string_view reason_text(IntTokenError error) noexcept;

}  // namespace atomblock::reader
