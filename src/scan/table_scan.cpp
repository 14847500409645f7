// Frames of a buffer into table columns: comment lines by the comment scanner,
// atom lines by the reader core, one call per run of frames of one layout.
#include "scan/table_scan.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "scan/block_scan.hpp"
#include "scan/comment_scan.hpp"

namespace atomblock::native {
namespace {

constexpr std::size_t kCellValues = 9;
constexpr std::size_t kPbcFlags = 3;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::size_t find_line_end(std::string_view data, std::size_t from) {
    if (from >= data.size()) return data.size();
    const void* hit = std::memchr(data.data() + from, '\n', data.size() - from);
    return hit == nullptr ? data.size()
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - data.data());
}

// ---- pbc values ---------------------------------------------------------------

bool ascii_equal_lower(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

std::optional<std::uint8_t> pbc_flag(std::string_view item) {
    for (const std::string_view word : {"t", "true", "1"})
        if (ascii_equal_lower(item, word)) return 1;
    for (const std::string_view word : {"f", "false", "0"})
        if (ascii_equal_lower(item, word)) return 0;
    return std::nullopt;
}

bool is_blank(char c) {
    // What str.split() splits printable ASCII and tabs at (the scanner admits nothing else),
    // with the commas that pbc values may hold.
    return c == ' ' || c == '\t' || c == ',';
}

// Three booleans in the forms a pbc value takes: "T T T", "T,T,T", {1 1 0},
// "TTT"; false for anything else (the slow reader then decides).
bool parse_pbc(std::string_view raw, std::array<std::uint8_t, kPbcFlags>& out) {
    std::string_view body = raw;
    if (raw.size() > 1 && (raw.front() == '"' || raw.front() == '{'))
        body = raw.substr(1, raw.size() - 2);
    std::array<std::string_view, kPbcFlags + 1> items{};
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < body.size()) {
        if (is_blank(body[i])) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < body.size() && !is_blank(body[j])) ++j;
        if (count == items.size()) return false;
        items[count++] = body.substr(i, j - i);
        i = j;
    }
    if (count == 1 && items[0].size() == kPbcFlags) {
        const std::string_view word = items[0];
        for (std::size_t k = 0; k < kPbcFlags; ++k) items[k] = word.substr(k, 1);
        count = kPbcFlags;
    }
    if (count != kPbcFlags) return false;
    for (std::size_t k = 0; k < kPbcFlags; ++k) {
        const auto flag = pbc_flag(items[k]);
        if (!flag) return false;
        out[k] = *flag;
    }
    return true;
}

// ---- the per-frame header -------------------------------------------------------

// What a comment line of the common grammar holds, or nothing.
struct Header {
    std::size_t layout = 0;
    bool has_cell = false;
    std::array<double, kCellValues> cell{};
    std::array<std::uint8_t, kPbcFlags> pbc{};
    std::string_view free_text;  // a line of text without pairs: the "comment" key
    bool free = false;
};

bool holds_visible_ascii(std::string_view line) {
    return std::any_of(line.begin(), line.end(), [](char c) { return c > ' ' && c < '\x7f'; });
}

