// Vector instruction selection: the one place that decides whether the SSE2
// paths of the reader and the writer are compiled. Every vector path tests
// ATOMBLOCK_HAVE_SSE2 (always defined, 0 or 1) and nothing else.
//
// SSE2 is on when the target guarantees it: GCC and clang say so with
// __SSE2__ (x86-64 always, 32-bit x86 with -msse2); MSVC defines _M_X64 /
// _M_AMD64 on x86-64 and _M_IX86_FP >= 2 on 32-bit x86 built with /arch:SSE2
// or higher. Defining ATOMBLOCK_PORTABLE turns every vector path off, so
// that the word-at-a-time forms that other targets use are built and tested
// here too.
#pragma once

#include <cstdint>

#if !defined(ATOMBLOCK_PORTABLE) && (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64) || \
                                     (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define ATOMBLOCK_HAVE_SSE2 1
#else
#define ATOMBLOCK_HAVE_SSE2 0
#endif

#if ATOMBLOCK_HAVE_SSE2
#include <emmintrin.h>

namespace atomblock::simd {

// The low and the high 64-bit lane of a register. x86-64 moves a lane to a
// general register in one instruction; 32-bit x86 has no 64-bit general
// registers, so the lane goes through memory there.
inline std::uint64_t low_lane(__m128i v) noexcept {
#if defined(__x86_64__) || defined(_M_X64) || defined(_M_AMD64)
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(v));
#else
    std::uint64_t lane;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&lane), v);
    return lane;
#endif
}

inline std::uint64_t high_lane(__m128i v) noexcept {
    return low_lane(_mm_unpackhi_epi64(v, v));
}

}  // namespace atomblock::simd
#endif
