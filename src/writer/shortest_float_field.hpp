// Shortest float text: the digits that read back to the same binary64, laid
// out as Python's repr() of a float does.
#pragma once

#include <cstddef>

namespace atomblock::writer {

inline constexpr std::size_t kShortestFloatMaxChars = 24;  // "-2.2250738585072014e-308"

// Writes Python's repr() text of `value` at `out` (room for kShortestFloatMaxChars) and returns the end.
char* write_shortest_float(char* out, double value) noexcept;

}  // namespace atomblock::writer
