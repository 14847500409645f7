// Atom-block writer core: lays out every atom line of one frame as text.
// Plain C++; never touches a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "writer/matrix_view.hpp"
#include "writer/text_buffer.hpp"

namespace atomblock::writer {

struct AtomBlock {
    TextBuffer text;     // UTF-8, natoms lines each ending in '\n'
    bool ascii = true;   // true when every byte is below 0x80
};

// Throws InternalFailure ("capacity overflow", "Formatting argument out of
// range", or an index-out-of-range message) and std::bad_alloc. The text's
// memory comes from `storage`, which must outlive the returned block.
AtomBlock write_atom_block(const MatrixView<std::uint32_t>& sym_codepoints, std::uint64_t sym_width,
                           const MatrixView<double>& float_mat,
                           const MatrixView<std::int64_t>& int_mat,
                           const MatrixView<std::uint8_t>& bool_mat,
                           std::span<const std::uint8_t> col_types,
                           TextStorage& storage = heap_storage());

}  // namespace atomblock::writer
