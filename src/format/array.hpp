// Owned numeric arrays that the binding hands to numpy without copying.
#pragma once

#include "error.hpp"

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <sys/mman.h>
#include <vector>

namespace orvelio {

template <class T> class Array {
  public:
    Array() = default;

    // Zero-filled (calloc: large arrays cost nothing until their pages are written).
    // A shape too large for memory fails with MemoryError.
    static Array zeros(std::initializer_list<size_t> shape) { return make(std::vector<size_t>(shape), true); }
    static Array zeros(std::vector<size_t> shape) { return make(std::move(shape), true); }
    // Contents left undefined: for arrays that are written in full.
    static Array empty(std::vector<size_t> shape) { return make(std::move(shape), false); }

    T *data() { return data_.get(); }
    const T *data() const { return data_.get(); }
    const std::vector<size_t> &shape() const { return shape_; }
    size_t size() const { return size_; }
    T &operator[](size_t i) { return data_.get()[i]; }
    const T &operator[](size_t i) const { return data_.get()[i]; }

    // Hands the memory over (to be released with std::free).
    T *release() { return data_.release(); }

  private:
    struct Free {
        void operator()(T *p) const { std::free(p); }
    };

    static Array make(std::vector<size_t> shape, bool zero) {
        size_t n = 1;
        for (size_t d : shape)
            if (__builtin_mul_overflow(n, d, &n))
                throw Error(PyExc::MemoryError, "");
        size_t bytes;
        if (__builtin_mul_overflow(n, sizeof(T), &bytes))
            throw Error(PyExc::MemoryError, "");
        Array a;
        a.shape_ = std::move(shape);
        a.size_ = n;
        // Never a null pointer, even for no elements.
        void *p = zero ? std::calloc(n ? n : 1, sizeof(T)) : std::malloc(bytes ? bytes : sizeof(T));
        if (!p)
            throw Error(PyExc::MemoryError, "");
        a.data_.reset(static_cast<T *>(p));
        advise_huge_pages(p, bytes);
        return a;
    }

    // Large arrays are filled page by page straight from the file: ask for huge pages, as
    // numpy does for its own large arrays, to save most of the page faults. Advice only.
    static void advise_huge_pages(void *data, size_t bytes) {
        constexpr uintptr_t kPage = 4096;
        if (bytes < (uintptr_t{2} << 20))
            return;
        const uintptr_t start = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
        const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kPage - 1);
        if (end > start)
            madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
    }

    std::unique_ptr<T, Free> data_;
    std::vector<size_t> shape_;
    size_t size_ = 0;
};

} // namespace orvelio
