// The individual codecs: worked examples, the edges a decoder gets wrong, zlib failures.
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

using namespace std::string_literals;
using UnitCodecs::TBytes;
using UnitEncoding::DecodeText;
using UnitEncoding::DecodeTextToText;
using UnitEncoding::EncodeBytes;
using UnitEncoding::EncodeText;

namespace {

TBytes Bytes(std::string_view text)
{
    return TBytes(text.begin(), text.end());
}

}  // namespace

TEST(HexCodec, EncodesUpperCaseWithAndWithoutMarker)
{
    const TBytes bytes = {0x00, 0xAB};
    EXPECT_EQ(EncodeBytes(bytes, 12), "00AB");
    EXPECT_EQ(EncodeBytes(bytes, 15), "00AB");
    EXPECT_EQ(EncodeBytes(bytes, 2), "hexbin:/00AB");
    EXPECT_EQ(EncodeBytes({}, 12), "");
    EXPECT_EQ(EncodeBytes({}, 2), "");
}

TEST(HexCodec, DecodesPairsAndDropsOddTail)
{
    EXPECT_EQ(DecodeText("ABC", 12), TBytes{0xAB});
    EXPECT_EQ(DecodeText("hexbin:/00AB7", 2), (TBytes{0x00, 0xAB}));
    EXPECT_EQ(DecodeText("", 12), TBytes{});
}

TEST(HexCodec, DigitTablesAgreeForEveryByte)
{
    for (int b = 0; b < 256; ++b) {
        const std::string_view pair = UnitCodecs::HexPair(static_cast<uint8_t>(b));
        ASSERT_EQ(pair.size(), 2u);
        EXPECT_EQ(UnitCodecs::HexDigitValue(pair[0]) * 16 + UnitCodecs::HexDigitValue(pair[1]), b);
        EXPECT_EQ(UnitCodecs::HexEncode(std::vector<uint8_t>{static_cast<uint8_t>(b)}), pair);
        const char c = static_cast<char>(b);
        const bool digit = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        EXPECT_EQ(UnitCodecs::HexDigitValue(c) != UnitCodecs::kNotHexDigit, digit) << b;
        EXPECT_EQ(UnitCodecs::IsHexText(std::string(1, c)), digit) << b;
    }
    EXPECT_EQ(UnitCodecs::HexDigitValue('f'), 15);
    EXPECT_TRUE(UnitCodecs::IsHexText(""));
    EXPECT_FALSE(UnitCodecs::IsHexText("00AB G"));
}

TEST(HexCodec, LenientDropsEverythingButDigits)
{
    EXPECT_EQ(DecodeText("ab:cd", 15), DecodeText("ABCD", 12));
    EXPECT_EQ(DecodeText("ab:cd", 15), (TBytes{0xAB, 0xCD}));
    // Pairs form across the dropped characters, and a lone final digit is ignored.
    EXPECT_EQ(DecodeText(" 0 1\r\n2-3 zz 4", 15), (TBytes{0x01, 0x23}));
    EXPECT_EQ(DecodeText("xyz", 15), TBytes{});
}

TEST(Hexbin2Codec, EscapesOnlyItsSet)
{
    EXPECT_EQ(EncodeText("A\t#", 6), "hexbin2:/A#09#23");
    EXPECT_EQ(EncodeText("\0\n\r\""s, 6), "hexbin2:/#00#0A#0D#22");
    EXPECT_EQ(EncodeText("", 6), "");
    EXPECT_EQ(DecodeTextToText("hexbin2:/A#09#23", 6), "A\t#");
    // Lower-case digits after "#" read as digits; a "#" too close to the end is kept as it is.
    EXPECT_EQ(DecodeTextToText("hexbin2:/#0a#4", 6), "\n#4");
}

