#include "platform/UnitPlatformFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class PlatformFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        FRoot = fs::temp_directory_path() / ("platform-files-" + std::to_string(::getpid()));
        fs::remove_all(FRoot);
        fs::create_directories(FRoot);
    }
    void TearDown() override { fs::remove_all(FRoot); }

    // The same location as the system writes it: "\" between the steps.
    std::string Sys(const std::string& name) const
    {
        return UnitPlatformFiles::ToSystemPath((FRoot / name).string());
    }
    void Write(const std::string& name, const std::string& text) const { std::ofstream(FRoot / name) << text; }
    std::string Read(const std::string& name) const
    {
        std::ifstream in(FRoot / name);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path FRoot;
};

}  // namespace

TEST(PlatformPaths, SeparatorsConvertBothWays)
{
    EXPECT_EQ(UnitPlatformFiles::ToPosixPath("\\opt\\Tessaly\\x.dll"), "/opt/Tessaly/x.dll");
    EXPECT_EQ(UnitPlatformFiles::ToPosixPath("\\"), "/");
    EXPECT_EQ(UnitPlatformFiles::ToPosixPath("rel\\a b\\c"), "rel/a b/c");
    EXPECT_EQ(UnitPlatformFiles::ToSystemPath("/home/ana/.config"), "\\home\\ana\\.config");
    EXPECT_EQ(UnitPlatformFiles::ToPosixPath(UnitPlatformFiles::ToSystemPath("/a/b/")), "/a/b/");
}

TEST_F(PlatformFiles, ExistsTellsFilesFromDirectories)
{
    Write("a.txt", "x");
    fs::create_directories(FRoot / "dir");
    EXPECT_TRUE(UnitPlatformFiles::FileExists(Sys("a.txt")));
    EXPECT_FALSE(UnitPlatformFiles::FileExists(Sys("dir")));
    EXPECT_TRUE(UnitPlatformFiles::DirectoryExists(Sys("dir")));
    EXPECT_FALSE(UnitPlatformFiles::FileExists(Sys("missing")));
    EXPECT_FALSE(UnitPlatformFiles::FileExists(""));
}

TEST_F(PlatformFiles, DeleteRemovesFilesOnly)
{
    Write("a.txt", "x");
    fs::create_directories(FRoot / "dir");
    EXPECT_TRUE(UnitPlatformFiles::DeleteFile(Sys("a.txt")));
    EXPECT_FALSE(fs::exists(FRoot / "a.txt"));
    EXPECT_FALSE(UnitPlatformFiles::DeleteFile(Sys("a.txt")));
    EXPECT_FALSE(UnitPlatformFiles::DeleteFile(Sys("dir")));
    EXPECT_TRUE(fs::is_directory(FRoot / "dir"));
}

TEST_F(PlatformFiles, MoveNeverReplacesAnExistingTarget)
{
    Write("from.txt", "new");
    Write("to.txt", "old");
    EXPECT_FALSE(UnitPlatformFiles::MoveFile(Sys("from.txt"), Sys("to.txt")));
    EXPECT_EQ(Read("to.txt"), "old");
    EXPECT_EQ(Read("from.txt"), "new");

    fs::remove(FRoot / "to.txt");
    EXPECT_TRUE(UnitPlatformFiles::MoveFile(Sys("from.txt"), Sys("to.txt")));
    EXPECT_EQ(Read("to.txt"), "new");
    EXPECT_FALSE(fs::exists(FRoot / "from.txt"));
    EXPECT_FALSE(UnitPlatformFiles::MoveFile(Sys("from.txt"), Sys("again.txt")));
}

TEST_F(PlatformFiles, ForceDirectoriesCreatesEveryLevel)
{
    EXPECT_TRUE(UnitPlatformFiles::ForceDirectories(Sys("a\\b\\c\\")));
    EXPECT_TRUE(fs::is_directory(FRoot / "a/b/c"));
    EXPECT_TRUE(UnitPlatformFiles::ForceDirectories(Sys("a\\b\\c")));
    Write("file", "x");
    EXPECT_FALSE(UnitPlatformFiles::ForceDirectories(Sys("file\\sub")));
}
