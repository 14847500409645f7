// Shortest float text, out-of-line part: zeros, NaN, the infinities, and the
// exact path for the values whose digits the inline arithmetic leaves in doubt
// (the digits of std::to_chars' shortest form, laid out as repr() does).
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "writer/shortest_float_field.hpp"

namespace atomblock::writer::shortest_detail {
namespace {

char* copy(char* out, const char* text, std::size_t size) noexcept {
    std::memcpy(out, text, size);
    return out + size;
}

char* fill_zeros(char* out, std::size_t count) noexcept {
    std::memset(out, '0', count);
    return out + count;
}

// The exact path: the digits of std::to_chars' shortest scientific text, laid
// out as repr() does. `value` is finite and not zero.
char* write_shortest_exact(char* out, double value) noexcept {
    if (std::signbit(value)) *out++ = '-';
    // "d[.ddd]e±XX[X]" for the magnitude: the first digit, the others after
    // the point, and the decimal exponent of the first digit at the end.
    char scratch[kScientificScratch];
    const char* const text_end = std::to_chars(scratch, scratch + sizeof scratch, std::fabs(value),
                                               std::chars_format::scientific)
                                     .ptr;
    const char* e = text_end - kShortestExponentDigits - 2;  // "e±XX" at the least
    if (*e != 'e') --e;                                      // three exponent digits
    int exponent = 0;
    for (const char* p = e + 2; p < text_end; ++p) exponent = exponent * kDecimalBase + (*p - '0');
    if (e[1] == '-') exponent = -exponent;
    const char* const digits = scratch;  // digits[0], then digits[2..] when there is a point
    const char* const more = scratch + 2;
    const std::size_t more_count = e > scratch + 1 ? static_cast<std::size_t>(e - more) : 0;

    if (exponent < kFixedExponentMin || exponent >= kFixedExponentEnd) {
        *out++ = digits[0];
        if (more_count != 0) {
            *out++ = '.';
            out = copy(out, more, more_count);
        }
        return write_exponent(out, exponent);
    }
    if (exponent < 0) {  // 0.000ddd
        out = copy(out, "0.", 2);
        out = fill_zeros(out, static_cast<std::size_t>(-exponent - 1));
        *out++ = digits[0];
        return copy(out, more, more_count);
    }
    // Fixed notation: exponent + 1 integer digits, then the rest after the
    // point, or ".0" for an integer.
    const auto integer_more = static_cast<std::size_t>(exponent);  // integer digits after the first
    *out++ = digits[0];
    if (more_count <= integer_more) {
        out = copy(out, more, more_count);
        out = fill_zeros(out, integer_more - more_count);
        return copy(out, ".0", 2);
    }
    out = copy(out, more, integer_more);
    *out++ = '.';
    return copy(out, more + integer_more, more_count - integer_more);
}

}  // namespace

char* write_shortest_rare(char* out, double value) noexcept {
    if (std::isnan(value)) return copy(out, "nan", 3);
    if (std::signbit(value)) *out++ = '-';
    if (std::isinf(value)) return copy(out, "inf", 3);
    if (value == 0.0) return copy(out, "0.0", 3);
    return write_shortest_exact(out, std::fabs(value));
}

}  // namespace atomblock::writer::shortest_detail
