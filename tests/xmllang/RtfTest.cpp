#include "xmllang/UnitXmlExpression.h"
#include "xmllang/UnitXmlRtf.h"

#include <gtest/gtest.h>

namespace {

using namespace UnitXmlRtf;

TEST(Rtf, TextRoundTrip)
{
    const std::string text = "Linha {1} \\ a\r\nJo\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x98\x80\tfim";
    const std::string rtf = RtfFromText(text);
    EXPECT_EQ(rtf.rfind("{\\rtf1", 0), 0u);
    EXPECT_EQ(rtf.back(), '}');
    for (char c : rtf)
        EXPECT_LT(static_cast<unsigned char>(c), 128) << "RTF is written 7-bit";
    EXPECT_NE(rtf.find("\\{1\\}"), std::string::npos);
    EXPECT_NE(rtf.find("\\par"), std::string::npos);
    EXPECT_NE(rtf.find("\\u227?"), std::string::npos);
    EXPECT_EQ(TextFromRtf(rtf), text);
}

TEST(Rtf, TextOfForeignDocuments)
{
    const std::string doc = "{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f0 Times;}}{\\colortbl;\\red0\\green0\\blue0;}"
                            "{\\*\\generator Writer;}\\f0 Ol\\'e1 {\\b mundo}\\par Segunda\\line linha\\~fim \\u8364\\'80}";
    EXPECT_EQ(TextFromRtf(doc), "Ol\xC3\xA1 mundo\r\nSegunda\r\nlinha\xC2\xA0" "fim \xE2\x82\xAC");
    EXPECT_EQ(TextFromRtf("plain"), "plain");
    EXPECT_EQ(TextFromRtf("{\\rtf1 unclosed {\\b group"), "unclosed group");
    EXPECT_EQ(TextFromRtf("{\\rtf1 " + std::string(5000, '{') + "x"), "x");
}

TEST(Rtf, Html)
{
    const std::string doc = "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}Normal {\\b negrito} \\i it\\i0  {\\ul sub}<&>\\par Dois}";
    EXPECT_EQ(HtmlFromRtf(doc), "<p>Normal <b>negrito</b> <i>it</i> <u>sub</u>&lt;&amp;&gt;</p>\r\n<p>Dois</p>\r\n");
    EXPECT_EQ(HtmlFromRtf("a<b"), "<p>a&lt;b</p>\r\n");
}

TEST(Rtf, Concatenation)
{
    const std::string joined = ConcatRtf({RtfFromText("um"), "", "{\\rtf1\\ansi{\\fonttbl{\\f0 X;}}\\b dois\\b0}", "tres"});
    EXPECT_EQ(TextFromRtf(joined), "um\r\ndois\r\ntres");
    EXPECT_EQ(joined.rfind("{\\rtf1", 0), 0u);
    EXPECT_EQ(ConcatRtf({}), "");
    // Through the expression language, argument order as documented.
    EXPECT_EQ(TXmlExpression::Eval("TextFromRTF(ConcatRTF(RTFFromText('a'), RTFFromText('b')))"), "a\r\nb");
    EXPECT_EQ(TXmlExpression::Eval("HTMLFromRTF(RTFFromText('x'))"), "<p>x</p>\r\n");
}

TEST(Rtf, LoadJpegThroughTheServices)
{
    TXmlLanguageServices services;
    std::string asked;
    int side = -1;
    services.LoadJpeg = [&](const std::string& file, int maxSide) -> std::optional<std::vector<uint8_t>> {
        asked = file;
        side = maxSide;
        if (file == "missing.png")
            return std::nullopt;
        return std::vector<uint8_t>{0xFF, 0xD8, 0xFF};
    };
    EXPECT_EQ(TXmlExpression::Eval("LoadJpeg('a.png', 64)", {}, &services), "/9j/");
    EXPECT_EQ(asked, "a.png");
    EXPECT_EQ(side, 64);
    EXPECT_EQ(TXmlExpression::Eval("LoadJpeg('a.png', 0, 12)", {}, &services), "FFD8FF");
    EXPECT_EQ(TXmlExpression::Eval("LoadJpeg('missing.png')", {}, &services), "");
    EXPECT_EQ(TXmlExpression::Eval("LoadJpeg('a.png')"), "");  // no picture loader
}

}  // namespace
