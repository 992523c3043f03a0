// Memory for the arrays of the public header.
#include "orvelio/orvelio.hpp"

#include <sys/mman.h>

namespace orvelio {

namespace detail {

// Large arrays are filled page by page straight from the file: ask for huge pages, as numpy
// does for its own large arrays, to save most of the page faults. Advice only.
void advise_huge_pages(void *data, size_t bytes) noexcept {
    constexpr uintptr_t kPage = 4096;
    if (bytes < (uintptr_t{2} << 20))
        return;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kPage - 1);
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
}

void *allocate_array(size_t bytes) noexcept {
    constexpr size_t kHuge = size_t{2} << 20;
    void *p = nullptr;
    if (bytes < kHuge)
        return std::malloc(bytes ? bytes : 1);
    // From a 2 MiB boundary, so that every 2 MiB of it can be one huge page.
    // The tail in a huge page too, where that adds little: a tail of 4 KiB pages costs a fault
    // each, as many as the rest of the array together.
    size_t whole = (bytes + kHuge - 1) / kHuge * kHuge;
    if (whole - bytes > bytes / 16)
        whole = bytes;
    if (posix_memalign(&p, kHuge, whole) != 0)
        return nullptr;
    advise_huge_pages(p, whole);
    return p;
}

} // namespace detail

} // namespace orvelio
