// The exact decimal shortcut (Clinger's fast path): an integer of at most
// 2^53 divided by a power of ten of at most 10^22 is correctly rounded by one
// binary64 division, because both operands are exact binary64 values and
// IEEE 754 division rounds its exact quotient once. Every fast path of the
// float grammar and the decimal rounding divide through exact_quotient.
//
// Assumptions: the floating-point environment rounds to nearest, ties to even
// (the default, which CPython never changes), and double expressions are
// evaluated in double precision (FLT_EVAL_METHOD 0 or 1; x87 extended
// precision would round twice).
#pragma once

#include <array>
#include <cassert>
#include <cfloat>
#include <cstddef>
#include <cstdint>

// Some C++ libraries leave FLT_EVAL_METHOD undefined; those targets evaluate
// in the operands' precision.
#if defined(FLT_EVAL_METHOD) && (FLT_EVAL_METHOD < 0 || FLT_EVAL_METHOD > 1)
#error "the exact decimal shortcut needs double expressions evaluated in double precision"
#endif

namespace atomblock::reader {

// Every integer up to 2^53 is a binary64 (53-bit significand).
inline constexpr std::uint64_t kExactIntegerMax = std::uint64_t{1} << 53;

// 10^22 = 2^22 * 5^22 with 5^22 < 2^53: the largest exactly representable power of ten.
inline constexpr int kExactPow10Max = 22;

// 10^0 .. 10^kExactPow10Max, each exactly.
inline constexpr std::array<double, kExactPow10Max + 1> kExactPow10 = [] {
    std::array<double, kExactPow10Max + 1> table{};
    double p = 1.0;
    for (double& entry : table) {
        entry = p;  // every product is exact: each 10^k below is representable
        p *= 10.0;
    }
    return table;
}();

namespace exact_detail {

// The powers of ten positive and negated: dividing by -10^k gives the negated
// correctly rounded quotient (rounding to nearest is symmetric, and 0 / -10^k
// is -0), so the sign is applied without a branch on it, which a random sign
// would mispredict.
inline constexpr std::array<std::array<double, kExactPow10Max + 1>, 2> kSignedExactPow10 = [] {
    std::array<std::array<double, kExactPow10Max + 1>, 2> table{};
    for (std::size_t k = 0; k < kExactPow10.size(); ++k) {
        table[0][k] = kExactPow10[k];
        table[1][k] = -kExactPow10[k];
    }
    return table;
}();

}  // namespace exact_detail

// digits / 10^pow10, negated when `negative`, correctly rounded.
// Preconditions: digits <= kExactIntegerMax, pow10 <= kExactPow10Max. The
// integer is converted as a signed one, which x86-64 does in one instruction
// (an unsigned one needs a test of the top bit first).
inline double exact_quotient(std::uint64_t digits, std::size_t pow10, bool negative) noexcept {
    assert(digits <= kExactIntegerMax && pow10 <= static_cast<std::size_t>(kExactPow10Max));
    return static_cast<double>(static_cast<std::int64_t>(digits)) /
           exact_detail::kSignedExactPow10[negative][pow10];
}

}  // namespace atomblock::reader
