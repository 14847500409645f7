// Exact rounding of canonical decimal texts by decimal shifting: the digits
// are halved or doubled in place, a few bits at a time, until the value lies
// in [1/2, 1) with a known power of two beside it; then 53 more doublings
// bring the significand's bits before the decimal point and the digits
// after it decide the rounding. Every step is exact, so the result is the
// correctly rounded one.
#include "reader/canonical_decimal.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "common/internal_failure.hpp"

namespace atomblock::reader {
namespace {

// Shifts move at most this many bits at once: a digit times 2^59 plus a carry
// below 2^59 stays below 10 * 2^59 < 2^63, and so does a remainder below 2^59
// times ten plus a digit.
constexpr unsigned kMaxShift = 59;

// A left shift by kMaxShift adds at most 18 leading digits (2^59 < 10^18).
constexpr int kLeftShiftGrowth = 18;

// Digits the value can need, with room to spare: a canonical text has at most
// 801 digits and a decimal exponent in [-324, 308]. Halving a value from
// below 10^309 down to [1/2, 1) takes at most 1027 + kMaxShift bits and adds
// one digit per bit at the bottom (801 + 1086 = 1887 digits); doubling a tiny
// value adds digits only at the top, where a value below 1 has room for
// 324 + 801 of them, and the subnormal halving after it at most 60 more.
constexpr int kCapacity = 2048;

// Binary64: 52 stored fraction bits, exponent range of normal values.
constexpr unsigned kFractionBits = 52;
constexpr int kMinNormalExponent = -1022;
constexpr int kMaxExponent = 1023;
constexpr int kExponentBias = 1023;
constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << kFractionBits;

// Decimal exponents beyond these round to infinity or zero outright:
// 10^310 > 2^1024, and 10^-400 is far below half the smallest subnormal.
constexpr int kHugeDecimalPoint = 310;
constexpr int kTinyDecimalPoint = -400;

constexpr int kRadix = 10;

// value = 0.d[0] d[1] ... d[count-1] x 10^point, digits 0..9, d[0] nonzero
// and d[count-1] nonzero (no leading or trailing zeros), or count == 0 for 0.
class ShiftedDecimal {
public:
    // Appends a digit; precondition: room for it.
    void push(int digit) noexcept {
        digits_[static_cast<std::size_t>(count_++)] = static_cast<std::uint8_t>(digit);
    }
    void set_point(int point) noexcept { point_ = point; }
    int point() const noexcept { return point_; }
    bool is_zero() const noexcept { return count_ == 0; }

    // Whether the value is below 1/2.
    bool below_half() const noexcept {
        return point_ < 0 || (point_ == 0 && digits_[0] < kRadix / 2);
    }

    void trim() noexcept {
        while (count_ > 0 && digits_[static_cast<std::size_t>(count_ - 1)] == 0) --count_;
        if (count_ == 0) point_ = 0;
    }

    // Halves the value `shift` times (1 <= shift <= kMaxShift), exactly.
    void shift_right(unsigned shift) {
        if (count_ == 0) return;
        const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
        int read = 0;
        std::uint64_t n = 0;
        // Take digits (zeros after the last) until the first quotient digit is nonzero.
        while ((n >> shift) == 0) {
            n = n * kRadix + (read < count_ ? at(read) : 0u);
            ++read;
        }
        // The first quotient digit has the weight of digit read - 1.
        point_ -= read - 1;
        int write = 0;
        for (; read < count_; ++read) {
            digits_[static_cast<std::size_t>(write++)] = static_cast<std::uint8_t>(n >> shift);
            n = (n & mask) * kRadix + at(read);
        }
        // Each remaining bit of the remainder yields one more digit.
        while (n > 0) {
            if (write >= kCapacity) fail("decimal shift exceeds its digit capacity");
            digits_[static_cast<std::size_t>(write++)] = static_cast<std::uint8_t>(n >> shift);
            n = (n & mask) * kRadix;
        }
        count_ = write;
        trim();
    }

    // Doubles the value `shift` times (1 <= shift <= kMaxShift), exactly.
    // The digits are rewritten from the last one up, at the top end of the
    // buffer (never ahead of the digit being read), then moved to the front.
    void shift_left(unsigned shift) {
        if (count_ == 0) return;
        if (count_ + kLeftShiftGrowth > kCapacity) fail("decimal shift exceeds its digit capacity");
        int write = kCapacity - 1;
        std::uint64_t n = 0;
        for (int read = count_ - 1; read >= 0; --read) {
            n += static_cast<std::uint64_t>(at(read)) << shift;
            digits_[static_cast<std::size_t>(write--)] = static_cast<std::uint8_t>(n % kRadix);
            n /= kRadix;
        }
        while (n > 0) {
            digits_[static_cast<std::size_t>(write--)] = static_cast<std::uint8_t>(n % kRadix);
            n /= kRadix;
        }
        const int length = kCapacity - 1 - write;
        std::memmove(digits_.data(), digits_.data() + write + 1, static_cast<std::size_t>(length));
        point_ += length - count_;
        count_ = length;
        trim();
    }

