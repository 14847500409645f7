// Shortest float text: the digits that read back to the same binary64, laid
// out as Python's repr() of a float does. The usual path is inline, for the
// writer's loops; zeros, NaN, the infinities and the undecided cases go out
// of line.
//
// The digits: among the decimals that read back to the double (those inside
// its rounding interval, the bounds included when the significand is even),
// the one with the fewest digits, and of those the closest to the double (a
// tie to the even one). The interval is scaled by a power of ten 10^-k chosen
// so that its width lies between 1 and 10 (or 3/4 and 7.5 when the lower
// neighbour is closer, at a power of two): then it holds at most one multiple
// of 10 and at least one integer, and the answer is that multiple of 10 when
// there is one, else the better of the two integers around the scaled value.
//
// The scaled bounds come from 128-bit powers of ten, rounded to odd: the
// integer part, with its lowest bit set when the scaled value is not an
// integer, which keeps every comparison with an even number exact. Where the
// truncated power leaves the integer part in doubt (the product lands within
// the power's error of an integer), the value is an exact integer that a
// divisibility test recognises, or else the digits come from std::to_chars.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/portable_ops.hpp"
#include "common/simd.hpp"
#include "writer/decimal_digits.hpp"
#include "writer/pow10_table.hpp"
#include "writer/short_float_field.hpp"

