// libFuzzer target for the writer core: the float and integer fields against
// references built on std::to_chars and snprintf, the shortest float text
// against its exact std::to_chars path, and write_atom_block on small
// matrices with arbitrary byte strides against a plain reference layout.
//
// Input layout: records of kRecordBytes (one parameter byte, then eight payload
// bytes, little-endian; a short last record is zero-padded). Every record
// yields several doubles and int64s near the interesting boundaries (see
// derive_double / derive_int). The same bytes, read from the start, also
// describe one small atom block (see check_atom_block).
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/internal_failure.hpp"
#include "fuzz_check.hpp"
#include "writer/atom_writer.hpp"
#include "writer/float_field.hpp"
#include "writer/int_field.hpp"
#include "writer/shortest_float_field.hpp"

using fuzzcheck::append_utf8;

namespace {

using atomblock::writer::MatrixView;
using fuzzcheck::print_bytes;

constexpr std::size_t kRecordBytes = 9;
constexpr std::size_t kDoubleKinds = 8;
constexpr std::size_t kIntKinds = 4;
constexpr std::uint64_t kSignificandMask = (std::uint64_t{1} << 53) - 1;  // 53-bit significands
constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << 52) - 1;     // stored fraction bits
constexpr unsigned kFractionBits = 52;
constexpr int kTieExponent = -9;  // odd multiples of 2^-9 end in ...5 at the ninth decimal
constexpr std::size_t kFloatFieldWidth = 16;
// Reference bodies: 309 integer digits, point, 8 fraction digits, with room to spare.
constexpr std::size_t kReferenceBodyBytes = 400;

std::uint64_t bits_of(double v) {
    return std::bit_cast<std::uint64_t>(v);
}

std::uint64_t pow10(unsigned k) {
    std::uint64_t p = 1;
    while (k-- > 0) p *= 10;
    return p;
}

// Moves `v` by `steps` units in the last place (either direction).
double step_ulps(double v, int steps) {
    for (; steps > 0; --steps) v = std::nextafter(v, INFINITY);
    for (; steps < 0; ++steps) v = std::nextafter(v, -INFINITY);
    return v;
}

// A signed offset of -3..+3 ulps from three payload bits.
int small_steps(std::uint64_t bits) {
    return static_cast<int>(bits & 7) - 3;
}

double from_fields(unsigned biased_exponent, std::uint64_t fraction) {
    return std::bit_cast<double>((std::uint64_t{biased_exponent} << kFractionBits) |
                                 (fraction & kFractionMask));
}

// Value number `kind` of a record: raw bits, ties, near-ties of the eighth
// decimal, powers of two, scaled integers, the short-field limits, and the
// exponents around the formatter's range switches (2^-12, 2^-52, 2^64).
double derive_double(std::size_t kind, std::uint8_t param, std::uint64_t p) {
    const unsigned arg = (param >> 3) & 0xF;  // 0..15
    const bool negative = (param & 0x80) != 0;
    double v = 0;
    switch (kind) {
        case 0: return std::bit_cast<double>(p);
        case 1:
            v = std::ldexp(static_cast<double>((p & kSignificandMask) | 1), kTieExponent);
            break;
        case 2: {
            // n.nnnnnnnn5 in units of 10^-9: the nearest doubles to exact ties.
            const std::string text = std::to_string(p % pow10(arg + 1)) + "5e-9";
            v = step_ulps(std::strtod(text.c_str(), nullptr), small_steps(p >> 60));
            break;
        }
        case 3:
            v = step_ulps(std::ldexp(1.0, static_cast<int>(p % 2100) - 1080), small_steps(p >> 32));
            break;
        case 4:
            v = static_cast<double>(static_cast<std::int64_t>(p)) / static_cast<double>(pow10(arg));
            break;
        case 5: {
            // Integer parts at the edges of the 16-byte layout and of 2^53 / 2^64.
            static constexpr std::array<double, 8> kEdges = {999999.0,
                                                             1000000.0,
                                                             9999999.0,
                                                             10000000.0,
                                                             9007199254740992.0,
                                                             9223372036854775808.0,
                                                             18446744073709551616.0,
                                                             100000000.0};
            const double offset = std::ldexp(static_cast<double>(static_cast<std::int32_t>(p)),
                                             -static_cast<int>((p >> 32) % 64));
            v = step_ulps(kEdges[(p >> 40) % kEdges.size()] + offset, small_steps(p >> 48));
            break;
        }
        case 6:
            v = from_fields(990 + 2 * arg, p);
            break;  // around 2^-12 and the 2^-52 rounding cut-off
        case 7: v = from_fields(1078 + arg, p); break;  // around 2^64
        default: break;
    }
    return negative ? -v : v;
}

