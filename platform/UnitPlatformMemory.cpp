#include "platform/UnitPlatformMemory.h"

#include <cstdint>

#include <sys/mman.h>

namespace UnitPlatformMemory {

void AdviseHugePages(void* AFrom, size_t ABytes) noexcept
{
#ifdef MADV_HUGEPAGE
    const auto start = reinterpret_cast<uintptr_t>(AFrom);
    const uintptr_t from = (start + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t to = (start + ABytes) & ~(kHugePage - 1);
    if (to > from)
        madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)AFrom;
    (void)ABytes;
#endif
}

}  // namespace UnitPlatformMemory
