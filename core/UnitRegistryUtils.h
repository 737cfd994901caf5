// The read-only registry the path macros and folder lookups consult.
//
// On this platform each root ("hive") is an XML file in the system's own tree format: the
// file's top element stands for the root (its name is not checked), keys are nested
// elements, string values are properties of the key's element, and the unnamed default
// value is the element's own value. Key and value names are matched ignoring letter case,
// as the registry does; names with blanks are written with the "xml" encoding
// ("Shell&#x20;Folders").
//
// Where the hives live:
//   HKEY_CURRENT_USER   $XDG_CONFIG_HOME/tessaly/registry/HKEY_CURRENT_USER.xml
//                       (XDG_CONFIG_HOME defaults to ~/.config)
//   the other roots     /etc/tessaly/registry/<ROOT>.xml, e.g. HKEY_LOCAL_MACHINE.xml;
//                       DORVIK_REGISTRY_DIR, when set, replaces /etc/tessaly/registry
//                       (used by tests and by installations outside /etc)
//   HKEY_USERS          the top-level children of HKEY_USERS.xml are the loaded user
//                       profiles (named by SID or login name, as the installer chooses);
//                       the current user's own hive is listed there too, under the login
//                       name, unless the file already has a child of that name. So HKEY_USERS
//                       holds every profile plus the running user's, as it does on Windows.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TXmlDoc;

namespace UnitRegistryUtils {

enum class TRegistryRoot { ClassesRoot, CurrentUser, LocalMachine, Users, PerformanceData };

// "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS" or
// "HKEY_PERFORMANCE_DATA", ignoring letter case; any other name is HKEY_CURRENT_USER.
TRegistryRoot RootFromName(std::string_view name);
std::string_view RootName(TRegistryRoot root);

// The hive file of a root, as a POSIX path.
std::string HiveFileName(TRegistryRoot root);

// The string value of a key: nothing when the key cannot be opened; an empty text when the
// key exists but the value does not.
std::optional<std::string> ReadString(TRegistryRoot root, std::string_view keyPath, std::string_view valueName);

// The names of a key's subkeys, in file order; nothing when the key cannot be opened.
std::optional<std::vector<std::string>> SubKeyNames(TRegistryRoot root, std::string_view keyPath);

// The same two queries on a hive already in memory (its top element is the root).
std::optional<std::string> ReadString(const TXmlDoc& hive, std::string_view keyPath, std::string_view valueName);
std::optional<std::vector<std::string>> SubKeyNames(const TXmlDoc& hive, std::string_view keyPath);

// fullKey is a root name, "\" and the key path, e.g.
// "HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders".
// The default comes back when the key cannot be opened or the value is empty.
std::string RegistryString(std::string_view fullKey, std::string_view valueName, std::string_view defaultValue);

}  // namespace UnitRegistryUtils
