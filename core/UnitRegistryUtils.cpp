#include "core/UnitRegistryUtils.h"

#include "platform/UnitPlatformFiles.h"
#include "platform/UnitPlatformFolders.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace UnitRegistryUtils {

namespace {

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiUpper(x) == AsciiUpper(y); });
}

constexpr std::array<std::pair<TRegistryRoot, std::string_view>, 5> RootNames = {{
    {TRegistryRoot::ClassesRoot, "HKEY_CLASSES_ROOT"},
    {TRegistryRoot::CurrentUser, "HKEY_CURRENT_USER"},
    {TRegistryRoot::LocalMachine, "HKEY_LOCAL_MACHINE"},
    {TRegistryRoot::Users, "HKEY_USERS"},
    {TRegistryRoot::PerformanceData, "HKEY_PERFORMANCE_DATA"},
}};

std::string MachineRegistryFolder()
{
    if (const char* dir = std::getenv("DORVIK_REGISTRY_DIR"); dir != nullptr && *dir != '\0')
        return dir;
    return "/etc/tessaly/registry";
}

std::string UserRegistryFolder()
{
    if (const char* dir = std::getenv("XDG_CONFIG_HOME"); dir != nullptr && dir[0] == '/')
        return std::string(dir) + "/tessaly/registry";
    if (auto home = UnitPlatformFolders::HomeFolder())
        return UnitPlatformFiles::ToPosixPath(*home) + "/.config/tessaly/registry";
    return {};
}

}  // namespace

TRegistryRoot RootFromName(std::string_view name)
{
    for (const auto& [root, rootName] : RootNames)
        if (SameIgnoringCase(name, rootName))
            return root;
    return TRegistryRoot::CurrentUser;
}

std::string_view RootName(TRegistryRoot root)
{
    for (const auto& [candidate, rootName] : RootNames)
        if (candidate == root)
            return rootName;
    return "HKEY_CURRENT_USER";
}

std::string HiveFileName(TRegistryRoot root)
{
    const std::string folder = root == TRegistryRoot::CurrentUser ? UserRegistryFolder() : MachineRegistryFolder();
    if (folder.empty())
        return {};
    return folder + "/" + std::string(RootName(root)) + ".xml";
}

std::optional<std::string> ReadString(TRegistryRoot, std::string_view, std::string_view)
{
    return std::nullopt;  // TODO: hive reading once the XML tree is available
}

std::optional<std::vector<std::string>> SubKeyNames(TRegistryRoot, std::string_view)
{
    return std::nullopt;  // TODO: hive reading once the XML tree is available
}

std::string RegistryString(std::string_view fullKey, std::string_view valueName, std::string_view defaultValue)
{
    const size_t slash = fullKey.find('\\');
    const TRegistryRoot root = RootFromName(fullKey.substr(0, slash));
    const std::string_view keyPath = slash == std::string_view::npos ? std::string_view() : fullKey.substr(slash + 1);
    auto value = ReadString(root, keyPath, valueName);
    if (!value || value->empty())
        return std::string(defaultValue);
    return *value;
}

}  // namespace UnitRegistryUtils
