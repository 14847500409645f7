// Short float field: the 16-byte "%16.8f" text of a value whose sign and
// integer digits fit in the 7 bytes before the point (the usual case). Written
// in registers: SSE2 when the target has it, otherwise 64-bit words.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "common/portable_ops.hpp"
#include "common/simd.hpp"
#include "writer/decimal_digits.hpp"

namespace atomblock::writer {

inline constexpr std::size_t kShortFloatFieldWidth = 16;
// 16 bytes = 7 integer bytes (sign included) + point + 8 fraction digits.
inline constexpr std::size_t kShortIntegerBytes = 7;
// Largest integer parts that fit: 7 digits unsigned, 6 digits after a "-".
inline constexpr std::uint32_t kShortIntegerLimit = 10000000;
inline constexpr std::uint32_t kShortNegativeIntegerLimit = 1000000;

namespace short_float_detail {

inline constexpr unsigned kUnitsDigitByte = kShortIntegerBytes - 1;  // never blanked
inline constexpr unsigned kPointByte = kShortIntegerBytes;

}  // namespace short_float_detail

// Portable form: two 64-bit word stores, the first byte of the text in the
// lowest byte of each word.
// Precondition: integer_part below kShortIntegerLimit (kShortNegativeIntegerLimit
// when negative), fraction below 10^8; 16 bytes writable at `out`.
inline void write_short_float_field_words(bool negative, std::uint32_t integer_part,
                                          std::uint32_t fraction, char* out) noexcept {
    using namespace short_float_detail;
    // The eight digit lanes of a value below 10^7 start with a zero lane;
    // dropping it leaves the 7 integer positions in bytes 0..6.
    const std::uint64_t lanes = eight_digit_lanes(integer_part) >> kByteBits;
    // Leading zero digits become spaces; the units digit always stays.
    const unsigned leading = static_cast<unsigned>(std::countr_zero(
                                 lanes | (std::uint64_t{1} << (kByteBits * kUnitsDigitByte)))) /
                             kByteBits;
    const std::uint64_t leading_mask = (std::uint64_t{1} << (kByteBits * leading)) - 1;
    std::uint64_t word = ((lanes | (kAsciiZeros >> kByteBits)) & ~leading_mask) |
                         (kSpaceBytes & leading_mask) |
                         (std::uint64_t{'.'} << (kByteBits * kPointByte));
    // A negative value has at least one leading space; the last one becomes "-".
    const std::uint64_t sign = (std::uint64_t{'-' ^ ' '} << (kByteBits * leading)) >> kByteBits;
    word ^= sign & (std::uint64_t{0} - static_cast<std::uint64_t>(negative));
    ops::store_le64(out, word);
    write_eight_digits(out + sizeof word, fraction);
}

#if ATOMBLOCK_HAVE_SSE2

namespace short_float_detail {

// Masks that blank the leading zeros of the integer bytes: `keep` clears the
// first `leading` bytes, `fill` puts spaces there and, for a negative value,
// "-" in the last of them. Indexed by negative * kBlankStride + leading.
struct alignas(sizeof(__m128i)) BlankMasks {
    std::array<std::uint8_t, kShortFloatFieldWidth> keep;
    std::array<std::uint8_t, kShortFloatFieldWidth> fill;
};
inline constexpr std::size_t kBlankStride = 8;  // leading is 0..6; one row per sign
inline constexpr std::array<BlankMasks, 2 * kBlankStride> kBlankMasks = [] {
    std::array<BlankMasks, 2 * kBlankStride> table{};
    for (std::size_t negative = 0; negative < 2; ++negative) {
        for (std::size_t leading = 0; leading < kBlankStride; ++leading) {
            BlankMasks& masks = table[negative * kBlankStride + leading];
            for (std::size_t k = 0; k < kShortFloatFieldWidth; ++k) {
                masks.keep[k] = k >= leading ? 0xFF : 0x00;
                masks.fill[k] = k < leading ? ' ' : 0;
            }
            if (negative != 0 && leading > 0) masks.fill[leading - 1] = '-';
        }
    }
    return table;
}();

// Digit values 0..9 of two numbers below 10^8, eight bytes each, most
// significant first: `first` in bytes 0..7, `second` in bytes 8..15. The same
// lane splitting as eight_digit_lanes, on both numbers at once.
inline __m128i sixteen_digit_lanes(std::uint32_t first, std::uint32_t second) noexcept {
    // x / 10^4 == (x * 3518437209) >> 45 for every x below 2^32
    // (3518437209 is ceil(2^45 / 10^4)).
    constexpr int kDiv10000Multiplier = static_cast<int>(3518437209u);
    constexpr int kDiv10000Shift = 45;
    constexpr int kFourDigits = 10000;
    // a / 100 == ((a * 5243) >> 16) >> 3 for every a below 10^4
    // (5243 is ceil(2^19 / 100)).
    constexpr int kDiv100Multiplier = 5243;
    constexpr int kDiv100Shift = 3;
    // b / 10 == (b * 6554) >> 16 for every b below 100 (6554 is ceil(2^16 / 10)).
    constexpr short kDiv10Multiplier = 6554;
    constexpr int kFourDigitLaneBits = 32;  // lane widths after each split
    constexpr int kTwoDigitLaneBits = 16;

    const __m128i x = _mm_set_epi64x(static_cast<long long>(second), static_cast<long long>(first));
    const __m128i q4 =
        _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32(kDiv10000Multiplier)), kDiv10000Shift);
    const __m128i r4 = _mm_sub_epi32(x, _mm_mul_epu32(q4, _mm_set1_epi32(kFourDigits)));
    const __m128i fours = _mm_or_si128(q4, _mm_slli_epi64(r4, kFourDigitLaneBits));
    const __m128i q2 =
        _mm_srli_epi16(_mm_mulhi_epu16(fours, _mm_set1_epi32(kDiv100Multiplier)), kDiv100Shift);
    const __m128i r2 = _mm_sub_epi16(
        fours, _mm_mullo_epi16(q2, _mm_set1_epi32(static_cast<int>(kDigitPairCount))));
    const __m128i twos = _mm_or_si128(q2, _mm_slli_epi32(r2, kTwoDigitLaneBits));
    const __m128i q1 = _mm_mulhi_epu16(twos, _mm_set1_epi16(kDiv10Multiplier));
    const __m128i r1 =
        _mm_sub_epi16(twos, _mm_mullo_epi16(q1, _mm_set1_epi16(static_cast<short>(kRadix))));
    return _mm_or_si128(q1, _mm_slli_epi16(r1, static_cast<int>(kByteBits)));
}

}  // namespace short_float_detail

