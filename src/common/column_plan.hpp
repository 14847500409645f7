// Column plan: the one reading of a column type code string that the reader
// and the writer both walk. Each code is classified once; the plan gives every
// code its kind and its column within that kind, the number of columns of each
// kind, and, per kind, the code positions in column order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/column_codes.hpp"

namespace atomblock {

// What one code stands for. `skip` is every byte that is no column code: the
// reader takes a token for it and drops it, the writer writes nothing.
enum class ColumnKind : std::uint8_t { skip, real, integer, logical, string };

inline constexpr std::size_t kColumnKindCount = 5;  // the enumerators above

inline constexpr ColumnKind classify(std::uint8_t code) noexcept {
    switch (code) {
        case kFloatCode: return ColumnKind::real;
        case kIntCode: return ColumnKind::integer;
        case kBoolCode: return ColumnKind::logical;
        case kStrCode: return ColumnKind::string;
        default: return ColumnKind::skip;
    }
}

// The code at some position of a line: its kind, and how many codes of the
// same kind come before it (the column of its kind that it feeds or reads).
struct ColumnStep {
    ColumnKind kind;
    std::size_t column;
};

// Every column index of a step is below count(step.kind), and sources(kind)
// holds exactly count(kind) positions, because all three come from the one
// pass of the constructor over one classification.
class ColumnPlan {
public:
    explicit ColumnPlan(std::span<const std::uint8_t> codes) : steps_(codes.size()), positions_(codes.size()) {
        std::array<std::size_t, kColumnKindCount> counts{};
        for (std::size_t i = 0; i < codes.size(); ++i) {
            const ColumnKind kind = classify(codes[i]);
            steps_[i] = ColumnStep{kind, counts[index(kind)]++};
        }
        for (std::size_t k = 0; k < kColumnKindCount; ++k) starts_[k + 1] = starts_[k] + counts[k];
        for (std::size_t i = 0; i < steps_.size(); ++i)
            positions_[starts_[index(steps_[i].kind)] + steps_[i].column] = i;
    }

    // One step per code, in line order.
    std::span<const ColumnStep> steps() const noexcept { return steps_; }

    std::size_t count(ColumnKind kind) const noexcept {
        return starts_[index(kind) + 1] - starts_[index(kind)];
    }

    // Position in the line of the code that feeds column k of `kind`, at [k].
    std::span<const std::size_t> sources(ColumnKind kind) const noexcept {
        return std::span(positions_).subspan(starts_[index(kind)], count(kind));
    }

private:
    static constexpr std::size_t index(ColumnKind kind) noexcept { return static_cast<std::size_t>(kind); }

    std::vector<ColumnStep> steps_;
    // The positions of each kind's codes, kind after kind; those of kind k
    // are positions_[starts_[k] .. starts_[k + 1]).
    std::vector<std::size_t> positions_;
    std::array<std::size_t, kColumnKindCount + 1> starts_{};
};

}  // namespace atomblock