TEST(Base64Codec, MarkedFormIsOneLine)
{
    EXPECT_EQ(EncodeText("abc", 8), "mime64:/YWJj");
    EXPECT_EQ(EncodeText("", 8), "mime64:/");
    EXPECT_EQ(DecodeText("mime64:/", 8), std::nullopt);
    const std::string long64 = EncodeBytes(TBytes(300, 0x5A), 8);
    EXPECT_EQ(long64.find('\n'), std::string::npos);
}

TEST(Base64Codec, UnmarkedFormBreaksAfter76Characters)
{
    const std::string one = EncodeBytes(TBytes(57, 0), 7);
    EXPECT_EQ(one, std::string(76, 'A'));
    const std::string two = EncodeBytes(TBytes(58, 0), 7);
    EXPECT_EQ(two, std::string(76, 'A') + "\r\nAA==");
    // 114 bytes fill exactly two lines: one break between them, none at the end.
    const std::string full = EncodeBytes(TBytes(114, 0), 7);
    EXPECT_EQ(full, std::string(76, 'A') + "\r\n" + std::string(76, 'A'));
    EXPECT_EQ(EncodeBytes({}, 7), "");
}

TEST(Base64Codec, DecodeSkipsForeignCharactersAndHonoursPadding)
{
    EXPECT_EQ(DecodeTextToText("YQ==", 7), "a");
    EXPECT_EQ(DecodeTextToText("YW\r\nJj ZG Vm\n", 7), "abcdef");
    EXPECT_EQ(DecodeTextToText("  Y W J j  \r\n", 7), "abc");
    EXPECT_EQ(DecodeTextToText("YWI=\r\n\r\n", 7), "ab");
    // Unpadded final groups still carry their bytes.
    EXPECT_EQ(DecodeTextToText("YQ", 7), "a");
    EXPECT_EQ(DecodeTextToText("YWI", 7), "ab");
    EXPECT_EQ(DecodeTextToText("Y", 7), "");
    EXPECT_EQ(DecodeTextToText("====", 7), "\0"s);  // three zero bytes less two pads
}

TEST(Tes64Codec, WorkedExampleBothWays)
{
    EXPECT_EQ(EncodeText("A", 1), "tes64:2/@@00");
    EXPECT_EQ(DecodeTextToText("tes64:2/@@00", 1), "A");
    EXPECT_EQ(EncodeText("", 1), "");
    EXPECT_EQ(EncodeText("abc", 1).substr(0, 8), "tes64:0/");
    EXPECT_EQ(EncodeText("abcd", 1).substr(0, 8), "tes64:2/");
    EXPECT_EQ(EncodeText("abcde", 1).substr(0, 8), "tes64:1/");
}

TEST(Tes64Codec, DecodeEdges)
{
    EXPECT_EQ(DecodeText("tes64:", 1), std::nullopt);
    EXPECT_EQ(DecodeText("tes64:2/", 1), std::nullopt);
    // A pad count of 3 is taken as 0; a pad larger than the data leaves nothing.
    EXPECT_EQ(DecodeText("tes64:3/@@00", 1), (TBytes{0x41, 0, 0}));
    EXPECT_EQ(DecodeText("tes64:9/@@00", 1), TBytes{});
    // A trailing partial group is ignored.
    EXPECT_EQ(DecodeTextToText("tes64:2/@@00@@", 1), "A");
    EXPECT_THROW(DecodeText("tes64:x/@@00", 1), UnitCodecs::EConvertError);
    EXPECT_THROW(DecodeText("tes64:/@@00", 1), std::runtime_error);
}

TEST(XmlCodec, WorkedExamples)
{
    EXPECT_EQ(EncodeText("a b<", 3), "a&#x20;b&#x3C;");
    EXPECT_EQ(EncodeText("\xE9\x7F\x1F&", 3), "&#xE9;&#x7F;&#x1F;&#x26;");
    EXPECT_EQ(EncodeText("!#$()*,-.;=@_azAZ09", 3), "!#$()*,-.;=@_azAZ09");
    EXPECT_EQ(DecodeTextToText("&#65;&#x41;&lt;&foo;", 3), "AA< ");
}

