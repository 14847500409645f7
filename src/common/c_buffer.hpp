// CBuffer: a move-only, zero-filled heap buffer from the C allocator.
//
// The reader's matrices live in CBuffers so that their memory can be handed to
// a Python owner object (release() gives up ownership; std::free releases it).
// The address is never null, even for zero elements, so an empty matrix still
// has an aligned data pointer that NumPy may hold but never reads through.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "common/huge_pages.hpp"

namespace atomblock {

template <class T>
class CBuffer {
public:
    CBuffer() noexcept = default;

    // `count` zero-filled elements. Throws std::bad_alloc when the byte size
    // overflows or the allocator refuses; never ends the process.
    static CBuffer zeroed(std::size_t count) {
        // calloc checks count * sizeof(T) for overflow itself; one element is
        // allocated for an empty buffer so that the address is real.
        void* p = std::calloc(count == 0 ? 1 : count, sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        advise_huge_pages(p, count * sizeof(T));  // large callocs are untouched fresh pages
        return CBuffer(static_cast<T*>(p), count);
    }

    CBuffer(CBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}
    CBuffer& operator=(CBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            count_ = std::exchange(other.count_, 0);
        }
        return *this;
    }
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;
    ~CBuffer() { std::free(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return count_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Gives up ownership; the caller must std::free the result.
    T* release() noexcept {
        count_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    CBuffer(T* data, std::size_t count) noexcept : data_(data), count_(count) {}
    T* data_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace atomblock