std::int64_t derive_int(std::size_t kind, std::uint8_t param, std::uint64_t p) {
    const bool negative = (param & 0x80) != 0;
    switch (kind) {
        case 0: return static_cast<std::int64_t>(p);
        case 1: return static_cast<std::int32_t>(p);
        case 2: {
            // Around the powers of ten where the digit count and the padding change.
            const auto v = static_cast<std::int64_t>(pow10(((param >> 3) & 0xF) + (p >> 62))) +
                           static_cast<std::int8_t>(p);
            return negative ? -v : v;
        }
        default:
            return negative ? INT64_MIN + static_cast<std::int64_t>(p & 0xFF)
                            : INT64_MAX - static_cast<std::int64_t>(p & 0xFF);
    }
}

// ---- references ------------------------------------------------------------------

std::string right_align(std::string text, std::size_t width) {
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

// "%16.8f" by std::to_chars (exact digits), "-" for every set sign bit,
// unsigned "NaN", "inf".
std::string reference_float_field(double v) {
    if (std::isnan(v)) return right_align("NaN", kFloatFieldWidth);
    const std::string sign = std::signbit(v) ? "-" : "";
    if (std::isinf(v)) return right_align(sign + "inf", kFloatFieldWidth);
    char body[kReferenceBodyBytes];
    const auto r =
        std::to_chars(body, body + sizeof body, std::fabs(v), std::chars_format::fixed, 8);
    FUZZ_CHECK(r.ec == std::errc{});
    // glibc printf generates exact digits as well; the two must agree.
    char check[kReferenceBodyBytes];
    const int n = std::snprintf(check, sizeof check, "%.8f", std::fabs(v));
    FUZZ_CHECK(
        std::string_view(body, r.ptr) == std::string_view(check, static_cast<std::size_t>(n)),
        std::fprintf(stderr, "  reference methods disagree on %a\n", v));
    return right_align(sign + std::string(body, r.ptr), kFloatFieldWidth);
}

std::string reference_int_field(std::int64_t v) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%8lld", static_cast<long long>(v));
    return std::string(text, static_cast<std::size_t>(n));
}

void check_float_field(double v) {
    // Exactly the documented maximum, on the heap, so any write beyond it is caught.
    const auto out = std::make_unique<char[]>(atomblock::writer::kMaxFloatFieldLength);
    const std::size_t n = atomblock::writer::format_float_field(v, out.get());
    const std::string expected = reference_float_field(v);
    FUZZ_CHECK(
        n <= atomblock::writer::kMaxFloatFieldLength && std::string_view(out.get(), n) == expected,
        std::fprintf(stderr, "  value %a (%016llx)\n", v,
                     static_cast<unsigned long long>(bits_of(v)));
        print_bytes("got", std::string_view(out.get(),
                                            std::min(n, atomblock::writer::kMaxFloatFieldLength)));
        print_bytes("expected", expected));
}

void check_int_field(std::int64_t v) {
    const auto out = std::make_unique<char[]>(atomblock::writer::kMaxIntFieldLength);
    const std::size_t n = atomblock::writer::format_int_field(v, out.get());
    const std::string expected = reference_int_field(v);
    FUZZ_CHECK(
        n <= atomblock::writer::kMaxIntFieldLength && std::string_view(out.get(), n) == expected,
        std::fprintf(stderr, "  value %lld\n", static_cast<long long>(v));
        print_bytes(
            "got", std::string_view(out.get(), std::min(n, atomblock::writer::kMaxIntFieldLength)));
        print_bytes("expected", expected));
}

