// The library's text buffer against a plain string with a position: held as bytes, rendering
// the hex of shared bytes or growing in place, it reads, cuts and writes as the text would.
#include "library/UnitLibraryBuffers.h"

#include "encoding/UnitCodecs.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using UnitLibraryBuffers::TBinaryBuffer;
using UnitLibraryBuffers::TTextBuffer;

// The buffer's contract on a plain string.
struct TModel {
    std::string Text;
    size_t Position = 0;
    void Write(std::string_view t)
    {
        Text.resize(Position);
        Text.append(t);
        Position = Text.size();
    }
    std::string Read(size_t n)
    {
        const std::string out = Text.substr(Position, n);
        Position += out.size();
        return out;
    }
    void Seek(int64_t p) { Position = static_cast<size_t>(std::clamp<int64_t>(p, 0, static_cast<int64_t>(Text.size()))); }
};

std::string Read(TTextBuffer& buffer, size_t n)
{
    std::string out(n, '\0');
    out.resize(buffer.Read(out));
    return out;
}

std::string ReadAll(TTextBuffer& buffer, size_t slice)
{
    buffer.Seek(0);
    std::string out;
    for (std::string part; !(part = Read(buffer, slice)).empty();)
        out += part;
    return out;
}

TEST(LibraryTextBuffer, HeldAsBytesReadsAsTheText)
{
    const std::string text = "<SIGNEDDATA Content=\"00FF1A2B3C\" Binary=\"1\"/>\r\n";
    const size_t start = text.find("00FF"), end = text.find("\" Binary");
    TTextBuffer buffer;
    buffer.Write(text.substr(0, 7));
    buffer.Write(text.substr(7));
    ASSERT_TRUE(buffer.HoldAsBytes(start, end));
    const auto held = buffer.Held();
    ASSERT_TRUE(held);
    EXPECT_EQ(held->Before, text.substr(0, start));
    EXPECT_EQ(std::vector<uint8_t>(held->Bytes.begin(), held->Bytes.end()), (std::vector<uint8_t>{0x00, 0xFF, 0x1A, 0x2B, 0x3C}));
    EXPECT_EQ(held->After, text.substr(end));
    EXPECT_EQ(buffer.Size(), text.size());
    for (size_t slice : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}})
        EXPECT_EQ(ReadAll(buffer, slice), text) << slice;
    // Reads that start inside the hex, on odd characters.
    buffer.Seek(static_cast<int64_t>(start + 3));
    EXPECT_EQ(Read(buffer, 5), text.substr(start + 3, 5));
    // Held twice: refused, nothing changes.
    EXPECT_FALSE(buffer.HoldAsBytes(start, end));
    EXPECT_EQ(buffer.Text(), text);
    EXPECT_FALSE(buffer.Held());  // written out by Text()
}

TEST(LibraryTextBuffer, OnlyEvenRunsOfUpperCaseHexAreHeld)
{
    for (const std::string& digits : {std::string("00ff"), std::string("0G"), std::string("123"), std::string("12 4"),
                                     std::string("AB\0C", 4), std::string("A\xC1"), std::string("0a")}) {
        const std::string text = "x\"" + digits + "\"y";
        TTextBuffer buffer;
        buffer.Write(text);
        EXPECT_FALSE(buffer.HoldAsBytes(2, 2 + digits.size())) << digits;
        EXPECT_FALSE(buffer.Held());
        EXPECT_EQ(ReadAll(buffer, 3), text);
    }
    TTextBuffer buffer;
    buffer.Write("ABCD");
    EXPECT_FALSE(buffer.HoldAsBytes(2, 6));  // past the end
    EXPECT_FALSE(buffer.HoldAsBytes(3, 1));
    EXPECT_TRUE(buffer.HoldAsBytes(0, 0));   // an empty run
    EXPECT_EQ(ReadAll(buffer, 1), "ABCD");
}