namespace atomblock::writer {

inline constexpr std::size_t kShortestFloatMaxChars = 24;  // "-2.2250738585072014e-308"
// Bytes write_shortest_float may store to: its digits are stored in whole
// 16-byte words, past the end of the text (the bytes after it are left
// undefined). Sign, 16 integer digits, point and one word: 34 bytes.
inline constexpr std::size_t kShortestFloatRoom = 40;

namespace shortest_detail {

// A binary64 has at most 17 significant decimal digits in its shortest form.
inline constexpr std::size_t kMaxSignificantDigits = 17;
// "-d.dddddddddddddddde-308": sign, 17 digits, point, 'e', exponent sign, 3 digits.
inline constexpr std::size_t kScientificScratch = 1 + kMaxSignificantDigits + 1 + 1 + 1 + 3;
// repr() switches to fixed notation for decimal exponents in [-4, 16).
inline constexpr int kFixedExponentMin = -4;
inline constexpr int kFixedExponentEnd = 16;
inline constexpr int kDecimalBase = 10;
inline constexpr int kHundred = kDecimalBase * kDecimalBase;
// Exponents have at least two digits, in std::to_chars' text ("1e-05",
// "1e+16") as in repr()'s, and at most three ("1e-300").
inline constexpr std::ptrdiff_t kShortestExponentDigits = 2;

// binary64 layout.
inline constexpr unsigned kFractionBits = 52;
inline constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << kFractionBits) - 1;
inline constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << kFractionBits;
inline constexpr unsigned kExponentMask = 0x7FF;
inline constexpr int kExponentOffset = 1023 + static_cast<int>(kFractionBits);  // 1075
inline constexpr int kMinBinaryExponent = 1 - kExponentOffset;                  // -1074

// floor(q log10 2), floor(log10(3/4 2^q)) and floor(e log2 10) as
// multiply-shifts, checked exactly against every exponent they meet by
// tools/gen_pow10_table.py (q from -1074 to 971, e from -293 to 325).
inline constexpr int kLog10Pow2Multiplier = 315653;
inline constexpr int kLog10Pow2Shift = 20;
inline constexpr int kLog10ThreeQuartersMultiplier = 1262611;
inline constexpr int kLog10ThreeQuartersAddend = -524031;
inline constexpr int kLog10ThreeQuartersShift = 22;
inline constexpr int kLog2Pow10Multiplier = 1741647;
inline constexpr int kLog2Pow10Shift = 19;

inline int floor_log10_pow2(int q) noexcept {
    return (q * kLog10Pow2Multiplier) >> kLog10Pow2Shift;
}
inline int floor_log10_three_quarters_pow2(int q) noexcept {
    return (q * kLog10ThreeQuartersMultiplier + kLog10ThreeQuartersAddend) >>
           kLog10ThreeQuartersShift;
}
inline int floor_log2_pow10(int e) noexcept {
    return (e * kLog2Pow10Multiplier) >> kLog2Pow10Shift;
}

// 5^k for k = 0..27, the powers below 2^64 that a scaled bound (below 2^59)
// can be a multiple of.
inline constexpr std::size_t kPow5Count = 28;
inline constexpr auto kPow5 = [] {
    std::array<std::uint64_t, kPow5Count> table{};
    std::uint64_t power = 1;
    for (auto& entry : table) {
        entry = power;
        power *= 5;
    }
    return table;
}();

// 10^n for n = 0..17.
inline constexpr std::size_t kPow10Count = kMaxSignificantDigits + 1;
inline constexpr auto kPow10U64 = [] {
    std::array<std::uint64_t, kPow10Count> table{};
    std::uint64_t power = 1;
    for (auto& entry : table) {
        entry = power;
        power *= kRadix;
    }
    return table;
}();

// A decimal significand and the power of ten it is scaled by.
struct Decimal {
    std::uint64_t digits;
    int exponent;
};

// A 192-bit product: integer part `high` (bits 128 and up), fraction below.
struct Scaled {
    std::uint64_t high;
    std::uint64_t middle;
    std::uint64_t low;
};

// shifted_bound * power, exactly.
inline Scaled scale(const ops::UInt128& power, std::uint64_t shifted_bound) noexcept {
    const ops::UInt128 low = ops::mul_64x64(power.low, shifted_bound);
    const ops::UInt128 high = ops::mul_64x64(power.high, shifted_bound);
    Scaled out{high.high, 0, low.low};
    if (ops::add_overflow(high.low, low.high, out.middle)) ++out.high;
    return out;
}

// power << shift (shift 1..5), exactly: what one more multiple of 2^shift
// in shifted_bound adds to its product.
inline Scaled shifted_power(const ops::UInt128& power, unsigned shift) noexcept {
    return Scaled{power.high >> (64 - shift), (power.high << shift) | (power.low >> (64 - shift)),
                  power.low << shift};
}

inline Scaled plus(const Scaled& a, const Scaled& b) noexcept {
    Scaled out{};
    const bool carry_low = ops::add_overflow(a.low, b.low, out.low);
    std::uint64_t middle;
    const bool carry_middle = ops::add_overflow(a.middle, b.middle, middle);
    const bool carry_both =
        ops::add_overflow(middle, std::uint64_t{carry_low ? 1u : 0u}, out.middle);
    out.high = a.high + b.high + (carry_middle || carry_both ? 1u : 0u);
    return out;
}

inline Scaled minus(const Scaled& a, const Scaled& b) noexcept {
    Scaled out{};
    const bool borrow_low = ops::sub_overflow(a.low, b.low, out.low);
    std::uint64_t middle;
    const bool borrow_middle = ops::sub_overflow(a.middle, b.middle, middle);
    const bool borrow_both =
        ops::sub_overflow(middle, std::uint64_t{borrow_low ? 1u : 0u}, out.middle);
    out.high = a.high - b.high - (borrow_middle || borrow_both ? 1u : 0u);
    return out;
}

// The scaled bound bound * 2^q * 10^-k rounded to odd, from its product with
// the power (shifted so that the integer part is the top word); false when
// the truncated power leaves the integer part in doubt and the bound is no
// exact integer.
inline bool round_to_odd(const Scaled& product, bool exact_power, std::uint64_t bound, int k,
                         std::uint64_t& result) noexcept {
    // An exact power leaves a fraction that is exactly this one. A truncated
    // power falls short by less than the shifted bound (< 2^59): the true
    // fraction is in (fraction, fraction + 2^59), never 0, and stays below
    // 2^128 unless the middle word is all ones.
    if (!exact_power && product.middle == ~std::uint64_t{0}) [[unlikely]] {
        // In doubt: an exact integer (bound * 2^(q - k) / 5^k with q > k for
        // every k >= 1) is the next one up; anything else is left undecided.
        if (k >= 1 && static_cast<std::size_t>(k) < kPow5Count &&
            bound % kPow5[static_cast<std::size_t>(k)] == 0) {
            result = product.high + 1;
            return true;
        }
        return false;
    }
    const bool sticky = !exact_power || (product.middle | product.low) != 0;
    result = product.high | (sticky ? 1u : 0u);
    return true;
}

// The shortest decimal of c * 2^q (c > 0); false when the fast arithmetic
// cannot decide it.
inline bool shortest_decimal(std::uint64_t c, int q, Decimal& decimal) noexcept {
    // Odd significands lose ties at the bounds (round half to even), so
    // their bounds are excluded.
    const std::uint64_t excluded = c & 1u;
    const std::uint64_t cb = c << 2;
    const std::uint64_t cbr = cb + 2;
    std::uint64_t cbl;
    int k;
    if (c != kHiddenBit || q == kMinBinaryExponent) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else {  // a power of two: the neighbour below is half as far
        cbl = cb - 1;
        k = floor_log10_three_quarters_pow2(q);
    }
    const int h = q + floor_log2_pow10(-k) + 1;  // 1..4
    const int e = -k;
    const ops::UInt128& power =
        pow10_table::kPow10[static_cast<std::size_t>(e - pow10_table::kPow10MinExponent)];
    const bool exact = e >= 0 && e <= pow10_table::kPow10ExactMaxExponent;
    // One product; the bounds' differ from it by multiples of the power
    // (2 << h of them, or 1 << h below a power of two), added exactly.
    const auto shift = static_cast<unsigned>(h);
    const Scaled product = scale(power, cb << h);
    const Scaled half_gap = shifted_power(power, shift + 1);
    const Scaled lower_gap = cb - cbl == 2 ? half_gap : shifted_power(power, shift);
    std::uint64_t vb, vbl, vbr;
    if (!round_to_odd(product, exact, cb, k, vb) ||
        !round_to_odd(minus(product, lower_gap), exact, cbl, k, vbl) ||
        !round_to_odd(plus(product, half_gap), exact, cbr, k, vbr)) [[unlikely]] {
        return false;
    }

    // Every choice below is a coin flip on real data: bit arithmetic, not
    // branches (which the compiler would make of && and ||).
    const std::uint64_t s = vb >> 2;
    const std::uint64_t t = s + 1;
    // A multiple of 10 in the interval (never two: the interval is narrower
    // than 10) has one digit fewer. 0 is never in it: the lower bound is
    // positive.
    const std::uint64_t sp10 = (s / kRadix) * kRadix;
    const std::uint64_t tp10 = sp10 + kRadix;
    const unsigned sp_in = vbl + excluded <= sp10 << 2 ? 1u : 0u;
    const unsigned tp_in = (tp10 << 2) + excluded <= vbr ? 1u : 0u;
    // Else s or t, whichever is in the interval; both: the closer one, a tie
    // to the even one.
    const unsigned s_in = vbl + excluded <= s << 2 ? 1u : 0u;
    const unsigned t_in = (t << 2) + excluded <= vbr ? 1u : 0u;
    const std::uint64_t middle = (s + t) << 1;
    const unsigned s_closer =
        (vb < middle ? 1u : 0u) | ((vb == middle ? 1u : 0u) & static_cast<unsigned>(~s & 1u));
    const unsigned take_s = s_in & ((t_in ^ 1u) | s_closer);
    const std::uint64_t longer = t - take_s;
    const std::uint64_t shorter = tp10 - std::uint64_t{kRadix} * sp_in;
    const std::uint64_t use_shorter = std::uint64_t{0} - (sp_in | tp_in);
    decimal = {(shorter & use_shorter) | (longer & ~use_shorter), k};
    return true;
}

inline char* write_exponent(char* out, int exponent) noexcept {
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    unsigned magnitude = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
    if (magnitude >= static_cast<unsigned>(kHundred)) {
        *out++ = static_cast<char>('0' + magnitude / static_cast<unsigned>(kHundred));
        magnitude %= static_cast<unsigned>(kHundred);
    }
    write_digit_pair(out, magnitude);
    return out + 2;
}

// Stores 16 bytes: the word's low half first (byte 0 of `low` at out[0]).
inline void store16(char* out, const ops::UInt128& word) noexcept {
    ops::store_le64(out, word.low);
    ops::store_le64(out + sizeof(std::uint64_t), word.high);
}

// Lays out sign and decimal as repr() does, straight into `out` with whole
// word stores (none of them read back: a load of bytes just stored in smaller
// pieces would stall).
inline char* write_decimal(char* out, bool negative, Decimal decimal) noexcept {
    // The significant digits left-aligned to 17 places: the first one, then
    // the other 16 as one 128-bit word of characters (digit i at byte i - 1),
    // '0' after the last significant one. Doubles from the smallest normal
    // one up have 16 or 17 digits here (c >= 2^52 times a scale of 1 to 10).
    constexpr std::uint64_t kSixteenDigits = 10000000000000000ull;
    constexpr std::uint64_t kFifteenDigits = kSixteenDigits / kRadix;
    unsigned count;
    std::uint64_t aligned;
    if (decimal.digits >= kFifteenDigits) [[likely]] {
        const bool seventeen = decimal.digits >= kSixteenDigits;
        count = seventeen ? 17u : 16u;
        aligned = seventeen ? decimal.digits : decimal.digits * kRadix;
    } else {
        count = count_digits(decimal.digits);
        aligned = decimal.digits * kPow10U64[kMaxSignificantDigits - count];
    }
    constexpr std::uint32_t kEightDigits = 100000000;
    const std::uint64_t first_nine = aligned / kEightDigits;  // below 10^9
    const auto low_eight = static_cast<std::uint32_t>(aligned % kEightDigits);
    const char first =
        static_cast<char>('0' + static_cast<std::uint32_t>(first_nine) / kEightDigits);
    const auto high_eight = static_cast<std::uint32_t>(first_nine) % kEightDigits;
    unsigned trailing;  // zero digits at the end of the 16
    ops::UInt128 others;
#if ATOMBLOCK_HAVE_SSE2
    const __m128i lanes = short_float_detail::sixteen_digit_lanes(high_eight, low_eight);
    const auto zero_lanes =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(lanes, _mm_setzero_si128())));
    trailing = static_cast<unsigned>(std::countl_zero(static_cast<std::uint16_t>(~zero_lanes)));
    const __m128i chars = _mm_or_si128(lanes, _mm_set1_epi8('0'));
    others.low = simd::low_lane(chars);
    others.high = simd::high_lane(chars);