TEST(XmlCodec, EveryByteAtEveryPositionOfALongRun)
{
    // The scan for bytes to escape works on blocks; a byte must be found wherever it stands.
    const std::string_view pass = "!#$()*,-.;=@_";
    for (int b = 0; b < 256; ++b) {
        const char c = char(b);
        const bool passes = std::isalnum(b) && b < 128 ? true : pass.find(c) != std::string_view::npos;
        char reference[8];
        std::snprintf(reference, sizeof reference, "&#x%02X;", b);
        for (size_t at : {size_t(0), size_t(15), size_t(16), size_t(31), size_t(40), size_t(47)}) {
            std::string text(48, 'q');
            text[at] = c;
            const std::string expected =
                passes ? text : text.substr(0, at) + reference + text.substr(at + 1);
            ASSERT_EQ(EncodeText(text, 3), expected) << "byte " << b << " at " << at;
        }
    }
}

TEST(XmlCodec, DecodeEdges)
{
    EXPECT_EQ(DecodeTextToText("&GT;&Amp;&apos;&quot;", 3), ">&'\"");
    EXPECT_EQ(DecodeTextToText("a&&b", 3), "a&b");
    EXPECT_EQ(DecodeTextToText("&#321;&#X41;&#1a2;", 3), "AA\x66");  // 321 & 255 = 65; "a" counts 0
    EXPECT_EQ(DecodeTextToText("&#;x", 3), "\0x"s);
    // No closing ";": the "&" stays as written, nothing is lost.
    EXPECT_EQ(DecodeTextToText("fish & chips", 3), "fish & chips");
    EXPECT_EQ(DecodeTextToText("end&", 3), "end&");
    // Many "&" share one later ";": each one before it starts a reference up to that ";", and
    // every "&" after the last ";" stays as written.
    EXPECT_EQ(DecodeTextToText("&a&a&lt;", 3), " ");  // name "a&a&lt": unknown, one blank
    EXPECT_EQ(DecodeTextToText("&lt;&a&a", 3), "<&a&a");
    EXPECT_EQ(DecodeTextToText("&lt;x&gt;&a&a&amp;y&a", 3), "<x> y&a");
    EXPECT_EQ(DecodeTextToText("&&&lt;&", 3), "&<&");
    EXPECT_EQ(DecodeTextToText("&#65&#66;&", 3), "R&");  // "&" and "#" count 0: 650066 & 255 = 'R'
    std::string many;
    for (int i = 0; i < 100000; ++i)
        many += "&a";
    EXPECT_EQ(DecodeTextToText(many, 3), many);
    EXPECT_EQ(DecodeTextToText(many + ";", 3), " ");
    EXPECT_EQ(DecodeTextToText("&lt;" + many, 3), "<" + many);
    // Reading stops at the first NUL.
    EXPECT_EQ(DecodeTextToText("ab\0&lt;"s, 3), "ab");
}

TEST(HtmlCodec, AccentsAndLineEnds)
{
    EXPECT_EQ(EncodeText("\xE9\n", 19), "&eacute;<br/>");
    EXPECT_EQ(EncodeText("\r\n", 19), "<br/>");
    EXPECT_EQ(DecodeTextToText("<br/>", 19), "\n");
    EXPECT_EQ(EncodeText("\xC9<&>", 19), "\xC9<&>");  // upper case and markup left alone
    EXPECT_EQ(DecodeTextToText("&AGRAVE;&Agrave;<BR/>&ccedil;&yuml;", 19), "\xE0\xE0\n\xE7\xFF");
    EXPECT_EQ(DecodeTextToText("&amp;&Eacute", 19), "&amp;&Eacute");
    const std::string all = "\xE0\xE8\xEC\xF2\xF9\xE1\xE9\xED\xF3\xFA\xFD\xE2\xEA\xEE\xF4\xFB\xE3\xF5\xF1\xE4\xEB\xEF\xF6\xFC\xFF\xE7";
    EXPECT_EQ(DecodeTextToText(EncodeText(all, 19), 19), all);
}

