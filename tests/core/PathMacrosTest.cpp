#include "core/UnitFolderUtils.h"
#include "core/UnitLocalUtils.h"
#include "core/UnitXmlDoc.h"
#include "PathMacrosTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

namespace {

namespace fs = std::filesystem;
using UnitLocalUtils::Expand;
using UnitLocalUtils::ExpandStep;

class PathMacros : public TScratchFolders {};

fs::path ThisProgram()
{
    return fs::canonical("/proc/self/exe");
}

}  // namespace

TEST_F(PathMacros, VarnelReachesProgramFilesInThreeSteps)
{
    ::setenv("PROGRAMFILES", (FRoot / "pf").c_str(), 1);
    std::string path = "($Varnel)\\x.dll";

    ASSERT_TRUE(ExpandStep(path));
    EXPECT_EQ(path, "($ProgramFiles)\\Tessaly\\Varnel\\x.dll");
    ASSERT_TRUE(ExpandStep(path));
    EXPECT_EQ(path, Sys("pf") + "\\Tessaly\\Varnel\\x.dll");
    EXPECT_FALSE(ExpandStep(path));
    EXPECT_EQ(path, Sys("pf") + "\\Tessaly\\Varnel\\x.dll");

    EXPECT_EQ(Expand("($Varnel)\\x.dll"), Sys("pf") + "\\Tessaly\\Varnel\\x.dll");
    EXPECT_EQ(Expand("($TS)\\a\\b"), Sys("pf") + "\\Tessaly\\a\\b");
    EXPECT_EQ(UnitLocalUtils::LocalFileName("($TS)\\a\\b"), (FRoot / "pf/Tessaly/a/b").string());
}

TEST_F(PathMacros, ProgramFilesDefaultsToOpt)
{
    EXPECT_EQ(Expand("($ProgramFiles)\\Pellam\\TrustedCertificates\\"), "\\opt\\Pellam\\TrustedCertificates\\");
}

TEST_F(PathMacros, MyTempIsTheTemporaryFolder)
{
    EXPECT_EQ(Expand("($MyTemp)\\a.txt"), Sys("temp") + "\\a.txt");
    ::setenv("TEMP", "/", 1);  // a root folder keeps a single separator
    EXPECT_EQ(Expand("($MyTemp)\\a.txt"), "\\a.txt");
}

TEST_F(PathMacros, RandomGivesFreshUpperCaseHexEachTime)
{
    const std::string first = Expand("($Random).tmp");
    const std::string second = Expand("($Random).tmp");
    const std::regex shape("[0-9A-F]{12}4[0-9A-F]{3}[89AB][0-9A-F]{15}\\.tmp");
    EXPECT_TRUE(std::regex_match(first, shape)) << first;
    EXPECT_TRUE(std::regex_match(second, shape)) << second;
    EXPECT_NE(first, second);
    // One GUID per step: every occurrence in the same step gets the same digits.
    const std::string twice = Expand("($Random)-($Random)");
    EXPECT_EQ(twice.substr(0, 32), twice.substr(33));
}

TEST_F(PathMacros, TextWithoutMacrosIsLeftAlone)
{
    for (std::string path : {"C:\\dir\\file.txt", "/home/ana/doc.pdf", "", "($Nope)\\x", "($MyTemp)x",
                             "($varnel)\\lower-case macros are not searched for", "($Registry", "($"}) {
        const std::string before = path;
        EXPECT_FALSE(ExpandStep(path)) << before;
        EXPECT_EQ(path, before);
        EXPECT_EQ(Expand(before), before);
    }
}

TEST_F(PathMacros, EveryOccurrenceIsReplacedIgnoringCase)
{
    ::setenv("PROGRAMFILES", "/pf", 1);
    EXPECT_EQ(Expand("($TS)\\a|($ts)\\b|($TS)\\c"), "\\pf\\Tessaly\\a|\\pf\\Tessaly\\b|\\pf\\Tessaly\\c");
    EXPECT_EQ(Expand("($MyTemp)\\a;($MYTEMP)\\b"), Sys("temp") + "\\a;" + Sys("temp") + "\\b");
}

TEST_F(PathMacros, AppIsTheProgramFolderAndAppDataIsCreated)
{
    const fs::path exe = ThisProgram();
    EXPECT_EQ(Expand("($App)\\x.ini"), UnitPlatformFiles::ToSystemPath(exe.parent_path().string()) + "\\x.ini");

    ::setenv("LOCALAPPDATA", (FRoot / "local").c_str(), 1);
    const fs::path expected = FRoot / "local" / "Tessaly" / exe.stem();
    ASSERT_FALSE(fs::exists(expected));
    EXPECT_EQ(Expand("($AppData)\\settings.xml"),
              UnitPlatformFiles::ToSystemPath(expected.string()) + "\\settings.xml");
    EXPECT_TRUE(fs::is_directory(expected));
}

