// The dispatch: numbers, markers, recognition, the host table, convert by name, the ASN.1 and
// plugin seams with the conversion status.
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>

using namespace std::string_literals;
using namespace UnitEncoding;

namespace {

TBytes Bytes(std::string_view text)
{
    return TBytes(text.begin(), text.end());
}

TBytes RandomBytes(std::mt19937& rng, size_t size)
{
    TBytes bytes(size);
    for (auto& b : bytes)
        b = uint8_t(rng());
    return bytes;
}

const TEncodingTable& Host()
{
    return TEncodingTable::Host();
}

const TEncodingTable& Codecs()
{
    return TEncodingTable::Codecs();
}

// Leaves the process-wide status as the other tests expect it.
class EncodingDispatch : public ::testing::Test {
protected:
    void TearDown() override
    {
        SetConversionStatus("");
        SetAsn1ErrorWord("");
    }
};

}  // namespace

TEST_F(EncodingDispatch, NumberZeroEncodesAsSix)
{
    const TBytes bytes = Bytes("a\tb\"#");
    EXPECT_EQ(EncodeBytes(bytes, 0), EncodeBytes(bytes, 6));
    EXPECT_EQ(EncodeBytes(bytes, 0).substr(0, 9), "hexbin2:/");
}

// Each name stands for its number: the marked forms begin with their markers (the compressed
// ones with the inner form's marker after their own), the unmarked ones give their known texts.
TEST_F(EncodingDispatch, NamedNumbersGiveTheirForms)
{
    using enum TEncodingNumber;
    const TBytes bytes = Bytes("AB<\n");
    const std::pair<TEncodingNumber, std::string_view> marked[] = {
        {Automatic, "hexbin2:/"}, {Tes64, "tes64:"}, {Hexbin, "hexbin:/"}, {ZipChunked, "zip:/hexbin:/"},
        {ZhbChunked, "zhb:/hexbin2:/"}, {Hexbin2, "hexbin2:/"}, {Mime64, "mime64:/"}, {Zm, "zm:/mime64:/"},
        {Z113hb, "z113hb:/hexbin2:/"}, {Asn1Marked, "asn1:/"}, {Zh, "zh:/hexbin:/"}};
    for (const auto& [name, marker] : marked)
        EXPECT_TRUE(EncodeBytes(bytes, name).starts_with(marker)) << Number(name) << ": " << EncodeBytes(bytes, name);
    EXPECT_EQ(EncodeBytes(bytes, Hexbin), "hexbin:/41423C0A");
    EXPECT_EQ(EncodeBytes(bytes, Hex), "41423C0A");
    EXPECT_EQ(EncodeBytes(bytes, HexLenient), "41423C0A");
    EXPECT_EQ(DecodeText("41 42 3c 0a", HexLenient), bytes);
    EXPECT_EQ(EncodeBytes(bytes, Base64), "QUI8Cg==");
    EXPECT_EQ(EncodeBytes(bytes, Xml), "AB&#x3C;&#x0A;");
    EXPECT_EQ(EncodeBytes(bytes, Octal), "AB<\\012");
    EXPECT_EQ(EncodeBytes(bytes, Json), "AB<\\n");
    EXPECT_EQ(EncodeText("\xE9", Html), "&eacute;");
    EXPECT_EQ(DecodeText(EncodeBytes(bytes, DeflatedBase64), Base64).value_or(TBytes{}).at(0), 0x78);  // a zlib stream
    EXPECT_EQ(DecodeText(EncodeBytes(bytes, DeflatedHex), Hex).value_or(TBytes{}).at(0), 0x78);
    EXPECT_EQ(EncodeBytes(bytes, Asn1Xml), "");  // no ASN.1 in the codecs' own table
    EXPECT_EQ(DecodeText("<a/>", Plugin), std::nullopt);
}

TEST_F(EncodingDispatch, UnknownNumbers)
{
    for (int number : {-1, 22, 1000, -2147483647 - 1}) {
        EXPECT_EQ(EncodeText("abc", number), "");
        EXPECT_EQ(DecodeText("hexbin:/00", number), std::nullopt);
        EXPECT_EQ(DecodeInto("x", number, TBytes{1}), std::nullopt);
    }
    EXPECT_EQ(DecodeText("abc", 16), std::nullopt);
    EXPECT_EQ(DecodeText("abc", 21), std::nullopt);
}

