/* dorvik: document signing library, C interface.
 *
 * Every function here has C linkage and never lets a C++ exception escape: a failure shows
 * as the documented failure result (an empty buffer, 0, or the conversion status). */
#ifndef DORVIK_H
#define DORVIK_H

#include <stdint.h>

#if defined(DORVIK_BUILDING)
#define DORVIK_API __attribute__((visibility("default")))
#else
#define DORVIK_API
#endif

#ifdef __cplusplus
#define DORVIK_NOEXCEPT noexcept
extern "C" {
#else
#define DORVIK_NOEXCEPT
#endif

/* The library's version as "major.minor.patch"; the text is static. */
DORVIK_API const char* DorvikVersion(void) DORVIK_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
