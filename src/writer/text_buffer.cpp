// TextBuffer: allocation and growth of the atom block's output buffer.
#include "writer/text_buffer.hpp"

#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

namespace atomblock::writer {
namespace {

// Each growth at least doubles the capacity, so n appends cost O(n) copying.
constexpr std::size_t kGrowthFactor = 2;

// Sizes above PTRDIFF_MAX cannot be addressed as one object; refuse them as an
// allocation failure before the allocator sees them.
constexpr std::size_t kMaxBytes =
    static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());

class HeapStorage final : public TextStorage {
public:
    char* resize(char* old, std::size_t, std::size_t capacity) noexcept override {
        return static_cast<char*>(std::realloc(old, capacity));
    }
    void release(char* data) noexcept override { std::free(data); }
};

}  // namespace

TextStorage& heap_storage() noexcept {
    static HeapStorage storage;
    return storage;
}

TextBuffer::TextBuffer(TextBuffer&& other) noexcept
    : storage_(other.storage_),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

TextBuffer& TextBuffer::operator=(TextBuffer&& other) noexcept {
    if (this != &other) {
        if (data_ != nullptr) storage_->release(data_);
        storage_ = other.storage_;
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

TextBuffer::~TextBuffer() {
    if (data_ != nullptr) storage_->release(data_);
}

char* TextBuffer::release() noexcept {
    size_ = 0;
    capacity_ = 0;
    return std::exchange(data_, nullptr);
}

void TextBuffer::reserve(std::size_t bytes) {
    if (bytes > capacity_) reallocate(bytes);
}

void TextBuffer::grow_for(std::size_t extra) {
    if (extra > kMaxBytes - size_) throw std::bad_alloc();
    const std::size_t needed = size_ + extra;
    std::size_t target =
        capacity_ <= kMaxBytes / kGrowthFactor ? capacity_ * kGrowthFactor : kMaxBytes;
    if (target < needed) target = needed;
    reallocate(target);
}

void TextBuffer::reallocate(std::size_t new_capacity) {
    if (new_capacity > kMaxBytes) throw std::bad_alloc();
    char* p = storage_->resize(data_, size_, new_capacity);
    if (p == nullptr) throw std::bad_alloc();
    data_ = p;
    capacity_ = new_capacity;
}

}  // namespace atomblock::writer
