// Path macros: every file name in the system may be written with folder macros such as
// "($MyTemp)\File.xml", "($AppData)\", "($ProgramFiles)\" or "($Registry:machine\Key.Value)\",
// and goes through Expand before it reaches the file system.
#pragma once

#include <string>
#include <string_view>

namespace UnitLocalUtils {

// Budget of one expansion, shared with the expansions it starts (a known folder or registry
// value is expanded again). A text whose macros keep producing macros, e.g. an environment
// variable ProgramFiles="($ProgramFiles)\x", would otherwise never finish; after this many
// steps, or once the text outgrows MaxExpandedLength, the expansion gives the empty path.
inline constexpr int MaxExpandSteps = 256;
// The longest path the Windows wide-character file functions accept.
inline constexpr size_t MaxExpandedLength = 32767;

// Repeats ExpandStep until a step replaces nothing. Never fails: unknown macro-like text
// stays, unreadable registry macros give the empty path, unplaceable folders give the root.
std::string Expand(std::string_view path);

// One expansion step on path; false when it replaced nothing. Fixed macros first, then the
// first registry macro, then the known-folder names (every occurrence of one macro per step).
bool ExpandStep(std::string& path);

// Expand, then the POSIX form of the result ("\" becomes "/"): what is handed to open().
// A name holding a zero byte gives "" (the file helpers below then fail), as does an
// expansion that gives up.
std::string LocalFileName(std::string_view path);

// File helpers that expand their arguments first; false when the operation fails.
bool FileExists(std::string_view path);
bool DirectoryExists(std::string_view path);
bool DeleteFile(std::string_view path);
bool RenameFile(std::string_view oldPath, std::string_view newPath);  // also moves
bool ForceDirectories(std::string_view path);

}  // namespace UnitLocalUtils
