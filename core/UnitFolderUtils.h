// Known folders: the named folders that path macros such as "($MyTemp)\" stand for.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace UnitFolderUtils {

struct TKnownFolderEntry {
    int Index;
    std::string_view Name;              // as written in the macro, "Commom" spelling included
    std::string_view FolderId;          // known-folder identifier; empty when there is none
    int Csidl;                          // legacy folder number; -1 when there is none
    std::string_view ShellFolderValue;  // value under the Shell Folders key; may be empty
};

inline constexpr int KnownFolderCount = 28;
inline constexpr int DocumentsIndex = 24;
inline constexpr int TempIndex = 25;
inline constexpr int LocalAppDataIndex = 12;
inline constexpr int ProgramFilesIndex = 22;

// The folder used when a known folder cannot be placed: the root of the file system, which
// the system writes "\" (it is "/" at the file-system boundary).
inline constexpr std::string_view FallbackFolder = "\\";

const std::array<TKnownFolderEntry, KnownFolderCount>& KnownFolders();

// The folder of a table entry with a trailing backslash, subpath appended (and given its own
// trailing backslash) when not empty; with create, every missing directory is made. An index
// outside the table, or a folder no query can place, gives FallbackFolder.
std::string KnownFolder(int index, std::string_view subpath = {}, bool create = false);

// Adds "\" unless the text already ends with one. Text is UTF-8 here: no trail byte of a
// multi-byte character can be mistaken for a backslash.
std::string IncludeTrailingBackslash(std::string_view path);

}  // namespace UnitFolderUtils