// SSE2 form: one 16-byte store. Same contract as the portable form.
inline void write_short_float_field_simd(bool negative, std::uint32_t integer_part,
                                         std::uint32_t fraction, char* out) noexcept {
    using namespace short_float_detail;
    // integer_part * 10 has the integer digits in bytes 0..6 and a zero digit
    // in byte 7, which the character offsets turn into the point.
    const __m128i digits = sixteen_digit_lanes(integer_part * kRadix, fraction);
    const __m128i offsets = _mm_set_epi8('0', '0', '0', '0', '0', '0', '0', '0', '.', '0', '0', '0',
                                         '0', '0', '0', '0');
    const unsigned zero_digits =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_setzero_si128())));
    const unsigned leading =
        static_cast<unsigned>(std::countr_zero(~zero_digits | (1u << kUnitsDigitByte)));
    const BlankMasks& masks = kBlankMasks[(negative ? kBlankStride : 0) + leading];
    __m128i text = _mm_add_epi8(digits, offsets);
    text = _mm_and_si128(text, _mm_load_si128(reinterpret_cast<const __m128i*>(masks.keep.data())));
    text = _mm_or_si128(text, _mm_load_si128(reinterpret_cast<const __m128i*>(masks.fill.data())));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), text);
}

#endif

// The form for this target. Same contract as the portable form.
inline void write_short_float_field(bool negative, std::uint32_t integer_part,
                                    std::uint32_t fraction, char* out) noexcept {
#if ATOMBLOCK_HAVE_SSE2
    write_short_float_field_simd(negative, integer_part, fraction, out);
#else
    write_short_float_field_words(negative, integer_part, fraction, out);
#endif
}

}  // namespace atomblock::writer