TEST_F(EncodingDispatch, EveryTwoWayNumberGivesTheBytesBack)
{
    std::mt19937 rng(1234);
    for (int number : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 15, 17, 18}) {
        for (size_t size : {size_t(1), size_t(2), size_t(3), size_t(57), size_t(58), size_t(1000)}) {
            SCOPED_TRACE(std::to_string(number) + "/" + std::to_string(size));
            const TBytes bytes = RandomBytes(rng, size);
            EXPECT_EQ(DecodeText(EncodeBytes(bytes, number), number), bytes);
        }
    }
    // HTML drops CR and JSON reads escaped backslashes loosely: round trips hold without them.
    std::string plain;
    for (int c = 1; c < 256; ++c)
        if (c != '\r' && c != '\\' && c != '&')
            plain.push_back(char(c));
    EXPECT_EQ(DecodeTextToText(EncodeText(plain, 19), 19), plain);
    EXPECT_EQ(DecodeTextToText(EncodeText(plain, 20), 20), plain);
}

TEST_F(EncodingDispatch, MarkersAreExactAndNeedSomethingAfter)
{
    EXPECT_EQ(DecodeText("HEXBIN:/00AB", 2), std::nullopt);
    EXPECT_EQ(DecodeText("hexbin:/", 2), std::nullopt);
    EXPECT_EQ(DecodeText(" hexbin:/00", 2), std::nullopt);
    EXPECT_EQ(DecodeText("00AB", 2), std::nullopt);      // no fall-back to another form
    EXPECT_EQ(DecodeText("YWJj", 8), std::nullopt);
    EXPECT_EQ(DecodeText("hexbin:/00", 6), std::nullopt);  // hexbin2 needs its own marker
    // No result leaves the caller's target as it was; a result replaces its content.
    EXPECT_EQ(DecodeInto("HEXBIN:/00", 2, TBytes{9, 9}), (TBytes{9, 9}));
    EXPECT_EQ(DecodeInto("hexbin:/01", 2, TBytes{9, 9}), TBytes{1});
    EXPECT_EQ(DecodeInto("hexbin:/", 2, TBytes{}), TBytes{});
}

TEST_F(EncodingDispatch, RecognitionFindsEveryMarkedForm)
{
    const TBytes bytes = Bytes("recognise me\r\n\x00\xFF"s);
    for (int number : {1, 2, 6, 8, 10, 17, 4, 11, 5}) {
        SCOPED_TRACE(number);
        EXPECT_EQ(DecodeText(EncodeBytes(bytes, number), 0), bytes);
    }
    for (int number : {3, 7, 9, 12, 15, 18, 19, 20})
        EXPECT_EQ(DecodeText(EncodeBytes(bytes, number), 0), std::nullopt) << number;
}

TEST_F(EncodingDispatch, RecognitionOfCompressedMime)
{
    const std::string payload = "inflate me inflate me inflate me";
    const TBytes packed = UnitCodecs::Deflate(UnitCodecs::AsBytes(payload));
    const std::string base64 = UnitCodecs::Base64Encode(packed, false);
    EXPECT_EQ(DecodeTextToText("zm:/mime64:/" + base64, 0), payload);
    EXPECT_EQ(DecodeText(base64, 0), std::nullopt);
}

TEST_F(EncodingDispatch, RecognitionMovesOnPastEmptyResults)
{
    // A marked text that decodes to nothing is not recognised, but leaves an empty stream.
    EXPECT_EQ(DecodeText("hexbin:/A", 0), TBytes{});
    EXPECT_EQ(DecodeText("zm:/not-mime", 0), TBytes{});
    EXPECT_EQ(DecodeText("tes64:0/", 0), std::nullopt);
    EXPECT_EQ(DecodeText("plain text", 0), std::nullopt);
    EXPECT_EQ(DecodeText("", 0), std::nullopt);
}

TEST_F(EncodingDispatch, DeepNestingEndsWithoutResult)
{
    std::string nested;
    for (int i = 0; i < 100000; ++i)
        nested += "zip:/";
    nested += "hexbin:/00";
    EXPECT_EQ(DecodeText(nested, 0), std::nullopt);
    EXPECT_EQ(DecodeText(nested, 4), std::nullopt);
}

