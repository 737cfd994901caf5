// File-system boundary: names arrive in system form ("\" between the steps) and are turned
// into POSIX paths here, just before the kernel sees them.
#pragma once

#include "core/UnitStatusWords.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UnitPlatformFiles {

// A name the kernel can be given: not empty and without a zero byte. The kernel stops at the
// first zero byte, so "doc.txt\0.p7s" would name "doc.txt" itself; every helper here refuses
// such a name (as a failed operation), and so must every other way to the file system.
bool IsUsableName(std::string_view name);

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

// Failure words of the readers below (core/UnitStatusWords.h).
using Words::FileNotFound;
using Words::NotARegularFile;  // a folder, FIFO, device...
using Words::FileTooLarge;
using Words::FileUnreadable;
using Words::InvalidFileName;  // empty or with a zero byte

struct TFileRead {
    std::optional<std::vector<uint8_t>> Bytes;  // the whole file; no value on failure
    std::string_view Word;                      // one of the words above on failure
};

// Reads a whole regular file of at most maxSize bytes. Anything else (a folder, a FIFO, a
// device such as /dev/zero) is refused before a byte is read, so nothing can hang the caller
// or fill its memory; a file that grows past maxSize while being read is refused too.
TFileRead ReadRegularFile(std::string_view systemPath, uint64_t maxSize);

// Opens a regular file for reading; -1 with the failure word otherwise. A FIFO is opened
// without blocking and then refused. The caller closes the descriptor.
int OpenRegularFile(std::string_view systemPath, std::string_view& word);
// The same for a name already in POSIX form ("\" is then an ordinary character).
int OpenRegularPosixFile(const std::string& posixPath, std::string_view& word);

// Creates the temporary file of a safe save (the target's name + ".~tmp") for writing, locked,
// with O_EXCL and O_NOFOLLOW: a symbolic link planted at that name is removed, never followed,
// and a file left there by an earlier save is removed once nobody holds it. -1 when the name
// is taken by something else (a folder) or by a save in progress. The name is in POSIX form
// already (the target's name as handed to the kernel, + ".~tmp").
int CreateTemporaryFile(std::string_view posixPath, unsigned mode = 0644);

// Writes the bytes of a file given to a safe save: false when they could not all be written.
using TFileWriter = std::function<bool(int fd)>;

// The one safe save of the system; every writer of a whole file goes through it.
// `posixPath` is the target as the kernel takes it: path macros expanded and "\" turned
// into "/" by the caller (UnitLocalUtils::LocalFileName does both).
//  1. The temporary file, posixPath + ".~tmp", is made by CreateTemporaryFile (above): anew,
//     locked, never through a link planted there; taken by a save in progress -> false.
//  2. The bytes are written (`write` is handed the descriptor), then synced to the disk.
//  3. An existing target that is read-only is not replaced: false, and the new bytes stay in
//     the temporary file beside it. A target that is not a regular file (a folder, a device)
//     is not replaced either: false, the temporary file removed.
//  4. One rename moves the temporary file over the target (no retrying), the lock still
//     held; then the folder is synced, so the new name survives a crash too.
// Any other failure removes the temporary file and gives false; the old target is then whole.
// `mode` is that of a new file (before the umask).
bool SaveFileSafely(std::string_view posixPath, const TFileWriter& write, unsigned mode = 0644);
bool SaveFileSafely(std::string_view posixPath, std::span<const uint8_t> bytes, unsigned mode = 0644);
bool SaveFileSafely(std::string_view posixPath, std::string_view text, unsigned mode = 0644);

// The 16 bytes of a freshly created random GUID (version 4, from getrandom); hex is the
// caller's business.
std::array<uint8_t, 16> NewGuid();

}  // namespace UnitPlatformFiles