TEST(LibraryTextBuffer, HexOfSharedBytesKeepsTheBytesItWasGiven)
{
    TBinaryBuffer binary;
    binary.Assign({0x01, 0xAB, 0xFF});
    TTextBuffer text;
    text.Write("old text that goes");
    text.AssignHexOf(binary.Share());
    EXPECT_EQ(text.Size(), 6u);
    EXPECT_EQ(text.Position(), 6u);
    EXPECT_EQ(ReadAll(text, 4), "01ABFF");
    // The byte buffer changed afterwards: copied on write, the text still reads the old bytes.
    binary.Seek(0);
    binary.Write(std::vector<uint8_t>{0x22});
    EXPECT_EQ(binary.Bytes(), (std::vector<uint8_t>{0x22, 0xAB, 0xFF}));
    EXPECT_EQ(ReadAll(text, 5), "01ABFF");
    EXPECT_EQ(text.Text(), UnitCodecs::HexEncode(std::vector<uint8_t>{0x01, 0xAB, 0xFF}));
}

// Random operations on the buffer and on the model give the same reads.
TEST(LibraryTextBuffer, BehavesAsAPlainTextUnderAnyOperations)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        TTextBuffer buffer;
        TModel model;
        TBinaryBuffer binary;
        for (int step = 0; step < 40; ++step) {
            switch (random() % 7) {
            case 0:
            case 1: {
                std::string t;
                const size_t n = random() % 40;
                for (size_t i = 0; i < n; ++i)
                    t += "0123456789ABCDEFx\"<"[random() % 19];
                buffer.Write(t);
                model.Write(t);
                break;
            }
            case 2: {
                const size_t n = random() % 17;
                ASSERT_EQ(Read(buffer, n), model.Read(n));
                break;
            }
            case 3: {
                const int64_t p = static_cast<int64_t>(random() % 90) - 5;
                buffer.Seek(p);
                model.Seek(p);
                break;
            }
            case 4: {
                // Hold some run; when it is held, the model's text is unchanged.
                const size_t a = model.Text.empty() ? 0 : random() % model.Text.size();
                const size_t b = a + random() % (model.Text.size() - a + 1);
                buffer.HoldAsBytes(a, b);
                break;
            }
            case 5: {
                std::vector<uint8_t> bytes(random() % 9);
                for (auto& x : bytes)
                    x = static_cast<uint8_t>(random());
                binary.Assign(bytes);
                buffer.AssignHexOf(binary.Share());
                model.Text = UnitCodecs::HexEncode(bytes);
                model.Position = model.Text.size();
                break;
            }
            case 6: {
                const std::string t = "assigned" + std::to_string(step);
                buffer.Assign(t);
                model.Text = t;
                model.Position = t.size();
                break;
            }
            }
            ASSERT_EQ(buffer.Size(), model.Text.size()) << round << "/" << step;
            ASSERT_EQ(buffer.Position(), model.Position) << round << "/" << step;
        }
        ASSERT_EQ(ReadAll(buffer, 1 + random() % 11), model.Text) << round;
    }
}

TEST(LibraryTextBuffer, LargeTextGrowsAndIsHeldOnce)
{
    // Appended a slice at a time, as the host appends a document's hex.
    const std::string slice = UnitCodecs::HexEncode(std::vector<uint8_t>(1 << 20, 0x5A));
    TTextBuffer buffer;
    buffer.Write("<SIGNEDDATA Content=\"");
    for (int i = 0; i < 20; ++i)
        buffer.Write(slice);
    buffer.Write("\"/>");
    const size_t start = 21, end = start + 20 * slice.size();
    ASSERT_TRUE(buffer.HoldAsBytes(start, end));
    EXPECT_EQ(buffer.Held()->Bytes.size(), size_t{20} << 20);
    EXPECT_EQ(buffer.Size(), end + 3);
    buffer.Seek(static_cast<int64_t>(end - 4));
    EXPECT_EQ(Read(buffer, 10), "5A5A\"/>");
}

}  // namespace
