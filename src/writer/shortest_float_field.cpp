// Shortest float text in Python's repr() layout. The digits come from
// std::to_chars (shortest round-trip scientific form); only the layout is
// done here.
#include "writer/shortest_float_field.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace atomblock::writer {
namespace {

// A binary64 has at most 17 significant decimal digits in its shortest form.
constexpr std::size_t kMaxSignificantDigits = 17;
// "-d.dddddddddddddddde-308": sign, 17 digits, point, 'e', exponent sign, 3 digits.
constexpr std::size_t kScientificScratch = 1 + kMaxSignificantDigits + 1 + 1 + 1 + 3;
// repr() switches to fixed notation for decimal exponents in [-4, 16).
constexpr int kFixedExponentMin = -4;
constexpr int kFixedExponentEnd = 16;
// Exponents are written with at least two digits ("1e-05", "1e+16").
constexpr int kTwoDigitExponent = 10;
constexpr int kHundred = 100;

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
    *out++ = static_cast<char>('0' + magnitude / static_cast<unsigned>(kTwoDigitExponent));
    *out++ = static_cast<char>('0' + magnitude % static_cast<unsigned>(kTwoDigitExponent));
    return out;
}

}  // namespace

char* write_shortest_float(char* out, double value) noexcept {
    if (std::isnan(value)) return copy(out, "nan", 3);
    if (std::signbit(value)) *out++ = '-';
    if (std::isinf(value)) return copy(out, "inf", 3);
    if (value == 0.0) return copy(out, "0.0", 3);

    // "d[.ddd]e±XX[X]" for the magnitude: split into the digit string and the
    // decimal exponent of its first digit.
    char scratch[kScientificScratch];
    const auto converted =
        std::to_chars(scratch, scratch + sizeof scratch, std::fabs(value), std::chars_format::scientific);
    char digits[kMaxSignificantDigits];
    std::size_t count = 0;
    const char* p = scratch;
    for (; p < converted.ptr && *p != 'e'; ++p) {
        if (*p != '.' && count < kMaxSignificantDigits) digits[count++] = *p;
    }
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), converted.ptr, exponent);

    if (exponent < kFixedExponentMin || exponent >= kFixedExponentEnd) {
        *out++ = digits[0];
        if (count > 1) {
            *out++ = '.';
            out = copy(out, digits + 1, count - 1);
        }
        return write_exponent(out, exponent);
    }
    if (exponent < 0) {  // 0.000ddd
        out = copy(out, "0.", 2);
        out = fill_zeros(out, static_cast<std::size_t>(-exponent - 1));
        return copy(out, digits, count);
    }
    const std::size_t integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (count <= integer_digits) {  // an integer: ddd000.0
        out = copy(out, digits, count);
        out = fill_zeros(out, integer_digits - count);
        return copy(out, ".0", 2);
    }
    out = copy(out, digits, integer_digits);
    *out++ = '.';
    return copy(out, digits + integer_digits, count - integer_digits);
}

}  // namespace atomblock::writer
