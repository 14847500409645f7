// libFuzzer target for the atom-line reader core: the float, integer and
// boolean token grammars, quoted tokens and read_atom_lines (token splitting
// included, also read in chunks between checkpoints), each checked against an
// independent reference.
//
// Input layout: the bytes before the first '\n' are the column type codes
// (one byte each, at most kMaxCodes used); the rest, split on '\n', are the
// atom lines (a final empty piece after a trailing '\n' is dropped).
// tests/test_fuzz_corpus.py splits seed files the same way.
#include <algorithm>
#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/internal_failure.hpp"
#include "fuzz_check.hpp"
#include "reader/atom_reader.hpp"
#include "reader/quoted_token.hpp"
#include "reader/token_grammar.hpp"

using fuzzcheck::append_utf8;

namespace {

using atomblock::reader::FloatTokenError;
using atomblock::reader::IntTokenError;
using fuzzcheck::print_bytes;

// More codes than any real frame has columns; bounds the work per input.
constexpr std::size_t kMaxCodes = 64;
// Tokens checked one by one against the grammar references per input.
constexpr std::size_t kMaxCheckedTokens = 512;
// The float grammar stops accumulating an exponent at 65536. Below this token
// length the significand spans fewer than 65536 - 5536 decimal places, so a
// clipped exponent still lies thousands of orders of magnitude beyond the
// binary64 range and strtod (which reads the exponent whole) agrees.
constexpr std::size_t kOracleMaxTokenBytes = 60000;

constexpr std::uint64_t kQuietNanBits = 0x7FF8000000000000;  // positive quiet NaN, empty payload
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::string_view kSeparators = " \t\n\f\r";
constexpr char32_t kReplacementChar = 0xFFFD;

std::uint64_t bits_of(double v) {
    return std::bit_cast<std::uint64_t>(v);
}

// ---- references -------------------------------------------------------------------

std::vector<std::string_view> split_tokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    std::size_t pos = line.find_first_not_of(kSeparators);
    while (pos != std::string_view::npos) {
        const std::size_t end = line.find_first_of(kSeparators, pos);
        const std::size_t stop = end == std::string_view::npos ? line.size() : end;
        tokens.push_back(line.substr(pos, stop - pos));
        pos = end == std::string_view::npos ? end : line.find_first_not_of(kSeparators, end);
    }
    return tokens;
}

bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

enum class FloatShape { invalid, number, infinity, nan };

// [+-] (digits [. digits*] | . digits) [(e|E) [+-] digits], or [+-] inf/infinity/nan.
FloatShape float_shape(std::string_view t) {
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    const std::string word = ascii_lower(t.substr(i));
    if (word == "inf" || word == "infinity") return FloatShape::infinity;
    if (word == "nan") return FloatShape::nan;
    std::size_t digits = 0;
    while (i < t.size() && is_ascii_digit(t[i])) ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && is_ascii_digit(t[i])) ++i, ++digits;
    }
    if (digits == 0) return FloatShape::invalid;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < t.size() && is_ascii_digit(t[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return FloatShape::invalid;
    }
    return i == t.size() ? FloatShape::number : FloatShape::invalid;
}

// The expected value of a token the grammar accepts; nullopt when refused.
// Decimal numbers go through glibc strtod (correctly rounded, C locale).
// `oracle_used` is false for tokens too long for the oracle.
std::optional<double> reference_float(std::string_view t, bool& oracle_used) {
    oracle_used = true;
    const bool negative = !t.empty() && t[0] == '-';
    switch (float_shape(t)) {
        case FloatShape::invalid: return std::nullopt;
        case FloatShape::infinity: return negative ? -INFINITY : INFINITY;
        case FloatShape::nan:
            return std::bit_cast<double>(negative ? kQuietNanBits | kSignBit : kQuietNanBits);
        case FloatShape::number: break;
    }
    if (t.size() > kOracleMaxTokenBytes) {
        oracle_used = false;
        return 0.0;
    }
    const std::string text(t);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    FUZZ_CHECK(end == text.c_str() + text.size(), print_bytes("strtod stopped early on", t));
    return value;
}

struct RefInt {
    std::int64_t value = 0;
    std::optional<IntTokenError> error;
};

