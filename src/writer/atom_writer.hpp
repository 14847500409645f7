// Atom-block writer core: lays out every atom line of one frame as text.
// Plain C++; never touches a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "writer/text_buffer.hpp"

namespace atomblock::writer {

// Read-only view of a 2-D array owned elsewhere. Strides are in bytes and may
// be negative, zero, or not a multiple of sizeof(T); elements are read
// unaligned, in native byte order. The view checks no indices.
template <class T>
struct MatrixView {
    const unsigned char* origin = nullptr;  // address of element (0, 0)
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = 0;  // bytes

    T at(std::size_t row, std::size_t col) const noexcept {
        T value;
        std::memcpy(&value,
                    origin + static_cast<std::ptrdiff_t>(row) * row_stride +
                        static_cast<std::ptrdiff_t>(col) * col_stride,
                    sizeof(T));
        return value;
    }
};

struct AtomBlock {
    TextBuffer text;     // UTF-8, natoms lines each ending in '\n'
    bool ascii = true;   // true when every byte is below 0x80
};

// Throws InternalFailure ("capacity overflow", "Formatting argument out of
// range", or an index-out-of-range message) and std::bad_alloc.
AtomBlock write_atom_block(const MatrixView<std::uint32_t>& sym_codepoints, std::uint64_t sym_width,
                           const MatrixView<double>& float_mat,
                           const MatrixView<std::int64_t>& int_mat,
                           const MatrixView<std::uint8_t>& bool_mat,
                           std::span<const std::uint8_t> col_types);

}  // namespace atomblock::writer
