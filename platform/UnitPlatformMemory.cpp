#include "platform/UnitPlatformMemory.h"

#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace UnitPlatformMemory {

namespace {

// madvise on the whole units of `unit` bytes inside the range.
void AdviseWhole(void* AFrom, size_t ABytes, uintptr_t AUnit, int AAdvice) noexcept
{
    const auto start = reinterpret_cast<uintptr_t>(AFrom);
    const uintptr_t from = (start + AUnit - 1) & ~(AUnit - 1);
    const uintptr_t to = (start + ABytes) & ~(AUnit - 1);
    if (to > from)
        madvise(reinterpret_cast<void*>(from), to - from, AAdvice);
}

}  // namespace

void AdviseHugePages(void* AFrom, size_t ABytes) noexcept
{
#ifdef MADV_HUGEPAGE
    AdviseWhole(AFrom, ABytes, kHugePage, MADV_HUGEPAGE);
#else
    (void)AFrom;
    (void)ABytes;
#endif
}

void AdviseFree(void* AFrom, size_t ABytes) noexcept
{
#ifdef MADV_FREE
    static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    AdviseWhole(AFrom, ABytes, page, MADV_FREE);
#else
    (void)AFrom;
    (void)ABytes;
#endif
}

}  // namespace UnitPlatformMemory