// The shortest text (the inline arithmetic) against the out-of-line exact path,
// whose digits come from std::to_chars, and its round trip through strtod.
void check_shortest_float(double v) {
    // Exactly the documented room, on the heap, so any store beyond it is caught.
    const auto out = std::make_unique<char[]>(atomblock::writer::kShortestFloatRoom);
    const char* end = atomblock::writer::write_shortest_float(out.get(), v);
    const std::string got(out.get(), static_cast<std::size_t>(end - out.get()));
    char reference[atomblock::writer::kShortestFloatRoom];
    const char* reference_end =
        atomblock::writer::shortest_detail::write_shortest_rare(reference, v);
    const std::string expected(reference, static_cast<std::size_t>(reference_end - reference));
    const double back = std::strtod(got.c_str(), nullptr);
    FUZZ_CHECK(got == expected && got.size() <= atomblock::writer::kShortestFloatMaxChars &&
                   (std::isnan(v) ? std::isnan(back) : bits_of(back) == bits_of(v)),
               std::fprintf(stderr, "  value %a (%016llx)\n", v,
                            static_cast<unsigned long long>(bits_of(v)));
               print_bytes("got", got); print_bytes("expected", expected));
}

// Both forms of the 16-byte short field, the SSE2 one and the portable word
// one that other targets build, against the text they stand for. Integer
// parts of every digit count: the payload's value scaled down by 10^(0..7).
void check_short_field_forms(std::uint8_t param, std::uint64_t p) {
    using namespace atomblock::writer;
    const bool negative = (param & 0x80) != 0;
    const std::uint32_t limit = negative ? kShortNegativeIntegerLimit : kShortIntegerLimit;
    const auto integer_part = static_cast<std::uint32_t>((p % limit) / pow10((param >> 3) & 7));
    const auto fraction = static_cast<std::uint32_t>((p >> 32) % pow10(8));
    char text[32];
    const int n =
        std::snprintf(text, sizeof text, "%s%u.%08u", negative ? "-" : "", integer_part, fraction);
    const std::string expected =
        right_align(std::string(text, static_cast<std::size_t>(n)), kShortFloatFieldWidth);
    const auto out = std::make_unique<char[]>(kShortFloatFieldWidth);
    write_short_float_field_words(negative, integer_part, fraction, out.get());
    FUZZ_CHECK(std::string_view(out.get(), kShortFloatFieldWidth) == expected,
               print_bytes("words form", std::string_view(out.get(), kShortFloatFieldWidth));
               print_bytes("expected", expected));
#if ATOMBLOCK_HAVE_SSE2
    write_short_float_field_simd(negative, integer_part, fraction, out.get());
    FUZZ_CHECK(std::string_view(out.get(), kShortFloatFieldWidth) == expected,
               print_bytes("SSE2 form", std::string_view(out.get(), kShortFloatFieldWidth));
               print_bytes("expected", expected));
#endif
}

// ---- atom block --------------------------------------------------------------------

// Sequential bytes of the input; past its end, a fixed non-zero pattern.
class ByteSource {
public:
    ByteSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() {
        const std::size_t i = pos_++;
        return i < size_ ? data_[i] : static_cast<std::uint8_t>(i * 37 + 11);
    }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (unsigned k = 0; k < 8; ++k) v |= std::uint64_t{byte()} << (8 * k);
        return v;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A matrix view over storage of exactly the bytes its elements cover, with
// arbitrary signed byte strides (zero, negative, odd, overlapping).
template <class T>
struct OwnedMatrix {
    std::unique_ptr<unsigned char[]> store;
    MatrixView<T> view;
};

template <class T, class MakeElement>
OwnedMatrix<T> make_matrix(ByteSource& in, std::size_t rows, std::size_t cols, MakeElement make) {
    OwnedMatrix<T> m;
    m.view.rows = rows;
    m.view.cols = cols;
    m.view.row_stride = static_cast<std::int8_t>(in.byte());
    m.view.col_stride = static_cast<std::int8_t>(in.byte());
    std::ptrdiff_t lo = 0, hi = 0;
    if (rows > 0 && cols > 0) {
        const std::ptrdiff_t last_row = static_cast<std::ptrdiff_t>(rows - 1) * m.view.row_stride;
        const std::ptrdiff_t last_col = static_cast<std::ptrdiff_t>(cols - 1) * m.view.col_stride;
        lo = std::min<std::ptrdiff_t>(0, last_row) + std::min<std::ptrdiff_t>(0, last_col);
        hi = std::max<std::ptrdiff_t>(0, last_row) + std::max<std::ptrdiff_t>(0, last_col) +
             static_cast<std::ptrdiff_t>(sizeof(T));
    }
    const auto bytes = static_cast<std::size_t>(hi - lo);
    m.store.reset(new unsigned char[bytes]);
    for (std::size_t k = 0; k < bytes; ++k) m.store[k] = in.byte();
    m.view.origin = m.store.get() - lo;
    // Element values written in order; with overlapping strides later ones win.
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            const T value = make();
            std::memcpy(const_cast<unsigned char*>(m.view.origin) +
                            static_cast<std::ptrdiff_t>(r) * m.view.row_stride +
                            static_cast<std::ptrdiff_t>(c) * m.view.col_stride,
                        &value, sizeof value);
        }
    }
    return m;
}

