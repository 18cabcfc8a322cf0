#include "engine/util/huge_page_allocator.hpp"

#include <sys/mman.h>

namespace orbisk {

void advise_huge_pages(void* p, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    (void)::madvise(p, bytes, MADV_HUGEPAGE);  // advice only: no huge pages is no error
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace orbisk
