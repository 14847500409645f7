// Correctly rounded decimal-to-binary64 conversion: an exact shortcut through
// binary64 arithmetic for ordinary numbers, std::from_chars on the text as
// written for other short ones, and otherwise a canonical scientific text of
// bounded length rounded by std::from_chars, or by canonical_text_to_double
// where the standard library has no std::from_chars for double.
#include "reader/decimal_to_double.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <limits>
#include <system_error>

#include "common/internal_failure.hpp"
#include "reader/canonical_decimal.hpp"
#include "reader/digit_words.hpp"

// libc++ provides std::from_chars for double from LLVM 20 on (its version
// macro reads 200000 there); libstdc++ from GCC 11, where it defines
// __cpp_lib_to_chars. ATOMBLOCK_OWN_DECIMAL selects the own rounding anyway,
// so that it is built and tested everywhere.
#if defined(ATOMBLOCK_OWN_DECIMAL) || (defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 200000) || \
    (defined(__GLIBCXX__) && !defined(__cpp_lib_to_chars))
#define ATOMBLOCK_FROM_CHARS_DOUBLE 0
#else
#define ATOMBLOCK_FROM_CHARS_DOUBLE 1
#endif

namespace atomblock::reader {
namespace {

// Exact small powers of ten as integers (digit_words::kPow10) fold an
// exponent above kExactPow10Max into the significand; 10^15 < 2^53, so 15
// is the useful limit.
constexpr int kFoldPow10Max = 15;

// Every midpoint between neighbouring binary64 values (and the overflow and
// underflow thresholds, which are midpoints too) has at most 768 significant
// decimal digits: 2^54 * 5^1075 has 768 digits. Keeping more digits than that
// and replacing the rest by one nonzero digit preserves every rounding decision.
constexpr std::size_t kKeptDigits = 800;
static_assert(kDirectTextMax <= kKeptDigits, "direct texts stay within the kept digits");

// Scientific decimal exponents E (value in [10^E, 10^(E+1))) outside
// [kUnderflowExponent, kOverflowExponent] are decided without rounding:
// 10^309 exceeds the overflow threshold (2 - 2^-53) * 2^1023 ~ 1.8e308, and
// 10^-324 lies below the underflow threshold 2^-1075 ~ 2.47e-324.
constexpr std::int64_t kOverflowExponent = 308;
constexpr std::int64_t kUnderflowExponent = -324;

// Room for the canonical text: a digit, the point, kKeptDigits - 1 digits,
// the replacement digit, 'e', a sign and a three-digit exponent.
constexpr std::size_t kCanonicalCapacity = kKeptDigits + 8;

double with_sign(double magnitude, bool negative) noexcept {
    return negative ? -magnitude : magnitude;
}

// The exact shortcut: both the significand and the power of ten are exact
// binary64 values, so one correctly rounded multiplication or division gives
// the correctly rounded result. Returns false when it does not apply.
bool try_exact(const DecimalNumber& number, double& out) noexcept {
    if (number.more_digits || number.leading > kExactIntegerMax) return false;
    const std::int64_t e10 = number.exponent - static_cast<std::int64_t>(number.fraction.size());
    const double significand = static_cast<double>(number.leading);
    if (e10 >= -kExactPow10Max && e10 <= kExactPow10Max) {
        out = e10 < 0 ? exact_quotient(number.leading, static_cast<std::size_t>(-e10), false)
                      : significand * kExactPow10[static_cast<std::size_t>(e10)];
        return true;
    }
    if (e10 > kExactPow10Max && e10 <= kExactPow10Max + kFoldPow10Max) {
        const std::uint64_t fold =
            digit_words::kPow10[static_cast<std::size_t>(e10 - kExactPow10Max)];
        if (number.leading > kExactIntegerMax / fold) return false;
        out = static_cast<double>(number.leading * fold) * kExactPow10[kExactPow10Max];
        return true;
    }
    return false;
}

// The concatenated digit sequence integer ++ fraction, indexed as one.
class Digits {
public:
    explicit Digits(const DecimalNumber& number) noexcept
        : integer_(number.integer), fraction_(number.fraction) {}

    std::size_t size() const noexcept { return integer_.size() + fraction_.size(); }

