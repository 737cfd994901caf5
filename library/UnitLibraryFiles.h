// File access behind the exports: names are system paths (macros, "\" separators).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace UnitLibraryFiles {

// The name as the file system wants it.
std::string FileSystemName(std::string_view name);

// The largest file read whole: the exports report sizes as 32-bit integers.
inline constexpr uint64_t MaxFileSize = 0x7FFFFFFF;

// The file's bytes; nullopt when it is missing, is not a regular file (a folder, FIFO or
// device), is larger than MaxFileSize, cannot be read, or its name holds a zero byte.
std::optional<std::vector<uint8_t>> ReadWholeFile(std::string_view name);

// The safe save of UnitPlatformFiles::SaveFileSafely (name + ".~tmp", synced, moved over
// name) after the path macros of name are expanded; false when any step fails.
bool SaveFileSafely(std::string_view name, std::string_view data);

// Upper-case hex digest of the file (its name used as given: no path macros) with algorithm row `algorithm` (0 MD5 ... 8 RIPEMD-160);
// nullopt when the file is missing, unreadable or not a regular file (a FIFO or /dev/zero
// would never end), or the row names no available digest.
std::optional<std::string> DigestFileHex(std::string_view name, int algorithm);

}  // namespace UnitLibraryFiles
