// libFuzzer target for the byte-level scanners of atomblock._native: line
// splitting and skipping, the frame index over count lines, UTF-8 checking,
// counting and decoding (block_scan), and the comment-line scanner
// (comment_scan), and the table batch over the frames the index finds
// (table_scan), each against a plain reference or the invariants its callers
// rely on.
//
// Input layout: four parameter bytes, then the text. Bytes 0-1 (little
// endian) pick the start offset (modulo the text length + 1), byte 2 the
// frame limit (255: none, else its value modulo 16) and byte 3 the number of
// lines wanted (255: every line). Shorter inputs have their missing
// parameters zero. Each '\n'-separated piece of the text (the first
// kMaxCommentLines of them) also goes through the comment scanner.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "reader/atom_reader.hpp"
#include "reader/token_grammar.hpp"
#include "scan/block_scan.hpp"
#include "scan/comment_scan.hpp"
#include "scan/table_scan.hpp"

namespace {

namespace native = atomblock::native;
using fuzzcheck::print_bytes;

constexpr std::size_t kParameterBytes = 4;
constexpr std::uint8_t kNoLimit = 255;
constexpr std::size_t kFrameLimitModulus = 16;
constexpr std::size_t kMaxCommentLines = 64;
constexpr std::string_view kLargestCount = "9223372036854775807";  // 2^63 - 1

// ---- references ---------------------------------------------------------------------

// The offset after the line starting at `pos`: past its '\n', or the end.
std::size_t next_line(std::string_view data, std::size_t pos) {
    while (pos < data.size() && data[pos] != '\n') ++pos;
    return pos < data.size() ? pos + 1 : pos;
}

bool is_count_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// The count of a count line: decimal digits (at least one) with blanks, tabs
// and carriage returns around them, at most 2^63 - 1; compared as a digit
// string, not accumulated.
std::optional<std::uint64_t> reference_count(std::string_view line) {
    while (!line.empty() && is_count_blank(line.front())) line.remove_prefix(1);
    while (!line.empty() && is_count_blank(line.back())) line.remove_suffix(1);
    if (line.empty()) return std::nullopt;
    for (const char c : line)
        if (c < '0' || c > '9') return std::nullopt;
    while (line.size() > 1 && line.front() == '0') line.remove_prefix(1);
    if (line.size() > kLargestCount.size() ||
        (line.size() == kLargestCount.size() && line > kLargestCount))
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : line) value = value * 10 + static_cast<std::uint64_t>(c - '0');
    return value;
}

struct ReferenceIndex {
    std::vector<std::int64_t> offsets, natoms;
    std::size_t stop_offset = 0;
};

// The frame walk, byte by byte.
ReferenceIndex reference_index(std::string_view data, std::size_t offset, std::size_t limit) {
    ReferenceIndex index;
    std::size_t pos = offset;
    while (index.offsets.size() < limit && pos < data.size()) {
        const std::size_t after_count = next_line(data, pos);
        std::size_t content_end = after_count;
        if (content_end > pos && data[content_end - 1] == '\n') --content_end;
        const std::optional<std::uint64_t> count =
            reference_count(data.substr(pos, content_end - pos));
        if (!count) {
            const bool blank_rest =
                std::all_of(data.begin() + static_cast<std::ptrdiff_t>(pos), data.end(),
                            [](char c) { return is_count_blank(c) || c == '\n'; });
            if (blank_rest) pos = data.size();
            break;
        }
        // The comment line and the atom lines; the walk ends with the data.
        std::size_t p = after_count;
        std::uint64_t lines = 0;
        while (lines < *count + 1 && p < data.size()) {
            p = next_line(data, p);
            ++lines;
        }
        if (lines < *count + 1) break;
        index.offsets.push_back(static_cast<std::int64_t>(pos));
        index.natoms.push_back(static_cast<std::int64_t>(*count));
        pos = p;
    }
    index.stop_offset = pos;
    return index;
}

// Decodes well-formed UTF-8 by the definition: the code point of each
// sequence, refused when overlong, a surrogate, above U+10FFFF, or cut off.
std::optional<std::vector<std::uint32_t>> reference_decode(std::string_view text) {
    std::vector<std::uint32_t> points;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t point = 0, smallest = 0;
        if (lead < 0x80) {
            length = 1;
            point = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            point = lead & 0x1FU;
            smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            point = lead & 0x0FU;
            smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            point = lead & 0x07U;
            smallest = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + length > text.size()) return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            point = (point << 6) | (next & 0x3FU);
        }
        if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return std::nullopt;
        points.push_back(point);
        i += length;
    }
    return points;
}

// ---- checks -------------------------------------------------------------------------

