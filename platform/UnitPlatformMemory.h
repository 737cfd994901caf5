// Hints to the kernel about how a process's memory will be used. Both only advise: memory
// stays valid and keeps its content as far as the caller can tell.
#pragma once

#include <cstddef>

namespace UnitPlatformMemory {

// The size of a huge page (the whole pages of it are what AdviseHugePages hands the kernel).
constexpr size_t kHugePage = size_t{2} << 20;

// Asks for huge pages behind the whole huge pages inside [AFrom, AFrom + ABytes), before they
// are first written: a large buffer filled once then costs one page fault per 2 MiB instead of
// one per 4 KiB. The kernel may decline.
void AdviseHugePages(void* AFrom, size_t ABytes) noexcept;

// Tells the kernel that the content of the whole pages inside the range is no longer wanted:
// it may take them back when short of memory (they read as zeros then), and costs nothing
// otherwise. The memory stays allocated to the caller.
void AdviseFree(void* AFrom, size_t ABytes) noexcept;

}  // namespace UnitPlatformMemory