TEST_F(EncodingDispatch, HostTableKnowsItsNumbersOnly)
{
    const TBytes bytes = Bytes("host side");
    for (int number : {4, 5, 9, 10, 11, 13, 14, 16, 17, 18}) {
        EXPECT_EQ(EncodeBytes(bytes, number, Host()), "") << number;
        EXPECT_EQ(DecodeText(EncodeBytes(bytes, number), number, Host()), std::nullopt) << number;
    }
    for (int number : {0, 1, 2, 3, 6, 7, 8, 12, 15, 19, 20, 21})
        EXPECT_EQ(EncodeBytes(bytes, number, Host()), EncodeBytes(bytes, number, Codecs())) << number;
    // Its recognition sees the four simple markers only.
    EXPECT_EQ(DecodeText(EncodeBytes(bytes, 8), 0, Host()), bytes);
    EXPECT_EQ(DecodeText(EncodeBytes(bytes, 1), 0, Host()), bytes);
    EXPECT_EQ(DecodeText(EncodeBytes(bytes, 10), 0, Host()), std::nullopt);
    EXPECT_EQ(DecodeText(EncodeBytes(bytes, 10), 0, Codecs()), bytes);
    // "zm" selects number 0 there.
    EXPECT_EQ(ConvertByName("host side", "zm", true, Host()), EncodeBytes(bytes, 6));
    EXPECT_EQ(ConvertByName("mime64:/aG9zdA==", "ZM", false, Host()), "host");
    EXPECT_EQ(ConvertByName("host side", "zm", true, Codecs()).substr(0, 12), "zm:/mime64:/");

    EXPECT_EQ(Transcode("zh:/hexbin:/00", 17, 12, Host()), "");
    // The operations without a table use the codecs table, whatever a program does.
    EXPECT_EQ(EncodeText("x", 10), EncodeBytes(Bytes("x"), 10, Codecs()));
    EXPECT_NE(EncodeText("x", 10), "");
}

TEST_F(EncodingDispatch, Transcode)
{
    EXPECT_EQ(Transcode("not base64 at all!", 7, 7), "not base64 at all!");
    EXPECT_EQ(Transcode("YWJj", 7, 12), "616263");
    EXPECT_EQ(Transcode("616263", 12, 7), "YWJj");
    EXPECT_EQ(Transcode("hexbin:/616263", 0, 8), "mime64:/YWJj");
    EXPECT_EQ(Transcode("no marker", 2, 12), "");
    EXPECT_THROW(Transcode("zh:/hexbin:/0011", 17, 12), UnitCodecs::EZlibError);
}

TEST_F(EncodingDispatch, ConvertByName)
{
    EXPECT_EQ(ConvertByName("abc", "MIME64", true), "mime64:/YWJj");
    EXPECT_EQ(ConvertByName("abc", "mime64", true), "mime64:/YWJj");
    EXPECT_EQ(ConvertByName("a<b", "Xml", true), "a&#x3C;b");
    EXPECT_EQ(ConvertByName("a&#x3C;b", "xml", false), "a<b");
    EXPECT_EQ(ConvertByName("\x01\x02", "hexbin", true), "hexbin:/0102");
    EXPECT_EQ(ConvertByName("A", "tes64", true), "tes64:2/@@00");
    EXPECT_EQ(ConvertByName("\xE9", "HTML", true), "&eacute;");
    EXPECT_EQ(ConvertByName("\"", "json", true), "\\\"");
    EXPECT_EQ(ConvertByName(ConvertByName("zipped", "zm", true), "zm", false), "zipped");
    for (std::string_view name : {"", "base64", "xmlx", "hex"}) {
        EXPECT_EQ(ConvertByName("as is", name, true), "as is");
        EXPECT_EQ(ConvertByName("as is", name, false), "as is");
    }
    // Decoding swallows codec errors and gives the empty text.
    EXPECT_EQ(ConvertByName("zm:/mime64:/AAAAAAAA", "zm", false), "");
    EXPECT_EQ(ConvertByName("tes64:x/00", "tes64", false), "");
    EXPECT_EQ(ConvertByName("no marker", "hexbin", false), "");
    EXPECT_THROW(DecodeText("tes64:x/00", 1), std::runtime_error);
}

