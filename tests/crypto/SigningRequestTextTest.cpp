// Which signing requests have their Content read where it stands, and what the reader is left.
#include "crypto/UnitSigningRequestText.h"

#include <gtest/gtest.h>

namespace {

using UnitSigningRequestText::SplitContent;

TEST(SigningRequestText, ContentIsCutOutOfTheRootSignedData)
{
    const std::string xml = "\r\n<SIGNEDDATA CertificateCode=\"AB12\" Content=\"00FF10\" Binary=\"1\"/>\r\n";
    const auto split = SplitContent(xml);
    ASSERT_TRUE(split);
    EXPECT_EQ(split->Content, "00FF10");
    EXPECT_EQ(split->Rest, "\r\n<SIGNEDDATA CertificateCode=\"AB12\" Content=\"\" Binary=\"1\"/>\r\n");
    // A view into the text, not a copy.
    EXPECT_EQ(split->Content.data(), xml.data() + xml.find("00FF10"));

    // Letter case of the element and of the attribute as the tree compares them; apostrophes.
    const auto lower = SplitContent("<signeddata content='4142' binary='1'/>");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->Content, "4142");
    EXPECT_EQ(lower->Rest, "<signeddata content='' binary='1'/>");
    // Only the first "Content" counts, as the tree finds the first property of a name.
    const auto twice = SplitContent("<SIGNEDDATA Content=\"01\" Content=\"02\"/>");
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice->Content, "01");
    // Empty values too.
    const auto empty = SplitContent("<SIGNEDDATA Content=\"\"/>");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->Content, "");
}

TEST(SigningRequestText, ValuesTheReaderWouldChangeAreLeftToIt)
{
    for (const char* xml : {
             "<SIGNEDDATA Content=\"41&amp;42\"/>",      // a reference: the value is not as written
             "<SIGNEDDATA Content='41''42'/>",           // a doubled delimiter stands for one
             "<SIGNEDDATA C&#x6F;ntent=\"00\" Content=\"11\"/>",  // a name written with references
             "<SEQUENCE><SIGNEDDATA Content=\"00\"/></SEQUENCE>",  // not the root element
             "<SIGNEDDATAX Content=\"00\"/>",
             "<SIGNEDDATA/x Content=\"00\"/>",            // the name is "SIGNEDDATA/x"
             "<SIGNEDDATA Binary=\"1\"/><x Content=\"00\"/>",  // past the element's end
             "<SIGNEDDATA Content=\"0011",                // no closing delimiter
             "<SIGNEDDATA Content",                       // no value
             "no element at all",
             "",
         })
        EXPECT_FALSE(SplitContent(xml)) << xml;
}

TEST(SigningRequestText, AttributesAreWalkedAsTheReaderWalksThem)
{
    // The reader gives a name the value at the next quote, wherever it is: here "Binary" takes
    // "00" and there is no Content.
    EXPECT_FALSE(SplitContent("<SIGNEDDATA Binary Content=\"00\"/>"));
    // Values holding what looks like an attribute are values.
    EXPECT_FALSE(SplitContent("<SIGNEDDATA DocumentName=\"x Content='00'\"/>"));
    const auto later = SplitContent("<SIGNEDDATA DocumentName=\"a'b\" Content=\"00\"/>");
    ASSERT_TRUE(later);
    EXPECT_EQ(later->Content, "00");
    // Bytes that start no name are stepped over.
    const auto noisy = SplitContent("<SIGNEDDATA\t\r\n  ==Content=\"0A\"/>");
    ASSERT_TRUE(noisy);
    EXPECT_EQ(noisy->Content, "0A");
}

}  // namespace
