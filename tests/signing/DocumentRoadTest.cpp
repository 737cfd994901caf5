// The document's roads through the library. A detached signature of a file made from the file's
// hex ("Content") and from its digest alone ("ContentHash", what the host sends for a detached
// file request) are the same CMS byte for byte; a signing request read where it stands (its
// Content left in the text) signs exactly as the request read whole into the tree.
#include "tests/crypto/PDFTestUtil.h"
#include "crypto/UnitAsn1.h"
#include "crypto/UnitLibraryEncodings.h"
#include "crypto/UnitSigningRequestText.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "host/UnitSigning.h"
#include "tests/support/NssTestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using NssTest::Pki;
using UnitLibraryEncodings::Http;

// 2023-11-14 22:13:20 UTC: both roads sign at this time.
constexpr std::time_t FixedTime = 1700000000;

UnitSignedData::TSignedDataInputs AtFixedTime()
{
    UnitSignedData::TSignedDataInputs inputs;
    inputs.SigningTime = FixedTime;
    return inputs;
}

std::string Work(const std::string& name)
{
    const auto dir = std::filesystem::path(Pki().Root) / "road";
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

// Bytes of every value, zero bytes and quotes included.
std::string WriteDocument(const std::string& name, size_t size)
{
    std::string bytes(size, '\0');
    uint32_t x = 2463534242u;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
    }
    const std::string path = Work(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string FileHex(const std::string& path)
{
    const auto bytes = NssTest::ReadFile(path);
    return UnitCodecs::HexEncode(bytes);
}

void SetAttr(TXmlDoc& tree, const std::string& name, const std::string& value)
{
    TXmlDoc* child = tree.FindNode("attr" + name);
    if (!child) {
        child = tree.New("Tag");
        child->SetName("attr" + name);
    }
    child->SetValue(value);
}

std::string Code()
{
    return NssTest::OpenSslThumbprint(Pki().Pem("signer"));
}

void ExpectVerifies(const std::vector<uint8_t>& der, const std::string& content, const std::string& tag)
{
    const std::string cms = Work("road-" + tag + ".p7s");
    NssTest::WriteFile(cms, der);
    const std::string verify = "openssl cms -verify -binary -inform DER -in " + cms + " -content " + content +
                               " -CAfile " + Pki().Pem("root") + " -purpose any -out /dev/null 2>&1";
    EXPECT_NO_THROW(NssTest::Run(verify)) << verify;
}

TEST(DocumentRoad, DigestOnlyGivesTheCmsOfTheDocumentByteForByte)
{
    const std::string document = WriteDocument("contract.bin", 300 * 1024 + 7);
    const std::string hex = FileHex(document);
    struct TCase {
        const char* Tag;
        const char* Hash;
        std::vector<std::pair<std::string, std::string>> Attrs;
    };
    const TCase cases[] = {
        {"sha256", "sha256", {}},
        {"sha1", "sha1", {}},
        {"sha224", "sha224", {}},
        {"sha384", "sha384", {}},
        {"sha512", "sha512", {}},
        // No "Hash": the policy's digest, with the policy and a commitment among the attributes.
        {"policy", "sha256",
         {{"Hash", ""},
          {"Policy", "2.16.76.1.7.1.1.2.3,2.16.840.1.101.3.4.2.3,0102030405060708090A0B0C0D0E0F10,0,http://x/p.der"},
          {"Commitment", "1.2.840.113549.1.9.16.6.1"}}},
    };
    for (const TCase& c : cases) {
        TXmlDoc tree;
        SetAttr(tree, "Dettached", "1");
        for (const auto& [name, value] : c.Attrs)
            SetAttr(tree, name, value);
        const std::string oid = UnitSigning::HashOidFromName(c.Hash);

        const auto whole = UnitSigning::MakeSigningRequest(Code(), hex, oid, "CMS", document, tree);
        const auto fromContent = UnitSigningRequestText::XmlToDer(whole->GetXML(), Http(), AtFixedTime());
        ASSERT_TRUE(fromContent) << c.Tag << ": " << UnitEncoding::Asn1ErrorWord();

        const auto digestOnly = UnitSigning::MakeSigningRequest(Code(), "", oid, "CMS", document, tree);
        ASSERT_TRUE(UnitSigning::TakesContentHash(*digestOnly)) << c.Tag;
        ASSERT_TRUE(UnitSigning::UseContentHash(*digestOnly, document)) << c.Tag;
        const std::string digestXml = digestOnly->GetXML();
        EXPECT_LT(digestXml.size(), 2048u) << c.Tag << ": the request carries the document";
        const auto fromDigest = UnitSigningRequestText::XmlToDer(digestXml, Http(), AtFixedTime());
        ASSERT_TRUE(fromDigest) << c.Tag << ": " << UnitEncoding::Asn1ErrorWord();

        EXPECT_EQ(*fromDigest, *fromContent) << c.Tag;
        // Signed at the time given, not the clock's.
        const std::string der(fromDigest->begin(), fromDigest->end());
        EXPECT_NE(der.find("\x17\x0D" "231114221320Z"), std::string::npos) << c.Tag;
        ExpectVerifies(*fromDigest, document, c.Tag);
    }
}

TEST(DocumentRoad, OnlyDetachedBinaryRequestsOfAKnownDigestGoByDigest)
{
    const std::string oid = UnitSigning::HashOidFromName("sha256");
    auto takes = [&](const std::vector<std::pair<std::string, std::string>>& attrs, const std::string& type = "CMS") {
        TXmlDoc tree;
        for (const auto& [name, value] : attrs)
            SetAttr(tree, name, value);
        return UnitSigning::TakesContentHash(*UnitSigning::MakeSigningRequest(Code(), "AB", oid, type, "d.bin", tree));
    };
    EXPECT_TRUE(takes({{"Dettached", "1"}}));
    EXPECT_TRUE(takes({{"Dettached", "true"}}));
    EXPECT_FALSE(takes({}));                                       // attached: the content is inside
    EXPECT_FALSE(takes({{"Dettached", "0"}}));
    EXPECT_FALSE(takes({{"Dettached", "1"}}, "PADES"));           // the PDF road
    EXPECT_FALSE(takes({{"Dettached", "1"}, {"Format", "pades"}}));
    EXPECT_FALSE(takes({{"Dettached", "1"}, {"Binary", "0"}}));   // the hex text itself is signed
    EXPECT_FALSE(takes({{"Dettached", "1"}, {"ContentHash", "00"}}));
    // A digest the builder knows by another row than the host's (MD5) or not at all.
    EXPECT_FALSE(takes({{"Dettached", "1"}, {"Hash", "1.2.840.113549.2.5"}}));
    EXPECT_FALSE(takes({{"Dettached", "1"}, {"Hash", "1.2.840.113549.1.1.11"}}));
    EXPECT_TRUE(takes({{"Dettached", "1"}, {"Hash", "2.16.840.1.101.3.4.2.2"}}));
}

TEST(DocumentRoad, DigestOfAMissingFileFails)
{
    TXmlDoc tree;
    SetAttr(tree, "Dettached", "1");
    const auto request = UnitSigning::MakeSigningRequest(Code(), "", UnitSigning::HashOidFromName("sha256"), "CMS",
                                                         "x", tree);
    EXPECT_FALSE(UnitSigning::UseContentHash(*request, Work("missing.bin")));
    EXPECT_FALSE(UnitSigning::UseContentHash(*request, "/dev/zero"));
}

// The Content read where it stands and the Content read into the node sign alike, whatever
// the request asks for.
TEST(DocumentRoad, RequestReadWhereItStandsSignsAsTheRequestReadWhole)
{
    const std::string code = Code();
    const std::string document = WriteDocument("letter.bin", 70000);
    const std::string hex = FileHex(document);
    const std::string pdf = PdfTest::MakePdf(PdfTest::ThreePages());
    const std::string pdfHex = UnitCodecs::HexEncode(UnitCodecs::AsBytes(pdf));
    auto attr = [](const std::string& name, const std::string& value) { return " " + name + "=\"" + value + "\""; };
    const std::string head = "<SIGNEDDATA" + attr("CertificateCode", code);
    const std::string requests[] = {
        head + attr("Content", hex) + attr("Binary", "1") + "/>\r\n",
        head + attr("Content", hex) + attr("Binary", "1") + attr("Dettached", "1") + "/>\r\n",
        head + attr("Content", hex) + attr("Binary", "1") + attr("Hash", "2.16.840.1.101.3.4.2.3") + "/>\r\n",
        // The hex text itself is the content.
        head + attr("Content", hex.substr(0, 4000)) + "/>\r\n",
        head + " Content='" + hex.substr(0, 200) + "' Binary='1'/>\r\n",
        head + attr("Content", pdfHex) + attr("Binary", "1") + attr("Format", "PADES") + "/>\r\n",
        // Left to the reader: a reference in the value, a second element around the request.
        head + attr("Content", "4142&#x34;3") + attr("Binary", "1") + "/>\r\n",
        "<SEQUENCE>" + head + attr("Content", hex) + attr("Binary", "1") + "/></SEQUENCE>\r\n",
    };
    int index = 0;
    for (const std::string& request : requests) {
        const auto split = UnitSigningRequestText::XmlToDer(request, Http(), AtFixedTime());
        const auto whole = UnitSigningRequestText::XmlToDerAsRead(request, Http(), AtFixedTime());
        ASSERT_TRUE(whole) << index << ": " << UnitEncoding::Asn1ErrorWord();
        ASSERT_TRUE(split) << index << ": " << UnitEncoding::Asn1ErrorWord();
        EXPECT_EQ(*split, *whole) << index;
        ++index;
    }
    ExpectVerifies(*UnitSigningRequestText::XmlToDer(requests[1], Http(), AtFixedTime()), document, "split-detached");
}

}  // namespace
