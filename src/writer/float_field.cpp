// Float field, out-of-line part: NaN, the infinities, magnitudes below 2^-12
// (exact 128-bit rounding) and of 2^64 and above (std::to_chars, which
// generates the exact digits). Floating-point std::to_chars needs libstdc++ 11,
// libc++ 14 or MSVC 2019 16.4; Apple's libc++ makes it available from
// macOS 13.3, the lowest deployment target the package supports.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <system_error>

#include "writer/float_field.hpp"

namespace atomblock::writer::float_field_detail {
namespace {

// The significand (< 2^53) times 10^8 (< 2^27) stays below 2^80; with a shift
// above 80 it is below 2^(shift-1), under half a unit of the eighth digit, so
// the value rounds to zero. Biased exponent 995 is where the shift reaches 80.
constexpr unsigned kMaxRoundingShift = 80;

// Right-aligns sign and body in a field of at least kFloatFieldWidth bytes.
std::size_t place(bool negative, std::string_view body, char* out) noexcept {
    const std::size_t length = (negative ? 1 : 0) + body.size();
    const std::size_t padding = length < kFloatFieldWidth ? kFloatFieldWidth - length : 0;
    std::memcpy(out, kSpaces, padding);
    char* p = out + padding;
    if (negative) *p++ = '-';
    std::memcpy(p, body.data(), body.size());
    return padding + length;
}

// Eighth-digit rounding of significand * 2^-shift (shift 65 and above, so the
// integer part is zero), half to even.
std::uint32_t round_tiny_fraction(std::uint64_t significand, unsigned shift) noexcept {
    if (shift > kMaxRoundingShift) return 0;
    const ops::UInt128 scaled = ops::mul_64x64(significand, kFractionScale);
    const ops::UInt128 remainder = ops::low_bits(scaled, shift);
    const ops::UInt128 half = ops::power_of_two(shift - 1);
    // Below 2^80 / 2^65: the digits fit in 32 bits and never carry to 10^8.
    auto fraction = static_cast<std::uint32_t>(ops::shift_right(scaled, shift).low);
    if (remainder > half || (remainder == half && (fraction & 1u) != 0)) ++fraction;
    return fraction;
}

}  // namespace

std::size_t format_float_field_slow(double value, char* out) noexcept {
    if (std::isnan(value)) return place(false, "NaN", out);
    const bool negative = std::signbit(value);
    if (std::isinf(value)) return place(negative, "inf", out);

    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    const unsigned biased = static_cast<unsigned>(bits >> kFractionBits) & kExponentMask;
    if (biased < kFastExponentBegin) {
        // Subnormals share the exponent of biased value 1 without hidden bit.
        const std::uint64_t stored = bits & kFractionMask;
        const std::uint64_t significand = biased != 0 ? stored | kHiddenBit : stored;
        const unsigned shift = kExponentOffset - (biased != 0 ? biased : 1);
        return write_fixed_field(negative, 0, round_tiny_fraction(significand, shift), out);
    }

    // 2^64 and above. Body without sign: at most 309 integer digits, the
    // point and 8 digits.
    char body[kMaxFloatFieldLength];
    const auto result =
        std::to_chars(body, body + sizeof body, std::fabs(value), std::chars_format::fixed,
                      static_cast<int>(kFloatFractionDigits));
    // The buffer holds the longest body any double has, so this cannot fail.
    const std::size_t size =
        result.ec == std::errc{} ? static_cast<std::size_t>(result.ptr - body) : 0;
    return place(negative, std::string_view(body, size), out);
}

}  // namespace atomblock::writer::float_field_detail
