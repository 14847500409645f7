// Whole frames of a buffer read into columns: the comment lines typed into
// per-key columns, the atom lines of runs of frames with one layout read in
// one call each. Plain C++; never touches a Python object, so it runs with the
// interpreter lock released.
//
// It takes the frames that the common grammar covers and stops at the first
// one it does not (a comment line the scanner declines, a Properties text not
// yet known, a fault in an atom line): the caller reads that frame the slow
// way, which also reports its faults, and asks again from the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/c_buffer.hpp"
#include "reader/atom_reader.hpp"

namespace atomblock::native {

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};

// The Properties texts the caller knows, by number, with the column type
// codes of their atom lines. `absent` is the number of the layout of frames
// without Properties, or kNoLayout when the caller has not given it.
struct KnownLayouts {
    static constexpr std::size_t kNoLayout = static_cast<std::size_t>(-1);
    std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> by_text;
    std::size_t absent = kNoLayout;
    std::vector<std::vector<std::uint8_t>> col_types;
};

// The info keys to keep; all when `all`.
struct KeyFilter {
    bool all = true;
    std::unordered_set<std::string, TextHash, std::equal_to<>> keys;
    bool keeps(std::string_view key) const { return all || keys.find(key) != keys.end(); }
};

enum class ColumnKind : std::uint8_t { boolean, integer, real, text };

// One info key's values, one entry (or `width` entries, for a list value) per
// frame, fills where a frame lacks the key: 0, 0, NaN, "" by kind. Ints widen
// to reals when a later frame gives a real of the same shape.
struct InfoColumn {
    std::string key;
    ColumnKind kind = ColumnKind::real;
    bool list = false;  // a list value (shape (width,), or (3, 3) when `square`)
    bool square = false;
    std::size_t width = 1;
    std::size_t first = 0;  // the first frame that has the key
    std::vector<std::int64_t> ints;
    std::vector<double> reals;
    std::vector<std::uint8_t> flags;
    std::vector<std::string_view> texts;  // views into the buffer; UTF-8
};

// The atom lines of frames [first, last) of a batch, all of layout `layout`.
struct AtomRun {
    std::size_t layout = 0;
    std::size_t first = 0;
    std::size_t last = 0;
    reader::AtomColumns columns;
    // One zero-padded (rows, longest) matrix of code points per string column.
    std::vector<reader::RowMajorMatrix<std::uint32_t>> utf32;
    // (last - first) x (string columns): the longest item of each frame's
    // string column, in code points, at least one.
    std::vector<std::int32_t> widths;
};

enum class BatchStop : std::uint8_t {
    none,   // every frame given is in the batch
    frame,  // frame `frames` needs the slow reader
    split,  // an info key changes kind at frame `frames`: a new batch starts there
    wide,   // the info keys up to frame `frames` would hold too many values (below)
};

// Info values (of all keys, a list counting its items, fills included) that a
// batch may hold: kInfoValuesPerByte per byte of its text, at least
// kMinInfoValues. Columns are dense, so keys that each appear in few frames (a
// new key per frame) would otherwise grow the table with the square of the
// text; real datasets hold far fewer (a few sparse keys over frames of tens of
// bytes come to a few values per byte).
inline constexpr std::size_t kInfoValuesPerByte = 16;
inline constexpr std::size_t kMinInfoValues = std::size_t{1} << 16;

struct TableBatch {
    std::size_t frames = 0;
    BatchStop stop = BatchStop::none;
    std::vector<InfoColumn> info;                    // by first appearance
    std::vector<std::vector<std::uint32_t>> orders;  // distinct key orders (column numbers)
    std::vector<std::int32_t> order_ids;             // per frame
    std::vector<double> cells;                       // 9 per frame, rows in C order; NaN: none
    std::vector<std::uint8_t> has_cell;
    std::vector<std::uint8_t> pbc;  // 3 per frame
    std::vector<std::int32_t> layout_ids;
    std::vector<AtomRun> runs;  // with `atoms`: every frame in exactly one run, in order
};

// Comment lines longer than this are left to the slow reader, which also
// enforces the limit on them.
inline constexpr std::size_t kLongestScannedComment = std::size_t{1} << 20;

// Reads the frames whose count lines start at `offsets` (with `natoms` atoms
// each; whole frames inside `data`, as the frame walk found them), up to the
// first one it stops at. With `atoms` false no atom line is read (no runs).
// Throws std::bad_alloc only.
TableBatch read_table_batch(std::string_view data, std::span<const std::int64_t> offsets,
                            std::span<const std::int64_t> natoms, const KnownLayouts& layouts,
                            const KeyFilter& keep, bool atoms);

}  // namespace atomblock::native
