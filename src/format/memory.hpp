// Memory for the arrays handed to numpy. Blocks of 2 MiB and more are mapped on their own,
// starting at a 2 MiB boundary: the system can back them with huge pages (one fault per
// 2 MiB instead of 512), they start zero at no cost, and they go back to the system whole
// when freed. Smaller blocks come from malloc (all of them in builds with AddressSanitizer).
#pragma once

#include <cstddef>

namespace orvelio::memory {

// A block of `bytes` (zero-filled when `zero`), aligned for any type; nullptr when there is
// no memory for it.
void *allocate(size_t bytes, bool zero);

// Frees a block of allocate (nullptr is allowed).
void release(void *block) noexcept;

} // namespace orvelio::memory