// Blanks that str.strip() removes, in the ASCII the scanner sees.
bool all_ascii_blanks(std::string_view line) {
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

// False when the slow reader must take the frame.
bool read_header(std::string_view line, const KnownLayouts& layouts, CommentScan& scan,
                 Header& header) {
    header = Header{};
    std::string_view properties;
    bool has_properties = false;
    if (line.find('=') == std::string_view::npos) {
        // A line without pairs is free text under "comment", or nothing when blank;
        // lines of only blanks, controls or non-ASCII are the slow reader's.
        const bool blank = all_ascii_blanks(line);
        if (!blank && !holds_visible_ascii(line)) return false;
        if (!blank) {
            if (!is_valid_utf8(line)) return false;
            header.free = true;
            header.free_text = line;
        }
        scan.pairs.clear();
    } else {
        if (!scan_comment(line, scan)) return false;
        if (scan.lattice.present) {
            if (!scan.lattice.typed_cell) return false;
            header.has_cell = true;
            header.cell = scan.lattice.cell;
        }
        if (scan.pbc.present && !parse_pbc(scan.pbc.raw, header.pbc)) return false;
        if (scan.properties.present) {
            has_properties = true;
            properties = scan.properties.raw;
        }
    }
    if (!scan.pbc.present || header.free) header.pbc.fill(header.has_cell ? 1 : 0);
    if (has_properties) {
        const auto found = layouts.by_text.find(properties);
        if (found == layouts.by_text.end()) return false;
        header.layout = found->second;
    } else {
        if (layouts.absent == KnownLayouts::kNoLayout) return false;
        header.layout = layouts.absent;
    }
    return true;
}

// ---- info columns --------------------------------------------------------------

// The column kind a value takes, and its list shape.
struct ValueForm {
    ColumnKind kind;
    bool list;
    bool square;
    std::size_t width;
};

ValueForm form_of(const InfoPair& pair) {
    switch (pair.kind) {
        case InfoKind::boolean: return {ColumnKind::boolean, false, false, 1};
        case InfoKind::integer: return {ColumnKind::integer, false, false, 1};
        case InfoKind::real: return {ColumnKind::real, false, false, 1};
        case InfoKind::text: return {ColumnKind::text, false, false, 1};
        case InfoKind::array: break;
    }
    const ColumnKind kind = pair.array_type == ArrayType::int64     ? ColumnKind::integer
                            : pair.array_type == ArrayType::float64 ? ColumnKind::real
                                                                    : ColumnKind::boolean;
    return {kind, true, pair.square, pair.count};
}

enum class Fit : std::uint8_t { same, widen_column, widen_value, conflict };

Fit fit_of(const InfoColumn& column, const ValueForm& form) {
    if (column.list != form.list || column.square != form.square || column.width != form.width)
        return Fit::conflict;
    if (column.kind == form.kind) return Fit::same;
    if (column.kind == ColumnKind::integer && form.kind == ColumnKind::real)
        return Fit::widen_column;
    if (column.kind == ColumnKind::real && form.kind == ColumnKind::integer)
        return Fit::widen_value;
    return Fit::conflict;
}

void widen(InfoColumn& column) {
    column.reals.resize(column.ints.size());
    std::transform(column.ints.begin(), column.ints.end(), column.reals.begin(),
                   [](std::int64_t v) { return static_cast<double>(v); });
    column.ints = {};
    column.kind = ColumnKind::real;
}

void append_fill(InfoColumn& column) {
    switch (column.kind) {
        case ColumnKind::boolean: column.flags.insert(column.flags.end(), column.width, 0); break;
        case ColumnKind::integer: column.ints.insert(column.ints.end(), column.width, 0); break;
        case ColumnKind::real: column.reals.insert(column.reals.end(), column.width, kNaN); break;
        case ColumnKind::text: column.texts.emplace_back(); break;
    }
}

void append_value(InfoColumn& column, const InfoPair& pair, const CommentScan& scan) {
    if (pair.kind != InfoKind::array) {
        switch (column.kind) {
            case ColumnKind::boolean: column.flags.push_back(pair.boolean ? 1 : 0); break;
            case ColumnKind::integer: column.ints.push_back(pair.integer); break;
            case ColumnKind::real:
                column.reals.push_back(
                    pair.kind == InfoKind::integer ? static_cast<double>(pair.integer) : pair.real);
                break;
            case ColumnKind::text: column.texts.push_back(pair.text); break;
        }
        return;
    }
    const std::size_t from = pair.offset;
    const std::size_t to = pair.offset + pair.count;
    switch (pair.array_type) {
        case ArrayType::boolean:
            column.flags.insert(column.flags.end(),
                                scan.flags.begin() + static_cast<std::ptrdiff_t>(from),
                                scan.flags.begin() + static_cast<std::ptrdiff_t>(to));
            break;
        case ArrayType::int64:
            if (column.kind == ColumnKind::integer) {
                column.ints.insert(column.ints.end(),
                                   scan.ints.begin() + static_cast<std::ptrdiff_t>(from),
                                   scan.ints.begin() + static_cast<std::ptrdiff_t>(to));
            } else {
                for (std::size_t k = from; k < to; ++k)
                    column.reals.push_back(static_cast<double>(scan.ints[k]));
            }
            break;
        case ArrayType::float64:
            column.reals.insert(column.reals.end(),
                                scan.reals.begin() + static_cast<std::ptrdiff_t>(from),
                                scan.reals.begin() + static_cast<std::ptrdiff_t>(to));
            break;
    }
}

std::size_t held_entries(const InfoColumn& column) {
    switch (column.kind) {
        case ColumnKind::boolean: return column.flags.size();
        case ColumnKind::integer: return column.ints.size();
        case ColumnKind::real: return column.reals.size();
        case ColumnKind::text: return column.texts.size() * column.width;
    }
    return 0;
}

void truncate_column(InfoColumn& column, std::size_t frames) {
    const std::size_t entries = frames * column.width;
    switch (column.kind) {
        case ColumnKind::boolean: column.flags.resize(entries); break;
        case ColumnKind::integer: column.ints.resize(entries); break;
        case ColumnKind::real: column.reals.resize(entries); break;
        case ColumnKind::text: column.texts.resize(frames); break;
    }
}

// The info columns being built, with the key lookups of the last frame.
class InfoBuilder {
public:
    InfoBuilder(TableBatch& batch, std::size_t budget) : batch_(batch), budget_(budget) {}

    // Adds frame `frame`'s pairs; false (nothing added) when a pair does not
    // fit its column's kind, or a key is repeated (the slow reader's case).
    enum class Added : std::uint8_t { added, conflict, repeated, wide };
    Added add(std::size_t frame, const CommentScan& scan, const Header& header,
              const KeyFilter& keep) {
        order_.clear();
        forms_.clear();
        pairs_.clear();
        if (header.free) {
            if (keep.keeps(kFreeTextKey)) {
                const std::size_t number =
                    column_of(kFreeTextKey, 0, {ColumnKind::text, false, false, 1}, frame);
                order_.push_back(static_cast<std::uint32_t>(number));
                forms_.push_back({ColumnKind::text, false, false, 1});
                pairs_.push_back(nullptr);
            }
        } else {
            for (std::size_t p = 0; p < scan.pairs.size(); ++p) {
                const InfoPair& pair = scan.pairs[p];
                if (!keep.keeps(pair.key)) continue;
                const ValueForm form = form_of(pair);
                const std::size_t number = column_of(pair.key, order_.size(), form, frame);
                if (std::find(order_.begin(), order_.end(), number) != order_.end())
                    return drop_new(frame), Added::repeated;
                order_.push_back(static_cast<std::uint32_t>(number));
                forms_.push_back(form);
                pairs_.push_back(&pair);
            }
        }
        for (std::size_t k = 0; k < order_.size(); ++k) {
            InfoColumn& column = batch_.info[order_[k]];
            if (column.first != frame && fit_of(column, forms_[k]) == Fit::conflict)
                return drop_new(frame), Added::conflict;
        }
        std::size_t values = 0;
        for (const InfoColumn& column : batch_.info) values += column.width;
        if (values > budget_ / (frame + 1)) return drop_new(frame), Added::wide;
        for (std::size_t k = 0; k < order_.size(); ++k) {
            InfoColumn& column = batch_.info[order_[k]];
            if (column.first != frame && fit_of(column, forms_[k]) == Fit::widen_column)
                widen(column);
            if (pairs_[k] == nullptr) {
                column.texts.push_back(header.free_text);
            } else {
                append_value(column, *pairs_[k], scan);
            }
        }
        // Every column is one frame longer: a fill where the frame lacks the key.
        for (InfoColumn& column : batch_.info) {
            if (held_entries(column) < (frame + 1) * column.width) append_fill(column);
        }
        batch_.order_ids.push_back(static_cast<std::int32_t>(order_number()));
        return Added::added;
    }

private:
    static constexpr std::string_view kFreeTextKey = "comment";

    // The column of `key`, made (filled for the frames before) when new; the
    // frame's k-th key is looked for first where the last frame had it.
    std::size_t column_of(std::string_view key, std::size_t k, const ValueForm& form,
                          std::size_t frame) {
        if (k < last_order_.size() && batch_.info[last_order_[k]].key == key) return last_order_[k];
        for (std::size_t c = 0; c < batch_.info.size(); ++c)
            if (batch_.info[c].key == key) return c;
        InfoColumn column;
        column.key = std::string(key);
        column.kind = form.kind;
        column.list = form.list;
        column.square = form.square;
        column.width = form.width;
        column.first = frame;
        for (std::size_t f = 0; f < frame; ++f) append_fill(column);
        batch_.info.push_back(std::move(column));
        return batch_.info.size() - 1;
    }

    // Columns made for this frame go again when the frame is not added.
    void drop_new(std::size_t frame) {
        while (!batch_.info.empty() && batch_.info.back().first == frame) batch_.info.pop_back();
    }

    std::size_t order_number() {
        if (!batch_.order_ids.empty() && order_ == last_order_)
            return static_cast<std::size_t>(batch_.order_ids.back());
        last_order_ = order_;
        for (std::size_t o = 0; o < batch_.orders.size(); ++o)
            if (batch_.orders[o] == order_) return o;
        batch_.orders.push_back(order_);
        return batch_.orders.size() - 1;
    }

    TableBatch& batch_;
    std::size_t budget_;
    std::vector<std::uint32_t> order_, last_order_;
    std::vector<ValueForm> forms_;
    std::vector<const InfoPair*> pairs_;
};

// Drops every frame from `frames` on, and the info columns first seen there.
void truncate_batch(TableBatch& batch, std::size_t frames) {
    batch.frames = frames;
    while (!batch.info.empty() && batch.info.back().first >= frames) batch.info.pop_back();
    for (InfoColumn& column : batch.info) truncate_column(column, frames);
    batch.order_ids.resize(frames);
    // Orders of the dropped frames only may name dropped columns: renumber the used ones.
    std::vector<std::int32_t> renumbered(batch.orders.size(), -1);
    std::vector<std::vector<std::uint32_t>> kept;
    for (std::int32_t& id : batch.order_ids) {
        auto& number = renumbered[static_cast<std::size_t>(id)];
        if (number < 0) {
            number = static_cast<std::int32_t>(kept.size());
            kept.push_back(std::move(batch.orders[static_cast<std::size_t>(id)]));
        }
        id = number;
    }
    batch.orders = std::move(kept);
    batch.cells.resize(frames * kCellValues);
    batch.has_cell.resize(frames);
    batch.pbc.resize(frames * kPbcFlags);
    batch.layout_ids.resize(frames);
}

// ---- atom runs -----------------------------------------------------------------

// True when every byte of `token` is ASCII other than NUL: one code point each,
// nothing to check further (the common symbols and labels).
bool plain_ascii(std::string_view token) noexcept {
    unsigned char high = 0;
    bool nul = false;
    for (const char c : token) {
        high |= static_cast<unsigned char>(c);
        nul |= c == '\0';
    }
    return high < 0x80 && !nul;
}

// Measures the run's string tokens: each frame's widest item per column (in
// code points, at least one) into `run.widths`, and each column's widest into
// `widest`. Returns the first row whose token is not UTF-8 or holds a NUL
// byte (the code-point matrices pad with zeros, so a NUL would vanish), or
// `rows` when there is none.
std::size_t measure_strings(AtomRun& run, std::span<const std::int64_t> natoms, std::size_t rows,
                            std::vector<std::size_t>& widest, std::vector<std::uint8_t>& ascii) {
    const auto& strs = run.columns.strs;
    const std::size_t frames = run.last - run.first;
    run.widths.assign(frames * strs.size(), 1);
    widest.assign(strs.size(), 1);
    ascii.assign(strs.size(), 1);
    std::size_t bad = rows;
    for (std::size_t c = 0; c < strs.size(); ++c) {
        const auto& tokens = strs[c];
        std::size_t row = 0;
        for (std::size_t f = 0; f < frames && row < bad; ++f) {
            std::size_t frame_width = 1;
            const std::size_t upto =
                std::min(row + static_cast<std::size_t>(natoms[run.first + f]), bad);
            for (std::size_t r = row; r < upto; ++r) {
                const std::string_view token = tokens[r];
                if (plain_ascii(token)) {
                    frame_width = std::max(frame_width, token.size());
                    continue;
                }
                if (classify_utf8_token(token) != Utf8Token::valid) {
                    bad = r;
                    break;
                }
                ascii[c] = 0;
                frame_width = std::max(frame_width, count_code_points(token));
            }
            row = upto;
            run.widths[f * strs.size() + c] = static_cast<std::int32_t>(frame_width);
            widest[c] = std::max(widest[c], frame_width);
        }
    }
    return bad;
}

// The code-point matrices of the run's string columns, as measured.
void decode_strings(AtomRun& run, std::span<const std::size_t> widest,
                    std::span<const std::uint8_t> ascii) {
    const auto& strs = run.columns.strs;
    run.utf32.clear();
    for (std::size_t c = 0; c < strs.size(); ++c) {
        const auto& tokens = strs[c];
        const std::size_t width = widest[c];
        reader::RowMajorMatrix<std::uint32_t> matrix{
            tokens.size(), width, CBuffer<std::uint32_t>::zeroed(tokens.size() * width)};
        std::uint32_t* out = matrix.data.data();
        for (const std::string_view token : tokens) {
            if (ascii[c] != 0) {
                for (std::size_t k = 0; k < token.size(); ++k)
                    out[k] = static_cast<unsigned char>(token[k]);
            } else {
                decode_utf8(token, out);
            }
            out += width;
        }
        run.utf32.push_back(std::move(matrix));
    }
}

// The frame of a run that holds `row`.
std::size_t frame_of_row(std::span<const std::int64_t> natoms, std::size_t first, std::size_t row) {
    std::size_t f = first;
    std::size_t start = 0;
    while (start + static_cast<std::size_t>(natoms[f]) <= row)
        start += static_cast<std::size_t>(natoms[f++]);
    return f;
}

// Reads frames [first, last) of one layout; returns the first frame that has
// a fault (or `last`), the run holding the frames before it.
std::size_t read_run(std::string_view data, std::span<const std::int64_t> natoms,
                     std::span<const std::size_t> atom_starts, std::size_t first, std::size_t last,
                     std::span<const std::uint8_t> col_types, AtomRun& run,
                     std::vector<std::string_view>& lines) {
    std::vector<std::size_t> widest;
    std::vector<std::uint8_t> ascii;
    std::size_t rows = 0;
    for (std::size_t f = first; f < last; ++f) rows += static_cast<std::size_t>(natoms[f]);
    lines.reserve(std::min(rows, data.size()));  // a line holds at least one byte
    while (true) {
        lines.clear();
        std::size_t end = first;
        for (; end < last; ++end) {
            const auto wanted = static_cast<std::size_t>(natoms[end]);
            const LineRun found = split_lines(data, atom_starts[end], wanted, lines);
            if (found.lines < wanted) {
                lines.resize(lines.size() - found.lines);
                break;
            }
        }
        auto outcome = reader::read_atom_lines(lines, col_types);
        if (auto* error = std::get_if<reader::ReadError>(&outcome)) {
            last = frame_of_row(natoms, first, error->row);
            continue;  // the frames before read cleanly: read them again without the rest
        }
        run.first = first;
        run.last = end;
        run.columns = std::move(std::get<reader::AtomColumns>(outcome));
        const std::size_t bad_row = measure_strings(run, natoms, lines.size(), widest, ascii);
        if (bad_row < lines.size()) {
            last = frame_of_row(natoms, first, bad_row);
            continue;
        }
        decode_strings(run, widest, ascii);
        return end;
    }
}

}  // namespace