struct ExpectedBlock {
    std::string text;
    std::optional<std::string> failure;
};

std::string index_failure(std::size_t row, std::size_t rows, std::size_t col, std::size_t cols,
                          const char* name) {
    return "index out of bounds: row " + std::to_string(row) + " of " + std::to_string(rows) +
           ", column " + std::to_string(col) + " of " + std::to_string(cols) + " in " + name;
}

// Largest symbol width (a 16-bit formatting argument).
constexpr std::uint64_t kMaxSymbolWidth = 65535;

ExpectedBlock reference_block(const MatrixView<std::uint32_t>& sym, std::uint64_t sym_width,
                              const MatrixView<double>& fm, const MatrixView<std::int64_t>& im,
                              const MatrixView<std::uint8_t>& bm, std::string_view codes) {
    ExpectedBlock e;
    const std::uint64_t per_line = sym_width + 17 * fm.cols + 9 * im.cols + 3 * bm.cols + 2;
    if (static_cast<std::int64_t>(sym.rows * per_line) < 0) {
        e.failure = "capacity overflow";
        return e;
    }
    for (std::size_t a = 0; a < sym.rows; ++a) {
        std::size_t kf = 0, ki = 0, kb = 0;
        for (char code : codes) {
            switch (code) {
                case 's': {
                    if (sym_width > kMaxSymbolWidth) {
                        e.failure = "Formatting argument out of range";
                        return e;
                    }
                    std::uint64_t count = 0;
                    for (std::size_t c = 0; c < sym.cols; ++c) {
                        const std::uint32_t cp = sym.at(a, c);
                        if (cp == 0) break;
                        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) continue;
                        append_utf8(e.text, cp);
                        ++count;
                    }
                    if (count < sym_width)
                        e.text.append(static_cast<std::size_t>(sym_width - count), ' ');
                    break;
                }
                case 'f':
                    if (a >= fm.rows || kf >= fm.cols) {
                        e.failure = index_failure(a, fm.rows, kf, fm.cols, "float_mat");
                        return e;
                    }
                    e.text += ' ' + reference_float_field(fm.at(a, kf++));
                    break;
                case 'i':
                    if (a >= im.rows || ki >= im.cols) {
                        e.failure = index_failure(a, im.rows, ki, im.cols, "int_mat");
                        return e;
                    }
                    e.text += ' ' + reference_int_field(im.at(a, ki++));
                    break;
                case 'b':
                    if (a >= bm.rows || kb >= bm.cols) {
                        e.failure = index_failure(a, bm.rows, kb, bm.cols, "bool_mat");
                        return e;
                    }
                    e.text += bm.at(a, kb++) != 0 ? "  T" : "  F";
                    break;
                default: break;
            }
        }
        e.text += '\n';
    }
    return e;
}

// Output sizes up to this are written; larger (but valid) estimates come from
// huge symbol widths without an `s` code and would only test the allocator.
constexpr std::uint64_t kMaxEstimateBytes = std::uint64_t{1} << 22;
constexpr std::size_t kMaxAtoms = 6;
constexpr std::size_t kMaxSymbolCols = 5;
constexpr std::size_t kMaxValueCols = 4;
constexpr std::size_t kMaxCodes = 12;
constexpr std::string_view kCodeChoices = "sfibfxSi";