#else
    const std::uint64_t high_lanes = eight_digit_lanes(high_eight);
    const std::uint64_t low_lanes = eight_digit_lanes(low_eight);
    others = ops::UInt128{low_lanes | kAsciiZeros, high_lanes | kAsciiZeros};
    if (low_lanes != 0) {
        trailing = static_cast<unsigned>(std::countl_zero(low_lanes)) / kByteBits;
    } else if (high_lanes != 0) {
        trailing = kByteBits + static_cast<unsigned>(std::countl_zero(high_lanes)) / kByteBits;
    } else {
        trailing = 2 * kByteBits;
    }
#endif
    const auto significant = static_cast<int>(kMaxSignificantDigits - trailing);
    const int exponent = decimal.exponent + static_cast<int>(count) - 1;  // of the first digit

    // The sign without a branch: half the values of a column are negative.
    *out = '-';
    char* p = out + (negative ? 1 : 0);
    if (exponent >= 0 && exponent < kFixedExponentEnd) {
        const int integer_digits = exponent + 1;  // 1..16
        p[0] = first;
        store16(p + 1, others);
        p += integer_digits;
        if (significant <= integer_digits) {
            p[0] = '.';
            p[1] = '0';
            return p + 2;
        }
        // The digits after the point, moved down from byte integer_digits - 1.
        *p = '.';
        store16(p + 1, ops::shift_right(others, static_cast<unsigned>(exponent) * kByteBits));
        return p + 1 + (significant - integer_digits);
    }
    if (exponent < 0 && exponent >= kFixedExponentMin) {
        // "0." and -exponent - 1 zeros, then the digits.
        constexpr std::uint64_t kZeroPoint = 0x30303030302E30ull;  // "0.00000", little-endian
        ops::store_le64(p, kZeroPoint);
        p += 1 - exponent;
        p[0] = first;
        store16(p + 1, others);
        return p + significant;
    }
    p[0] = first;
    if (significant > 1) {
        p[1] = '.';
        store16(p + 2, others);
        p += significant + 1;
    } else {
        p += 1;
    }
    return write_exponent(p, exponent);
}

