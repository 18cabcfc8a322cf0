// An allocator for large arrays that are read at random (hash tables of many
// millions of cells): blocks of kHugePageBytes and more are aligned to that
// size and the kernel is asked to back them with huge pages, so that a random
// access costs a cache miss but seldom also a walk of the page tables (on a
// virtual machine a walk of two sets of them). Smaller blocks come from the
// ordinary heap. Where the kernel gives no huge pages, the advice is ignored.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace orbisk {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Asks for huge pages behind [p, p + bytes) (p aligned to kHugePageBytes).
void advise_huge_pages(void* p, std::size_t bytes);

template <class T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePageBytes) return std::allocator<T>().allocate(n);
        const std::size_t rounded = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
        void* p = std::aligned_alloc(kHugePageBytes, rounded);
        if (!p) throw std::bad_alloc();
        advise_huge_pages(p, rounded);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) {
        if (n * sizeof(T) < kHugePageBytes)
            std::allocator<T>().deallocate(p, n);
        else
            std::free(p);
    }
    template <class U>
    bool operator==(const HugePageAllocator<U>&) const {
        return true;
    }
};

}  // namespace orbisk
