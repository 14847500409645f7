// Column type codes: one byte per field of an atom line, shared by the reader
// and the writer, which read them through the column plan (column_plan.hpp).
// Codes are case-sensitive; every other byte is a skip code for the reader (a
// token taken and dropped) and writes nothing in the writer.
#pragma once

#include <cstdint>

namespace atomblock {

inline constexpr std::uint8_t kFloatCode = 'f';  // 102
inline constexpr std::uint8_t kIntCode = 'i';    // 105
inline constexpr std::uint8_t kBoolCode = 'b';   // 98
inline constexpr std::uint8_t kStrCode = 's';    // 115: a string token, or the symbol

}  // namespace atomblock
