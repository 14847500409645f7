// Shortest float text in Python's repr() layout. The digits come from
// std::to_chars (shortest round-trip scientific form); only the layout is
// done here.
#include "writer/shortest_float_field.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace atomblock::writer {
namespace {

// A binary64 has at most 17 significant decimal digits in its shortest form.
constexpr std::size_t kMaxSignificantDigits = 17;
// "-d.dddddddddddddddde-308": sign, 17 digits, point, 'e', exponent sign, 3 digits.
constexpr std::size_t kScientificScratch = 1 + kMaxSignificantDigits + 1 + 1 + 1 + 3;
// repr() switches to fixed notation for decimal exponents in [-4, 16).
constexpr int kFixedExponentMin = -4;
constexpr int kFixedExponentEnd = 16;
constexpr int kDecimalBase = 10;
constexpr int kHundred = kDecimalBase * kDecimalBase;
// Exponents have at least two digits, in std::to_chars' text ("1e-05",
// "1e+16") as in repr()'s, and at most three ("1e-300").
constexpr std::ptrdiff_t kShortestExponentDigits = 2;

char* copy(char* out, const char* text, std::size_t size) noexcept {
    std::memcpy(out, text, size);
    return out + size;
}

char* fill_zeros(char* out, std::size_t count) noexcept {
    std::memset(out, '0', count);
    return out + count;
}

char* write_exponent(char* out, int exponent) noexcept {
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    unsigned magnitude = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
    if (magnitude >= static_cast<unsigned>(kHundred)) {
        *out++ = static_cast<char>('0' + magnitude / static_cast<unsigned>(kHundred));
        magnitude %= static_cast<unsigned>(kHundred);
    }
    *out++ = static_cast<char>('0' + magnitude / static_cast<unsigned>(kDecimalBase));
    *out++ = static_cast<char>('0' + magnitude % static_cast<unsigned>(kDecimalBase));
    return out;
}

}  // namespace

char* write_shortest_float(char* out, double value) noexcept {
    if (std::isnan(value)) return copy(out, "nan", 3);
    if (std::signbit(value)) *out++ = '-';
    if (std::isinf(value)) return copy(out, "inf", 3);
    if (value == 0.0) return copy(out, "0.0", 3);

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

}  // namespace atomblock::writer
