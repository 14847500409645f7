// Eight bytes at a time: which are digits (or zero bytes), how many lead
// with a digit, and the value of digits. Used by the number grammars on
// their digit runs. A byte's test below never depends on another byte
// unless its comment says so.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "common/portable_ops.hpp"

namespace atomblock::reader::digit_words {

// Bytes in one word.
inline constexpr unsigned kWordBytes = 8;

// `byte` repeated in each of the eight bytes of a word.
constexpr std::uint64_t each_byte(std::uint8_t byte) noexcept {
    return std::uint64_t{0x0101010101010101} * byte;
}

// The eight bytes p[0] .. p[7] as a word holding p[0] in its lowest byte;
// the caller guarantees that they exist.
inline std::uint64_t load_word(const char* p) noexcept {
    return ops::load_le64(p);
}

// Number of bytes, from the lowest up, that are ASCII digits '0' .. '9' (0 to 8).
//
// A byte b is no digit exactly when b + 0x46 or b - 0x30 has its top bit
// set: b < 0x30 wraps b - 0x30 to 0xD0 .. 0xFF; 0x3A <= b < 0x80 takes
// b + 0x46 to 0x80 .. 0xC5; b >= 0x80 sets the top bit of b + 0x46 (up to
// 0xB9) or of b - 0x30 (from 0xB0). A digit gives 0x76 .. 0x7F and 0x00 ..
// 0x09, and neither sum carries nor borrows out of its byte. Carries and
// borrows only move upwards, so every byte up to and including the first
// non-digit is classified exactly; later bytes do not matter.
inline unsigned leading_digit_bytes(std::uint64_t word) noexcept {
    const std::uint64_t not_digit =
        ((word + each_byte(0x46)) | (word - each_byte('0'))) & each_byte(0x80);
    return not_digit == 0 ? kWordBytes : static_cast<unsigned>(std::countr_zero(not_digit)) / 8;
}

// Whether all eight bytes are ASCII digits (the test above, for every byte).
inline bool all_digits(std::uint64_t word) noexcept {
    return (((word + each_byte(0x46)) | (word - each_byte('0'))) & each_byte(0x80)) == 0;
}

// The decimal value of eight digit values (0 to 9), one per byte, the lowest
// byte the most significant digit. Neighbouring lanes are merged three
// times, each lane pair (high, low digit group) becoming high * 10^k + low
// in a lane of twice the width: 2 digits fit in 8 bits (99), 4 in 16
// (9999) and 8 in 32 (99999999), so no lane overflows.
inline std::uint32_t digit_lanes_value(std::uint64_t lanes) noexcept {
    lanes = (lanes * 10 + (lanes >> 8)) & 0x00FF00FF00FF00FF;
    lanes = (lanes * 100 + (lanes >> 16)) & 0x0000FFFF0000FFFF;
    lanes = (lanes * 10000 + (lanes >> 32)) & 0x00000000FFFFFFFF;
    return static_cast<std::uint32_t>(lanes);
}

// The decimal value of the lowest `count` bytes of `word` (1 <= count <= 8),
// all ASCII digits, the lowest byte being the most significant digit.
// After subtracting '0' the lowest `count` bytes hold digit values (a borrow
// from a higher byte cannot reach them); shifting them to the top leaves
// zeros below, which act as leading zeros.
inline std::uint32_t digits_value(std::uint64_t word, unsigned count) noexcept {
    return digit_lanes_value((word - each_byte('0')) << (8 * (kWordBytes - count)));
}

// The top bit of every byte of `word` that is zero, and no other bit. No sum
// leaves its byte: (b & 0x7F) + 0x7F is at most 0xFE, and it reaches the top
// bit exactly when the low seven bits are not all zero.
inline std::uint64_t zero_bytes(std::uint64_t word) noexcept {
    constexpr std::uint64_t kLow7 = each_byte(0x7F);
    return ~(((word & kLow7) + kLow7) | word | kLow7);
}

// The top bit of every byte of `word` that is no ASCII digit, exactly for
// every byte (unlike leading_digit_bytes): b ^ '0' is a digit's value, below
// 10, for a digit only; its low seven bits plus 0x80 - 10 reach the top bit
// exactly when they are 10 or more, and stay within the byte (at most 0xF5).
inline std::uint64_t non_digit_bytes(std::uint64_t word) noexcept {
    const std::uint64_t offsets = word ^ each_byte('0');
    return (((offsets & each_byte(0x7F)) + each_byte(0x80 - 10)) | offsets) & each_byte(0x80);
}

// 10^0 .. 10^19 (10^19 < 2^64 ~ 1.8e19).
inline constexpr std::array<std::uint64_t, 20> kPow10 = [] {
    std::array<std::uint64_t, 20> table{};
    std::uint64_t p = 1;
    for (std::uint64_t& entry : table) {
        entry = p;
        p *= 10;
    }
    return table;
}();

}  // namespace atomblock::reader::digit_words