    // The integer part rounded to nearest, ties to even. Precondition: it
    // is below 2^54 (at most 17 integer digits).
    std::uint64_t rounded_integer() const noexcept {
        std::uint64_t integer = 0;
        for (int i = 0; i < point_; ++i) integer = integer * kRadix + (i < count_ ? at(i) : 0u);
        if (point_ < 0 || point_ >= count_) return integer;  // nothing at or after the tenths
        const unsigned tenths = at(point_);
        const bool more = point_ + 1 < count_;  // nonzero digits follow (no trailing zeros)
        const bool up =
            tenths > kRadix / 2 || (tenths == kRadix / 2 && (more || (integer & 1) != 0));
        return integer + (up ? 1 : 0);
    }

private:
    unsigned at(int i) const noexcept { return digits_[static_cast<std::size_t>(i)]; }

    std::array<std::uint8_t, kCapacity> digits_;
    int count_ = 0;
    int point_ = 0;
};

[[noreturn]] void refuse() {
    fail("canonical decimal text has an unexpected form");
}

bool is_digit(char c) noexcept {
    return static_cast<unsigned char>(c - '0') <= 9;
}

// Reads d[.d+]e[-]E into `value`.
void parse_canonical(std::string_view text, ShiftedDecimal& value) {
    std::size_t i = 0;
    std::size_t digits = 0;
    if (text.empty() || !is_digit(text[0]) || text[0] == '0') refuse();
    value.push(text[i++] - '0');
    ++digits;
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && is_digit(text[i]); ++i) {
            if (++digits > kCanonicalDigitsMax) refuse();
            value.push(text[i] - '0');
        }
    }
    if (i == text.size() || text[i] != 'e') refuse();
    ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (negative) ++i;
    if (i == text.size()) refuse();
    int exponent = 0;
    for (; i < text.size(); ++i) {
        if (!is_digit(text[i]) || exponent > kHugeDecimalPoint) refuse();
        exponent = exponent * kRadix + (text[i] - '0');
    }
    // d.ddd x 10^E is 0.dddd x 10^(E + 1).
    value.set_point((negative ? -exponent : exponent) + 1);
    value.trim();
}

}  // namespace

double canonical_text_to_double(std::string_view text) {
    ShiftedDecimal value;
    parse_canonical(text, value);
    if (value.is_zero()) return 0.0;
    if (value.point() > kHugeDecimalPoint) return std::numeric_limits<double>::infinity();
    if (value.point() < kTinyDecimalPoint) return 0.0;

    // Into [1/2, 1): value x 2^exponent stays the number read. Below 10^point,
    // a halving by 3 * point bits (8 < 10) may overshoot below 1/2 and a
    // doubling by 3 * -point bits stays below 1: the doubling loop then
    // finishes the job one bit at a time.
    int exponent = 0;
    while (value.point() > 0) {
        const unsigned shift =
            std::min<unsigned>(kMaxShift, 3u * static_cast<unsigned>(value.point()));
        value.shift_right(shift);
        exponent += static_cast<int>(shift);
    }
    while (value.below_half()) {
        const unsigned shift =
            value.point() < 0
                ? std::min<unsigned>(kMaxShift, 3u * static_cast<unsigned>(-value.point()))
                : 1u;
        value.shift_left(shift);
        exponent -= static_cast<int>(shift);
    }

    // value x 2^exponent = (2 value) x 2^(exponent - 1) with 2 value in [1, 2).
    int binary_exponent = exponent - 1;
    if (binary_exponent > kMaxExponent) return std::numeric_limits<double>::infinity();
    if (binary_exponent < kMinNormalExponent) {
        // Subnormal: keep the exponent of the smallest normals and halve the
        // value instead, so that fewer bits remain before the point.
        int deficit = kMinNormalExponent - binary_exponent;
        while (deficit > 0) {
            const unsigned shift = std::min<unsigned>(kMaxShift, static_cast<unsigned>(deficit));
            value.shift_right(shift);
            deficit -= static_cast<int>(shift);
        }
        binary_exponent = kMinNormalExponent;
    }

    // The significand: value x 2^53 rounded, 2 value x 2^52 in units of the last bit.
    value.shift_left(kFractionBits + 1);
    std::uint64_t significand = value.rounded_integer();
    if (significand == 2 * kHiddenBit) {
        // Rounded up to the next power of two.
        significand = kHiddenBit;
        ++binary_exponent;
        if (binary_exponent > kMaxExponent) return std::numeric_limits<double>::infinity();
    }
    // Below the hidden bit only for subnormals (and zero), whose biased exponent is 0.
    const std::uint64_t biased = (significand & kHiddenBit) != 0
                                     ? static_cast<std::uint64_t>(binary_exponent + kExponentBias)
                                     : 0;
    return std::bit_cast<double>((biased << kFractionBits) | (significand & (kHiddenBit - 1)));
}

}  // namespace atomblock::reader