TEST_F(PathMacros, WindowsAndSystemFoldersAreExpandedAgain)
{
    ::setenv("windir", "($MyTemp)\\win", 1);
    EXPECT_EQ(Expand("($Win)\\fonts"), Sys("temp") + "\\win\\fonts");
    EXPECT_EQ(Expand("($Sys)\\drivers"), Sys("temp") + "\\win\\System32\\drivers");
}

TEST_F(PathMacros, KnownFolderNamesAsWritten)
{
    ::setenv("PROGRAMDATA", (FRoot / "data").c_str(), 1);
    ::setenv("XDG_DOCUMENTS_DIR", (FRoot / "docs").c_str(), 1);
    EXPECT_EQ(Expand("($CommomProgramData)\\x"), Sys("data") + "\\x");
    EXPECT_EQ(Expand("($CommonProgramData)\\x"), "($CommonProgramData)\\x");
    EXPECT_EQ(Expand("($MyDocuments)\\a.pdf"), Sys("docs") + "\\a.pdf");
    EXPECT_EQ(Expand("($MyLocalAppData)\\x"), Sys("home") + "\\.local\\share\\x");
    EXPECT_EQ(Expand("($MyRoamingAppData)\\x"), Sys("config") + "\\x");
    EXPECT_EQ(Expand("($MyProfile)\\x"), Sys("home") + "\\x");
    EXPECT_EQ(Expand("($ProgramFilesCommom)\\x"), "\\opt\\Common Files\\x");
    // Never reached by name: ($Win)\ and ($Sys)\ are handled first.
    EXPECT_EQ(Expand("($Win)\\x"), "\\usr\\x");
}

TEST_F(PathMacros, KnownFolderSubpathCreateAndFallback)
{
    const std::string folder = UnitFolderUtils::KnownFolder(UnitFolderUtils::TempIndex, "a\\b", true);
    EXPECT_EQ(folder, Sys("temp") + "\\a\\b\\");
    EXPECT_TRUE(fs::is_directory(FRoot / "temp/a/b"));
    EXPECT_EQ(UnitFolderUtils::KnownFolder(UnitFolderUtils::TempIndex), Sys("temp") + "\\");
    EXPECT_EQ(UnitFolderUtils::KnownFolder(-1), "\\");
    EXPECT_EQ(UnitFolderUtils::KnownFolder(28), "\\");
    EXPECT_EQ(UnitFolderUtils::KnownFolder(26), "\\");
    EXPECT_EQ(UnitFolderUtils::IncludeTrailingBackslash(""), "\\");
    EXPECT_EQ(UnitFolderUtils::IncludeTrailingBackslash("a\\"), "a\\");
}

TEST_F(PathMacros, KnownFolderTableKeepsItsNames)
{
    const auto& table = UnitFolderUtils::KnownFolders();
    for (int i = 0; i < UnitFolderUtils::KnownFolderCount; ++i)
        EXPECT_EQ(table[static_cast<size_t>(i)].Index, i);
    EXPECT_EQ(table[0].Name, "CommomPrograms");
    EXPECT_EQ(table[17].Name, "CommomProgramData");
    EXPECT_EQ(table[23].Name, "ProgramFilesCommom");
    EXPECT_EQ(table[12].ShellFolderValue, "Local AppData");
    EXPECT_EQ(table[25].Name, "MyTemp");
}

TEST_F(PathMacros, SelfReferringFoldersEndWithTheEmptyPath)
{
    // Each of these would expand forever if the steps were not counted.
    ::setenv("PROGRAMFILES", "($ProgramFiles)\\again", 1);
    EXPECT_EQ(Expand("($TS)\\x"), "");
    ::setenv("LOCALAPPDATA", "($MyLocalAppData)\\($MyLocalAppData)", 1);
    EXPECT_EQ(Expand("($MyLocalAppData)\\x"), "");
    ::setenv("TEMP", "($Varnel)\\($MyTemp)", 1);
    EXPECT_EQ(Expand("($MyTemp)\\x"), "");
    ::setenv("windir", "($Win)", 1);
    EXPECT_EQ(Expand("($Win)\\x"), "");
    // A fresh expansion after a runaway one has its full budget again.
    ::setenv("TEMP", (FRoot / "temp").c_str(), 1);
    EXPECT_EQ(Expand("($MyTemp)\\x"), Sys("temp") + "\\x");
}

