#include "host/UnitVersion.h"

#include "library/dorvik.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

std::string Version(uint16_t a, uint16_t b, uint16_t c, uint16_t d, std::string_view format)
{
    return TGpVersionInfo(TGpVersionInfo::MakeBlock(a, b, c, d, "Test"), "040904E4").GetVersion(format);
}

std::filesystem::path Scratch(const std::string& name)
{
    auto dir = std::filesystem::temp_directory_path() / ("kelvane-version-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir / name;
}

}  // namespace

TEST(GetVersion, PartsInOrder)
{
    EXPECT_EQ(Version(2, 1, 0, 15, "%d.%d.%d.%d"), "2.1.0.15");
    EXPECT_EQ(Version(65535, 0, 7, 1, "%D-%d"), "65535-0");
    EXPECT_EQ(Version(1, 2, 3, 4, "v%d.%d.%d.%d.%d"), "v1.2.3.4.0");  // parts after the fourth are 0
    EXPECT_EQ(Version(1, 2, 3, 4, "%03d|%-3d|%5.2d"), "001|2  |   03");
}

TEST(GetVersion, TrailingZeroPartsCut)
{
    EXPECT_EQ(Version(1, 2, 0, 0, "%d.%d%T.%d.%d"), "1.2");
    EXPECT_EQ(Version(1, 2, 0, 3, "%d.%d%T.%d.%d"), "1.2.0.3");
    EXPECT_EQ(Version(1, 2, 3, 0, "%d.%d%t.%d.%d"), "1.2.3");
    EXPECT_EQ(Version(0, 0, 0, 0, "%t%d.%d"), "");
}

TEST(GetVersion, LettersAndSkippedParts)
{
    EXPECT_EQ(Version(1, 26, 0, 27, "%A%a%A%A"), "Az?");
    EXPECT_EQ(Version(3, 4, 5, 6, "%i%d"), "4");
    EXPECT_EQ(Version(1, 2, 3, 4, "ab%%x"), "ab%%x");
}

TEST(GetVersion, FormatTokensNeverReachPrintfUnchecked)
{
    // Conversion letters other than the version ones inside a token are dropped.
    EXPECT_EQ(Version(7, 0, 0, 0, "%n%s%d"), "7");
    EXPECT_EQ(Version(7, 0, 0, 0, "%999999999d"), std::string(98, ' ') + "7");
    EXPECT_EQ(Version(7, 0, 0, 0, "%.999999d").size(), 99u);
}

TEST(VersionBlock, ReadFromTheBuiltProgram)
{
    const std::string kelvane = DORVIK_BINARY_DIR "/bin/kelvane";
    TGpVersionInfo info(kelvane, "040904E4");
    ASSERT_TRUE(info.HasVersionInfo());
    // kelvane and the library carry the same project version; the build number is 0.
    EXPECT_EQ(info.GetVersion("%d.%d.%d.%d"), std::string(DorvikVersion()) + ".0");
    EXPECT_EQ(info.GetString("ProductName"), "Tessaly Kelvane");
    EXPECT_EQ(TGpVersionInfo(kelvane, "04160000").GetString("ProductName"), "");
}

TEST(VersionBlock, SectionAddedByObjcopy)
{
    const auto block = TGpVersionInfo::MakeBlock(1, 2, 0, 3, "Elsewhere");
    const auto blockFile = Scratch("block.bin");
    std::ofstream(blockFile, std::ios::binary).write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
    const auto program = Scratch("true-with-version");
    const std::string command = "objcopy --add-section .kelvane_version=" + blockFile.string() + " /bin/true " +
                                program.string();
    ASSERT_EQ(std::system(command.c_str()), 0);
    TGpVersionInfo info(program.string(), "040904E4");
    EXPECT_EQ(info.GetVersion("%d.%d%T.%d.%d"), "1.2.0.3");
    EXPECT_FALSE(TGpVersionInfo("/bin/true", "040904E4").HasVersionInfo());
    EXPECT_EQ(TGpVersionInfo("/bin/true", "040904E4").GetVersion("%d"), "");
    std::filesystem::remove_all(program.parent_path());
}

TEST(VersionBlock, DamagedFilesAndBlocks)
{
    EXPECT_FALSE(TGpVersionInfo("/nonexistent/kelvane", "040904E4").HasVersionInfo());
    // Cut copies of the program: every cut either loses the section or reads it whole.
    std::ifstream in(DORVIK_BINARY_DIR "/bin/kelvane", std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto cut = Scratch("cut");
    for (size_t size : {size_t(0), size_t(3), size_t(64), image.size() / 2, image.size() - 1}) {
        std::ofstream(cut, std::ios::binary).write(image.data(), static_cast<std::streamsize>(size));
        TGpVersionInfo info(cut.string(), "040904E4");
        EXPECT_FALSE(info.HasVersionInfo()) << size;
    }
    std::filesystem::remove_all(cut.parent_path());

    auto block = TGpVersionInfo::MakeBlock(1, 0, 0, 0, "x");
    block[8] ^= 0xFF;  // the fixed record's signature
    TGpVersionInfo damaged(block, "040904E4");
    EXPECT_TRUE(damaged.HasVersionInfo());
    EXPECT_THROW(damaged.GetVersion("%d"), EVersionError);
}

TEST(VersionBlock, SectionsOutsideTheImageAreRefused)
{
    std::ifstream in(DORVIK_BINARY_DIR "/bin/kelvane", std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::span<const uint8_t> bytes;
    ASSERT_TRUE(UnitVersion::FindElfSection(image, TGpVersionInfo::SectionName, bytes));
    EXPECT_EQ(TGpVersionInfo(std::vector<uint8_t>(bytes.begin(), bytes.end()), "040904E4").GetVersion("%d.%d"),
              TGpVersionInfo(DORVIK_BINARY_DIR "/bin/kelvane", "040904E4").GetVersion("%d.%d"));
    image.resize(image.size() / 2);
    EXPECT_FALSE(UnitVersion::FindElfSection(image, TGpVersionInfo::SectionName, bytes));
}