// Left to right on a 128-bit accumulator; the first non-digit or the first
// digit that leaves the int64 range decides.
RefInt reference_int(std::string_view t) {
    if (t.empty()) return {0, IntTokenError::empty};
    const bool negative = t[0] == '-';
    if (t[0] == '+' || t[0] == '-') t.remove_prefix(1);
    if (t.empty()) return {0, IntTokenError::invalid_digit};
    constexpr __int128 kMax = INT64_MAX;
    constexpr __int128 kMinMagnitude = static_cast<__int128>(INT64_MAX) + 1;
    __int128 magnitude = 0;
    for (char c : t) {
        if (!is_ascii_digit(c)) return {0, IntTokenError::invalid_digit};
        magnitude = magnitude * 10 + (c - '0');
        if (!negative && magnitude > kMax) return {0, IntTokenError::too_large};
        if (negative && magnitude > kMinMagnitude) return {0, IntTokenError::too_small};
    }
    return {static_cast<std::int64_t>(negative ? -magnitude : magnitude), std::nullopt};
}

std::optional<bool> reference_bool(std::string_view t) {
    for (std::string_view w : {"T", "True", "TRUE", "true"})
        if (t == w) return true;
    for (std::string_view w : {"F", "False", "FALSE", "false"})
        if (t == w) return false;
    return std::nullopt;
}

// Length of the well-formed UTF-8 sequence at the front of `s` (Unicode
// Table 3-7), or 0 when none starts there.
std::size_t utf8_sequence_length(std::string_view s) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    auto in = [&](std::size_t i, unsigned lo, unsigned hi) {
        return i < s.size() && byte(i) >= lo && byte(i) <= hi;
    };
    if (s.empty()) return 0;
    const unsigned b0 = byte(0);
    if (b0 <= 0x7F) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
    if (b0 == 0xE0) return in(1, 0xA0, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
    if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF)
        return in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
    if (b0 == 0xED) return in(1, 0x80, 0x9F) && in(2, 0x80, 0xBF) ? 3 : 0;
    if (b0 == 0xF0) return in(1, 0x90, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    if (b0 >= 0xF1 && b0 <= 0xF3)
        return in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    if (b0 == 0xF4) return in(1, 0x80, 0x8F) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    return 0;
}

bool is_valid_utf8(std::string_view s) {
    while (!s.empty()) {
        const std::size_t n = utf8_sequence_length(s);
        if (n == 0) return false;
        s.remove_prefix(n);
    }
    return true;
}

// The token with every byte that starts no well-formed sequence replaced by
// U+FFFD: what the quoted form must spell out.
std::string replace_invalid_utf8(std::string_view s) {
    std::string out;
    while (!s.empty()) {
        const std::size_t n = utf8_sequence_length(s);
        if (n == 0) {
            append_utf8(out, kReplacementChar);
            s.remove_prefix(1);
        } else {
            out.append(s.substr(0, n));
            s.remove_prefix(n);
        }
    }
    return out;
}

// Undoes the quoting: returns the spelled-out text, or nullopt if the quoted
// form is malformed (bad escape, bare quote, raw control character, ASCII
// graphic character written as \u{..}, hex with a leading zero or upper case).
std::optional<std::string> unquote(std::string_view q) {
    if (q.size() < 2 || q.front() != '"' || q.back() != '"') return std::nullopt;
    q = q.substr(1, q.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < q.size(); ++i) {
        const auto c = static_cast<unsigned char>(q[i]);
        if (c == '"' || c < 0x20 || c == 0x7F) return std::nullopt;
        // C1 controls (U+0080..U+009F, lead byte C2) are never printable.
        if (c == 0xC2 && i + 1 < q.size() && static_cast<unsigned char>(q[i + 1]) <= 0x9F)
            return std::nullopt;
        if (c != '\\') {
            out += static_cast<char>(c);
            continue;
        }
        if (++i == q.size()) return std::nullopt;
        switch (q[i]) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '0': out += '\0'; break;
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 'u': {
                if (++i == q.size() || q[i] != '{') return std::nullopt;
                const std::size_t close = q.find('}', i);
                if (close == std::string_view::npos) return std::nullopt;
                const std::string_view hex = q.substr(i + 1, close - i - 1);
                if (hex.empty() || hex.size() > 6 || hex[0] == '0') return std::nullopt;
                char32_t cp = 0;
                for (char h : hex) {
                    if (is_ascii_digit(h))
                        cp = cp * 16 + static_cast<char32_t>(h - '0');
                    else if (h >= 'a' && h <= 'f')
                        cp = cp * 16 + static_cast<char32_t>(h - 'a' + 10);
                    else
                        return std::nullopt;
                }
                if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
                if (cp >= 0x20 && cp < 0x7F)
                    return std::nullopt;  // printable ASCII is never escaped
                append_utf8(out, cp);
                i = close;
                break;
            }
            default: return std::nullopt;
        }
    }
    return out;
}

