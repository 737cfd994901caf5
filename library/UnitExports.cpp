#define DORVIK_BUILDING
#include "library/dorvik.h"

extern "C" DORVIK_API const char* DorvikVersion(void) noexcept
{
    return DORVIK_VERSION_TEXT;
}
