// Word-level operations that C++20 does not spell portably: overflow-checked
// arithmetic, trailing-zero count, byte swap, 64x64->128-bit products and
// little-endian word access. This is the only header that uses compiler
// builtins or intrinsics for them.
//
// Each operation has three forms: GCC/clang builtins (which compile to the
// single instructions the hot paths were written against), MSVC intrinsics
// under _MSC_VER, and plain C++ for everything else. Defining
// ATOMBLOCK_PLAIN_OPS forces the plain forms on every compiler, so that they
// are built and tested on this machine too.
#pragma once

#include <bit>
#include <climits>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#if !defined(ATOMBLOCK_PLAIN_OPS) && (defined(__GNUC__) || defined(__clang__))
#define ATOMBLOCK_OPS_GNU 1
#else
#define ATOMBLOCK_OPS_GNU 0
#endif

#if !defined(ATOMBLOCK_PLAIN_OPS) && !ATOMBLOCK_OPS_GNU && defined(_MSC_VER)
#define ATOMBLOCK_OPS_MSVC 1
#include <intrin.h>
#else
#define ATOMBLOCK_OPS_MSVC 0
#endif

namespace atomblock::ops {

// ---- overflow-checked arithmetic ---------------------------------------------
//
// Each stores the result wrapped to T in `out` and returns true exactly when
// the mathematical result does not fit in T. T is one of the integer types
// of the cores (std::int64_t, std::uint64_t, std::size_t).

template <class T>
inline bool add_overflow(T a, T b, T& out) noexcept {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
#if ATOMBLOCK_OPS_GNU
    return __builtin_add_overflow(a, b, &out);
#else
    using U = std::make_unsigned_t<T>;
    const U sum = static_cast<U>(static_cast<U>(a) + static_cast<U>(b));
    out = static_cast<T>(sum);  // modular conversion (C++20)
    if constexpr (std::is_unsigned_v<T>) {
        return sum < static_cast<U>(a);
    } else {
        // Overflow exactly when both operands have one sign and the sum the other.
        return ((a ^ out) & (b ^ out)) < 0;
    }
#endif
}

template <class T>
inline bool sub_overflow(T a, T b, T& out) noexcept {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
#if ATOMBLOCK_OPS_GNU
    return __builtin_sub_overflow(a, b, &out);
#else
    using U = std::make_unsigned_t<T>;
    const U difference = static_cast<U>(static_cast<U>(a) - static_cast<U>(b));
    out = static_cast<T>(difference);
    if constexpr (std::is_unsigned_v<T>) {
        return b > a;
    } else {
        // Overflow exactly when the operands differ in sign and the result
        // has the sign of the subtrahend.
        return ((a ^ b) & (a ^ out)) < 0;
    }
#endif
}

template <class T>
inline bool mul_overflow(T a, T b, T& out) noexcept {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
#if ATOMBLOCK_OPS_GNU
    return __builtin_mul_overflow(a, b, &out);
#else
    using U = std::make_unsigned_t<T>;
    out = static_cast<T>(static_cast<U>(static_cast<U>(a) * static_cast<U>(b)));
    constexpr T kMax = std::numeric_limits<T>::max();
    if constexpr (std::is_unsigned_v<T>) {
        return a != 0 && b > kMax / a;
    } else {
        constexpr T kMin = std::numeric_limits<T>::min();
        if (a == 0 || b == 0) return false;
        if (a > 0) return b > 0 ? a > kMax / b : b < kMin / a;
        return b > 0 ? a < kMin / b : b < kMax / a;
    }
#endif
}

// ---- bits ----------------------------------------------------------------------

namespace detail {

// De Bruijn sequence B(2, 6): the top six bits of (x << k) * kDeBruijn64 are
// distinct for k = 0..63, so they index the position of a single set bit.
inline constexpr std::uint64_t kDeBruijn64 = 0x03F79D71B4CB0A89ull;
inline constexpr unsigned kDeBruijnShift = 64 - 6;
inline constexpr auto kDeBruijnPosition = [] {
    struct Table {
        unsigned char position[64];
    } table{};
    for (unsigned k = 0; k < 64; ++k)
        table.position[((std::uint64_t{1} << k) * kDeBruijn64) >> kDeBruijnShift] =
            static_cast<unsigned char>(k);
    return table;
}();

}  // namespace detail

// Index of the lowest set bit. Precondition: bits != 0.
inline int countr_zero64(std::uint64_t bits) noexcept {
#if ATOMBLOCK_OPS_GNU
    return __builtin_ctzll(bits);
#elif ATOMBLOCK_OPS_MSVC && (defined(_M_X64) || defined(_M_AMD64) || defined(_M_ARM64))
    unsigned long index;
    _BitScanForward64(&index, bits);
    return static_cast<int>(index);
#elif ATOMBLOCK_OPS_MSVC
    // 32-bit targets scan one half at a time.
    unsigned long index;
    if (_BitScanForward(&index, static_cast<unsigned long>(bits))) return static_cast<int>(index);
    _BitScanForward(&index, static_cast<unsigned long>(bits >> 32));
    return static_cast<int>(index) + 32;
#else
    const std::uint64_t lowest = bits & (~bits + 1);
    return detail::kDeBruijnPosition
        .position[(lowest * detail::kDeBruijn64) >> detail::kDeBruijnShift];
#endif
}

// The eight bytes of `word` in reverse order.
inline std::uint64_t byteswap64(std::uint64_t word) noexcept {
#if ATOMBLOCK_OPS_GNU
    return __builtin_bswap64(word);
#elif ATOMBLOCK_OPS_MSVC
    return _byteswap_uint64(word);
#else
    // Swap bytes within 16-bit halves, then those within 32-bit halves,
    // then the two 32-bit halves.
    word = ((word & 0x00FF00FF00FF00FFull) << 8) | ((word >> 8) & 0x00FF00FF00FF00FFull);
    word = ((word & 0x0000FFFF0000FFFFull) << 16) | ((word >> 16) & 0x0000FFFF0000FFFFull);
    return (word << 32) | (word >> 32);
#endif
}

// ---- 128-bit products -----------------------------------------------------------

// An unsigned 128-bit value as two words. Members in this order make the
// defaulted comparison the numeric one.
struct UInt128 {
    std::uint64_t high;
    std::uint64_t low;

