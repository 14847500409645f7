// MatrixView: read-only, byte-strided view of a 2-D array owned elsewhere.
#pragma once

#include <cstddef>
#include <cstring>

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

}  // namespace atomblock::writer