bool within(std::string_view outer, std::string_view inner) {
    return inner.data() >= outer.data() &&
           inner.data() + inner.size() <= outer.data() + outer.size();
}

void check_lines(std::string_view data, std::size_t offset, std::size_t wanted) {
    std::vector<std::string_view> lines;
    const native::LineRun run = native::split_lines(data, offset, wanted, lines);
    FUZZ_CHECK(lines.size() == run.lines && run.lines <= wanted, print_bytes("data", data));
    std::size_t pos = offset;
    for (const std::string_view line : lines) {
        // Each view is the whole next line, without its '\n'.
        const std::size_t end = next_line(data, pos);
        const std::size_t content = end > pos && data[end - 1] == '\n' ? end - pos - 1 : end - pos;
        FUZZ_CHECK(line.data() == data.data() + pos && line.size() == content,
                   print_bytes("data", data));
        pos = end;
    }
    FUZZ_CHECK(run.end == pos, print_bytes("data", data));
    FUZZ_CHECK(run.lines == wanted || run.end == data.size(), print_bytes("data", data));
    const native::LineRun skipped = native::skip_lines(data, offset, wanted);
    FUZZ_CHECK(skipped.lines == run.lines && skipped.end == run.end, print_bytes("data", data));
}

void check_index(std::string_view data, std::size_t offset, std::size_t limit) {
    const native::FrameIndex index = native::index_frames(data, offset, limit);
    const ReferenceIndex want = reference_index(data, offset, limit);
    FUZZ_CHECK(index.offsets == want.offsets && index.natoms == want.natoms &&
                   index.stop_offset == want.stop_offset,
               print_bytes("data", data);
               std::fprintf(stderr,
                            "  offset %zu, limit %zu: %zu frames (want %zu), stop %zu "
                            "(want %zu)\n",
                            offset, limit, index.offsets.size(), want.offsets.size(),
                            index.stop_offset, want.stop_offset));
    FUZZ_CHECK(index.offsets.size() <= limit, print_bytes("data", data));
    const auto newlines = static_cast<std::size_t>(
        std::count(data.begin() + static_cast<std::ptrdiff_t>(offset),
                   data.begin() + static_cast<std::ptrdiff_t>(index.stop_offset), '\n'));
    FUZZ_CHECK(index.stop_line == newlines, print_bytes("data", data));
}

void check_utf8(std::string_view text) {
    const std::optional<std::vector<std::uint32_t>> points = reference_decode(text);
    const native::Utf8Token kind = native::classify_utf8_token(text);
    FUZZ_CHECK(native::is_valid_utf8(text) == points.has_value(), print_bytes("text", text));
    FUZZ_CHECK((kind != native::Utf8Token::invalid) == points.has_value(),
               print_bytes("text", text));
    if (!points) return;
    const bool nul = text.find('\0') != std::string_view::npos;
    FUZZ_CHECK((kind == native::Utf8Token::nul) == nul, print_bytes("text", text));
    FUZZ_CHECK(native::count_code_points(text) == points->size(), print_bytes("text", text));
    std::vector<std::uint32_t> decoded(points->size() + 1, 0xFFFFFFFFU);  // one guard element
    native::decode_utf8(text, decoded.data());
    FUZZ_CHECK(decoded.back() == 0xFFFFFFFFU, print_bytes("text", text));
    decoded.pop_back();
    FUZZ_CHECK(decoded == *points, print_bytes("text", text));
    std::string encoded;
    for (const std::uint32_t point : decoded) fuzzcheck::append_utf8(encoded, point);
    FUZZ_CHECK(encoded == text, print_bytes("text", text));
}

// Bytes the scanner never accepts: controls other than the tab, DEL and
// non-ASCII, backslash and brackets.
bool refused_byte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u >= 0x7F || c == '\\' || c == '[' || c == ']';
}

std::vector<std::string_view> blank_split(std::string_view body) {
    std::vector<std::string_view> items;
    std::size_t i = 0;
    while (i < body.size()) {
        if (body[i] == ' ' || body[i] == '\t') {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < body.size() && body[i] != ' ' && body[i] != '\t') ++i;
        items.push_back(body.substr(start, i - start));
    }
    return items;
}

