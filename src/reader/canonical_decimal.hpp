// Exact decimal-to-binary64 rounding of canonical scientific texts, for
// standard libraries without std::from_chars for double (libc++ before
// LLVM 20) and for builds that define ATOMBLOCK_OWN_DECIMAL.
#pragma once

#include <cstddef>
#include <string_view>

namespace atomblock::reader {

// Significant digits a canonical text may carry: the 800 that the decimal
// rounding keeps plus the one sticky digit that stands in for dropped ones.
inline constexpr std::size_t kCanonicalDigitsMax = 801;

// The binary64 nearest to `text`, ties to even, overflowing to +infinity and
// underflowing to +0 or a subnormal. Precondition: `text` has the canonical
// form d[.d+]e[-]E: a nonzero first digit, at most kCanonicalDigitsMax digits
// in all, the last of them nonzero when there is a point, and a decimal
// exponent E in [-324, 308] written without leading zeros. Throws
// InternalFailure only if the text breaks that form (a broken invariant).
double canonical_text_to_double(std::string_view text);

}  // namespace atomblock::reader
