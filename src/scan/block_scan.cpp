// Byte-level walks over file text: lines by memchr, count lines, UTF-8.
#include "scan/block_scan.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace atomblock::native {
namespace {

constexpr std::size_t kDecimalBase = 10;
// natoms travels as int64; larger counts are not count lines.
constexpr std::uint64_t kMaxCount =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// The end of the line starting at `pos` ('\n' or the end of the data) and
// the offset of the next line.
struct LineEnd {
    std::size_t content_end;
    std::size_t next;
};

LineEnd line_end(std::string_view data, std::size_t pos) noexcept {
    const void* hit = std::memchr(data.data() + pos, '\n', data.size() - pos);
    if (hit == nullptr) return {data.size(), data.size()};
    const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - data.data());
    return {at, at + 1};
}

bool is_count_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r';
}
bool is_trailing_blank(char c) noexcept {
    return is_count_blank(c) || c == '\n';
}

// The decimal count of a count line, or false when the line is not one.
bool parse_count(std::string_view line, std::uint64_t& count) noexcept {
    std::size_t begin = 0, end = line.size();
    while (begin < end && is_count_blank(line[begin])) ++begin;
    while (end > begin && is_count_blank(line[end - 1])) --end;
    if (begin == end) return false;
    std::uint64_t value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const auto digit = static_cast<unsigned char>(line[i] - '0');
        if (digit >= kDecimalBase) return false;
        if (value > (kMaxCount - digit) / kDecimalBase) return false;
        value = value * kDecimalBase + digit;
    }
    count = value;
    return true;
}

std::size_t count_newlines(std::string_view data, std::size_t from, std::size_t to) noexcept {
    std::size_t n = 0;
    for (std::size_t pos = from; pos < to;) {
        const void* hit = std::memchr(data.data() + pos, '\n', to - pos);
        if (hit == nullptr) break;
        ++n;
        pos = static_cast<std::size_t>(static_cast<const char*>(hit) - data.data()) + 1;
    }
    return n;
}

}  // namespace

LineRun split_lines(std::string_view data, std::size_t offset, std::size_t wanted,
                    std::vector<std::string_view>& lines) {
    LineRun run{0, offset};
    while (run.lines < wanted && run.end < data.size()) {
        const LineEnd end = line_end(data, run.end);
        lines.emplace_back(data.data() + run.end, end.content_end - run.end);
        run.end = end.next;
        ++run.lines;
    }
    return run;
}

LineRun skip_lines(std::string_view data, std::size_t offset, std::size_t wanted) {
    LineRun run{0, offset};
    // While more lines are wanted than a block can end, whole blocks are only counted (a loop
    // the compiler turns into vector compares): a block ends at most kBlock lines. The walk
    // then goes on line by line from inside the line the last block cut, whose end it finds.
    constexpr std::size_t kBlock = 64;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    while (wanted - run.lines > kBlock && data.size() - run.end >= kBlock) {
        const unsigned char* block = bytes + run.end;
        unsigned char ends = 0;  // at most kBlock
        for (std::size_t i = 0; i < kBlock; ++i)
            ends = static_cast<unsigned char>(ends + (block[i] == '\n'));
        run.lines += ends;
        run.end += kBlock;
    }
    if (run.end != offset && bytes[run.end - 1] != '\n' && run.lines < wanted) {
        // Inside a line: its end is the next line break (or the end of the data).
        run.end = line_end(data, run.end).next;
        ++run.lines;
    }
    while (run.lines < wanted && run.end < data.size()) {
        run.end = line_end(data, run.end).next;
        ++run.lines;
    }
    return run;
}

FrameIndex index_frames(std::string_view data, std::size_t offset, std::size_t max_frames) {
    FrameIndex index;
    std::size_t pos = offset;
    std::size_t line = 0;
    while (index.offsets.size() < max_frames && pos < data.size()) {
        const LineEnd count_end = line_end(data, pos);
        std::uint64_t natoms = 0;
        if (!parse_count(data.substr(pos, count_end.content_end - pos), natoms)) {
            std::size_t rest = pos;
            while (rest < data.size() && is_trailing_blank(data[rest])) ++rest;
            if (rest == data.size()) {
                line += count_newlines(data, pos, rest);
                pos = rest;
            }
            break;
        }
        // The comment line and the atom lines; natoms < 2^63 so +1 cannot wrap.
        const std::size_t frame_lines = static_cast<std::size_t>(natoms) + 1;
        const LineRun body = skip_lines(data, count_end.next, frame_lines);
        if (body.lines < frame_lines) break;  // cut short: not listed
        index.offsets.push_back(static_cast<std::int64_t>(pos));
        index.natoms.push_back(static_cast<std::int64_t>(natoms));
        // Every line of the frame ends in '\n' except possibly the last one,
        // at the end of the data.
        const bool unterminated = body.end == data.size() && data.back() != '\n';
        line += 1 + frame_lines - (unterminated ? 1 : 0);
        pos = body.end;
    }
    index.stop_offset = pos;
    index.stop_line = line;
    return index;
}