std::string quoted(std::string_view token) {
    std::string out;
    atomblock::reader::append_quoted_token(out, token);
    return out;
}

// ---- checks of the token functions --------------------------------------------------

atomblock::reader::FloatParse parse_float_reporting(std::string_view t) {
    try {
        return atomblock::reader::parse_float_token(t);
    } catch (const atomblock::InternalFailure& failure) {
        print_bytes("float token", t);
        std::fprintf(stderr, "InternalFailure from parse_float_token: %s\n", failure.what());
        std::abort();
    }
}

void check_float_token(std::string_view t) {
    const auto parsed = parse_float_reporting(t);
    bool oracle_used = true;
    const std::optional<double> expected = reference_float(t, oracle_used);
    FUZZ_CHECK(parsed.ok == expected.has_value(), print_bytes("float token", t));
    if (!parsed.ok) {
        const FloatTokenError kind = t.empty() ? FloatTokenError::empty : FloatTokenError::invalid;
        FUZZ_CHECK(parsed.error == kind, print_bytes("float token", t));
        return;
    }
    if (!oracle_used) return;
    if (std::isnan(*expected)) {
        // Canonical quiet NaN; only the sign follows the token.
        FUZZ_CHECK(bits_of(parsed.value) == bits_of(*expected), print_bytes("nan token", t));
        return;
    }
    FUZZ_CHECK(bits_of(parsed.value) == bits_of(*expected), print_bytes("float token", t);
               std::fprintf(stderr, "  got %a (%016llx), strtod %a (%016llx)\n", parsed.value,
                            static_cast<unsigned long long>(bits_of(parsed.value)), *expected,
                            static_cast<unsigned long long>(bits_of(*expected))));
}

void check_int_token(std::string_view t) {
    const auto parsed = atomblock::reader::parse_int_token(t);
    const RefInt expected = reference_int(t);
    FUZZ_CHECK(parsed.ok == !expected.error.has_value(), print_bytes("int token", t));
    if (parsed.ok) {
        FUZZ_CHECK(parsed.value == expected.value, print_bytes("int token", t); std::fprintf(
                       stderr, "  got %lld, expected %lld\n", static_cast<long long>(parsed.value),
                       static_cast<long long>(expected.value)));
    } else {
        FUZZ_CHECK(parsed.error == *expected.error, print_bytes("int token", t);
                   std::fprintf(stderr, "  got error %d, expected %d\n",
                                static_cast<int>(parsed.error), static_cast<int>(*expected.error)));
    }
}

void check_quoted_token(std::string_view t) {
    const std::string q = quoted(t);
    FUZZ_CHECK(is_valid_utf8(q), print_bytes("token", t); print_bytes("quoted", q));
    const std::optional<std::string> back = unquote(q);
    FUZZ_CHECK(back.has_value(), print_bytes("token", t); print_bytes("quoted", q));
    FUZZ_CHECK(*back == replace_invalid_utf8(t), print_bytes("token", t); print_bytes("quoted", q);
               print_bytes("unquoted", *back));
}

void check_token(std::string_view t) {
    check_float_token(t);
    check_int_token(t);
    FUZZ_CHECK(atomblock::reader::parse_bool_token(t) == reference_bool(t),
               print_bytes("bool token", t));
    check_quoted_token(t);
}

// ---- reference reader -----------------------------------------------------------

struct Expected {
    std::string error;  // empty on success
    // The fault's fields as ReadError carries them (when `error` is set).
    atomblock::reader::FaultKind kind = atomblock::reader::FaultKind::bad_float;
    std::size_t column = atomblock::reader::kNoColumn;
    std::string_view token;
    std::size_t found = 0;
    std::vector<double> floats;
    std::vector<std::int64_t> ints;
    std::vector<std::uint8_t> bools;
    std::vector<std::vector<std::string_view>> strs;
    std::size_t nf = 0, ni = 0, nb = 0;
};