TEST(JsonCodec, EscapesAndBack)
{
    EXPECT_EQ(EncodeText("\"\\", 20), "\\\"\\\\");
    EXPECT_EQ(EncodeText("a/b\tc\nd\re\x01", 20), "a\\/b\\tc\\nd\\re\x01");
    EXPECT_EQ(DecodeTextToText("a\\/b\\tc\\nd\\re", 20), "a/b\tc\nd\re");
    EXPECT_EQ(DecodeTextToText("\\u0041", 20), "A");
    EXPECT_EQ(DecodeTextToText("x\\u0000y", 20), "xy");
    EXPECT_EQ(DecodeTextToText("\\U00e9 \\u00E9", 20), "\xE9 \xE9");
    EXPECT_EQ(DecodeTextToText("\\u01zz!", 20), "!");   // not a number: 0, removed
    EXPECT_EQ(DecodeTextToText("tail\\u", 20), "tail");
    // Whole-text replacements: an escaped backslash before "n" reads as a line feed, and the
    // letter's case does not matter.
    EXPECT_EQ(DecodeTextToText("\\\\n", 20), "\\\n");
    EXPECT_EQ(DecodeTextToText("\\N\\T", 20), "\n\t");
}

TEST(OctalCodec, EncodeOnly)
{
    EXPECT_EQ(EncodeText("'", 21), "\\047");
    EXPECT_EQ(EncodeText("a\0\t\n\r'\\b"s, 21), "a\\000\\011\\012\\015\\047\\134b");
    EXPECT_EQ(DecodeText("\\047", 21), std::nullopt);
}

TEST(ChunkedDeflate, CutsIntoMegabytePieces)
{
    TBytes input(UnitCodecs::kChunkSize + 1);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = uint8_t((i * 7) ^ (i >> 9));
    const TBytes records = UnitCodecs::ChunkedDeflate(input);
    // Walk the records by hand: two of them, the second holding the last byte.
    size_t at = 0, count = 0;
    std::vector<size_t> pieces;
    while (at < records.size()) {
        ASSERT_LE(at + 4, records.size());
        uint32_t length;
        std::memcpy(&length, &records[at], 4);
        TBytes piece;
        UnitCodecs::Inflate(std::span(records).subspan(at + 4, length), piece);
        pieces.push_back(piece.size());
        at += 4 + length;
        ++count;
    }
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(pieces, (std::vector<size_t>{UnitCodecs::kChunkSize, 1}));
    EXPECT_EQ(UnitCodecs::ChunkedInflate(records), input);

    const std::string zip = EncodeBytes(input, 4);
    EXPECT_EQ(zip.substr(0, 13), "zip:/hexbin:/");
    EXPECT_EQ(DecodeText(zip, 4), input);
    const std::string zhb = EncodeBytes(input, 5);
    EXPECT_EQ(zhb.substr(0, 14), "zhb:/hexbin2:/");
    EXPECT_EQ(DecodeText(zhb, 0), input);
}

TEST(ChunkedDeflate, EmptyInputAndBadRecords)
{
    EXPECT_EQ(EncodeText("", 4), "zip:/");
    EXPECT_EQ(EncodeText("", 5), "zhb:/");
    EXPECT_EQ(DecodeText("zip:/", 4), std::nullopt);
    EXPECT_EQ(DecodeText("zip:/garbage", 4), std::nullopt);  // no marked inner form
    // The inner form is recognised: any marker does.
    const TBytes records = UnitCodecs::ChunkedDeflate(Bytes("payload"));
    EXPECT_EQ(DecodeTextToText("zip:/" + EncodeBytes(records, 8), 4), "payload");
    EXPECT_EQ(DecodeTextToText("zip:/" + EncodeBytes(records, 1), 4), "payload");

    TBytes longer = records;
    longer[0] = uint8_t(longer[0] + 1);  // claims one byte more than there is
    EXPECT_THROW(DecodeText("zip:/" + EncodeBytes(longer, 2), 4), UnitCodecs::EZlibError);
    TBytes negative = records;
    negative[3] = 0x80;
    EXPECT_THROW(UnitCodecs::ChunkedInflate(negative), UnitCodecs::EZlibError);
    TBytes trailing = records;
    trailing.push_back(1);  // a length field cut short
    EXPECT_THROW(UnitCodecs::ChunkedInflate(trailing), UnitCodecs::EZlibError);
}