void check_atom_block(ByteSource in) {
    const std::size_t natoms = in.byte() % kMaxAtoms;
    static constexpr std::array<std::uint64_t, 8> kWidths = {
        0, 1, 2, 3, 7, 65535, 65536, std::uint64_t{1} << 63};
    const std::uint8_t width_choice = in.byte();
    std::uint64_t sym_width = kWidths[width_choice % kWidths.size()] + (width_choice >> 3);

    auto symbol_cp = [&]() -> std::uint32_t {
        static constexpr std::array<std::uint32_t, 9> kCodePoints = {
            0, 'H', 'e', 0xE9, 0x20AC, 0x1F600, 0xD800, 0x110000, 0xFFFFFFFF};
        const std::uint8_t b = in.byte();
        return b < 0xF0 ? kCodePoints[b % kCodePoints.size()]
                        : static_cast<std::uint32_t>(in.u64());
    };
    auto rows_near = [&](std::uint8_t b) -> std::size_t {
        switch (b % 5) {
            case 3: return natoms > 0 ? natoms - 1 : 0;
            case 4: return natoms + 1;
            default: return natoms;
        }
    };
    const std::size_t sym_cols = in.byte() % kMaxSymbolCols;
    const auto sym = make_matrix<std::uint32_t>(in, natoms, sym_cols, symbol_cp);
    const std::size_t f_rows = rows_near(in.byte()), f_cols = in.byte() % kMaxValueCols;
    const auto fm = make_matrix<double>(in, f_rows, f_cols, [&] {
        const std::uint8_t param = in.byte();
        return derive_double(param % kDoubleKinds, param, in.u64());
    });
    const std::size_t i_rows = rows_near(in.byte()), i_cols = in.byte() % kMaxValueCols;
    const auto im = make_matrix<std::int64_t>(in, i_rows, i_cols, [&] {
        const std::uint8_t param = in.byte();
        return derive_int(param % kIntKinds, param, in.u64());
    });
    const std::size_t b_rows = rows_near(in.byte()), b_cols = in.byte() % kMaxValueCols;
    const auto bm = make_matrix<std::uint8_t>(in, b_rows, b_cols, [&] { return in.byte(); });
    std::string codes(in.byte() % kMaxCodes, 'x');
    for (char& c : codes) c = kCodeChoices[in.byte() % kCodeChoices.size()];

    const std::uint64_t estimate = natoms * (sym_width + 17 * f_cols + 9 * i_cols + 3 * b_cols + 2);
    if (static_cast<std::int64_t>(estimate) >= 0 && estimate > kMaxEstimateBytes) sym_width = 2;

    const ExpectedBlock expected =
        reference_block(sym.view, sym_width, fm.view, im.view, bm.view, codes);
    const auto code_bytes =
        std::span(reinterpret_cast<const std::uint8_t*>(codes.data()), codes.size());
    std::optional<atomblock::writer::AtomBlock> block;
    std::string failure;
    try {
        block = atomblock::writer::write_atom_block(sym.view, sym_width, fm.view, im.view, bm.view,
                                                    code_bytes);
    } catch (const atomblock::InternalFailure& f) {
        failure = f.message();
    }
    if (expected.failure) {
        FUZZ_CHECK(!block && failure == *expected.failure, print_bytes("failure", failure);
                   print_bytes("expected failure", *expected.failure));
        return;
    }
    FUZZ_CHECK(block.has_value(), print_bytes("unexpected failure", failure));
    FUZZ_CHECK(block->text.view() == expected.text, print_bytes("codes", codes);
               print_bytes("got", block->text.view()); print_bytes("expected", expected.text));
    bool ascii = true;
    for (char c : expected.text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    FUZZ_CHECK(block->ascii == ascii);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (std::size_t at = 0; at < size; at += kRecordBytes) {
        std::uint8_t record[kRecordBytes] = {};
        std::memcpy(record, data + at, std::min(kRecordBytes, size - at));
        std::uint64_t payload;
        std::memcpy(&payload, record + 1, sizeof payload);
        for (std::size_t kind = 0; kind < kDoubleKinds; ++kind) {
            check_float_field(derive_double(kind, record[0], payload));
            check_shortest_float(derive_double(kind, record[0], payload));
        }
        for (std::size_t kind = 0; kind < kIntKinds; ++kind)
            check_int_field(derive_int(kind, record[0], payload));
        check_short_field_forms(record[0], payload);
    }
    check_atom_block(ByteSource(data, size));
    return 0;
}