TableBatch read_table_batch(std::string_view data, std::span<const std::int64_t> offsets,
                            std::span<const std::int64_t> natoms, const KnownLayouts& layouts,
                            const KeyFilter& keep, bool atoms) {
    TableBatch batch;
    const std::size_t n = std::min(offsets.size(), natoms.size());
    batch.cells.reserve(n * kCellValues);
    batch.pbc.reserve(n * kPbcFlags);
    batch.order_ids.reserve(n);
    batch.layout_ids.reserve(n);
    std::vector<std::size_t> atom_starts;
    atom_starts.reserve(n);
    thread_local CommentScan scan;
    Header header;
    const std::size_t text =
        n == 0 || offsets[0] < 0 || static_cast<std::size_t>(offsets[0]) > data.size()
            ? 0
            : data.size() - static_cast<std::size_t>(offsets[0]);
    InfoBuilder info(batch, std::max(kMinInfoValues, text * kInfoValuesPerByte));
    std::size_t j = 0;
    for (; j < n; ++j) {
        const std::int64_t offset = offsets[j];
        if (offset < 0 || static_cast<std::size_t>(offset) >= data.size() || natoms[j] < 0) {
            batch.stop = BatchStop::frame;
            break;
        }
        const std::size_t count_end = find_line_end(data, static_cast<std::size_t>(offset));
        const std::size_t start = count_end + 1;
        const std::size_t end = find_line_end(data, start);
        if (start > data.size() || end - start > kLongestScannedComment) {
            batch.stop = BatchStop::frame;
            break;
        }
        std::string_view line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!read_header(line, layouts, scan, header)) {
            batch.stop = BatchStop::frame;
            break;
        }
        const auto added = info.add(j, scan, header, keep);
        if (added != InfoBuilder::Added::added) {
            batch.stop = added == InfoBuilder::Added::wide                ? BatchStop::wide
                         : added == InfoBuilder::Added::conflict && j > 0 ? BatchStop::split
                                                                          : BatchStop::frame;
            break;
        }
        batch.cells.insert(batch.cells.end(), header.cell.begin(), header.cell.end());
        if (!header.has_cell) std::fill(batch.cells.end() - kCellValues, batch.cells.end(), kNaN);
        batch.has_cell.push_back(header.has_cell ? 1 : 0);
        batch.pbc.insert(batch.pbc.end(), header.pbc.begin(), header.pbc.end());
        batch.layout_ids.push_back(static_cast<std::int32_t>(header.layout));
        atom_starts.push_back(std::min(end + 1, data.size()));
    }
    batch.frames = j;
    if (!atoms) return batch;

    std::vector<std::string_view> lines;
    std::size_t first = 0;
    while (first < batch.frames) {
        const std::int32_t layout = batch.layout_ids[first];
        std::size_t last = first + 1;
        while (last < batch.frames && batch.layout_ids[last] == layout) ++last;
        AtomRun run;
        run.layout = static_cast<std::size_t>(layout);
        const std::size_t read_to =
            read_run(data, natoms, atom_starts, first, last,
                     layouts.col_types[static_cast<std::size_t>(layout)], run, lines);
        if (read_to > first) batch.runs.push_back(std::move(run));
        if (read_to < last) {
            truncate_batch(batch, read_to);
            batch.stop = BatchStop::frame;
            break;
        }
        first = last;
    }
    return batch;
}

}  // namespace atomblock::native
