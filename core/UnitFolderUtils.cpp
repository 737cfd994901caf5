#include "core/UnitFolderUtils.h"

#include "core/UnitLocalUtils.h"
#include "core/UnitRegistryUtils.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/UnitPlatformFolders.h"

#include <optional>

namespace UnitFolderUtils {

namespace {

constexpr std::string_view ShellFoldersKey =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

constexpr std::array<TKnownFolderEntry, KnownFolderCount> Table = {{
    {0, "CommomPrograms", "{0139D44E-6AFE-49F2-8690-3DAFCAE6FFB8}", 0x17, ""},
    {1, "CommomStartMenu", "{A4115719-D62E-491D-AA7C-E74B8BE3B067}", 0x16, ""},
    {2, "CommomStartup", "{82A5EA35-D9CD-47C5-9629-E15D2F714E6E}", 0x18, ""},
    {3, "CommomTemplates", "{B94237E7-57AC-4347-9151-B08C6C32D1F7}", 0x2D, ""},
    {4, "MyContacts", "{56784854-C6CB-462b-8169-88E350ACB882}", 0x05, ""},
    {5, "MyCookies", "{2B0F765D-C0E9-4171-908E-08A611B84FF6}", 0x21, "Cookies"},
    {6, "MyDesktop", "{B4BFCC3A-DB2C-424C-B029-7FE99A87C641}", 0x10, "Desktop"},
    {7, "MyDownloads", "{374DE290-123F-4565-9164-39C4925E467B}", 0x05, ""},
    {8, "MyFavorites", "{1777F761-68AD-4D8A-87BD-30B759FA33DD}", 0x06, "Favorites"},
    {9, "Fonts", "{FD228CB7-AE11-4AE3-864C-16F3910AB8FE}", 0x14, "Fonts"},
    {10, "MyHistory", "{D9DC8A3B-B784-432E-A781-5A1130A75963}", 0x22, "History"},
    {11, "MyLinks", "{BFB9D5E0-C6A9-404C-B2B2-AE6DB6AF4968}", 0x06, ""},
    {12, "MyLocalAppData", "{F1B32785-6FBA-4FCF-9D55-7B8E7F157091}", 0x1C, "Local AppData"},
    {13, "MyRoamingAppData", "{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}", 0x1A, "AppData"},
    {14, "MyMusic", "{4BD8D571-6D19-48D3-BE97-422220080E43}", 0x0D, "My Music"},
    {15, "MyPictures", "{33E28130-4E1E-4676-835A-98395C3BC3BB}", 0x27, "My Pictures"},
    {16, "MyProfile", "{5E6C858F-0E22-4760-9AFE-EA3317B67173}", 0x28, ""},
    {17, "CommomProgramData", "{62AB5D82-FDC1-4DC3-A9DD-070D1D495D97}", 0x23, ""},
    {18, "MyPrograms", "{A77F5D77-2E2B-44C3-A6A2-ABA601054A51}", 0x02, ""},
    {19, "MySendTo", "{8983036C-27C0-404B-8F08-102D10DCFD74}", 0x09, ""},
    {20, "MyStartMenu", "{625B53C3-AB48-4EC1-BA1F-A1EF4146FC19}", 0x0B, "Start Menu"},
    {21, "MyStartup", "{B97D20BB-F46A-4C97-BA10-5E3608430854}", 0x07, "Startup"},
    {22, "ProgramFiles", "{905E63B6-C1BF-494E-B29C-65B732D3D21A}", 0x26, ""},
    {23, "ProgramFilesCommom", "{F7F1ED05-9F6D-47A2-AAAE-29D317C6F066}", 0x2B, ""},
    {24, "MyDocuments", "", -1, "Personal"},
    {25, "MyTemp", "", -1, ""},
    {26, "Win", "", -1, ""},
    {27, "Sys", "", -1, ""},
}};

std::optional<std::string> NonEmpty(std::optional<std::string> folder)
{
    if (folder && folder->empty())
        return std::nullopt;
    return folder;
}

// Steps 1-4 of the lookup: the dedicated queries for documents and the temporary folder,
// else the known-folder lookup, the legacy lookup and the Shell Folders value in turn.
std::optional<std::string> FindFolder(const TKnownFolderEntry& entry)
{
    if (entry.Index == DocumentsIndex) {
        // Without a home to put documents in, the temporary folder is still writable.
        if (auto documents = NonEmpty(UnitPlatformFolders::DocumentsFolder()))
            return documents;
        return UnitPlatformFolders::TempFolder();
    }
    if (entry.Index == TempIndex)
        return UnitPlatformFolders::TempFolder();
    if (!entry.FolderId.empty())
        if (auto folder = NonEmpty(UnitPlatformFolders::KnownFolderById(entry.FolderId)))
            return folder;
    if (entry.Csidl >= 0)
        if (auto folder = NonEmpty(UnitPlatformFolders::KnownFolderByCsidl(entry.Csidl)))
            return folder;
    if (!entry.ShellFolderValue.empty()) {
        std::string value = UnitRegistryUtils::RegistryString(ShellFoldersKey, entry.ShellFolderValue, "");
        if (!value.empty())
            return value;
    }
    return std::nullopt;
}

}  // namespace

const std::array<TKnownFolderEntry, KnownFolderCount>& KnownFolders()
{
    return Table;
}

std::string IncludeTrailingBackslash(std::string_view path)
{
    std::string result(path);
    if (result.empty() || result.back() != '\\')
        result += '\\';
    return result;
}

std::string KnownFolder(int index, std::string_view subpath, bool create)
{
    std::string folder(FallbackFolder);
    if (index >= 0 && index < KnownFolderCount) {
        if (auto found = FindFolder(Table[static_cast<size_t>(index)])) {
            // A folder may itself be written with macros (a Shell Folders value often is).
            const std::string expanded = UnitLocalUtils::Expand(*found);
            folder = expanded.empty() ? std::string(FallbackFolder) : IncludeTrailingBackslash(expanded);
        }
    }
    if (!subpath.empty())
        folder = IncludeTrailingBackslash(folder + std::string(subpath));
    if (create)
        UnitPlatformFiles::ForceDirectories(folder);
    return folder;
}

}  // namespace UnitFolderUtils
