#include "memory.hpp"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

namespace orvelio::memory {

namespace {

// Just before every block: where its memory starts and, for a mapping, its length (0 for
// memory from malloc).
struct Header {
    void *base;
    size_t length;
};
constexpr size_t kHeader = 16;
static_assert(sizeof(Header) <= kHeader && kHeader % alignof(std::max_align_t) == 0);

// Under AddressSanitizer every block comes from malloc, where it checks the bounds of every
// access and applies its allocation limits.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

constexpr size_t kPage = 4096;
constexpr size_t kHuge = size_t{2} << 20;

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

void *with_header(void *base, size_t length, uint8_t *block) {
    *reinterpret_cast<Header *>(block - kHeader) = {base, length};
    return block;
}

// The block at a 2 MiB boundary, its header on the page before it. The mapping reaches on to
// the next 2 MiB boundary when that adds little (a sixteenth at most), so that the last part
// can be a huge page too.
void *map(size_t bytes) {
    if (bytes > SIZE_MAX / 2)
        return nullptr;
    size_t used = round_up(bytes, kPage);
    if (round_up(bytes, kHuge) - bytes <= bytes / 16)
        used = round_up(bytes, kHuge);
    const size_t length = used + kHuge + kPage;
    void *mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    auto *base = static_cast<uint8_t *>(mapped);
    auto *block = reinterpret_cast<uint8_t *>(round_up(reinterpret_cast<uintptr_t>(base) + kPage, kHuge));
    uint8_t *start = block - kPage, *end = block + used;
    if (start > base)
        munmap(base, static_cast<size_t>(start - base));
    if (base + length > end)
        munmap(end, static_cast<size_t>(base + length - end));
    madvise(block, used, MADV_HUGEPAGE); // advice only
    return with_header(start, used + kPage, block);
}

} // namespace

void *allocate(size_t bytes, bool zero) {
    if (bytes >= kHuge && !kSanitized)
        return map(bytes);
    void *base = zero ? std::calloc(1, bytes + kHeader) : std::malloc(bytes + kHeader);
    return base ? with_header(base, 0, static_cast<uint8_t *>(base) + kHeader) : nullptr;
}

void release(void *block) noexcept {
    if (!block)
        return;
    const Header h = *reinterpret_cast<Header *>(static_cast<uint8_t *>(block) - kHeader);
    if (h.length)
        munmap(h.base, h.length);
    else
        std::free(h.base);
}

} // namespace orvelio::memory
