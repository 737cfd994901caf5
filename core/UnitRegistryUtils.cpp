#include "core/UnitRegistryUtils.h"

#include "core/UnitXmlDoc.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/UnitPlatformFolders.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include <pwd.h>
#include <unistd.h>

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

int ChildCount(const TXmlDoc& node)
{
    return node.GetNodeCount();
}
const TXmlDoc& Child(const TXmlDoc& node, int index)
{
    return *node.ChildAt(static_cast<size_t>(index));
}

// Walks the key path one ""-separated step at a time; empty steps are skipped, so
// "Software\Tessaly\" and "\Software\Tessaly" name the same key.
const TXmlDoc* OpenKey(const TXmlDoc& hive, std::string_view keyPath)
{
    const TXmlDoc* key = &hive;
    size_t start = 0;
    while (start <= keyPath.size()) {
        size_t end = keyPath.find('\\', start);
        if (end == std::string_view::npos)
            end = keyPath.size();
        const std::string_view step = keyPath.substr(start, end - start);
        if (!step.empty()) {
            const TXmlDoc* found = nullptr;
            for (int i = 0, count = ChildCount(*key); i < count && found == nullptr; ++i)
                if (SameIgnoringCase(Child(*key, i).GetName(), step))
                    found = &Child(*key, i);
            if (found == nullptr)
                return nullptr;
            key = found;
        }
        start = end + 1;
    }
    return key;
}

// The hive of a root, read whole from its file; nothing when the file cannot be read.
std::unique_ptr<TXmlDoc> LoadHive(TRegistryRoot root)
{
    const std::string fileName = HiveFileName(root);
    if (fileName.empty())
        return nullptr;
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        return nullptr;
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return nullptr;
    auto hive = std::make_unique<TXmlDoc>();
    hive->SetXML(text);
    return hive;
}

// The running user's login name, under which HKEY_USERS lists the user's own hive.
std::string LoginName()
{
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_name != nullptr)
        return result->pw_name;
    return {};
}

// Splits "profile\rest" of an HKEY_USERS path; the profile is the running user's own hive
// when the HKEY_USERS file has no child of that name.
bool IsOwnProfile(const TXmlDoc* usersHive, std::string_view keyPath, std::string_view& rest)
{
    while (!keyPath.empty() && keyPath.front() == '\\')
        keyPath.remove_prefix(1);
    const size_t slash = keyPath.find('\\');
    const std::string_view profile = keyPath.substr(0, slash);
    const std::string login = LoginName();
    if (login.empty() || !SameIgnoringCase(profile, login))
        return false;
    if (usersHive != nullptr && OpenKey(*usersHive, profile) != nullptr)
        return false;
    rest = slash == std::string_view::npos ? std::string_view() : keyPath.substr(slash + 1);
    return true;
}

}  // namespace

std::optional<std::string> ReadString(const TXmlDoc& hive, std::string_view keyPath, std::string_view valueName)
{
    const TXmlDoc* key = OpenKey(hive, keyPath);
    if (key == nullptr)
        return std::nullopt;
    if (valueName.empty())
        return key->GetValue();
    if (const TXmlDoc* value = key->FindProperty(valueName))
        return value->GetValue();
    return std::string();
}

std::optional<std::vector<std::string>> SubKeyNames(const TXmlDoc& hive, std::string_view keyPath)
{
    const TXmlDoc* key = OpenKey(hive, keyPath);
    if (key == nullptr)
        return std::nullopt;
    std::vector<std::string> names;
    for (int i = 0, count = ChildCount(*key); i < count; ++i)
        names.push_back(Child(*key, i).GetName());
    return names;
}

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

std::optional<std::string> ReadString(TRegistryRoot root, std::string_view keyPath, std::string_view valueName)
{
    const auto hive = LoadHive(root);
    if (root == TRegistryRoot::Users) {
        std::string_view rest;
        if (IsOwnProfile(hive.get(), keyPath, rest))
            return ReadString(TRegistryRoot::CurrentUser, rest, valueName);
    }
    if (!hive)
        return std::nullopt;
    return ReadString(*hive, keyPath, valueName);
}

std::optional<std::vector<std::string>> SubKeyNames(TRegistryRoot root, std::string_view keyPath)
{
    const auto hive = LoadHive(root);
    if (root == TRegistryRoot::Users) {
        std::string_view rest;
        if (IsOwnProfile(hive.get(), keyPath, rest)) {
            auto own = LoadHive(TRegistryRoot::CurrentUser);
            return own ? SubKeyNames(*own, rest) : std::nullopt;
        }
        const bool top = keyPath.find_first_not_of('\\') == std::string_view::npos;
        if (top) {
            // The loaded profiles, followed by the running user's own hive when it exists.
            auto names = hive ? SubKeyNames(*hive, keyPath) : std::nullopt;
            const std::string login = LoginName();
            if (!login.empty() && LoadHive(TRegistryRoot::CurrentUser) &&
                (!names || std::none_of(names->begin(), names->end(),
                                        [&](const std::string& n) { return SameIgnoringCase(n, login); }))) {
                if (!names)
                    names.emplace();
                names->push_back(login);
            }
            return names;
        }
    }
    if (!hive)
        return std::nullopt;
    return SubKeyNames(*hive, keyPath);
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
