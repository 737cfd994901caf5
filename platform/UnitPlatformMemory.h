// Hints to the kernel about how a process's memory will be used. They only advise: memory
// stays valid and keeps its content.
#pragma once

#include <cstddef>

namespace UnitPlatformMemory {

// The size of a huge page (the whole pages of it are what AdviseHugePages hands the kernel).
constexpr size_t kHugePage = size_t{2} << 20;

// Asks for huge pages behind the whole huge pages inside [AFrom, AFrom + ABytes), before they
// are first written: a large buffer filled once then costs one page fault per 2 MiB instead of
// one per 4 KiB. The kernel may decline.
void AdviseHugePages(void* AFrom, size_t ABytes) noexcept;

}  // namespace UnitPlatformMemory
