#include "platform/UnitPlatformFolders.h"

#include "platform/UnitPlatformFiles.h"

#include <array>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace UnitPlatformFolders {

namespace {

using TFolder = std::optional<std::string>;

std::optional<std::string> PosixHome();

std::optional<std::string> Env(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        return std::nullopt;
    return std::string(value);
}

// Windows spells these variables in mixed case and ignores case; the environment here
// does not, so each is looked up under the spellings that occur.
std::optional<std::string> FirstEnv(std::initializer_list<const char*> names)
{
    for (const char* name : names)
        if (auto value = Env(name))
            return value;
    return std::nullopt;
}

TFolder System(std::optional<std::string> posixPath)
{
    if (!posixPath)
        return std::nullopt;
    return UnitPlatformFiles::ToSystemPath(*posixPath);
}

TFolder Join(const TFolder& base, std::string_view step)
{
    if (!base)
        return std::nullopt;
    std::string path = *base;
    if (path.empty() || path.back() != '\\')
        path += '\\';
    path += step;
    return path;
}

// XDG base directories must be absolute; a relative value is ignored, as the XDG rules say.
std::optional<std::string> XdgEnv(const char* name)
{
    auto value = Env(name);
    if (value && value->front() == '/')
        return value;
    return std::nullopt;
}

TFolder ConfigHome()
{
    if (auto value = XdgEnv("XDG_CONFIG_HOME"))
        return System(value);
    return Join(HomeFolder(), ".config");
}

TFolder DataHome()
{
    if (auto value = XdgEnv("XDG_DATA_HOME"))
        return System(value);
    return Join(HomeFolder(), ".local\\share");
}

TFolder StateHome()
{
    if (auto value = XdgEnv("XDG_STATE_HOME"))
        return System(value);
    return Join(HomeFolder(), ".local\\state");
}

// The first absolute entry of a colon-separated XDG search list, else the default.
TFolder FirstOfList(const char* name, const char* fallback)
{
    if (auto list = Env(name)) {
        size_t start = 0;
        while (start <= list->size()) {
            size_t end = list->find(':', start);
            if (end == std::string::npos)
                end = list->size();
            std::string entry = list->substr(start, end - start);
            while (entry.size() > 1 && entry.back() == '/')
                entry.pop_back();
            if (!entry.empty() && entry.front() == '/')
                return System(entry);
            start = end + 1;
        }
    }
    return System(std::string(fallback));
}

TFolder SystemData()
{
    return FirstOfList("XDG_DATA_DIRS", "/usr/share");
}

TFolder SystemConfig()
{
    return FirstOfList("XDG_CONFIG_DIRS", "/etc/xdg");
}

TFolder LocalAppData()
{
    if (auto value = Env("LOCALAPPDATA"))
        return System(value);
    return DataHome();
}

TFolder RoamingAppData()
{
    if (auto value = Env("APPDATA"))
        return System(value);
    return ConfigHome();
}

TFolder Profile()
{
    if (auto value = Env("USERPROFILE"))
        return System(value);
    return HomeFolder();
}

TFolder ProgramFiles()
{
    if (auto value = FirstEnv({"PROGRAMFILES", "ProgramFiles"}))
        return System(value);
    return System(std::string("/opt"));
}

TFolder ProgramFilesCommon()
{
    if (auto value = FirstEnv({"COMMONPROGRAMFILES", "CommonProgramFiles"}))
        return System(value);
    return Join(ProgramFiles(), "Common Files");
}

TFolder ProgramData()
{
    if (auto value = FirstEnv({"PROGRAMDATA", "ProgramData", "ALLUSERSPROFILE"}))
        return System(value);
    return System(std::string("/var/lib"));
}

// One line of user-dirs.dirs: XDG_NAME_DIR="$HOME/Folder" or XDG_NAME_DIR="/abs/path".
std::optional<std::string> UserDirFromLine(std::string_view line, std::string_view key,
                                           const std::optional<std::string>& home)
{
    size_t pos = line.find_first_not_of(" \t");
    if (pos == std::string_view::npos || line.substr(pos, key.size()) != key)
        return std::nullopt;
    pos += key.size();
    if (pos >= line.size() || line[pos] != '=')
        return std::nullopt;
    std::string_view value = line.substr(pos + 1);
    if (value.size() < 2 || value.front() != '"')
        return std::nullopt;
    const size_t close = value.find('"', 1);
    if (close == std::string_view::npos)
        return std::nullopt;
    value = value.substr(1, close - 1);
    std::string path;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size())
            path += value[++i];
        else
            path += value[i];
    }
    if (path.rfind("$HOME", 0) == 0) {
        if (!home)
            return std::nullopt;
        path = *home + path.substr(5);
    }
    if (path.empty() || path.front() != '/')
        return std::nullopt;
    return path;
}