TEST(SingleDeflate, FormsAndMarkers)
{
    const std::string text = "the quick brown fox jumps over the lazy dog, again and again and again";
    const struct {
        int number;
        std::string prefix;
    } forms[] = {{9, ""}, {10, "zm:/mime64:/"}, {11, "z113hb:/hexbin2:/"}, {17, "zh:/hexbin:/"}, {18, "78"}};
    for (const auto& form : forms) {
        SCOPED_TRACE(form.number);
        const std::string encoded = EncodeText(text, form.number);
        EXPECT_EQ(encoded.substr(0, form.prefix.size()), form.prefix);
        EXPECT_EQ(DecodeTextToText(encoded, form.number), text);
    }
    // A missing outer marker is no result; a missing inner marker an empty stream.
    EXPECT_EQ(DecodeText("mime64:/eJwDAAAAAAE=", 10), std::nullopt);
    EXPECT_EQ(DecodeText("zm:/eJwDAAAAAAE=", 10), TBytes{});
    EXPECT_EQ(DecodeText("", 9), TBytes{});
}

TEST(SingleDeflate, DamagedStreamRaisesZlibMessage)
{
    try {
        DecodeText("zh:/hexbin:/00112233", 17);
        FAIL() << "no error raised";
    } catch (const UnitCodecs::EZlibError& e) {
        EXPECT_STREQ(e.what(), "incorrect header check");
    }
    // Cut short: the stream never ends.
    std::string whole = EncodeText(std::string(1000, 'x') + "tail", 18);
    EXPECT_THROW(DecodeText(whole.substr(0, whole.size() - 10), 18), UnitCodecs::EZlibError);
    // A wrong checksum.
    std::string bad = whole;
    bad.back() = bad.back() == '0' ? '1' : '0';
    try {
        DecodeText(bad, 18);
        FAIL() << "no error raised";
    } catch (const UnitCodecs::EZlibError& e) {
        EXPECT_STREQ(e.what(), "incorrect data check");
    }
}

TEST(SingleDeflate, InflateStopsAtTheLimit)
{
    // 8 MiB of zeros compress to about 8 KiB; with a 1 MiB limit inflating must stop, not grow.
    const TBytes bomb = UnitCodecs::Deflate(TBytes(8 << 20, 0), 9);
    ASSERT_LT(bomb.size(), 20000u);
    TBytes out;
    EXPECT_THROW(UnitCodecs::Inflate(bomb, out, 1 << 20), UnitCodecs::EZlibError);
    EXPECT_LE(out.capacity(), size_t((1 << 20) + 1));
    // Exactly at the limit is fine, one byte over is not.
    const TBytes exact = UnitCodecs::Deflate(TBytes(4096, 7));
    TBytes fits;
    UnitCodecs::Inflate(exact, fits, 4096);
    EXPECT_EQ(fits.size(), 4096u);
    TBytes over;
    EXPECT_THROW(UnitCodecs::Inflate(exact, over, 4095), UnitCodecs::EZlibError);
    // The limit covers all records of a chunked form together.
    const TBytes records = UnitCodecs::ChunkedDeflate(TBytes(3 << 20, 1));
    EXPECT_THROW(UnitCodecs::ChunkedInflate(records, 2 << 20), UnitCodecs::EZlibError);
    EXPECT_EQ(UnitCodecs::ChunkedInflate(records, 3 << 20).size(), size_t(3 << 20));
}
