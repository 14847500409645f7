// Atom-line reader core: one pass over the lines, one token per column type
// code, values collected into stores sized once up front.
#include "reader/atom_reader.hpp"

#include <array>
#include <charconv>
#include <limits>
#include <new>
#include <utility>

#include "common/internal_failure.hpp"
#include "reader/quoted_token.hpp"
#include "reader/token_cursor.hpp"
#include "reader/token_grammar.hpp"

namespace atomblock::reader {
namespace {

// Column type codes; every other byte is a skip code.
constexpr std::uint8_t kFloatCode = 'f';
constexpr std::uint8_t kIntCode = 'i';
constexpr std::uint8_t kBoolCode = 'b';
constexpr std::uint8_t kStrCode = 's';

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

// Checked store index: a failing check means a row supplied more values of
// one type than there are columns, which the code counting rules out.
template <class T>
T& slot(RowMajorMatrix<T>& matrix, std::size_t row, std::size_t column) {
    if (column >= matrix.cols) fail("reader column index beyond its column count");
    return matrix.data[row * matrix.cols + column];
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
    for (auto& column : out.strs) column.reserve(natoms);
    out.n_float_cols = counts.floats;
    out.n_int_cols = counts.ints;
    out.n_bool_cols = counts.bools;

    for (std::size_t row = 0; row < natoms; ++row) {
        TokenCursor cursor(lines[row]);
        std::size_t k_f = 0, k_i = 0, k_b = 0, k_s = 0;
        for (const std::uint8_t code : col_types) {
            std::string_view token;
            if (!cursor.next(token)) return ran_out(row, col_types.size());
            switch (code) {
                case kFloatCode: {
                    const FloatParse parsed = parse_float_token(token);
                    if (!parsed.ok)
                        return cannot_parse(row, token, "float", reason_text(parsed.error));
                    slot(out.floats, row, k_f++) = parsed.value;
                    break;
                }
                case kIntCode: {
                    const IntParse parsed = parse_int_token(token);
                    if (!parsed.ok)
                        return cannot_parse(row, token, "int", reason_text(parsed.error));
                    slot(out.ints, row, k_i++) = parsed.value;
                    break;
                }
                case kBoolCode: {
                    const std::optional<bool> parsed = parse_bool_token(token);
                    if (!parsed) return cannot_parse(row, token, "bool", {});
                    slot(out.bools, row, k_b++) = *parsed ? 1 : 0;
                    break;
                }
                case kStrCode:
                    if (k_s >= out.strs.size()) fail("reader string column beyond its count");
                    out.strs[k_s++].push_back(token);
                    break;
                default:
                    break;  // skip code: the token is taken and dropped
            }
        }
    }
    return out;
}

}  // namespace atomblock::reader