Expected reference_read(const std::vector<std::string_view>& lines, std::string_view codes,
                        bool reject_extra_tokens) {
    Expected e;
    std::size_t ns = 0;
    for (char c : codes) {
        e.nf += c == 'f';
        e.ni += c == 'i';
        e.nb += c == 'b';
        ns += c == 's';
    }
    e.strs.resize(ns);
    using atomblock::reader::FaultKind;
    const auto fault = [&e](FaultKind kind, std::size_t column, std::string_view token,
                            std::size_t found) {
        e.kind = kind;
        e.column = column;
        e.token = token;
        e.found = found;
    };
    for (std::size_t r = 0; r < lines.size(); ++r) {
        const std::vector<std::string_view> tokens = split_tokens(lines[r]);
        const std::string row = "row " + std::to_string(r) + ": ";
        std::size_t k_s = 0;
        for (std::size_t j = 0; j < codes.size(); ++j) {
            if (j >= tokens.size()) {
                e.error = row + "expected " + std::to_string(codes.size()) + " tokens, ran out";
                fault(FaultKind::too_few_tokens, j, {}, tokens.size());
                return e;
            }
            const std::string_view t = tokens[j];
            switch (codes[j]) {
                case 'f': {
                    bool oracle_used = true;
                    std::optional<double> v = reference_float(t, oracle_used);
                    if (!v) {
                        e.error =
                            row + "cannot parse " + quoted(t) + " as float: invalid float literal";
                        fault(FaultKind::bad_float, j, t, 0);
                        return e;
                    }
                    if (!oracle_used) v = parse_float_reporting(t).value;
                    e.floats.push_back(*v);
                    break;
                }
                case 'i': {
                    const RefInt v = reference_int(t);
                    if (v.error) {
                        static constexpr const char* kReasons[] = {
                            "cannot parse integer from empty string",
                            "invalid digit found in string",
                            "number too large to fit in target type",
                            "number too small to fit in target type"};
                        e.error = row + "cannot parse " + quoted(t) +
                                  " as int: " + kReasons[static_cast<int>(*v.error)];
                        fault(FaultKind::bad_int, j, t, 0);
                        return e;
                    }
                    e.ints.push_back(v.value);
                    break;
                }
                case 'b': {
                    const std::optional<bool> v = reference_bool(t);
                    if (!v) {
                        e.error = row + "cannot parse " + quoted(t) + " as bool";
                        fault(FaultKind::bad_bool, j, t, 0);
                        return e;
                    }
                    e.bools.push_back(*v ? 1 : 0);
                    break;
                }
                case 's': e.strs[k_s++].push_back(t); break;
                default: break;
            }
        }
        if (reject_extra_tokens && tokens.size() > codes.size()) {
            e.error = row + "expected " + std::to_string(codes.size()) + " tokens, found more";
            fault(FaultKind::too_many_tokens, atomblock::reader::kNoColumn, tokens[codes.size()],
                  tokens.size());
            return e;
        }
    }
    return e;
}

