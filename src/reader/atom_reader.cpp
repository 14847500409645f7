// Atom-line reader core: one pass over the lines, one token per column type
// code, values collected into stores sized once up front.
#include "reader/atom_reader.hpp"

#include <array>
#include <charconv>
#include <limits>
#include <new>
#include <utility>

#include "common/column_codes.hpp"
#include "common/huge_pages.hpp"
#include "common/internal_failure.hpp"
#include "reader/quoted_token.hpp"
#include "reader/token_cursor.hpp"
#include "reader/token_grammar.hpp"

namespace atomblock::reader {
namespace {

// Decimal digits of the largest std::size_t (2^64 - 1 has 20 digits).
constexpr std::size_t kMaxDecimalDigits = std::numeric_limits<std::size_t>::digits10 + 1;

struct ColumnCounts {
    std::size_t floats = 0;
    std::size_t ints = 0;
    std::size_t bools = 0;
    std::size_t strs = 0;
};

ColumnCounts count_codes(std::span<const std::uint8_t> col_types) noexcept {
    ColumnCounts counts;
    for (std::uint8_t code : col_types) {
        counts.floats += code == kFloatCode;
        counts.ints += code == kIntCode;
        counts.bools += code == kBoolCode;
        counts.strs += code == kStrCode;
    }
    return counts;
}

// A zero-filled rows x cols matrix; throws std::bad_alloc when the element
// count does not fit in std::size_t or the memory cannot be had.
template <class T>
RowMajorMatrix<T> zeroed_matrix(std::size_t rows, std::size_t cols) {
    std::size_t count;
    if (__builtin_mul_overflow(rows, cols, &count)) throw std::bad_alloc();
    return RowMajorMatrix<T>{rows, cols, CBuffer<T>::zeroed(count)};
}

void append_decimal(std::string& out, std::size_t value) {
    std::array<char, kMaxDecimalDigits> digits;
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    out.append(digits.data(), end);
}

// "row {r}: " -- the start of every message.
std::string row_prefix(std::size_t row) {
    std::string message = "row ";
    append_decimal(message, row);
    message += ": ";
    return message;
}

ReadError ran_out(std::size_t row, std::size_t expected_tokens) {
    std::string message = row_prefix(row);
    message += "expected ";
    append_decimal(message, expected_tokens);
    message += " tokens, ran out";
    return ReadError{std::move(message)};
}

// "row {r}: cannot parse {quoted} as {type}" and, when given, ": {reason}".
ReadError cannot_parse(std::size_t row, std::string_view token, std::string_view type,
                       std::string_view reason) {
    std::string message = row_prefix(row);
    message += "cannot parse ";
    append_quoted_token(message, token);
    message += " as ";
    message += type;
    if (!reason.empty()) {
        message += ": ";
        message += reason;
    }
    return ReadError{std::move(message)};
}

// What to do with the token at one position of a line: convert it and
// store it in `column` of its type, or drop it (skip codes).
enum class StepKind : std::uint8_t { skip, float_column, int_column, bool_column, str_column };

struct ColumnStep {
    StepKind kind;
    std::size_t column;
};

// One step per code, the k-th code of a type feeding column k of that type.
// Every column index is checked against its count here, once per call, so
// that the writes of every row stay inside their row.
std::vector<ColumnStep> plan_columns(std::span<const std::uint8_t> col_types,
                                     const ColumnCounts& counts) {
    std::vector<ColumnStep> plan;
    plan.reserve(col_types.size());
    ColumnCounts next;
    auto column_of = [](std::size_t& next_column, std::size_t count) {
        if (next_column >= count) fail("reader column index beyond its column count");
        return next_column++;
    };
    for (const std::uint8_t code : col_types) {
        switch (code) {
            case kFloatCode:
                plan.push_back({StepKind::float_column, column_of(next.floats, counts.floats)});
                break;
            case kIntCode:
                plan.push_back({StepKind::int_column, column_of(next.ints, counts.ints)});
                break;
            case kBoolCode:
                plan.push_back({StepKind::bool_column, column_of(next.bools, counts.bools)});
                break;
            case kStrCode:
                plan.push_back({StepKind::str_column, column_of(next.strs, counts.strs)});
                break;
            default:
                plan.push_back({StepKind::skip, 0});  // the token is taken and dropped
                break;
        }
    }
    return plan;
}

// The first token of a row that did not convert: its column type, the token
// and the reason text (empty for booleans).
struct RowFault {
    StepKind kind = StepKind::skip;
    std::string_view token;
    std::string_view reason;
};

// Destinations of one row: the row of each matrix and the string columns.
struct RowStores {
    double* floats;
    std::int64_t* ints;
    std::uint8_t* bools;
    std::vector<std::vector<std::string_view>>* strs;
};

// Splits the line into tokens.size() tokens; returns how many it held, up
// to that number. Out of line, so that the cursor has the registers to
// itself.
[[gnu::noinline]] std::size_t split_row(std::string_view line,
                                        std::span<std::string_view> tokens) noexcept {
    TokenCursor cursor(line);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (!cursor.next(tokens[i])) return i;
    }
    return tokens.size();
}

// Converts the tokens of one row by the first tokens.size() steps of the
// plan into `stores`; false, with `fault` set, at the first token that does
// not convert.
bool convert_row(std::span<const std::string_view> tokens, std::span<const ColumnStep> plan,
                 const RowStores& stores, RowFault& fault) {
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string_view token = tokens[i];
        const ColumnStep& step = plan[i];
        switch (step.kind) {
            case StepKind::float_column: {
                const FloatParse parsed = parse_float_token(token);
                if (!parsed.ok) {
                    fault = RowFault{step.kind, token, reason_text(parsed.error)};
                    return false;
                }
                stores.floats[step.column] = parsed.value;
                break;
            }
            case StepKind::int_column: {
                const IntParse parsed = parse_int_token(token);
                if (!parsed.ok) {
                    fault = RowFault{step.kind, token, reason_text(parsed.error)};
                    return false;
                }
                stores.ints[step.column] = parsed.value;
                break;
            }
            case StepKind::bool_column: {
                const std::optional<bool> parsed = parse_bool_token(token);
                if (!parsed) {
                    fault = RowFault{step.kind, token, {}};
                    return false;
                }
                stores.bools[step.column] = *parsed ? 1 : 0;
                break;
            }
            case StepKind::str_column:
                (*stores.strs)[step.column].push_back(token);
                break;
            case StepKind::skip:
                break;  // the token is taken and dropped
        }
    }
    return true;
}

