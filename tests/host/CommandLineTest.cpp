#include "host/UnitCommandLine.h"

#include <gtest/gtest.h>

using UnitCommandLine::LoadCommandLine;
using UnitCommandLine::ParseArgument;
using TPair = std::pair<std::string, std::string>;

TEST(CommandLine, SwitchFormsNameAndValue)
{
    EXPECT_EQ(ParseArgument("/Mode:sign"), TPair("MODE", "sign"));
    EXPECT_EQ(ParseArgument("-MODE=SIGN"), TPair("MODE", "SIGN"));
    EXPECT_EQ(ParseArgument("--//hash=sha256"), TPair("HASH", "sha256"));
    // The first of ":" and "=" separates; later ones belong to the value.
    EXPECT_EQ(ParseArgument("/File:C:\\docs\\a.pdf"), TPair("FILE", "C:\\docs\\a.pdf"));
    EXPECT_EQ(ParseArgument("/a=b:c"), TPair("A", "b:c"));
    EXPECT_EQ(ParseArgument("-x"), TPair("X", ""));
    EXPECT_EQ(ParseArgument("/home/user/ação.json"), TPair("HOME/USER/AçãO.JSON", ""));
}

TEST(CommandLine, DelimitedForms)
{
    EXPECT_EQ(ParseArgument("//'Hash'/sha256"), TPair("HASH", "sha256"));
    EXPECT_EQ(ParseArgument("//|File|/a/b:c"), TPair("FILE", "a/b:c"));
    EXPECT_EQ(ParseArgument("//xname"), TPair("NAME", ""));
    // The closing delimiter must be followed by "/".
    EXPECT_EQ(ParseArgument("//'Hash'sha"), TPair("HASH'SHA", ""));
    EXPECT_EQ(ParseArgument("//''/v"), TPair("", "v"));
}

TEST(CommandLine, EverythingElseIsATag)
{
    EXPECT_EQ(ParseArgument("chrome-extension://abc/"), TPair("Tag", "chrome-extension://abc/"));
    EXPECT_EQ(ParseArgument("file.txt"), TPair("Tag", "file.txt"));
}

TEST(CommandLine, TreeHasOneChildPerNonEmptyArgument)
{
    TXmlDoc tree;
    LoadCommandLine(tree, {"/Mode=DIGEST", "", "bare", "-", "//", "/-/", "-=x", "//'Hash'/sha256", "/attrReason=a\\b"});
    ASSERT_EQ(tree.GetNodeCount(), 8);
    const std::vector<TPair> expected = {{"MODE", "DIGEST"}, {"Tag", "bare"}, {"Tag", ""}, {"Tag", ""},
                                         {"Tag", ""},        {"Tag", "x"},    {"HASH", "sha256"},
                                         {"ATTRREASON", "a\\b"}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(tree.ChildAt(i)->GetName(), expected[i].first) << i;
        EXPECT_EQ(tree.ChildAt(i)->GetValue(), expected[i].second) << i;
    }
    // Parameters are found without regard to case.
    ASSERT_NE(tree.FindNode("mode"), nullptr);
    EXPECT_EQ(tree.FindNode("mode")->GetValue(), "DIGEST");
    EXPECT_EQ(tree.FindNode("File"), nullptr);
}

TEST(CommandLine, NamesWithBackslashesStayOneChild)
{
    TXmlDoc tree;
    LoadCommandLine(tree, {"/a\\b=1"});
    ASSERT_EQ(tree.GetNodeCount(), 1);
    EXPECT_EQ(tree.ChildAt(0)->GetName(), "A\\B");
    EXPECT_EQ(tree.ChildAt(0)->GetNodeCount(), 0);
}
