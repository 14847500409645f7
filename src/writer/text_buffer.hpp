// TextBuffer: the growable byte buffer that an atom block is written into.
//
// Memory comes from the C allocator and is never zero-filled: writers fill it
// in place through tail() and then commit what they wrote. Growth is geometric.
// Every allocation failure, including a size no allocator could satisfy, throws
// std::bad_alloc; nothing here ends the process.
#pragma once

#include <cstddef>
#include <string_view>

namespace atomblock::writer {

class TextBuffer {
public:
    TextBuffer() noexcept = default;
    TextBuffer(TextBuffer&& other) noexcept;
    TextBuffer& operator=(TextBuffer&& other) noexcept;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();

    // Never null, also before the first allocation, so that the bytes may be
    // passed to memcpy and friends whatever the size.
    const char* data() const noexcept { return data_ != nullptr ? data_ : kNoBytes; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::string_view view() const noexcept { return {data(), size_}; }

    // Room for at least `bytes` bytes in total; never shrinks. The exact
    // amount is allocated, so one up-front reservation costs one allocation.
    void reserve(std::size_t bytes);

    // Room for at least `bytes` more bytes after the current end, growing
    // geometrically when the buffer is too small.
    void ensure_room(std::size_t bytes) {
        if (capacity_ - size_ < bytes) grow_for(bytes);
    }

    // First unwritten byte; writable up to capacity(). Valid until the next
    // call that may grow the buffer.
    char* tail() noexcept { return data_ + size_; }

    // Marks everything before `end` as written. Precondition: tail() <= end
    // <= data() + capacity(), with `end` taken from this buffer's tail().
    void commit_to(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

    void append(std::string_view bytes);

    // Forgets the contents, keeps the memory.
    void clear() noexcept { size_ = 0; }

private:
    static constexpr const char* kNoBytes = "";

    void grow_for(std::size_t extra);
    void reallocate(std::size_t new_capacity);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace atomblock::writer