// The token positions that feed the columns of each type, in column order:
// column k of the floats takes token floats[k] of the row, and so on.
struct ColumnSources {
    std::vector<std::size_t> floats;
    std::vector<std::size_t> ints;
    std::vector<std::size_t> bools;
    std::vector<std::size_t> strs;
};

// Positions of the `f`, `i`, `b` and `s` codes. Their counts equal the
// column counts, which count the same codes, and that is checked, so every
// column written below stays inside its row.
ColumnSources column_sources(std::span<const std::uint8_t> col_types, const ColumnCounts& counts) {
    ColumnSources sources;
    for (std::size_t i = 0; i < col_types.size(); ++i) {
        switch (col_types[i]) {
            case kFloatCode: sources.floats.push_back(i); break;
            case kIntCode: sources.ints.push_back(i); break;
            case kBoolCode: sources.bools.push_back(i); break;
            case kStrCode: sources.strs.push_back(i); break;
            default: break;
        }
    }
    if (sources.floats.size() != counts.floats || sources.ints.size() != counts.ints ||
        sources.bools.size() != counts.bools || sources.strs.size() != counts.strs)
        fail("reader column sources disagree with the column counts");
    return sources;
}

// Converts a row that supplied all its tokens (views into `line`), one
// column type after the other: a tight loop per type instead of a dispatch
// per token. Returns false as soon as a token does not convert; the caller
// then converts the row in line order to find the first fault.
bool convert_by_columns(std::string_view line, std::span<const std::string_view> tokens,
                        const ColumnSources& sources, const RowStores& stores) {
    for (std::size_t k = 0; k < sources.floats.size(); ++k) {
        const FloatParse parsed = parse_float_token(tokens[sources.floats[k]], line);
        if (!parsed.ok) return false;
        stores.floats[k] = parsed.value;
    }
    for (std::size_t k = 0; k < sources.ints.size(); ++k) {
        const IntParse parsed = parse_int_token(tokens[sources.ints[k]]);
        if (!parsed.ok) return false;
        stores.ints[k] = parsed.value;
    }
    for (std::size_t k = 0; k < sources.bools.size(); ++k) {
        const std::optional<bool> parsed = parse_bool_token(tokens[sources.bools[k]]);
        if (!parsed) return false;
        stores.bools[k] = *parsed ? 1 : 0;
    }
    for (std::size_t k = 0; k < sources.strs.size(); ++k)
        (*stores.strs)[k].push_back(tokens[sources.strs[k]]);
    return true;
}

}  // namespace

