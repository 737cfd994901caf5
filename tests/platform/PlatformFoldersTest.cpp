#include "platform/UnitPlatformFiles.h"
#include "platform/UnitPlatformFolders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using UnitPlatformFiles::ToSystemPath;

// Every variable the folder lookups read, cleared for each test and restored afterwards, so
// the tests neither see nor touch the real user's folders.
class PlatformFolders : public ::testing::Test {
protected:
    static constexpr const char* Watched[] = {
        "HOME", "USERPROFILE", "LOCALAPPDATA", "APPDATA", "PROGRAMFILES", "ProgramFiles",
        "COMMONPROGRAMFILES", "CommonProgramFiles", "PROGRAMDATA", "ProgramData", "ALLUSERSPROFILE",
        "TEMP", "TMP", "TMPDIR", "SYSTEMROOT", "SystemRoot", "WINDIR", "windir", "XDG_CONFIG_HOME",
        "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "XDG_MUSIC_DIR",
        "XDG_PICTURES_DIR", "XDG_DOCUMENTS_DIR", "XDG_DESKTOP_DIR", "XDG_DOWNLOAD_DIR"};

    void SetUp() override
    {
        for (const char* name : Watched) {
            if (const char* value = std::getenv(name))
                FSaved[name] = value;
            ::unsetenv(name);
        }
        FRoot = fs::temp_directory_path() / ("platform-folders-" + std::to_string(::getpid()));
        fs::remove_all(FRoot);
        fs::create_directories(FRoot / "home");
        ::setenv("HOME", (FRoot / "home").c_str(), 1);
    }

    void TearDown() override
    {
        for (const char* name : Watched)
            ::unsetenv(name);
        for (const auto& [name, value] : FSaved)
            ::setenv(name.c_str(), value.c_str(), 1);
        fs::remove_all(FRoot);
    }

    std::string Sys(const fs::path& p) const { return ToSystemPath(p.string()); }
    std::string Home() const { return Sys(FRoot / "home"); }

    fs::path FRoot;
    std::map<std::string, std::string> FSaved;
};

constexpr const char* LocalAppDataId = "{F1B32785-6FBA-4FCF-9D55-7B8E7F157091}";
constexpr const char* RoamingAppDataId = "{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}";
constexpr const char* ProgramFilesId = "{905E63B6-C1BF-494E-B29C-65B732D3D21A}";
constexpr const char* MusicId = "{4BD8D571-6D19-48D3-BE97-422220080E43}";
constexpr const char* PicturesId = "{33E28130-4E1E-4676-835A-98395C3BC3BB}";

}  // namespace

TEST_F(PlatformFolders, WindowsVariableWinsOverXdgWhichWinsOverDefault)
{
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(LocalAppDataId), Home() + "\\.local\\share");
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(RoamingAppDataId), Home() + "\\.config");

    ::setenv("XDG_DATA_HOME", "/xdg/data", 1);
    ::setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(LocalAppDataId), "\\xdg\\data");
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(RoamingAppDataId), "\\xdg\\config");

    ::setenv("LOCALAPPDATA", "/win/local", 1);
    ::setenv("APPDATA", "/win/roaming", 1);
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(LocalAppDataId), "\\win\\local");
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(RoamingAppDataId), "\\win\\roaming");
}

TEST_F(PlatformFolders, RelativeOrEmptyXdgValuesAreIgnored)
{
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    ::setenv("LOCALAPPDATA", "", 1);
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(LocalAppDataId), Home() + "\\.local\\share");
}

TEST_F(PlatformFolders, ProgramFilesFromEitherSpellingElseOpt)
{
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(ProgramFilesId), "\\opt");
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById("{905e63b6-c1bf-494e-b29c-65b732d3d21a}"), "\\opt");
    ::setenv("ProgramFiles", "/pf/mixed", 1);
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(ProgramFilesId), "\\pf\\mixed");
    ::setenv("PROGRAMFILES", "/pf/upper", 1);
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(ProgramFilesId), "\\pf\\upper");
    // The common files sit inside program files unless named on their own.
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById("F7F1ED05-9F6D-47A2-AAAE-29D317C6F066"),
              "\\pf\\upper\\Common Files");
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById("{00000000-0000-0000-0000-000000000000}"), std::nullopt);
}