// An XDG user directory: XDG_<NAME>_DIR from the environment, else from user-dirs.dirs,
// else ~/<defaultName> (what xdg-user-dirs would have created).
TFolder UserDir(const char* name, const char* defaultName)
{
    const std::string key = std::string("XDG_") + name + "_DIR";
    if (auto value = XdgEnv(key.c_str()))
        return System(value);
    const auto home = PosixHome();
    if (auto config = ConfigHome()) {
        std::ifstream in(UnitPlatformFiles::ToPosixPath(*config) + "/user-dirs.dirs");
        std::string line;
        std::optional<std::string> found;
        while (std::getline(in, line))
            if (auto value = UserDirFromLine(line, key, home))
                found = value;  // the last assignment wins, as in the shell
        if (found)
            return System(found);
    }
    return Join(HomeFolder(), defaultName);
}

struct TKnownFolder {
    std::string_view FolderId;
    int Csidl;
    std::function<TFolder()> Lookup;
};

const std::vector<TKnownFolder>& KnownFolders()
{
    static const std::vector<TKnownFolder> folders = {
        {"0139D44E-6AFE-49F2-8690-3DAFCAE6FFB8", 0x17, [] { return Join(SystemData(), "applications"); }},
        {"A4115719-D62E-491D-AA7C-E74B8BE3B067", 0x16, [] { return Join(SystemData(), "applications"); }},
        {"82A5EA35-D9CD-47C5-9629-E15D2F714E6E", 0x18, [] { return Join(SystemConfig(), "autostart"); }},
        {"B94237E7-57AC-4347-9151-B08C6C32D1F7", 0x2D, [] { return Join(SystemData(), "templates"); }},
        {"56784854-C6CB-462B-8169-88E350ACB882", -1, [] { return Join(Profile(), "Contacts"); }},
        {"2B0F765D-C0E9-4171-908E-08A611B84FF6", 0x21, [] { return Join(LocalAppData(), "Cookies"); }},
        {"B4BFCC3A-DB2C-424C-B029-7FE99A87C641", 0x10, [] { return UserDir("DESKTOP", "Desktop"); }},
        {"374DE290-123F-4565-9164-39C4925E467B", -1, [] { return UserDir("DOWNLOAD", "Downloads"); }},
        {"1777F761-68AD-4D8A-87BD-30B759FA33DD", 0x06, [] { return Join(Profile(), "Favorites"); }},
        {"FD228CB7-AE11-4AE3-864C-16F3910AB8FE", 0x14, [] { return Join(SystemData(), "fonts"); }},
        {"D9DC8A3B-B784-432E-A781-5A1130A75963", 0x22, [] { return StateHome(); }},
        {"BFB9D5E0-C6A9-404C-B2B2-AE6DB6AF4968", -1, [] { return Join(Profile(), "Links"); }},
        {"F1B32785-6FBA-4FCF-9D55-7B8E7F157091", 0x1C, [] { return LocalAppData(); }},
        {"3EB685DB-65F9-4CF6-A03A-E3EF65729F3D", 0x1A, [] { return RoamingAppData(); }},
        {"4BD8D571-6D19-48D3-BE97-422220080E43", 0x0D, [] { return UserDir("MUSIC", "Music"); }},
        {"33E28130-4E1E-4676-835A-98395C3BC3BB", 0x27, [] { return UserDir("PICTURES", "Pictures"); }},
        {"5E6C858F-0E22-4760-9AFE-EA3317B67173", 0x28, [] { return Profile(); }},
        {"62AB5D82-FDC1-4DC3-A9DD-070D1D495D97", 0x23, [] { return ProgramData(); }},
        {"A77F5D77-2E2B-44C3-A6A2-ABA601054A51", 0x02, [] { return Join(DataHome(), "applications"); }},
        {"8983036C-27C0-404B-8F08-102D10DCFD74", 0x09, [] { return Join(DataHome(), "SendTo"); }},
        {"625B53C3-AB48-4EC1-BA1F-A1EF4146FC19", 0x0B, [] { return Join(DataHome(), "applications"); }},
        {"B97D20BB-F46A-4C97-BA10-5E3608430854", 0x07, [] { return Join(ConfigHome(), "autostart"); }},
        {"905E63B6-C1BF-494E-B29C-65B732D3D21A", 0x26, [] { return ProgramFiles(); }},
        {"F7F1ED05-9F6D-47A2-AAAE-29D317C6F066", 0x2B, [] { return ProgramFilesCommon(); }},
        {"FDD39AD0-238F-46AF-ADB4-6C85480369C7", 0x05, [] { return DocumentsFolder(); }},
    };
    return folders;
}

