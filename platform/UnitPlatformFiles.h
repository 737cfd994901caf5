// File-system boundary: names arrive in system form ("\" between the steps) and are turned
// into POSIX paths here, just before the kernel sees them.
#pragma once

#include <string>
#include <string_view>

namespace UnitPlatformFiles {

// "\" becomes "/"; nothing else changes.
std::string ToPosixPath(std::string_view systemPath);

// "/" becomes "\"; used for folders the platform reports, so they read like the rest.
std::string ToSystemPath(std::string_view posixPath);

// True for an existing entry that is not a directory (symbolic links are followed).
bool FileExists(std::string_view systemPath);

bool DirectoryExists(std::string_view systemPath);

// Removes a file (not a directory); false when it could not be removed.
bool DeleteFile(std::string_view systemPath);

// Moves a file or directory to a new name. Like the Windows move, it refuses to replace an
// existing target; a file moved to another file system is copied and the source removed.
bool MoveFile(std::string_view fromSystemPath, std::string_view toSystemPath);

// Creates the directory and every missing parent; true when it exists afterwards.
bool ForceDirectories(std::string_view systemPath);

// A freshly created random GUID (version 4, from getrandom), written as Windows writes
// them: "{XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX}" in upper case.
std::string NewGuid();

}  // namespace UnitPlatformFiles
