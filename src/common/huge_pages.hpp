// Huge-page advice for large buffers that are about to be written for the
// first time.
//
// A fresh multi-megabyte buffer otherwise costs one page fault per 4 KiB page
// on first touch, which dominates the cost of a call at millions of atoms
// (more so in virtual machines). Where the system offers transparent huge
// pages on request, asking for them turns those faults into a few dozen. The
// advice is only a hint: it changes no contents, and failure changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace atomblock {

// Two huge pages: smaller buffers gain little (a thousand faults at most).
inline constexpr std::size_t kHugePageAdviceThreshold = std::size_t{4} << 20;
// The 2 MiB page of x86-64 and arm64 (one page-middle-directory entry).
inline constexpr std::uintptr_t kHugePageSize = std::uintptr_t{2} << 20;

// Advises the whole huge pages inside [data, data + size); call it before
// the memory is first written.
inline void advise_huge_pages(const void* data, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (data == nullptr || size < kHugePageAdviceThreshold) return;
    const auto first = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (first + kHugePageSize - 1) & ~(kHugePageSize - 1);
    const std::uintptr_t end = (first + size) & ~(kHugePageSize - 1);
    // The aligned start as an offset from `data`, not a pointer made from an
    // integer: the pointer keeps the provenance of the allocation.
    char* const base = static_cast<char*>(const_cast<void*>(data));
    if (end > begin) madvise(base + (begin - first), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace atomblock