TEST_F(PathMacros, LongButFiniteTextsStillExpand)
{
    ::setenv("PROGRAMFILES", "/pf", 1);
    std::string path, expected;
    for (int i = 0; i < 200; ++i) {
        path += "($Varnel)\\" + std::to_string(i) + ";";
        expected += "\\pf\\Tessaly\\Varnel\\" + std::to_string(i) + ";";
    }
    EXPECT_EQ(Expand(path), expected);
}

TEST_F(PathMacros, FileHelpersExpandFirstAndConvertSeparators)
{
    WriteFile(FRoot / "temp/sub/f.txt", "x");
    EXPECT_TRUE(UnitLocalUtils::FileExists("($MyTemp)\\sub\\f.txt"));
    EXPECT_TRUE(UnitLocalUtils::DirectoryExists("($MyTemp)\\sub"));
    EXPECT_FALSE(UnitLocalUtils::FileExists("($MyTemp)\\sub"));

    EXPECT_TRUE(UnitLocalUtils::RenameFile("($MyTemp)\\sub\\f.txt", "($MyTemp)\\g.txt"));
    EXPECT_TRUE(fs::exists(FRoot / "temp/g.txt"));
    EXPECT_FALSE(fs::exists(FRoot / "temp/sub/f.txt"));

    WriteFile(FRoot / "temp/h.txt", "y");
    EXPECT_FALSE(UnitLocalUtils::RenameFile("($MyTemp)\\h.txt", "($MyTemp)\\g.txt"));

    EXPECT_TRUE(UnitLocalUtils::DeleteFile("($MyTemp)\\g.txt"));
    EXPECT_FALSE(fs::exists(FRoot / "temp/g.txt"));
    EXPECT_FALSE(UnitLocalUtils::DeleteFile("($MyTemp)\\g.txt"));

    EXPECT_TRUE(UnitLocalUtils::ForceDirectories("($MyTemp)\\n1\\n2"));
    EXPECT_TRUE(fs::is_directory(FRoot / "temp/n1/n2"));
}

TEST_F(PathMacros, TreeFilesExpandTheirNamesWithoutAnyInstallation)
{
    // Nothing is installed in this program: the tree's file helpers expand by themselves.
    WriteFile(FRoot / "temp/tree.xml", "<a x=\"1\"/>\r\n");
    TXmlDoc doc;
    const bool loaded = doc.LoadFromFile("($MyTemp)\\tree.xml");
    doc.Setp("y", "2");
    const bool saved = doc.SaveToFile("($MyTemp)\\copy.xml");
    EXPECT_EQ(TXmlDoc::ExpandFileName("($MyTemp)\\copy.xml"), (FRoot / "temp/copy.xml").string());
    EXPECT_TRUE(loaded);
    EXPECT_EQ(doc.GetName(), "a");
    EXPECT_TRUE(saved);
    std::ifstream in(FRoot / "temp/copy.xml", std::ios::binary);
    const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(written, "<a x=\"1\" y=\"2\"/>\r\n");
}

TEST_F(PathMacros, NamesWithAZeroByteReachNoFile)
{
    // The kernel stops at the zero byte: "doc.txt\0.p7s" would be the document itself.
    const fs::path doc = FRoot / "temp/doc.txt";
    WriteFile(doc, "original");
    const std::string name = std::string("($MyTemp)\\doc.txt") + '\0' + ".p7s";
    EXPECT_EQ(UnitLocalUtils::LocalFileName(name), "");
    EXPECT_FALSE(UnitLocalUtils::FileExists(name));
    EXPECT_FALSE(UnitLocalUtils::DeleteFile(name));
    EXPECT_FALSE(UnitLocalUtils::RenameFile(name, "($MyTemp)\\moved.txt"));
    EXPECT_FALSE(UnitLocalUtils::RenameFile("($MyTemp)\\doc.txt", name));
    EXPECT_FALSE(UnitLocalUtils::ForceDirectories(name));
    TXmlDoc tree("t");
    EXPECT_FALSE(tree.SaveToFile(name));
    EXPECT_FALSE(tree.LoadFromFile(name));
    std::ifstream in(doc, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "original");
    EXPECT_EQ(std::distance(fs::directory_iterator(FRoot / "temp"), fs::directory_iterator()), 1);
}