std::variant<AtomColumns, ReadError> read_atom_lines(std::span<const std::string_view> lines,
                                                     std::span<const std::uint8_t> col_types) {
    const ColumnCounts counts = count_codes(col_types);
    const std::size_t natoms = lines.size();

    AtomColumns out;
    out.floats = zeroed_matrix<double>(natoms, counts.floats);
    out.ints = zeroed_matrix<std::int64_t>(natoms, counts.ints);
    out.bools = zeroed_matrix<std::uint8_t>(natoms, counts.bools);
    out.strs.resize(counts.strs);
    for (auto& column : out.strs) {
        column.reserve(natoms);
        advise_huge_pages(column.data(), natoms * sizeof(std::string_view));
    }
    out.n_float_cols = counts.floats;
    out.n_int_cols = counts.ints;
    out.n_bool_cols = counts.bools;
    const std::vector<ColumnStep> plan = plan_columns(col_types, counts);

    // The rows of the three matrices advance together: row r of each
    // starts r * (its column count) elements in.
    RowStores stores{out.floats.data.data(), out.ints.data.data(), out.bools.data.data(), &out.strs};
    // Each row is split first and converted after, so that the scan of the
    // line and the conversions do not compete for registers. A faultless
    // row is converted type by type. A row with a fault is converted again
    // in line order, to report the first fault as the tokens come; a row
    // that runs out converts the tokens it has, since a fault among them
    // comes before the shortage.
    const ColumnSources sources = column_sources(col_types, counts);
    std::vector<std::string_view> tokens(col_types.size());
    for (std::size_t row = 0; row < natoms; ++row) {
        const std::size_t found = split_row(lines[row], tokens);
        if (found < tokens.size() || !convert_by_columns(lines[row], tokens, sources, stores)) {
            RowFault fault;
            if (!convert_row(std::span(tokens).first(found), plan, stores, fault)) {
                switch (fault.kind) {
                    case StepKind::float_column:
                        return cannot_parse(row, fault.token, "float", fault.reason);
                    case StepKind::int_column:
                        return cannot_parse(row, fault.token, "int", fault.reason);
                    default:
                        return cannot_parse(row, fault.token, "bool", {});
                }
            }
            if (found < tokens.size()) return ran_out(row, col_types.size());
            // Both conversions accept exactly the same tokens (the line order
            // one without reading beyond its tokens), so this is unreachable.
            fail("reader row failed by columns but not in line order");
        }
        stores.floats += counts.floats;
        stores.ints += counts.ints;
        stores.bools += counts.bools;
    }
    return out;
}

}  // namespace atomblock::reader