// With `chunk_rows` > 0 the read goes in chunks of that many rows, with a
// checkpoint between chunks that counts its calls: the outcome is the same,
// and the calls are one per chunk started after the first.
void check_read(const std::vector<std::string_view>& lines, std::string_view codes,
                bool reject_extra_tokens, std::size_t chunk_rows = 0) {
    const auto* code_bytes = reinterpret_cast<const std::uint8_t*>(codes.data());
    std::variant<atomblock::reader::AtomColumns, atomblock::reader::ReadError> result;
    atomblock::reader::ReadOptions options;
    options.reject_extra_tokens = reject_extra_tokens;
    std::size_t checkpoints = 0;
    if (chunk_rows != 0) {
        options.checkpoint = [](void* count) { ++*static_cast<std::size_t*>(count); };
        options.checkpoint_context = &checkpoints;
        options.checkpoint_rows = chunk_rows;
    }
    try {
        result =
            atomblock::reader::read_atom_lines(lines, std::span(code_bytes, codes.size()), options);
    } catch (const atomblock::InternalFailure& failure) {
        std::fprintf(stderr, "InternalFailure from read_atom_lines: %s (%s:%u)\n", failure.what(),
                     failure.where().file_name(), failure.where().line_number());
        std::abort();
    }
    const Expected e = reference_read(lines, codes, reject_extra_tokens);
    if (chunk_rows != 0) {
        const auto* error = std::get_if<atomblock::reader::ReadError>(&result);
        const std::size_t last_row = error != nullptr ? error->row : lines.size() - 1;
        FUZZ_CHECK(checkpoints == (lines.empty() ? 0 : last_row / chunk_rows),
                   std::fprintf(stderr, "  %zu checkpoints, %zu rows of %zu per chunk\n",
                                checkpoints, lines.size(), chunk_rows));
    }
    if (const auto* error = std::get_if<atomblock::reader::ReadError>(&result)) {
        const std::string message = atomblock::reader::error_message(*error);
        FUZZ_CHECK(message.starts_with("row " + std::to_string(error->row) + ": "),
                   print_bytes("message", message));
        FUZZ_CHECK(is_valid_utf8(message), print_bytes("message", message));
        FUZZ_CHECK(message == e.error, print_bytes("message", message);
                   print_bytes("expected", e.error.empty() ? "(success)" : e.error));
        // The fields, the token by its place in the line, not only its bytes.
        FUZZ_CHECK(error->kind == e.kind && error->column == e.column &&
                       error->token.data() == e.token.data() &&
                       error->token.size() == e.token.size() && error->found == e.found,
                   std::fprintf(stderr, "  fields %s column %zu found %zu, expected %s %zu %zu\n",
                                atomblock::reader::fault_name(error->kind).data(), error->column,
                                error->found, atomblock::reader::fault_name(e.kind).data(),
                                e.column, e.found));
        return;
    }
    FUZZ_CHECK(e.error.empty(), print_bytes("expected error", e.error));
    const auto& cols = std::get<atomblock::reader::AtomColumns>(result);
    const std::size_t n = lines.size();
    FUZZ_CHECK(cols.floats.rows == n && cols.floats.cols == e.nf &&
               cols.floats.data.size() == n * e.nf);
    FUZZ_CHECK(cols.ints.rows == n && cols.ints.cols == e.ni && cols.ints.data.size() == n * e.ni);
    FUZZ_CHECK(cols.bools.rows == n && cols.bools.cols == e.nb &&
               cols.bools.data.size() == n * e.nb);
    for (std::size_t k = 0; k < e.floats.size(); ++k)
        FUZZ_CHECK(bits_of(cols.floats.data[k]) == bits_of(e.floats[k]));
    FUZZ_CHECK(std::equal(e.ints.begin(), e.ints.end(), cols.ints.data.data()));
    FUZZ_CHECK(std::equal(e.bools.begin(), e.bools.end(), cols.bools.data.data()));
    FUZZ_CHECK(cols.strs == e.strs);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::setlocale(LC_ALL, "C");  // strtod's decimal point
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t first_break = input.find('\n');
    std::string_view codes = input.substr(0, first_break);
    if (codes.size() > kMaxCodes) codes = codes.substr(0, kMaxCodes);

    // Each line in a heap block of exactly its size, so that ASan sees any
    // read beyond a line's end (inside the input it would hit the next line).
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<std::string_view> lines;
    if (first_break != std::string_view::npos) {
        std::string_view rest = input.substr(first_break + 1);
        while (!rest.empty()) {
            const std::size_t brk = rest.find('\n');
            const std::string_view line = rest.substr(0, brk);
            storage.emplace_back(new char[line.size()]);
            std::memcpy(storage.back().get(), line.data(), line.size());
            lines.emplace_back(storage.back().get(), line.size());
            rest = brk == std::string_view::npos ? std::string_view() : rest.substr(brk + 1);
        }
    }

    std::size_t checked = 0;
    check_token({});
    for (std::string_view line : lines) {
        check_quoted_token(line);  // whole lines also carry separators and stray bytes
        for (std::string_view t : split_tokens(line)) {
            if (checked++ == kMaxCheckedTokens) break;
            check_token(t);
        }
    }
    check_read(lines, codes, false);
    check_read(lines, codes, true);
    check_read(lines, codes, size % 2 == 1, 1 + size % 3);
    return 0;
}
