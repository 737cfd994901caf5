// Shape matching of decoded trees: names, properties, child counts and the control properties.
#include "crypto/UnitAsn1Shape.h"

#include "crypto/UnitAsn1.h"

#include <gtest/gtest.h>

using UnitAsn1Shape::FirstMatch;
using UnitAsn1Shape::Matches;
using UnitAsn1Shape::ShapeFromXml;

namespace {

// SEQUENCE { OID 1.2.840.113549.1.7.2, [0] { SEQUENCE { INTEGER 1, SET {}, SEQUENCE {}, SET {} } } }
std::unique_ptr<TXmlDoc> SignedDataLike()
{
    auto tree = std::make_unique<TXmlDoc>();
    EXPECT_GT(UnitAsn1::DecodeHexIntoNode(*tree, "3018"
                                                 "06092A864886F70D010702"
                                                 "A00B"
                                                 "3009020101"
                                                 "3100"
                                                 "3000"
                                                 "3100"),
              0);
    return tree;
}

bool Match(const TXmlDoc& node, const char* shape) { return Matches(node, *ShapeFromXml(shape)); }

}  // namespace

TEST(Asn1Shape, NamesPropertiesAndExactChildCount)
{
    const auto tree = SignedDataLike();
    EXPECT_TRUE(Match(*tree, "<SEQUENCE><OID Value=\"1.2.840.113549.1.7.2\"/><CONTEXT><SEQUENCE>"
                             "<INTEGER/><SET/><SEQUENCE/><SET/></SEQUENCE></CONTEXT></SEQUENCE>"));
    // Another OID value, a name in other letter case, a missing property.
    EXPECT_FALSE(Match(*tree, "<SEQUENCE><OID Value=\"1.2.840.113549.1.7.1\"/><CONTEXT _dummy=\"1\"/></SEQUENCE>"));
    EXPECT_FALSE(Match(*tree, "<Sequence _dummymembers=\"1\"/>"));
    EXPECT_FALSE(Match(*tree, "<SEQUENCE><OID Tag=\"6\"/><CONTEXT _dummy=\"1\"/></SEQUENCE>"));
    // Exactly as many children unless told otherwise.
    EXPECT_FALSE(Match(*tree, "<SEQUENCE><OID/></SEQUENCE>"));
    EXPECT_FALSE(Match(*tree, "<SEQUENCE><OID/><CONTEXT _dummy=\"1\"/><NULL/></SEQUENCE>"));
    // A node with no children against a shape that has some.
    EXPECT_FALSE(Match(*tree->ChildAt(0), "<OID><NULL/></OID>"));
}

TEST(Asn1Shape, CountModesAndTheAllChild)
{
    const auto tree = SignedDataLike();
    TXmlDoc& signedData = *tree->ChildAt(1)->ChildAt(0);
    EXPECT_TRUE(Match(signedData, "<SEQUENCE _count=\"AtLeast\"><INTEGER/><SET/></SEQUENCE>"));
    EXPECT_FALSE(Match(signedData, "<SEQUENCE _count=\"AtLeast\"><INTEGER/><SET/><SEQUENCE/><SET/><SET/></SEQUENCE>"));
    // AtMost: the node's children run out first, the shape's rest is not needed.
    EXPECT_TRUE(Match(signedData, "<SEQUENCE _count=\"AtMost\"><INTEGER/><SET/><SEQUENCE/><SET/><CONTEXT/></SEQUENCE>"));
    EXPECT_FALSE(Match(signedData, "<SEQUENCE _count=\"AtMost\"><INTEGER/><SET/></SEQUENCE>"));
    // The children that are compared must still agree.
    EXPECT_FALSE(Match(signedData, "<SEQUENCE _count=\"AtLeast\"><INTEGER/><SEQUENCE/></SEQUENCE>"));
    EXPECT_TRUE(Match(signedData, "<SEQUENCE _count=\"Ignore\"><INTEGER/></SEQUENCE>"));
    EXPECT_FALSE(Match(signedData, "<SEQUENCE _count=\"Ignore\"><SET/></SEQUENCE>"));

    // "_all" stands for every remaining child.
    TXmlDoc list;
    ASSERT_GT(UnitAsn1::DecodeHexIntoNode(list, "300C0603550403060355040A0500"), 0);  // OID, OID, NULL
    EXPECT_FALSE(Match(list, "<SEQUENCE _count=\"Ignore\"><OID _all=\"1\"/></SEQUENCE>"));
    EXPECT_TRUE(Match(list, "<SEQUENCE _count=\"Ignore\"><OID _all=\"1\" _dummy=\"1\"/></SEQUENCE>"));
    TXmlDoc oids;
    ASSERT_GT(UnitAsn1::DecodeHexIntoNode(oids, "300A0603550403060355040A"), 0);  // OID, OID
    EXPECT_TRUE(Match(oids, "<SEQUENCE _count=\"Ignore\"><OID _all=\"1\"/></SEQUENCE>"));
}

TEST(Asn1Shape, DummyControlsAndFirstMatchOfAList)
{
    const auto tree = SignedDataLike();
    EXPECT_TRUE(Match(*tree, "<ANYTHING _dummy=\"1\"/>"));
    EXPECT_TRUE(Match(*tree, "<SEQUENCE _dummymembers=\"1\" Value=\"x\"/>"));
    EXPECT_TRUE(Match(*tree, "<SEQUENCE _dummynodes=\"1\"/>"));
    EXPECT_FALSE(Match(*tree, "<SEQUENCE _dummynodes=\"1\" Value=\"x\"/>"));
    EXPECT_TRUE(Match(*tree, "<SEQUENCE _dummyprops=\"1\" Value=\"x\"><OID/><CONTEXT _dummy=\"1\"/></SEQUENCE>"));
    EXPECT_FALSE(Match(*tree, "<SEQUENCE _dummyprops=\"1\"><OID/></SEQUENCE>"));

    const auto plain = ShapeFromXml("<SEQUENCE><OID/><CONTEXT><SEQUENCE><INTEGER/><SET/><SEQUENCE/><SET/>"
                                    "</SEQUENCE></CONTEXT></SEQUENCE>");
    const auto withCertificates = ShapeFromXml("<SEQUENCE><OID/><CONTEXT><SEQUENCE><INTEGER/><SET/><SEQUENCE/>"
                                               "<CONTEXT/><SET/></SEQUENCE></CONTEXT></SEQUENCE>");
    const auto anything = ShapeFromXml("<SEQUENCE _dummymembers=\"1\"/>");
    EXPECT_EQ(FirstMatch(*tree, {withCertificates.get(), plain.get(), anything.get()}), 1);
    EXPECT_EQ(FirstMatch(*tree, {withCertificates.get(), anything.get(), plain.get()}), 1);
    EXPECT_EQ(FirstMatch(*tree, {withCertificates.get()}), -1);
    EXPECT_EQ(FirstMatch(*tree, {}), -1);
}
