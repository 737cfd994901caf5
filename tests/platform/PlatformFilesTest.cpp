#include "platform/UnitPlatformFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>
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

TEST_F(PlatformFiles, SafeSaveReplacesTheTargetWholeAndLeavesNoTemporary)
{
    const std::string target = (FRoot / "doc.bin").string();
    const std::string bytes("\x00\x01\xFFz", 4);
    ASSERT_TRUE(UnitPlatformFiles::SaveFileSafely(target, std::string_view(bytes), 0600));
    EXPECT_EQ(Read("doc.bin"), bytes);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(target + ".~tmp"));

    const std::vector<uint8_t> second = {'n', 'e', 'w'};
    ASSERT_TRUE(UnitPlatformFiles::SaveFileSafely(target, std::span<const uint8_t>(second)));
    EXPECT_EQ(Read("doc.bin"), "new");
    // The writer is handed the temporary file, not the target.
    ASSERT_TRUE(UnitPlatformFiles::SaveFileSafely(target, [&](int fd) {
        EXPECT_EQ(Read("doc.bin"), "new");
        return ::write(fd, "third", 5) == 5;
    }));
    EXPECT_EQ(Read("doc.bin"), "third");
    EXPECT_FALSE(fs::exists(target + ".~tmp"));
}

TEST_F(PlatformFiles, SafeSaveFailingWriterKeepsTheOldFile)
{
    Write("doc.txt", "old");
    const std::string target = (FRoot / "doc.txt").string();
    EXPECT_FALSE(UnitPlatformFiles::SaveFileSafely(target, [](int fd) {
        return ::write(fd, "half", 4) == 4 && false;
    }));
    EXPECT_FALSE(UnitPlatformFiles::SaveFileSafely(target, [](int) -> bool { throw std::runtime_error("disk full"); }));
    EXPECT_FALSE(UnitPlatformFiles::SaveFileSafely(target, UnitPlatformFiles::TFileWriter()));
    EXPECT_EQ(Read("doc.txt"), "old");
    EXPECT_FALSE(fs::exists(target + ".~tmp"));
    // Names the kernel would read otherwise are refused before anything is made.
    EXPECT_FALSE(UnitPlatformFiles::SaveFileSafely("", std::string_view("x")));
    EXPECT_FALSE(UnitPlatformFiles::SaveFileSafely(target + std::string(1, '\0') + ".p7s", std::string_view("x")));
    EXPECT_EQ(Read("doc.txt"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(FRoot), fs::directory_iterator()), 1);
}

TEST_F(PlatformFiles, SafeSaveNeverWritesThroughALinkAtTheTemporaryName)
{
    Write("victim.txt", "keep me");
    const std::string target = (FRoot / "doc.txt").string();
    fs::create_symlink(FRoot / "victim.txt", target + ".~tmp");
    ASSERT_TRUE(UnitPlatformFiles::SaveFileSafely(target, std::string_view("signed")));
    EXPECT_EQ(Read("victim.txt"), "keep me");
    EXPECT_EQ(Read("doc.txt"), "signed");
    EXPECT_FALSE(fs::exists(fs::symlink_status(target + ".~tmp")));

    fs::create_symlink(FRoot / "made-elsewhere", target + ".~tmp");
    ASSERT_TRUE(UnitPlatformFiles::SaveFileSafely(target, std::string_view("again")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(FRoot / "made-elsewhere")));
    EXPECT_EQ(Read("doc.txt"), "again");

    fs::create_hard_link(FRoot / "victim.txt", target + ".~tmp");
    ASSERT_TRUE(UnitPlatformFiles::SaveFileSafely(target, std::string_view("third")));
    EXPECT_EQ(Read("victim.txt"), "keep me");
    EXPECT_EQ(Read("doc.txt"), "third");
}

TEST_F(PlatformFiles, SafeSaveLeavesReadOnlyTargetsAndFoldersInPlace)
{
    Write("ro.txt", "old");
    const std::string readOnly = (FRoot / "ro.txt").string();
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_FALSE(UnitPlatformFiles::SaveFileSafely(readOnly, std::string_view("new")));
    EXPECT_EQ(Read("ro.txt"), "old");
    EXPECT_EQ(Read("ro.txt.~tmp"), "new");  // the new bytes are not lost

    fs::create_directories(FRoot / "folder.txt" / "inside");
    EXPECT_FALSE(UnitPlatformFiles::SaveFileSafely((FRoot / "folder.txt").string(), std::string_view("new")));
    EXPECT_TRUE(fs::is_directory(FRoot / "folder.txt" / "inside"));
    EXPECT_FALSE(fs::exists(FRoot / "folder.txt.~tmp"));

    // A folder where the temporary file must go: nothing is written, the target stays.
    Write("busy.txt", "old");
    fs::create_directories(FRoot / "busy.txt.~tmp");
    EXPECT_FALSE(UnitPlatformFiles::SaveFileSafely((FRoot / "busy.txt").string(), std::string_view("new")));
    EXPECT_EQ(Read("busy.txt"), "old");
}

TEST_F(PlatformFiles, SafeSaveDoesNotTakeTheTemporaryFileOfASaveInProgress)
{
    Write("doc.txt", "old");
    const std::string target = (FRoot / "doc.txt").string();
    const int other = UnitPlatformFiles::CreateTemporaryFile(target + ".~tmp");
    ASSERT_GE(other, 0);
    ASSERT_EQ(::write(other, "theirs", 6), 6);
    EXPECT_FALSE(UnitPlatformFiles::SaveFileSafely(target, std::string_view("mine")));
    EXPECT_EQ(Read("doc.txt"), "old");
    EXPECT_EQ(Read("doc.txt.~tmp"), "theirs");
    // While a save runs, its temporary file stays locked: a second save started from the
    // writer finds it busy and leaves it alone.
    ::close(other);
    ASSERT_TRUE(UnitPlatformFiles::SaveFileSafely(target, [&](int fd) {
        EXPECT_FALSE(UnitPlatformFiles::SaveFileSafely(target, std::string_view("inner")));
        return ::write(fd, "outer", 5) == 5;
    }));
    EXPECT_EQ(Read("doc.txt"), "outer");
    EXPECT_FALSE(fs::exists(target + ".~tmp"));
}