bool is_int_word(std::string_view item) {
    if (!item.empty() && (item[0] == '+' || item[0] == '-')) item.remove_prefix(1);
    return !item.empty() &&
           std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An array pair: its elements are its items (pair.text is the list body) typed
// one by one, in item order, or transposed for a square (3, 3) one.
void check_array(std::string_view line, const native::InfoPair& pair,
                 const native::CommentScan& scan) {
    const std::vector<std::string_view> items = blank_split(pair.text);
    FUZZ_CHECK(within(line, pair.text) && items.size() == pair.count && pair.count > 0,
               print_bytes("line", line));
    FUZZ_CHECK(!pair.square || (pair.count == 9 && pair.array_type != native::ArrayType::boolean &&
                                (pair.key == "stress" || pair.key == "virial")),
               print_bytes("line", line));
    for (std::size_t k = 0; k < pair.count; ++k) {
        const std::size_t at = pair.offset + (pair.square ? (k % 3) * 3 + k / 3 : k);
        const std::string_view item = items[k];
        switch (pair.array_type) {
            case native::ArrayType::boolean: {
                const std::optional<bool> flag = atomblock::reader::parse_bool_token(item);
                FUZZ_CHECK(at < scan.flags.size() && flag && scan.flags[at] == (*flag ? 1 : 0),
                           print_bytes("line", line));
                break;
            }
            case native::ArrayType::int64: {
                const atomblock::reader::IntParse parsed = atomblock::reader::parse_int_token(item);
                FUZZ_CHECK(at < scan.ints.size() && parsed.ok && scan.ints[at] == parsed.value,
                           print_bytes("line", line));
                break;
            }
            case native::ArrayType::float64: {
                const atomblock::reader::FloatParse parsed =
                    atomblock::reader::parse_float_token(item);
                // An int item is its value: no negative zero.
                const double want = parsed.value == 0.0 && is_int_word(item) ? 0.0 : parsed.value;
                FUZZ_CHECK(at < scan.reals.size() && parsed.ok &&
                               std::bit_cast<std::uint64_t>(scan.reals[at]) ==
                                   std::bit_cast<std::uint64_t>(want),
                           print_bytes("line", line));
                break;
            }
        }
    }
}

void check_comment(std::string_view line) {
    native::CommentScan scan;
    if (!native::scan_comment(line, scan)) return;
    FUZZ_CHECK(std::none_of(line.begin(), line.end(), refused_byte), print_bytes("line", line));
    const char* last_end = line.data();
    for (const native::InfoPair& pair : scan.pairs) {
        // Keys come in line order, each a non-empty run without blanks, '=' or quotes.
        FUZZ_CHECK(within(line, pair.key) && !pair.key.empty() && pair.key.data() >= last_end,
                   print_bytes("line", line));
        FUZZ_CHECK(pair.key.find_first_of(" \t=\"") == std::string_view::npos,
                   print_bytes("line", line));
        last_end = pair.key.data() + pair.key.size();
        if (pair.kind == native::InfoKind::text) {
            FUZZ_CHECK(within(line, pair.text) || pair.text.empty(), print_bytes("line", line));
            FUZZ_CHECK(pair.text.find_first_of("\"{}") == std::string_view::npos,
                       print_bytes("line", line));
        }
        if (pair.kind == native::InfoKind::array) check_array(line, pair, scan);
    }
    for (const native::SpecialValue* special : {&scan.lattice, &scan.properties, &scan.pbc}) {
        FUZZ_CHECK(!special->present || within(line, special->raw) || special->raw.empty(),
                   print_bytes("line", line));
    }
    // The same line scans the same way twice (out is cleared first).
    native::CommentScan again;
    again.pairs.emplace_back();
    again.ints.push_back(1);
    again.reals.push_back(1.0);
    again.flags.push_back(1);
    FUZZ_CHECK(native::scan_comment(line, again) && again.pairs.size() == scan.pairs.size() &&
                   again.ints == scan.ints && again.flags == scan.flags &&
                   again.reals.size() == scan.reals.size(),
               print_bytes("line", line));
}

}  // namespace

// ---- the table batch -------------------------------------------------------------------

// The layouts the batch knows: the plain columns when Properties is absent,
// and two Properties texts.
const native::KnownLayouts& fuzz_layouts() {
    static const native::KnownLayouts layouts = [] {
        native::KnownLayouts known;
        known.col_types = {{'S', 'R', 'R', 'R'}, {'S', 'R', 'R', 'R', 'I', 'L'}, {'R', 'S', 'S'}};
        known.absent = 0;
        known.by_text.emplace("species:S:1:pos:R:3:tag:I:1:fixed:L:1", 1);
        known.by_text.emplace("x:R:1:names:S:2", 2);
        return known;
    }();
    return layouts;
}