TEST_F(EncodingDispatch, Asn1NumbersFailUntilRegistered)
{
    SetConversionStatus("untouched");
    EXPECT_EQ(EncodeText("", 13), "asn1:/");
    EXPECT_EQ(EncodeText("", 14), "");
    EXPECT_EQ(ConversionStatus(), "untouched");  // nothing to convert, status left alone
    EXPECT_EQ(EncodeText("\x30\x00", 13), "asn1:/");
    EXPECT_EQ(ConversionStatus(), "Asn1NotAvailable");
    EXPECT_EQ(DecodeText("<SEQUENCE/>", 14), std::nullopt);
    EXPECT_EQ(DecodeText("asn1:/<SEQUENCE/>", 0), std::nullopt);
}

TEST_F(EncodingDispatch, Asn1SeamAndConversionStatus)
{
    std::vector<std::string> wordsSeen;
    TUpperNumbers upper;
    upper.DerToXml = [&](std::span<const uint8_t> der) -> std::optional<std::string> {
        wordsSeen.push_back(Asn1ErrorWord());
        if (der.size() < 2) {
            SetAsn1ErrorWord("DerTooShort");
            return std::nullopt;
        }
        return "<SEQUENCE/>";
    };
    upper.XmlToDer = [&](std::string_view xml) -> std::optional<TBytes> {
        wordsSeen.push_back(Asn1ErrorWord());
        if (xml != "<SEQUENCE/>") {
            SetAsn1ErrorWord("FindCertificateFailed");
            return std::nullopt;
        }
        return TBytes{0x30, 0x00};
    };
    const TEncodingTable table(upper);

    EXPECT_EQ(DecodeText("<BAD/>", 14, table), std::nullopt);
    EXPECT_EQ(ConversionStatus(), "FindCertificateFailed");
    EXPECT_EQ(DecodeInto("<BAD/>", 14, TBytes{}, table), TBytes{});
    // The next conversion starts with a cleared error word and reports OK.
    EXPECT_EQ(DecodeText("<SEQUENCE/>", 14, table), (TBytes{0x30, 0x00}));
    EXPECT_EQ(ConversionStatus(), "OK");
    EXPECT_EQ(wordsSeen.back(), "");
    EXPECT_EQ(DecodeText("asn1:/<SEQUENCE/>", 13, table), (TBytes{0x30, 0x00}));
    EXPECT_EQ(DecodeText("asn1:/<SEQUENCE/>", 0, table), (TBytes{0x30, 0x00}));
    EXPECT_EQ(DecodeText("<SEQUENCE/>", 13, table), std::nullopt);  // 13 needs its marker
    // The table given is the one used: the codecs table knows no ASN.1.
    EXPECT_EQ(DecodeText("<SEQUENCE/>", 14), std::nullopt);
    EXPECT_EQ(ConversionStatus(), "Asn1NotAvailable");

    EXPECT_EQ(EncodeBytes(TBytes{0x30, 0x00}, 13, table), "asn1:/<SEQUENCE/>");
    EXPECT_EQ(EncodeBytes(TBytes{0x30, 0x00}, 14, table), "<SEQUENCE/>");
    EXPECT_EQ(ConversionStatus(), "OK");
    EXPECT_EQ(EncodeBytes(TBytes{0x30}, 14, table), "");
    EXPECT_EQ(ConversionStatus(), "DerTooShort");
    // Other numbers leave the status alone.
    EXPECT_EQ(DecodeText("hexbin:/00", 0, table), TBytes{0});
    EXPECT_EQ(ConversionStatus(), "DerTooShort");
    EXPECT_EQ(Transcode("<SEQUENCE/>", 14, 12, table), "3000");
}

TEST_F(EncodingDispatch, PluginSeam)
{
    EXPECT_EQ(EncodeText("<Request/>", 16), "");
    std::string seen;
    TUpperNumbers upper;
    upper.Plugin = [&](std::string_view request) -> std::optional<std::string> {
        seen = request;
        if (request.empty())
            return std::nullopt;
        return "<Response Status=\"OK\"/>";
    };
    const TEncodingTable table(upper);
    EXPECT_EQ(EncodeBytes(Bytes("<Request/>\0tail"s), 16, table), "<Response Status=\"OK\"/>");
    EXPECT_EQ(seen, "<Request/>");
    EXPECT_EQ(EncodeBytes(Bytes("\0"s), 16, table), "");
    EXPECT_EQ(DecodeText("<Response/>", 16, table), std::nullopt);
}