TEST_F(PlatformFolders, TemporaryFolderOrder)
{
    EXPECT_EQ(UnitPlatformFolders::TempFolder(), "\\tmp");
    ::setenv("TMPDIR", "/t/dir", 1);
    EXPECT_EQ(UnitPlatformFolders::TempFolder(), "\\t\\dir");
    ::setenv("TMP", "/t/tmp", 1);
    EXPECT_EQ(UnitPlatformFolders::TempFolder(), "\\t\\tmp");
    ::setenv("TEMP", "/t/temp", 1);
    EXPECT_EQ(UnitPlatformFolders::TempFolder(), "\\t\\temp");
}

TEST_F(PlatformFolders, UserDirectoriesFromUserDirsFileEnvironmentAndDefault)
{
    fs::create_directories(FRoot / "home/.config");
    std::ofstream(FRoot / "home/.config/user-dirs.dirs")
        << "# written by xdg-user-dirs-update\n"
        << "XDG_MUSIC_DIR=\"$HOME/Muziek\"\n"
        << "XDG_PICTURES_DIR=\"/srv/my pictures\"\n"
        << "XDG_PICTURES_DIR_EXTRA=\"/wrong\"\n";
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(MusicId), Home() + "\\Muziek");
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(PicturesId), "\\srv\\my pictures");
    EXPECT_EQ(UnitPlatformFolders::DocumentsFolder(), Home() + "\\Documents");

    ::setenv("XDG_MUSIC_DIR", "/env/music", 1);
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(MusicId), "\\env\\music");

    // A moved configuration home moves the file that is read.
    ::setenv("XDG_CONFIG_HOME", (FRoot / "elsewhere").c_str(), 1);
    EXPECT_EQ(UnitPlatformFolders::KnownFolderById(PicturesId), Home() + "\\Pictures");
}

TEST_F(PlatformFolders, LegacyNumbersReachTheSameFolders)
{
    ::setenv("LOCALAPPDATA", "/win/local", 1);
    EXPECT_EQ(UnitPlatformFolders::KnownFolderByCsidl(0x1C), "\\win\\local");
    EXPECT_EQ(UnitPlatformFolders::KnownFolderByCsidl(0x05), Home() + "\\Documents");
    EXPECT_EQ(UnitPlatformFolders::KnownFolderByCsidl(0x7F), std::nullopt);
}

TEST_F(PlatformFolders, WindowsAndSystemFolders)
{
    EXPECT_EQ(UnitPlatformFolders::WindowsFolder(), "\\usr");
    const std::string sys = UnitPlatformFolders::SystemFolder();
    EXPECT_EQ(sys.rfind("\\usr\\lib", 0), 0u) << sys;
    EXPECT_TRUE(UnitPlatformFiles::DirectoryExists(sys));

    ::setenv("windir", "/win", 1);
    EXPECT_EQ(UnitPlatformFolders::WindowsFolder(), "\\win");
    EXPECT_EQ(UnitPlatformFolders::SystemFolder(), "\\win\\System32");
}

TEST(PlatformProcess, ExecutablePathIsThisProgramInSystemForm)
{
    const std::string exe = UnitPlatformFolders::ExecutablePath();
    EXPECT_EQ(exe, ToSystemPath(fs::canonical("/proc/self/exe").string()));
    EXPECT_EQ(exe.find('/'), std::string::npos);
    EXPECT_TRUE(UnitPlatformFiles::FileExists(exe));
}

TEST(PlatformGuid, VersionFourRandomAndDistinct)
{
    std::set<std::array<uint8_t, 16>> seen;
    for (int i = 0; i < 200; ++i) {
        const std::array<uint8_t, 16> guid = UnitPlatformFiles::NewGuid();
        EXPECT_EQ(guid[6] >> 4, 4);       // version 4
        EXPECT_EQ(guid[8] & 0xC0, 0x80);  // RFC 4122 variant
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 200u);
}