bool SameIdIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> HomeFolder()
{
    return System(PosixHome());
}

namespace {

std::optional<std::string> PosixHome()
{
    if (auto home = XdgEnv("HOME"))
        return home;
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] == '/')
        return std::string(result->pw_dir);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> KnownFolderById(std::string_view folderId)
{
    if (folderId.size() >= 2 && folderId.front() == '{' && folderId.back() == '}')
        folderId = folderId.substr(1, folderId.size() - 2);
    for (const auto& folder : KnownFolders())
        if (SameIdIgnoringCase(folder.FolderId, folderId))
            return folder.Lookup();
    return std::nullopt;
}

std::optional<std::string> KnownFolderByCsidl(int csidl)
{
    for (const auto& folder : KnownFolders())
        if (folder.Csidl == csidl)
            return folder.Lookup();
    return std::nullopt;
}

std::optional<std::string> DocumentsFolder()
{
    return UserDir("DOCUMENTS", "Documents");
}

std::string TempFolder()
{
    if (auto value = FirstEnv({"TEMP", "TMP", "TMPDIR"}))
        return UnitPlatformFiles::ToSystemPath(*value);
    return "\\tmp";
}

std::string WindowsFolder()
{
    if (auto value = FirstEnv({"SYSTEMROOT", "SystemRoot", "WINDIR", "windir"}))
        return UnitPlatformFiles::ToSystemPath(*value);
    return "\\usr";
}

std::string SystemFolder()
{
    if (FirstEnv({"SYSTEMROOT", "SystemRoot", "WINDIR", "windir"}))
        return WindowsFolder() + "\\System32";
#if defined(__x86_64__)
    constexpr const char* multiarch = "/usr/lib/x86_64-linux-gnu";
#elif defined(__aarch64__)
    constexpr const char* multiarch = "/usr/lib/aarch64-linux-gnu";
#elif defined(__i386__)
    constexpr const char* multiarch = "/usr/lib/i386-linux-gnu";
#else
    constexpr const char* multiarch = nullptr;
#endif
    struct stat info {};
    if (multiarch != nullptr && ::stat(multiarch, &info) == 0 && S_ISDIR(info.st_mode))
        return UnitPlatformFiles::ToSystemPath(multiarch);
    return "\\usr\\lib";
}

std::string ExecutablePath()
{
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (static_cast<size_t>(length) < buffer.size())
            return UnitPlatformFiles::ToSystemPath(std::string_view(buffer.data(), static_cast<size_t>(length)));
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace UnitPlatformFolders
