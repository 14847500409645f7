// Atom-line reader core: one pass over the lines, one token per column type
// code, values collected into stores sized once up front.
#include "reader/atom_reader.hpp"

#include <array>
#include <charconv>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "common/column_plan.hpp"
#include "common/huge_pages.hpp"
#include "common/internal_failure.hpp"
#include "common/portable_ops.hpp"
#include "reader/quoted_token.hpp"
#include "reader/token_cursor.hpp"
#include "reader/token_grammar.hpp"

namespace atomblock::reader {
namespace {

// Decimal digits of the largest std::size_t (2^64 - 1 has 20 digits).
constexpr std::size_t kMaxDecimalDigits = std::numeric_limits<std::size_t>::digits10 + 1;

// A zero-filled rows x cols matrix; throws std::bad_alloc when the element
// count does not fit in std::size_t or the memory cannot be had.
template <class T>
RowMajorMatrix<T> zeroed_matrix(std::size_t rows, std::size_t cols) {
    std::size_t count;
    if (ops::mul_overflow(rows, cols, count)) throw std::bad_alloc();
    return RowMajorMatrix<T>{rows, cols, CBuffer<T>::zeroed(count)};
}

void append_decimal(std::string& out, std::size_t value) {
    std::array<char, kMaxDecimalDigits> digits;
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    out.append(digits.data(), end);
}

// The first token of a row that did not convert: its column type, the token
// and the reason text (empty for booleans).
struct RowFault {
    ColumnKind kind = ColumnKind::skip;
    std::size_t position = 0;  // the token's index on the line
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
        const ColumnStep step = plan[i];
        switch (step.kind) {
            case ColumnKind::real: {
                const FloatParse parsed = parse_float_token(token);
                if (!parsed.ok) {
                    fault = RowFault{step.kind, i, token, reason_text(parsed.error)};
                    return false;
                }
                stores.floats[step.column] = parsed.value;
                break;
            }
            case ColumnKind::integer: {
                const IntParse parsed = parse_int_token(token);
                if (!parsed.ok) {
                    fault = RowFault{step.kind, i, token, reason_text(parsed.error)};
                    return false;
                }
                stores.ints[step.column] = parsed.value;
                break;
            }
            case ColumnKind::logical: {
                const std::optional<bool> parsed = parse_bool_token(token);
                if (!parsed) {
                    fault = RowFault{step.kind, i, token, {}};
                    return false;
                }
                stores.bools[step.column] = *parsed ? 1 : 0;
                break;
            }
            case ColumnKind::string: (*stores.strs)[step.column].push_back(token); break;
            case ColumnKind::skip: break;  // the token is taken and dropped
        }
    }
    return true;
}

// The token positions that feed the columns of each type, in column order:
// column k of the floats takes token floats[k] of the row, and so on. Each
// has as many positions as its matrix has columns (see ColumnSources).
struct RowSources {
    std::span<const std::size_t> floats;
    std::span<const std::size_t> ints;
    std::span<const std::size_t> bools;
    std::span<const std::size_t> strs;
};

// Converts a row that supplied all its tokens (views into `line`), one
// column type after the other: a tight loop per type instead of a dispatch
// per token. Returns false as soon as a token does not convert; the caller
// then converts the row in line order to find the first fault.
bool convert_by_columns(std::string_view line, std::span<const std::string_view> tokens,
                        const RowSources& sources, const RowStores& stores) {
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

// The fault of a row that did not go through whole: the first token that
// does not convert, else the shortage of tokens, else the token after the
// last code. `found` tokens were split where `expected` were wanted; more
// were looked for only when extra tokens are rejected.
[[gnu::cold]] ReadError row_fault(std::size_t row, std::string_view line,
                                  std::span<const std::string_view> tokens, std::size_t found,
                                  std::size_t expected, std::span<const ColumnStep> plan,
                                  const RowStores& stores) {
    RowFault fault;
    if (!convert_row(tokens.first(found < expected ? found : expected), plan, stores, fault)) {
        ReadError error;
        error.kind = fault.kind == ColumnKind::real      ? FaultKind::bad_float
                     : fault.kind == ColumnKind::integer ? FaultKind::bad_int
                                                         : FaultKind::bad_bool;
        error.row = row;
        error.column = fault.position;
        error.token = fault.token;
        error.reason = fault.reason;
        return error;
    }
    if (found == expected) {
        // Both conversions accept exactly the same tokens (the line order one
        // without reading beyond its tokens), so this is unreachable.
        fail("reader row failed by columns but not in line order");
    }
    ReadError error;
    error.kind = found < expected ? FaultKind::too_few_tokens : FaultKind::too_many_tokens;
    error.row = row;
    error.expected = expected;
    if (found < expected) {
        error.column = found;
        error.found = found;
        return error;
    }
    error.token = tokens[expected];
    // The tokens of the whole line, those past the first extra one included.
    TokenCursor cursor(line);
    std::string_view ignored;
    while (cursor.next(ignored)) ++error.found;
    return error;
}

// The row loop. With `reject_extra_tokens` each row is split one token
// further, to see whether a token follows the last code's; a row is then
// faultless only when it holds exactly the expected count. Rows go in
// chunks of `options.checkpoint_rows`, with the checkpoint between chunks.
std::optional<ReadError> read_rows(std::span<const std::string_view> lines, const ColumnPlan& plan,
                                   const ReadOptions& options, RowStores stores) {
    const bool reject_extra_tokens = options.reject_extra_tokens;
    const std::size_t expected = plan.steps().size();
    const std::size_t float_cols = plan.count(ColumnKind::real);
    const std::size_t int_cols = plan.count(ColumnKind::integer);
    const std::size_t bool_cols = plan.count(ColumnKind::logical);
    const ColumnSources by_kind(plan);
    const RowSources sources{
        by_kind.sources(ColumnKind::real), by_kind.sources(ColumnKind::integer),
        by_kind.sources(ColumnKind::logical), by_kind.sources(ColumnKind::string)};
    std::vector<std::string_view> tokens(expected + (reject_extra_tokens ? 1 : 0));
    const std::span<const std::string_view> row_tokens = std::span(tokens).first(expected);
    const std::size_t chunk_rows = options.checkpoint != nullptr && options.checkpoint_rows != 0
                                       ? options.checkpoint_rows
                                       : lines.size();
    for (std::size_t chunk = 0; chunk < lines.size(); chunk += chunk_rows) {
        if (chunk != 0) options.checkpoint(options.checkpoint_context);
        const std::size_t chunk_end =
            lines.size() - chunk > chunk_rows ? chunk + chunk_rows : lines.size();
        for (std::size_t row = chunk; row < chunk_end; ++row) {
            const std::size_t found = split_row(lines[row], tokens);
            if (found != expected || !convert_by_columns(lines[row], row_tokens, sources, stores))
                [[unlikely]] {
                return row_fault(row, lines[row], tokens, found, expected, plan.steps(), stores);
            }
            stores.floats += float_cols;
            stores.ints += int_cols;
            stores.bools += bool_cols;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string_view fault_name(FaultKind kind) noexcept {
    switch (kind) {
        case FaultKind::bad_float: return "bad_float";
        case FaultKind::bad_int: return "bad_int";
        case FaultKind::bad_bool: return "bad_bool";
        case FaultKind::too_few_tokens: return "too_few_tokens";
        case FaultKind::too_many_tokens: return "too_many_tokens";
        case FaultKind::too_few_lines: return "too_few_lines";
        case FaultKind::invalid_utf8: return "invalid_utf8";
        case FaultKind::nul_byte: return "nul_byte";
    }
    return "unknown";
}

std::string fault_text(const ReadError& error) {
    std::string text;
    const auto cannot_parse = [&](std::string_view type) {
        text += "cannot parse ";
        append_quoted_token(text, error.token);
        text += " as ";
        text += type;
        if (!error.reason.empty()) {
            text += ": ";
            text += error.reason;
        }
    };
    const auto expected = [&](std::string_view rest) {
        text += "expected ";
        append_decimal(text, error.expected);
        text += rest;
    };
    switch (error.kind) {
        case FaultKind::bad_float: cannot_parse("float"); break;
        case FaultKind::bad_int: cannot_parse("int"); break;
        case FaultKind::bad_bool: cannot_parse("bool"); break;
        case FaultKind::too_few_tokens: expected(" tokens, ran out"); break;
        case FaultKind::too_many_tokens: expected(" tokens, found more"); break;
        case FaultKind::too_few_lines: expected(" lines, the data ends"); break;
        case FaultKind::invalid_utf8:
            text += "invalid UTF-8 in ";
            append_quoted_token(text, error.token);
            break;
        case FaultKind::nul_byte: text += "NUL byte in a UTF-8 token"; break;
    }
    return text;
}

std::string error_message(const ReadError& error) {
    std::string message = "row ";
    append_decimal(message, error.row);
    message += ": ";
    message += fault_text(error);
    return message;
}

std::variant<AtomColumns, ReadError> read_atom_lines(std::span<const std::string_view> lines,
                                                     std::span<const std::uint8_t> col_types,
                                                     const ReadOptions& options) {
    const ColumnPlan plan(col_types);
    const std::size_t natoms = lines.size();

    AtomColumns out;
    out.floats = zeroed_matrix<double>(natoms, plan.count(ColumnKind::real));
    out.ints = zeroed_matrix<std::int64_t>(natoms, plan.count(ColumnKind::integer));
    out.bools = zeroed_matrix<std::uint8_t>(natoms, plan.count(ColumnKind::logical));
    out.strs.resize(plan.count(ColumnKind::string));
    for (auto& column : out.strs) {
        column.reserve(natoms);
        advise_huge_pages(column.data(), natoms * sizeof(std::string_view));
    }

    // The rows of the three matrices advance together: row r of each
    // starts r * (its column count) elements in. Each row is split first
    // and converted after, so that the scan of the line and the conversions
    // do not compete for registers. A faultless row is converted type by
    // type. A row with a fault is converted again in line order, to report
    // the first fault as the tokens come; a row that runs out converts the
    // tokens it has, since a fault among them comes before the shortage.
    const RowStores stores{out.floats.data.data(), out.ints.data.data(), out.bools.data.data(),
                           &out.strs};
    std::optional<ReadError> error = read_rows(lines, plan, options, stores);
    if (error) return *error;
    return out;
}

}  // namespace atomblock::reader