// Zeros, NaN, the infinities, and the values the fast path leaves undecided
// (whose digits come from std::to_chars). Same contract as write_shortest_float.
char* write_shortest_rare(char* out, double value) noexcept;

}  // namespace shortest_detail

// Writes Python's repr() text of `value` at `out` (room for kShortestFloatRoom
// bytes) and returns the end of the text.
inline char* write_shortest_float(char* out, double value) noexcept {
    using namespace shortest_detail;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    const unsigned biased = static_cast<unsigned>(bits >> kFractionBits) & kExponentMask;
    const std::uint64_t fraction = bits & kFractionMask;
    // Biased exponents 0 (zeros and subnormals) and 0x7FF (NaN, infinities).
    if (biased - 1 >= kExponentMask - 1) [[unlikely]] {
        if (biased != 0 || fraction == 0) return write_shortest_rare(out, value);
    }
    const std::uint64_t c = biased != 0 ? fraction | kHiddenBit : fraction;
    const int q = (biased != 0 ? static_cast<int>(biased) : 1) - kExponentOffset;
    Decimal decimal;
    if (!shortest_decimal(c, q, decimal)) [[unlikely]]
        return write_shortest_rare(out, value);
    return write_decimal(out, (bits >> 63) != 0, decimal);
}

}  // namespace atomblock::writer