// Every frame the batch takes is in one run of its layout, runs in order; each
// run's columns are what the atom reader gives for its frames one by one; the
// per-frame columns hold one entry per frame.
void check_table(std::string_view data, std::size_t offset) {
    const native::FrameIndex index = native::index_frames(data, offset, kFrameLimitModulus);
    const native::KnownLayouts& layouts = fuzz_layouts();
    const native::TableBatch batch = native::read_table_batch(data, index.offsets, index.natoms,
                                                              layouts, native::KeyFilter{}, true);
    const std::size_t n = batch.frames;
    FUZZ_CHECK(n <= index.offsets.size() &&
                   (n == index.offsets.size()) == (batch.stop == native::BatchStop::none),
               print_bytes("data", data));
    FUZZ_CHECK(batch.order_ids.size() == n && batch.layout_ids.size() == n &&
                   batch.has_cell.size() == n && batch.cells.size() == 9 * n &&
                   batch.pbc.size() == 3 * n,
               print_bytes("data", data));
    for (const std::int32_t id : batch.order_ids)
        FUZZ_CHECK(id >= 0 && static_cast<std::size_t>(id) < batch.orders.size(),
                   print_bytes("data", data));
    for (const native::InfoColumn& column : batch.info) {
        const std::size_t entries = n * column.width;
        const std::size_t held = column.kind == native::ColumnKind::boolean   ? column.flags.size()
                                 : column.kind == native::ColumnKind::integer ? column.ints.size()
                                 : column.kind == native::ColumnKind::real    ? column.reals.size()
                                                                              : column.texts.size();
        FUZZ_CHECK(
            held == (column.kind == native::ColumnKind::text ? n : entries) && column.first < n,
            print_bytes("data", data));
    }
    std::size_t next = 0;
    for (const native::AtomRun& run : batch.runs) {
        FUZZ_CHECK(run.first == next && run.last > run.first && run.last <= n,
                   print_bytes("data", data));
        std::size_t row = 0;
        for (std::size_t f = run.first; f < run.last; ++f) {
            FUZZ_CHECK(static_cast<std::size_t>(batch.layout_ids[f]) == run.layout,
                       print_bytes("data", data));
            // The frame's atom lines, as the frame walk found them.
            const auto natoms = static_cast<std::size_t>(index.natoms[f]);
            std::size_t pos = next_line(data, static_cast<std::size_t>(index.offsets[f]));
            pos = next_line(data, pos);
            std::vector<std::string_view> lines;
            native::split_lines(data, pos, natoms, lines);
            const auto alone =
                atomblock::reader::read_atom_lines(lines, layouts.col_types[run.layout]);
            const auto* columns = std::get_if<atomblock::reader::AtomColumns>(&alone);
            FUZZ_CHECK(columns != nullptr, print_bytes("data", data));
            const auto& floats = run.columns.floats;
            for (std::size_t r = 0; r < natoms; ++r) {
                for (std::size_t c = 0; c < floats.cols; ++c) {
                    const double a = floats.data[(row + r) * floats.cols + c];
                    const double b = columns->floats.data[r * floats.cols + c];
                    FUZZ_CHECK(std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b),
                               print_bytes("data", data));
                }
                for (std::size_t c = 0; c < run.columns.strs.size(); ++c)
                    FUZZ_CHECK(run.columns.strs[c][row + r] == columns->strs[c][r],
                               print_bytes("data", data));
            }
            row += natoms;
        }
        FUZZ_CHECK(run.columns.floats.rows == row && run.utf32.size() == run.columns.strs.size(),
                   print_bytes("data", data));
        next = run.last;
    }
    FUZZ_CHECK(next == n, print_bytes("data", data));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::uint8_t parameters[kParameterBytes] = {};
    const std::size_t taken = std::min(size, kParameterBytes);
    std::copy(bytes, bytes + taken, parameters);
    const std::string_view data(reinterpret_cast<const char*>(bytes) + taken, size - taken);

    const std::size_t offset =
        (static_cast<std::size_t>(parameters[0]) | static_cast<std::size_t>(parameters[1]) << 8) %
        (data.size() + 1);
    const std::size_t limit = parameters[2] == kNoLimit ? std::numeric_limits<std::size_t>::max()
                                                        : parameters[2] % kFrameLimitModulus;
    const std::size_t wanted =
        parameters[3] == kNoLimit ? std::numeric_limits<std::size_t>::max() : parameters[3];

    check_lines(data, offset, wanted);
    check_index(data, offset, limit);
    check_table(data, offset);
    check_utf8(data);

    std::size_t pos = 0;
    for (std::size_t n = 0; n < kMaxCommentLines && pos < data.size(); ++n) {
        const std::size_t end = next_line(data, pos);
        const std::string_view line = data.substr(pos, end - pos - (data[end - 1] == '\n' ? 1 : 0));
        check_utf8(line);
        check_comment(line);
        pos = end;
    }
    return 0;
}
