#include "core/UnitParser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

constexpr TTokenSet kNever{'#'};
constexpr TTokenSet kLetters = TTokenSet().IncludeRange('a', 'z');

}  // namespace

TEST(TTokenSet, BitsAndComplement)
{
    constexpr TTokenSet s{0, 'a', 255};
    EXPECT_TRUE(s.Contains(0));
    EXPECT_TRUE(s.Contains('a'));
    EXPECT_TRUE(s.Contains(255));
    EXPECT_FALSE(s.Contains('b'));
    EXPECT_FALSE(s.Complement().Contains('a'));
    EXPECT_TRUE(s.Complement().Contains('b'));
}

TEST(TStringParser, ReadingStopsAtEndAndAtZero)
{
    std::string text = "abc 123";
    TStringParser p;
    p.SetData(text);
    p.Mark();
    p.MoveWhile(kLetters);
    EXPECT_EQ(p.Read(), "abc");
    p.MoveUntil(kNever);
    EXPECT_FALSE(p.ValidPos());
    EXPECT_EQ(p.Read(), "abc 123");  // the string form reads up to the end
    p.MoveOffset(-1);                // an invalid position never moves
    EXPECT_FALSE(p.ValidPos());
    EXPECT_EQ(p.Position(), 7);

    std::string zero("ab\0cd", 5);
    TStringParser z;
    z.SetData(zero);
    z.Mark();
    z.MoveUntil(kNever);
    EXPECT_EQ(z.Position(), 2);
    EXPECT_EQ(z.Read(), "ab");
    z.MoveOffset(1);
    EXPECT_EQ(z.Position(), 2);
    TStringParser view;
    view.SetData(std::string_view(zero));
    view.MoveOffset(1);
    view.Mark();
    view.MoveOffset(1);
    view.MoveOffset(2);  // position 2 holds the 0 byte: no move
    EXPECT_EQ(view.Read(), "b");
}

TEST(TStringParser, WritingGrowsAndCuts)
{
    std::string out;
    TStringParser p;
    p.SetData(out);
    p.Estimate(3);
    p.Allocate();
    EXPECT_EQ(out.size(), 3u);
    p.Write("hello");
    p.Write("");
    p.Write(" world");
    EXPECT_EQ(out.size(), 11u);  // grown to exactly what is needed
    p.Finish();
    EXPECT_EQ(out, "hello world");

    std::string shortText;
    TStringParser q;
    q.SetData(shortText);
    q.Estimate(100);
    q.Allocate();
    q.Write("ab");
    q.Finish();
    EXPECT_EQ(shortText, "ab");
}

TEST(TStreamParser, ReadingAndWritingAMemoryStream)
{
    TMemoryStream stream("abc 123");
    TStreamParser p;
    p.SetData(stream);
    p.Mark();
    p.MoveWhile(kLetters);
    EXPECT_EQ(p.Read(), "abc");
    EXPECT_TRUE(p.IsToken(TTokenSet{' '}));
    p.Mark();
    p.MoveUntil(kNever);
    EXPECT_FALSE(p.ValidPos());
    EXPECT_EQ(p.Read(), "");  // unlike the string form, nothing at the end
    p.MoveOffset(-1);
    EXPECT_FALSE(p.ValidPos());

    TMemoryStream out;
    TStreamParser w;
    w.SetData(out);
    w.Estimate(2);
    w.Allocate();
    std::string big(200000, 'x');
    w.Write(big);
    w.Write("end");
    w.Finish();
    EXPECT_EQ(out.DataString(), big + "end");

    TMemoryStream over;
    TStreamParser v;
    v.SetData(over);
    v.Estimate(1000);
    v.Allocate();
    EXPECT_EQ(over.DataString().size(), 1000u);
    v.Write("abc");
    v.Finish();
    EXPECT_EQ(over.DataString(), "abc");
}

TEST(TStreamParser, LargeFileThroughTheCacheWindow)
{
    const auto path = std::filesystem::temp_directory_path() / "parser_test_large.txt";
    std::string content;
    for (int i = 0; i < 50000; ++i)
        content += "word" + std::to_string(i) + " ";
    {
        std::ofstream f(path, std::ios::binary);
        f << content;
    }
    TFileStream file(path.string(), TFileStream::TMode::ReadShared);
    TStreamParser p;
    p.SetData(file);
    size_t words = 0;
    std::string last;
    while (p.ValidPos()) {
        p.MoveWhile(TTokenSet{' '});
        p.Mark();
        p.MoveUntil(TTokenSet{' '});
        if (p.ValidPos()) {
            last = p.Read();
            ++words;
        }
    }
    EXPECT_EQ(words, 50000u);
    EXPECT_EQ(last, "word49999");
    std::filesystem::remove(path);
    EXPECT_THROW(TFileStream("/nonexistent/dir/file", TFileStream::TMode::ReadShared), EStreamError);
}
