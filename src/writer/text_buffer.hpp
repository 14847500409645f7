// TextBuffer: the growable byte buffer that an atom block is written into.
//
// Memory comes from a TextStorage (the C heap unless the caller supplies
// another) and is never zero-filled: writers fill it in place through tail()
// and then commit what they wrote. Growth is geometric. Every allocation
// failure, including a size no allocator could satisfy, throws std::bad_alloc;
// nothing here ends the process.
#pragma once

#include <cstddef>
#include <string_view>

namespace atomblock::writer {

// Where a TextBuffer's bytes live. The caller of the writer may supply its own
// storage so that the text is written straight into the memory of the object
// it finally returns, without a copy.
class TextStorage {
public:
    // Returns a block of at least `capacity` bytes whose first `used` bytes
    // equal those at `old` (null on the first call), or null when the memory
    // cannot be had, in which case `old` stays valid. Never throws.
    virtual char* resize(char* old, std::size_t used, std::size_t capacity) noexcept = 0;
    // Gives a block back; `data` is the last block resize() returned.
    virtual void release(char* data) noexcept = 0;

protected:
    ~TextStorage() = default;
};

// The C heap: realloc and free.
TextStorage& heap_storage() noexcept;

class TextBuffer {
public:
    TextBuffer() noexcept = default;
    // The storage must outlive the buffer (and whatever release() hands out).
    explicit TextBuffer(TextStorage& storage) noexcept : storage_(&storage) {}
    TextBuffer(TextBuffer&& other) noexcept;
    TextBuffer& operator=(TextBuffer&& other) noexcept;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();

    // Never null, also before the first allocation, so that the bytes may be
    // passed to memcpy and friends whatever the size.
    const char* data() const noexcept { return data_ != nullptr ? data_ : kNoBytes; }
    std::size_t size() const noexcept { return size_; }
    std::string_view view() const noexcept { return {data(), size_}; }

    // Room for at least `bytes` bytes in total; never shrinks. The exact
    // amount is allocated, so one up-front reservation costs one allocation.
    void reserve(std::size_t bytes);

    // Room for at least `bytes` more bytes after the current end, growing
    // geometrically when the buffer is too small.
    void ensure_room(std::size_t bytes) {
        if (capacity_ - size_ < bytes) grow_for(bytes);
    }

    // First unwritten byte; writable up to the end of the room reserved or
    // ensured. Valid until the next call that may grow the buffer.
    char* tail() noexcept { return data_ + size_; }

    // Marks everything before `end` as written. Precondition: `end` lies
    // between tail() and the end of the room, derived from this buffer's tail().
    void commit_to(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

    // Hands the block (null if none was allocated) to the caller, who gives
    // it back through the storage; the buffer is left empty.
    [[nodiscard]] char* release() noexcept;

private:
    static constexpr const char* kNoBytes = "";

    void grow_for(std::size_t extra);
    void reallocate(std::size_t new_capacity);

    TextStorage* storage_ = &heap_storage();
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace atomblock::writer
