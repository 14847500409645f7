// Comment-line scanner: pairs split and bare words typed, declining anything
// the Python parser might read differently.
#include "scan/comment_scan.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <utility>

#include "reader/token_grammar.hpp"

namespace atomblock::native {
namespace {

enum class CharClass : std::uint8_t { plain, blank, equals, quote, brace, refused };

constexpr unsigned char kFirstPrintable = 0x20;  // below: controls (the tab excepted)
constexpr unsigned char kDelete = 0x7F;          // from here on: DEL and every non-ASCII byte
constexpr std::size_t kByteValues = 256;

// Refused bytes are those whose meaning differs between the two parsers or
// that start structures only the Python parser reads: controls other than
// the tab (Python also splits on \v, \f, \r, \x1c..\x1f), non-ASCII (Unicode
// blanks and digits), backslash escapes and [] arrays. Braces are taken
// only around a whole value.
constexpr std::array<CharClass, kByteValues> kClasses = [] {
    std::array<CharClass, kByteValues> table{};
    for (std::size_t c = 0; c < kByteValues; ++c) {
        if (c < kFirstPrintable || c >= kDelete) table[c] = CharClass::refused;
    }
    table[' '] = CharClass::blank;
    table['\t'] = CharClass::blank;
    table['='] = CharClass::equals;
    table['"'] = CharClass::quote;
    table['{'] = CharClass::brace;
    table['}'] = CharClass::brace;
    for (const char c : {'\\', '[', ']'}) table[static_cast<unsigned char>(c)] = CharClass::refused;
    return table;
}();

CharClass class_of(char c) noexcept {
    return kClasses[static_cast<unsigned char>(c)];
}

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_lower(std::string_view text, std::string_view lower_word) noexcept {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (lower(text[i]) != lower_word[i]) return false;
    return true;
}

enum class NumberShape : std::uint8_t { none, integer, real, fortran_real };

// The shape of a bare word under the Python parser's scalar pattern:
// [+-] digits, or [+-] (digits [. digits*] | . digits) [(e|E|d|D) [+-] digits],
// or [+-] inf / infinity / nan in any letter case.
NumberShape number_shape(std::string_view word) noexcept {
    std::size_t i = 0;
    const std::size_t n = word.size();
    if (i < n && (word[i] == '+' || word[i] == '-')) ++i;
    const std::string_view rest = word.substr(i);
    if (equals_lower(rest, "inf") || equals_lower(rest, "infinity") || equals_lower(rest, "nan"))
        return NumberShape::real;
    const std::size_t int_start = i;
    while (i < n && is_digit(word[i])) ++i;
    const std::size_t int_digits = i - int_start;
    if (i == n) return int_digits ? NumberShape::integer : NumberShape::none;
    std::size_t frac_digits = 0;
    if (word[i] == '.') {
        ++i;
        const std::size_t frac_start = i;
        while (i < n && is_digit(word[i])) ++i;
        frac_digits = i - frac_start;
    }
    if (int_digits + frac_digits == 0) return NumberShape::none;
    if (i == n) return NumberShape::real;
    const char mark = word[i];
    const bool fortran = mark == 'd' || mark == 'D';
    if (!fortran && mark != 'e' && mark != 'E') return NumberShape::none;
    ++i;
    if (i < n && (word[i] == '+' || word[i] == '-')) ++i;
    const std::size_t exp_start = i;
    while (i < n && is_digit(word[i])) ++i;
    if (i != n || i == exp_start) return NumberShape::none;
    return fortran ? NumberShape::fortran_real : NumberShape::real;
}

// An optional sign and decimal digits: an int item of a list.
bool is_int_word(std::string_view word) noexcept {
    std::size_t i = word.empty() || (word[0] != '+' && word[0] != '-') ? 0 : 1;
    if (i == word.size()) return false;
    for (; i < word.size(); ++i)
        if (!is_digit(word[i])) return false;
    return true;
}

// A bare word typed; nothing when the Python parser would give what this
// scanner does not make (an int beyond int64, a Fortran exponent).
std::optional<InfoPair> typed_word(std::string_view key, std::string_view word) {
    InfoPair pair;
    pair.key = key;
    pair.text = word;
    switch (number_shape(word)) {
        case NumberShape::integer: {
            const reader::IntParse parsed = reader::parse_int_token(word);
            if (!parsed.ok) return std::nullopt;
            pair.kind = InfoKind::integer;
            pair.integer = parsed.value;
            return pair;
        }
        case NumberShape::real: {
            const reader::FloatParse parsed = reader::parse_float_token(word);
            if (!parsed.ok) return std::nullopt;
            pair.kind = InfoKind::real;
            pair.real = parsed.value;
            return pair;
        }
        case NumberShape::fortran_real: return std::nullopt;
        case NumberShape::none: break;
    }
    if (const std::optional<bool> flag = reader::parse_bool_token(word)) {
        pair.kind = InfoKind::boolean;
        pair.boolean = *flag;
    }
    return pair;
}

constexpr std::size_t kLongList = 2048;  // the Python parser reads longer lists another way
constexpr std::size_t kTensorItems = 9;
constexpr std::size_t kTensorSide = 3;
constexpr std::string_view kJsonTag = "_JSON ";

enum class ListOutcome : std::uint8_t { declined, text, array };

// The blank-separated items of an old-style list body typed as the Python
// parser does (see scan_comment); an array's elements are appended to the
// vector of its type in `out` and described in `pair`.
ListOutcome type_list(std::string_view body, std::size_t minimum, CommentScan& out,
                      InfoPair& pair) {
    if (body.size() >= kLongList) return ListOutcome::declined;
    std::size_t count = 0;
    bool all_int = true;
    bool all_number = true;
    bool all_bool = true;
    const auto for_each_item = [body](auto&& visit) {
        std::size_t i = 0;
        const std::size_t n = body.size();
        while (true) {
            while (i < n && class_of(body[i]) == CharClass::blank) ++i;
            if (i == n) return true;
            const std::size_t start = i;
            while (i < n && class_of(body[i]) != CharClass::blank) ++i;
            if (!visit(body.substr(start, i - start))) return false;
        }
    };
    // One pass types the items and converts them as floats while they are all
    // numbers (the common list: reals); ints and bools are converted again below.
    const std::size_t first_real = out.reals.size();
    const bool shaped = for_each_item([&](std::string_view item) {
        ++count;
        const reader::FloatParse parsed = reader::parse_float_token(item);
        if (parsed.ok) {
            all_bool = false;
            const bool integer = is_int_word(item);
            all_int = all_int && integer;
            // An int item is its value as a float: "-0" is 0, so +0.0.
            if (all_number)
                out.reals.push_back(integer && parsed.value == 0.0 ? 0.0 : parsed.value);
            return true;
        }
        // Not a float to the reader: a Fortran exponent, or a number the reader refuses,
        // is the Python parser's; any other word makes the list text or bools.
        if (number_shape(item) != NumberShape::none) return false;
        all_int = all_number = false;
        all_bool = all_bool && reader::parse_bool_token(item).has_value();
        return true;
    });
    if (!shaped) return ListOutcome::declined;
    if (count == 0 || count < minimum || !(all_number || all_bool) || all_int) {
        out.reals.resize(first_real);
        if (count == 0 || count < minimum || !(all_number || all_bool)) return ListOutcome::text;
    }

    pair.kind = InfoKind::array;
    pair.count = count;
    if (all_bool) {
        pair.array_type = ArrayType::boolean;
        pair.offset = out.flags.size();
        for_each_item([&](std::string_view item) {
            out.flags.push_back(*reader::parse_bool_token(item) ? 1 : 0);
            return true;
        });
        return ListOutcome::array;
    }
    if (all_int) {
        pair.array_type = ArrayType::int64;
        pair.offset = out.ints.size();
        const bool in_range = for_each_item([&](std::string_view item) {
            const reader::IntParse parsed = reader::parse_int_token(item);
            if (parsed.ok) out.ints.push_back(parsed.value);
            return parsed.ok;
        });
        if (in_range) return ListOutcome::array;
        out.ints.resize(pair.offset);  // one int beyond int64: the list is float64
        for_each_item([&](std::string_view item) {
            const double value = reader::parse_float_token(item).value;
            out.reals.push_back(value == 0.0 ? 0.0 : value);
            return true;
        });
    }
    pair.array_type = ArrayType::float64;
    pair.offset = first_real;
    return ListOutcome::array;
}

// Nine elements in item order rearranged to the C order of the (3, 3) array
// whose element [i, j] is item 3 * j + i (a transpose).
template <class T>
void to_tensor(T* items) noexcept {
    for (std::size_t i = 0; i < kTensorSide; ++i)
        for (std::size_t j = i + 1; j < kTensorSide; ++j)
            std::swap(items[i * kTensorSide + j], items[j * kTensorSide + i]);
}

// The special key that `key` names in any letter case, if any.
SpecialValue* special_of(std::string_view key, CommentScan& out) noexcept {
    if (equals_lower(key, "lattice")) return &out.lattice;
    if (equals_lower(key, "properties")) return &out.properties;
    if (equals_lower(key, "pbc")) return &out.pbc;
    return nullptr;
}

}  // namespace

bool scan_comment(std::string_view line, CommentScan& out) {
    out.pairs.clear();
    out.ints.clear();
    out.reals.clear();
    out.flags.clear();
    out.lattice = out.properties = out.pbc = SpecialValue{};
    for (const char c : line)
        if (class_of(c) == CharClass::refused) return false;

    const std::size_t n = line.size();
    std::size_t i = 0;
    while (true) {
        while (i < n && class_of(line[i]) == CharClass::blank) ++i;
        if (i == n) return true;
        const std::size_t key_start = i;
        while (i < n && class_of(line[i]) == CharClass::plain) ++i;
        if (i == key_start) return false;  // a quoted key, or "=" with no key
        const std::string_view key = line.substr(key_start, i - key_start);
        SpecialValue* const special = special_of(key, out);
        if (i == n || class_of(line[i]) == CharClass::blank) {
            if (special != nullptr) return false;  // a special key without a value
            InfoPair pair;
            pair.key = key;
            pair.kind = InfoKind::boolean;
            pair.boolean = true;
            out.pairs.push_back(pair);
            continue;
        }
        if (class_of(line[i]) != CharClass::equals) return false;  // key"...
        ++i;
        std::string_view raw;  // the value as the Python parser's pattern captures it
        bool quoted = false;
        bool braced = false;
        if (i < n && class_of(line[i]) == CharClass::quote) {
            const std::size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) return false;
            raw = line.substr(i, close + 1 - i);
            i = close + 1;
            quoted = true;
            for (const char c : raw)
                if (class_of(c) == CharClass::brace) return false;
        } else if (i < n && line[i] == '{') {
            const std::size_t close = line.find('}', i + 1);
            if (close == std::string_view::npos) return false;
            raw = line.substr(i, close + 1 - i);
            i = close + 1;
            braced = true;
            for (std::size_t k = 1; k + 1 < raw.size(); ++k) {
                const CharClass c = class_of(raw[k]);
                if (c == CharClass::brace || c == CharClass::quote || c == CharClass::equals)
                    return false;
            }
        } else {
            const std::size_t value_start = i;
            while (i < n && class_of(line[i]) == CharClass::plain) ++i;
            raw = line.substr(value_start, i - value_start);
            // "key= value" may mean key=value (blanks around "="): only an empty
            // value at the end of the line is taken here.
            if (raw.empty()) {
                std::size_t next = i;
                while (next < n && class_of(line[next]) == CharClass::blank) ++next;
                if (next != n) return false;
            }
        }
        // A value must end at a blank or the end of the line: "a=b=c",
        // "a=b\"c\"" and "a=\"b\"c=1" are the Python parser's to judge.
        if (i < n && class_of(line[i]) != CharClass::blank) return false;

        if (special != nullptr) {
            // A repeated special key: each occurrence is checked in turn there.
            if (special->present) return false;
            special->present = true;
            if (special == &out.properties) {
                if (braced) return false;
                special->raw = quoted ? raw.substr(1, raw.size() - 2) : raw;
                continue;
            }
            special->raw = raw;
            if (special == &out.lattice && (quoted || braced)) {
                // Nine numbers are typed here; anything else is the Python parser's
                // to type or to report, from the raw text.
                InfoPair cell;
                const std::size_t reals = out.reals.size();
                const std::size_t ints = out.ints.size();
                const std::size_t flags = out.flags.size();
                const ListOutcome outcome =
                    type_list(raw.substr(1, raw.size() - 2), quoted ? 2 : 1, out, cell);
                if (outcome == ListOutcome::array && cell.count == kTensorItems &&
                    cell.array_type != ArrayType::boolean) {
                    for (std::size_t k = 0; k < kTensorItems; ++k) {
                        special->cell[k] = cell.array_type == ArrayType::int64
                                               ? static_cast<double>(out.ints[cell.offset + k])
                                               : out.reals[cell.offset + k];
                    }
                    special->typed_cell = true;
                }
                out.reals.resize(reals);
                out.ints.resize(ints);
                out.flags.resize(flags);
            }
            continue;
        }
        if (quoted || braced) {
            const std::string_view body = raw.substr(1, raw.size() - 2);
            if (quoted && body.starts_with(kJsonTag)) return false;
            InfoPair pair;
            pair.key = key;
            pair.text = body;
            const ListOutcome outcome = type_list(body, quoted ? 2 : 1, out, pair);
            if (outcome == ListOutcome::declined) return false;
            if (outcome == ListOutcome::array && pair.count == kTensorItems &&
                pair.array_type != ArrayType::boolean && (key == "stress" || key == "virial")) {
                pair.square = true;
                if (pair.array_type == ArrayType::int64)
                    to_tensor(out.ints.data() + pair.offset);
                else
                    to_tensor(out.reals.data() + pair.offset);
            }
            out.pairs.push_back(pair);
            continue;
        }
        const std::optional<InfoPair> pair = typed_word(key, raw);
        if (!pair) return false;
        out.pairs.push_back(*pair);
    }
}

}  // namespace atomblock::native