    // Index of the first digit other than '0', or size() when all are zero.
    std::size_t first_nonzero() const noexcept {
        const std::size_t in_integer = integer_.find_first_not_of('0');
        if (in_integer != std::string_view::npos) return in_integer;
        const std::size_t in_fraction = fraction_.find_first_not_of('0');
        return in_fraction == std::string_view::npos ? size() : integer_.size() + in_fraction;
    }

    // Index of the last digit other than '0'; precondition: one exists.
    std::size_t last_nonzero() const noexcept {
        const std::size_t in_fraction = fraction_.find_last_not_of('0');
        if (in_fraction != std::string_view::npos) return integer_.size() + in_fraction;
        return integer_.find_last_not_of('0');
    }

    // Copies digits [from, to) to `out`; returns the end of the copy.
    char* copy(std::size_t from, std::size_t to, char* out) const noexcept {
        const std::size_t split = integer_.size();
        if (from < split) {
            const std::size_t stop = std::min(to, split);
            std::memcpy(out, integer_.data() + from, stop - from);
            out += stop - from;
            from = stop;
        }
        if (from < to) {
            std::memcpy(out, fraction_.data() + (from - split), to - from);
            out += to - from;
        }
        return out;
    }

private:
    std::string_view integer_;
    std::string_view fraction_;
};

// Rounds any validated number through a canonical text "d.ddd...e<E>" of at
// most kKeptDigits + 1 digits. Linear in the number of digits.
double round_canonical(const DecimalNumber& number) {
    const Digits digits(number);
    const std::size_t first = digits.first_nonzero();
    if (first == digits.size()) return with_sign(0.0, number.negative);
    const std::size_t last = digits.last_nonzero();

    const std::int64_t scientific = number.exponent +
                                    static_cast<std::int64_t>(number.integer.size()) - 1 -
                                    static_cast<std::int64_t>(first);
    if (scientific > kOverflowExponent)
        return with_sign(std::numeric_limits<double>::infinity(), number.negative);
    if (scientific < kUnderflowExponent) return with_sign(0.0, number.negative);

    std::array<char, kCanonicalCapacity> text;
    char* out = text.data();
    const std::size_t significant = last - first + 1;
    const bool truncated = significant > kKeptDigits;
    const std::size_t stop = first + (truncated ? kKeptDigits : significant);
    out = digits.copy(first, first + 1, out);
    if (stop > first + 1) {
        *out++ = '.';
        out = digits.copy(first + 1, stop, out);
        // The dropped digits end in a nonzero one (`last`), so the exact value
        // lies strictly above the kept prefix: one trailing 1 keeps it there.
        if (truncated) *out++ = '1';
    }
    *out++ = 'e';
    const auto written = std::to_chars(out, text.data() + text.size(), scientific);
    if (written.ec != std::errc()) fail("canonical float text overflows its buffer");
    out = written.ptr;

#if ATOMBLOCK_FROM_CHARS_DOUBLE
    double magnitude = 0.0;
    const auto parsed = std::from_chars(text.data(), out, magnitude);
    if (parsed.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone when the result rounds to infinity
        // or to zero; the scientific exponent tells which of the two it was.
        magnitude = scientific > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (parsed.ec != std::errc() || parsed.ptr != out) {
        fail("std::from_chars refused a canonical decimal text");
    }
#else
    const double magnitude = canonical_text_to_double(
        std::string_view(text.data(), static_cast<std::size_t>(out - text.data())));
#endif
    return with_sign(magnitude, number.negative);
}

}  // namespace

double decimal_to_double(const DecimalNumber& number) {
    double value;
    if (!number.more_digits && number.leading == 0) return with_sign(0.0, number.negative);
    if (try_exact(number, value)) return with_sign(value, number.negative);
#if ATOMBLOCK_FROM_CHARS_DOUBLE
    if (!number.text.empty()) {
        // The grammar already holds, so from_chars reads the whole text; only
        // a result beyond the range needs the canonical route, which tells
        // infinity from zero.
        const char* const end = number.text.data() + number.text.size();
        const auto parsed = std::from_chars(number.text.data(), end, value);
        if (parsed.ec == std::errc() && parsed.ptr == end) return with_sign(value, number.negative);
        if (parsed.ec != std::errc::result_out_of_range)
            fail("std::from_chars refused a validated decimal text");
    }
#endif
    return round_canonical(number);
}

}  // namespace atomblock::reader