bool is_valid_utf8(std::string_view text) noexcept {
    return classify_utf8_token(text) != Utf8Token::invalid;
}

Utf8Token classify_utf8_token(std::string_view text) noexcept {
    // Lead byte ranges and the continuation ranges they allow, as in the
    // well-formed byte sequence table of the Unicode standard.
    constexpr unsigned char kContinuationLow = 0x80, kContinuationHigh = 0xBF;
    constexpr unsigned char kTwoByteLow = 0xC2, kThreeByteLead = 0xE0, kSurrogateLead = 0xED,
                            kFourByteLead = 0xF0, kLastFourByteLead = 0xF4;
    constexpr unsigned char kAfterE0Low = 0xA0, kBeforeSurrogatesHigh = 0x9F, kAfterF0Low = 0x90,
                            kAfterF4High = 0x8F;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    auto continuation = [&](const unsigned char* at, unsigned char low, unsigned char high) {
        return at < end && *at >= low && *at <= high;
    };
    bool nul = false;
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < kContinuationLow) {
            nul |= lead == 0;
            ++p;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = kContinuationLow, high = kContinuationHigh;
        if (lead < kTwoByteLow) return Utf8Token::invalid;
        if (lead < kThreeByteLead) {
            length = 2;
        } else if (lead < kFourByteLead) {
            length = 3;
            if (lead == kThreeByteLead) low = kAfterE0Low;
            if (lead == kSurrogateLead) high = kBeforeSurrogatesHigh;
        } else if (lead <= kLastFourByteLead) {
            length = 4;
            if (lead == kFourByteLead) low = kAfterF0Low;
            if (lead == kLastFourByteLead) high = kAfterF4High;
        } else {
            return Utf8Token::invalid;
        }
        if (!continuation(p + 1, low, high)) return Utf8Token::invalid;
        for (std::size_t i = 2; i < length; ++i)
            if (!continuation(p + i, kContinuationLow, kContinuationHigh))
                return Utf8Token::invalid;
        p += length;
    }
    return nul ? Utf8Token::nul : Utf8Token::valid;
}

namespace {

// Continuation bytes are 10xxxxxx; lead bytes of 2, 3 and 4 byte forms are
// 110xxxxx, 1110xxxx and 11110xxx, carrying 5, 4 and 3 payload bits.
constexpr unsigned char kContinuationMask = 0xC0, kContinuationTag = 0x80;
constexpr unsigned char kAsciiLimit = 0x80, kThreeByteTag = 0xE0, kFourByteTag = 0xF0;
constexpr std::uint32_t kPayloadBits = 6, kPayloadMask = 0x3F;
constexpr std::uint32_t kTwoByteLeadMask = 0x1F, kThreeByteLeadMask = 0x0F,
                        kFourByteLeadMask = 0x07;

}  // namespace

std::size_t count_code_points(std::string_view text) noexcept {
    std::size_t n = 0;
    for (const char c : text)
        n += (static_cast<unsigned char>(c) & kContinuationMask) != kContinuationTag ? 1U : 0U;
    return n;
}

void decode_utf8(std::string_view text, std::uint32_t* out) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p++;
        if (lead < kAsciiLimit) {
            *out++ = lead;
            continue;
        }
        std::size_t more = 1;
        std::uint32_t point = lead & kTwoByteLeadMask;
        if (lead >= kFourByteTag) {
            more = 3;
            point = lead & kFourByteLeadMask;
        } else if (lead >= kThreeByteTag) {
            more = 2;
            point = lead & kThreeByteLeadMask;
        }
        for (; more != 0; --more) point = (point << kPayloadBits) | (*p++ & kPayloadMask);
        *out++ = point;
    }
}

reader::RowMajorMatrix<std::uint32_t> code_point_matrix(std::span<const std::string_view> texts) {
    std::size_t width = 1;
    for (const std::string_view text : texts) {
        // A text never has fewer bytes than code points: count only when it could be wider.
        if (text.size() > width) width = std::max(width, count_code_points(text));
    }
    reader::RowMajorMatrix<std::uint32_t> matrix{
        texts.size(), width, CBuffer<std::uint32_t>::zeroed(texts.size() * width)};
    std::uint32_t* row = matrix.data.data();
    for (const std::string_view text : texts) {
        decode_utf8(text, row);
        row += width;
    }
    return matrix;
}

}  // namespace atomblock::native