    friend constexpr auto operator<=>(const UInt128&, const UInt128&) noexcept = default;
};

// The full product a * b.
inline UInt128 mul_64x64(std::uint64_t a, std::uint64_t b) noexcept {
#if ATOMBLOCK_OPS_GNU && defined(__SIZEOF_INT128__)
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return UInt128{static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
#elif ATOMBLOCK_OPS_MSVC && (defined(_M_X64) || defined(_M_AMD64))
    std::uint64_t high;
    const std::uint64_t low = _umul128(a, b, &high);
    return UInt128{high, low};
#elif ATOMBLOCK_OPS_MSVC && defined(_M_ARM64)
    return UInt128{__umulh(a, b), a * b};
#else
    // Schoolbook on 32-bit halves; `middle` collects the cross terms and the
    // carry out of the low half, and stays below 3 * 2^32.
    constexpr std::uint64_t kLow32 = 0xFFFFFFFFull;
    const std::uint64_t a_low = a & kLow32, a_high = a >> 32;
    const std::uint64_t b_low = b & kLow32, b_high = b >> 32;
    const std::uint64_t low_low = a_low * b_low;
    const std::uint64_t low_high = a_low * b_high;
    const std::uint64_t high_low = a_high * b_low;
    const std::uint64_t middle = (low_low >> 32) + (low_high & kLow32) + (high_low & kLow32);
    return UInt128{a_high * b_high + (low_high >> 32) + (high_low >> 32) + (middle >> 32),
                   (middle << 32) | (low_low & kLow32)};
#endif
}

// value >> shift, for shift 0..127.
constexpr UInt128 shift_right(UInt128 value, unsigned shift) noexcept {
    if (shift == 0) return value;
    if (shift >= 64) return UInt128{0, value.high >> (shift - 64)};
    return UInt128{value.high >> shift, (value.low >> shift) | (value.high << (64 - shift))};
}

// The lowest `count` bits of value (count 0..128).
constexpr UInt128 low_bits(UInt128 value, unsigned count) noexcept {
    if (count >= 128) return value;
    if (count >= 64)
        return UInt128{count == 64 ? 0 : value.high & ((std::uint64_t{1} << (count - 64)) - 1),
                       value.low};
    return UInt128{0, count == 0 ? 0 : value.low & ((std::uint64_t{1} << count) - 1)};
}

// 2^exponent, for exponent 0..127.
constexpr UInt128 power_of_two(unsigned exponent) noexcept {
    return exponent >= 64 ? UInt128{std::uint64_t{1} << (exponent - 64), 0}
                          : UInt128{0, std::uint64_t{1} << exponent};
}

// ---- little-endian words -----------------------------------------------------------

// The eight bytes p[0] .. p[7] as a word holding p[0] in its lowest byte,
// whatever the byte order of the target; p need not be aligned.
inline std::uint64_t load_le64(const void* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = byteswap64(word);
    return word;
}

// Stores `word` at p[0] .. p[7], its lowest byte at p[0].
inline void store_le64(void* p, std::uint64_t word) noexcept {
    if constexpr (std::endian::native == std::endian::big) word = byteswap64(word);
    std::memcpy(p, &word, sizeof word);
}

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "mixed-endian targets are not supported");

}  // namespace atomblock::ops
