// The operating-system folder queries behind the path macros, answered the Linux way.
//
// Every folder comes back in system form: "\" between the steps ("/home/ana/.config" is
// "\home\ana\.config"), so the texts inside the system keep one separator; UnitPlatformFiles
// turns them back into POSIX paths at the file-system boundary. No trailing separator is
// guaranteed; the caller adds its own.
//
// Order of the sources for each folder:
//   1. the Windows environment variable of the same meaning, when set and not empty
//      (LOCALAPPDATA, APPDATA, ProgramFiles, CommonProgramFiles, ProgramData, USERPROFILE,
//      TEMP/TMP, SystemRoot/windir), so a Windows-style set-up or a test can pin a folder;
//   2. the XDG base directories (XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_STATE_HOME,
//      XDG_DATA_DIRS, XDG_CONFIG_DIRS) and user directories (XDG_<NAME>_DIR from the
//      environment, else from $XDG_CONFIG_HOME/user-dirs.dirs as xdg-user-dirs writes it);
//   3. the FHS and XDG defaults (~/.local/share, ~/.config, /opt, /var/lib, /tmp...).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace UnitPlatformFolders {

// The known-folder lookup: the folder behind a known-folder identifier such as
// "{F1B32785-6FBA-4FCF-9D55-7B8E7F157091}" (braces optional, letter case ignored).
// Nothing for an identifier this platform does not know or a folder it cannot place.
std::optional<std::string> KnownFolderById(std::string_view folderId);

// The legacy lookup by folder number (CSIDL); the same sources as the identifiers.
std::optional<std::string> KnownFolderByCsidl(int csidl);

// The user's documents folder (XDG_DOCUMENTS_DIR, else ~/Documents).
std::optional<std::string> DocumentsFolder();

// The user's temporary folder: TEMP, TMP, TMPDIR, else "/tmp". Never empty.
std::string TempFolder();

// The "Windows directory": SystemRoot or windir when set, else "/usr", the tree the
// operating system is installed in.
std::string WindowsFolder();

// The "system directory": <Windows directory>\System32 when SystemRoot/windir is set, else
// the folder of the system's shared libraries (/usr/lib/<multiarch> when it exists, else
// /usr/lib), which is where the system keeps what Windows keeps in System32.
std::string SystemFolder();

// The running program's executable (/proc/self/exe), in system form; empty if unreadable.
std::string ExecutablePath();

// The user's home folder (HOME, else the password database), in system form; nothing when
// neither knows it.
std::optional<std::string> HomeFolder();

}  // namespace UnitPlatformFolders
