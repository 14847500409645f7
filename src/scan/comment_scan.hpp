// Comment-line scanner: the common key=value lines of extended XYZ frames,
// typed without the interpreter. Plain C++; never touches a Python object.
//
// It accepts a subset of the package's comment grammar and declines the
// rest, so that the Python parser (which handles every line and every error
// message) decides those lines. Whatever it accepts it types exactly as that
// parser does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace atomblock::native {

enum class InfoKind : std::uint8_t { boolean, integer, real, text, array };

// The element type of an array value.
enum class ArrayType : std::uint8_t { int64, float64, boolean };

// One info pair. Only the member of `kind` is meaningful; `text` views the line.
// An array's `count` elements start at `offset` in the CommentScan vector of
// its type (ints, reals or flags), in C order; `square` makes its shape
// (3, 3) instead of (count,).
struct InfoPair {
    std::string_view key;
    InfoKind kind = InfoKind::text;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string_view text;
    ArrayType array_type = ArrayType::float64;
    bool square = false;
    std::size_t offset = 0;
    std::size_t count = 0;
};

// A special key's value as the Python parser's raw text: a quoted value keeps
// its quotes (Lattice and pbc texts key that parser's caches), except for
// Properties, whose quotes are dropped. A Lattice list of nine numbers is
// typed instead: `typed_cell` is set and `cell` holds its rows in C order.
struct SpecialValue {
    std::string_view raw;
    bool present = false;
    bool typed_cell = false;
    std::array<double, 9> cell{};
};

struct CommentScan {
    std::vector<InfoPair> pairs;  // in line order; a repeated key appears again
    SpecialValue lattice, properties, pbc;
    std::vector<std::int64_t> ints;   // elements of the int64 arrays
    std::vector<double> reals;        // elements of the float64 arrays
    std::vector<std::uint8_t> flags;  // elements of the bool arrays, 0 or 1
};

// Scans `line` (without its line end) into `out`, which is cleared first.
// Returns false (declines, `out` unspecified) unless every pair is one of:
// a bare key (true); key=bare word; key="text" or key={text} (see below);
// key= at the end of the line, blanks after it allowed (empty str);
// Lattice/Properties/pbc in any letter case, once each, with a bare or quoted
// value (Lattice and pbc also braced). Pairs are separated by spaces or tabs;
// the line holds printable ASCII and tabs only, with no backslash or bracket;
// braces only around a whole value, with no quote or "=" inside. Bare words
// are typed int (int64 only), float (e/E exponents, inf, infinity, nan), bool
// (T F True False true false TRUE FALSE), else str. A quoted or braced value
// is split at blanks into items typed as bare words: all ints make an int64
// array (a float64 one when one is beyond int64), all numbers a float64 array
// (an int item converts from its value, so "-0" is +0.0), all bools a bool
// array, when there are at least two items (quoted) or one (braced); else the
// value is the str between the delimiters. Nine numbers under "stress" or
// "virial" are the (3, 3) array whose element [i, j] is item 3 * j + i.
// Declined as well: a quoted text starting "_JSON ", an item with a d/D
// exponent, a list of 2048 characters or more. Never throws except
// std::bad_alloc.
bool scan_comment(std::string_view line, CommentScan& out);

}  // namespace atomblock::native
