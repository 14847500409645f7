// Column plan: the one reading of a column type code string that the reader
// and the writer both walk. Each code is classified once; the plan gives every
// code its kind and its column within that kind, and the number of columns of
// each kind; the sources derived from it give, per kind, the code positions in
// column order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
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

// Every column index of a step is below count(step.kind), because both come
// from the one pass of the constructor over one classification.
class ColumnPlan {
public:
    explicit ColumnPlan(std::span<const std::uint8_t> codes) : steps_(codes.size()) {
        for (std::size_t i = 0; i < codes.size(); ++i) {
            const ColumnKind kind = classify(codes[i]);
            steps_[i] = ColumnStep{kind, counts_[index(kind)]++};
        }
    }

    // One step per code, in line order.
    std::span<const ColumnStep> steps() const noexcept { return steps_; }

    std::size_t count(ColumnKind kind) const noexcept { return counts_[index(kind)]; }

    // Hands the steps over (for a caller that rewrites them in place); the
    // plan keeps its counts and has no steps left.
    std::vector<ColumnStep> take_steps() noexcept { return std::move(steps_); }

private:
    friend class ColumnSources;
    static constexpr std::size_t index(ColumnKind kind) noexcept {
        return static_cast<std::size_t>(kind);
    }

    std::vector<ColumnStep> steps_;
    std::array<std::size_t, kColumnKindCount> counts_{};
};

// Per kind, the positions of its codes in column order: sources(kind)[k] is
// the position in the line of the code that feeds column k of that kind. Each
// holds exactly count(kind) positions, since every step of the plan fills one
// slot of its kind's range.
class ColumnSources {
public:
    explicit ColumnSources(const ColumnPlan& plan) : positions_(plan.steps().size()) {
        for (std::size_t k = 0; k < kColumnKindCount; ++k)
            starts_[k + 1] = starts_[k] + plan.counts_[k];
        const std::span<const ColumnStep> steps = plan.steps();
        for (std::size_t i = 0; i < steps.size(); ++i)
            positions_[starts_[ColumnPlan::index(steps[i].kind)] + steps[i].column] = i;
    }

    std::span<const std::size_t> sources(ColumnKind kind) const noexcept {
        const std::size_t k = ColumnPlan::index(kind);
        return std::span(positions_).subspan(starts_[k], starts_[k + 1] - starts_[k]);
    }

private:
    // The positions of kind k are positions_[starts_[k] .. starts_[k + 1]).
    std::vector<std::size_t> positions_;
    std::array<std::size_t, kColumnKindCount + 1> starts_{};
};

}  // namespace atomblock
