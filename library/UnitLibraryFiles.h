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

// The file's bytes; nullopt when it does not exist. Read errors throw.
std::optional<std::vector<uint8_t>> ReadWholeFile(std::string_view name);

// Writes name + ".~tmp" and moves it over name, so a failed save never leaves a cut file in
// place of the old one. False when any step fails (the temporary file is removed).
bool SaveFileSafely(std::string_view name, std::string_view data);

// Upper-case hex digest of the file with algorithm row `algorithm` (0 MD5 ... 8 RIPEMD-160);
// nullopt when the file is missing or unreadable or the row names no available digest.
std::optional<std::string> DigestFileHex(std::string_view name, int algorithm);

}  // namespace UnitLibraryFiles
