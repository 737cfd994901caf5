#include "crypto/UnitAsn1.h"
#include "crypto/UnitLibraryEncodings.h"

#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using UnitCodecs::HexDecode;
using UnitCodecs::HexEncode;

std::string EncodeHex(TXmlDoc& node)
{
    std::string hex;
    EXPECT_TRUE(UnitAsn1::EncodeNodeHex(node, hex)) << node.GetXML();
    return hex;
}

std::string Integer(const std::string& value)
{
    TXmlDoc node("INTEGER");
    node.Setp("Value", value);
    return EncodeHex(node);
}

bool HasWorkProperty(const TXmlDoc& node)
{
    if (node.FindProperty("__asn1__"))
        return true;
    for (int i = 0; i < node.GetNodeCount(); ++i)
        if (HasWorkProperty(*node.ChildAt(static_cast<size_t>(i))))
            return true;
    return false;
}

class TZone {
public:
    explicit TZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            FOld = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TZone()
    {
        if (FOld.empty())
            unsetenv("TZ");
        else
            setenv("TZ", FOld.c_str(), 1);
        tzset();
    }

private:
    std::string FOld;
};

}  // namespace

TEST(Asn1Integer, MinimalTwosComplementBothWays)
{
    const std::pair<const char*, const char*> cases[] = {
        {"0", "020100"}, {"127", "02017F"}, {"128", "02020080"}, {"255", "020200FF"},
        {"256", "02020100"}, {"-1", "0201FF"}, {"-128", "020180"}, {"-129", "0202FF7F"},
        {"2147483648", "02050080000000"},
    };
    for (const auto& [value, hex] : cases) {
        EXPECT_EQ(Integer(value), hex) << value;
        TXmlDoc back;
        ASSERT_EQ(UnitAsn1::DecodeHexIntoNode(back, hex), 1);
        EXPECT_EQ(back.GetName(), "INTEGER");
        EXPECT_EQ(back.Getp("Value"), value);
    }
    EXPECT_EQ(Integer("9223372036854775807"), "02087FFFFFFFFFFFFFFF");
}

TEST(Asn1Integer, LongOrNonMinimalContentKeepsItsBytes)
{
    for (const char* hex : {"0206010203040506", "02030000FF", "0200"}) {
        TXmlDoc node;
        ASSERT_EQ(UnitAsn1::DecodeHexIntoNode(node, hex), 1);
        EXPECT_EQ(node.Getp("Binary"), "1") << hex;
        EXPECT_EQ(EncodeHex(node), hex);
    }
}

TEST(Asn1Oid, ArcsAndFirstSubidentifier)
{
    TXmlDoc oid("OID");
    oid.Setp("Value", "1.2.840.113549.1.7.2");
    EXPECT_EQ(EncodeHex(oid), "06092A864886F70D010702");
    oid.Setp("Value", "2.999.3");
    EXPECT_EQ(EncodeHex(oid), "0603883703");
    TXmlDoc back;
    ASSERT_EQ(UnitAsn1::DecodeHexIntoNode(back, "0603883703"), 1);
    EXPECT_EQ(back.Getp("Value"), "2.999.3");
    TXmlDoc back2;
    ASSERT_EQ(UnitAsn1::DecodeHexIntoNode(back2, "06092A864886F70D010702"), 1);
    EXPECT_EQ(back2.Getp("Value"), "1.2.840.113549.1.7.2");
    EXPECT_EQ(EncodeHex(back2), "06092A864886F70D010702");
    // A dangling continuation byte is no OID text; the bytes survive.
    TXmlDoc bad;
    UnitAsn1::DecodeHexIntoNode(bad, "06022A86");
    EXPECT_EQ(bad.GetName(), "ENTITY");
    EXPECT_EQ(EncodeHex(bad), "06022A86");
}

TEST(Asn1Length, ShortAndLongForms)
{
    TXmlDoc seq("SEQUENCE");
    TXmlDoc* octets = seq.New("OCTETSTRING");
    octets->Setp("Binary", "1");
    // An OCTET STRING of 197 bytes has the header 04 81 C5: 200 bytes in the sequence.
    octets->Setp("Value", std::string(2 * 197, 'A'));
    EXPECT_EQ(EncodeHex(seq).substr(0, 6), "3081C8");
    octets->Setp("Value", std::string(2 * 296, 'A'));   // 04 82 01 28 + 296 = 300
    EXPECT_EQ(EncodeHex(seq).substr(0, 8), "3082012C");
}

TEST(Asn1Names, CaseInsensitiveKnownNamesUnknownFailsWhole)
{
    TXmlDoc seq("Sequence");
    seq.New("null");
    seq.New("Boolean")->Setp("Value", "1");
    EXPECT_EQ(EncodeHex(seq), "30050500" "0101FF");
    seq.New("SET")->New("Foo");
    std::string hex = "unchanged";
    EXPECT_FALSE(UnitAsn1::EncodeNodeHex(seq, hex));
    EXPECT_EQ(hex, "");
    EXPECT_FALSE(HasWorkProperty(seq));
}

TEST(Asn1Names, DecimalNamesAndEntityTags)
{
    TXmlDoc ext("163");
    ext.New("NULL");
    EXPECT_EQ(EncodeHex(ext), "A3020500");
    TXmlDoc entity("ENTITY");
    entity.Setp("Tag", "128");
    entity.Setp("Value", "0A0B");
    EXPECT_EQ(EncodeHex(entity), "80020A0B");
    TXmlDoc binary("BINARY");
    binary.SetValue("0500" "0101FF");
    TXmlDoc wrap("SEQUENCE");
    wrap.NewFromClone(binary);
    EXPECT_EQ(EncodeHex(wrap), "30050500" "0101FF");
    TXmlDoc zero("0");
    std::string hex;
    EXPECT_FALSE(UnitAsn1::EncodeNodeHex(zero, hex));
}

TEST(Asn1Object, IdAndTypedValue)
{
    TXmlDoc object("OBJECT");
    object.Setp("ID", "1.2.840.113549.1.9.3");
    object.Setp("Type", "OID");
    object.Setp("Value", "1.2.840.113549.1.7.1");
    EXPECT_EQ(EncodeHex(object), "3016" "06092A864886F70D010903" "06092A864886F70D010701");
}

TEST(Asn1BitString, UnusedBitsAndFlagNames)
{
    TXmlDoc bits;
    ASSERT_EQ(UnitAsn1::DecodeHexIntoNode(bits, "03020780"), 1);
    EXPECT_EQ(bits.GetName(), "BITSTRING");
    EXPECT_EQ(bits.Getp("Unused"), "7");
    EXPECT_EQ(bits.Getp("Value"), "80");
    TXmlDoc usage("Usage");
    UnitAsn1::BitStringToFlagNames("03020780", UnitAsn1::KeyUsageNames(), 8, usage);
    ASSERT_EQ(usage.GetNodeCount(), 1);
    EXPECT_EQ(usage.ChildAt(0)->GetName(), "DigitalSignature");

    // digitalSignature + nonRepudiation + keyCertSign, nine bits: 7 unused in two bytes.
    TXmlDoc flags("Flags");
    flags.New("DigitalSignature");
    flags.New("NonRepudiation");
    flags.New("KeyCertSign");
    EXPECT_EQ(UnitAsn1::FlagNamesToBitString(UnitAsn1::KeyUsageNames(), flags, 8), "030307C400");
    EXPECT_EQ(flags.GetNodeCount(), 3) << "the presence test must not create children";
    TXmlDoc back("Back");
    UnitAsn1::BitStringToFlagNames("030307C400", UnitAsn1::KeyUsageNames(), 8, back);
    EXPECT_EQ(back.GetCommaNames(), "DigitalSignature,NonRepudiation,KeyCertSign");
}

TEST(Asn1Time, UtcTimeInTwoZones)
{
    for (const char* zone : {"UTC0", "America/New_York", "America/Sao_Paulo"}) {
        TZone tz(zone);
        TXmlDoc time;
        ASSERT_EQ(UnitAsn1::DecodeHexIntoNode(time, HexEncode(UnitCodecs::AsBytes("\x17\x0D" "240501093000Z"))), 1);
        EXPECT_EQ(time.GetName(), "UTCTIME");
        // 09:30 UTC on 1 May 2024: New York is on daylight time (-4), Sao Paulo at -3.
        const std::string expected = std::string(zone) == "UTC0" ? "2024-05-01 09:30:00.000"
            : std::string(zone) == "America/New_York"            ? "2024-05-01 05:30:00.000"
                                                                 : "2024-05-01 06:30:00.000";
        EXPECT_EQ(time.Getp("Value"), expected) << zone;
        EXPECT_EQ(EncodeHex(time), "170D3234303530313039333030305A") << zone;
        // A changed local time is written from the value, in UTC.
        time.Setp("Value", expected.substr(0, 11) + "10:00:00.000");
        const std::string written = EncodeHex(time);
        TXmlDoc reread;
        UnitAsn1::DecodeHexIntoNode(reread, written);
        EXPECT_EQ(reread.Getp("Value"), expected.substr(0, 11) + "10:00:00.000") << zone;
    }
}

TEST(Asn1Time, CenturyWindowZuluAndGeneralizedFractions)
{
    TZone tz("UTC0");
    TXmlDoc t;
    UnitAsn1::DecodeHexIntoNode(t, HexEncode(UnitCodecs::AsBytes("\x17\x0D" "491231235959Z")));
    EXPECT_EQ(t.Getp("Value"), "2049-12-31 23:59:59.000");
    UnitAsn1::DecodeHexIntoNode(t, HexEncode(UnitCodecs::AsBytes("\x17\x0D" "500101000000Z")));
    EXPECT_EQ(t.Getp("Value"), "1950-01-01 00:00:00.000");

    TXmlDoc gen("GENTIME");
    gen.Setp("Value", "2024-02-29 12:00:00.250");
    gen.Setp("Zulu", "1");
    EXPECT_EQ(EncodeHex(gen), HexEncode(UnitCodecs::AsBytes("\x18\x12" "20240229120000.25Z")));
    gen.Setp("Value", "2024-02-29 12:00:00.000");
    EXPECT_EQ(EncodeHex(gen), HexEncode(UnitCodecs::AsBytes("\x18\x0F" "20240229120000Z")));
    TXmlDoc back;
    UnitAsn1::DecodeHexIntoNode(back, HexEncode(UnitCodecs::AsBytes("\x18\x11" "20240229120000.5Z")));
    EXPECT_EQ(back.Getp("Value"), "2024-02-29 12:00:00.500");
    // Not ending in Z: kept as an entity.
    UnitAsn1::DecodeHexIntoNode(back, HexEncode(UnitCodecs::AsBytes("\x17\x0B" "2405010930+")));
    EXPECT_EQ(back.GetName(), "ENTITY");
    EXPECT_EQ(back.Getp("Tag"), "23");
}

TEST(Asn1Decode, DecodingIntoAFilledNodeReplacesWhatItHeld)
{
    // Children of an earlier decode are not kept.
    TXmlDoc node;
    ASSERT_EQ(UnitAsn1::DecodeHexIntoNode(node, "3010020101"), 2);
    EXPECT_EQ(UnitAsn1::DecodeHexIntoNode(node, "308F"), 1);
    EXPECT_EQ(node.GetNodeCount(), 0);
    EXPECT_EQ(EncodeHex(node), "3000");
    // Nor properties: a long INTEGER's "Binary" would turn the next value into hex.
    ASSERT_EQ(UnitAsn1::DecodeHexIntoNode(node, "0206010203040506"), 1);
    ASSERT_EQ(UnitAsn1::DecodeHexIntoNode(node, "0201FF"), 1);
    EXPECT_EQ(node.Getp("Value"), "-1");
    EXPECT_EQ(EncodeHex(node), "0201FF");
    // Nor a node filled by the caller; the tree operation behaves the same.
    TXmlDoc filled("SEQUENCE", "old value");
    filled.Setp("Tag", "99");
    filled.New("INTEGER")->Setp("Value", "7");
    ASSERT_EQ(UnitAsn1::LoadFromDerHex(filled, "0500"), 1);
    EXPECT_EQ(filled.GetName(), "NULL");
    EXPECT_EQ(filled.GetNodeCount(), 0);
    EXPECT_EQ(filled.GetValue(), "");
    EXPECT_EQ(filled.FindProperty("Tag"), nullptr);
    EXPECT_EQ(EncodeHex(filled), "0500");
    // Nothing decodable leaves the node alone.
    EXPECT_EQ(UnitAsn1::DecodeHexIntoNode(filled, "05"), 0);
    EXPECT_EQ(filled.GetName(), "NULL");
}

TEST(Asn1Encode, ChildrenHexIsEmptyWhenOneChildFails)
{
    TXmlDoc parent("P");
    parent.New("INTEGER")->Setp("Value", "1");
    parent.New("Foo");
    std::string hex = "left over";
    EXPECT_FALSE(UnitAsn1::SaveToDerHex(parent, hex, true));
    EXPECT_EQ(hex, "");
    parent.DeleteNode(parent.ChildAt(1));
    EXPECT_TRUE(UnitAsn1::SaveToDerHex(parent, hex, true));
    EXPECT_EQ(hex, "020101");
}

TEST(Asn1Decode, IndefiniteLengthsBecomeDefinite)
{
    TXmlDoc node;
    EXPECT_EQ(UnitAsn1::DecodeHexIntoNode(node, "3080" "0500" "3080" "020101" "0000" "0000" "0500"), 4);
    EXPECT_EQ(node.GetName(), "SEQUENCE");
    ASSERT_EQ(node.GetNodeCount(), 2);
    EXPECT_EQ(EncodeHex(node), "3007" "0500" "3003020101");
}

TEST(Asn1Decode, ShortTruncatedAndDeepInputNeverFails)
{
    TXmlDoc node;
    EXPECT_EQ(UnitAsn1::DecodeHexIntoNode(node, ""), 0);
    EXPECT_EQ(UnitAsn1::DecodeHexIntoNode(node, "30"), 0);           // one byte
    EXPECT_EQ(UnitAsn1::DecodeHexIntoNode(node, "303"), 0);          // a byte and a half
    EXPECT_EQ(UnitAsn1::DecodeHexIntoNode(node, "3000"), 1);         // two bytes: an empty SEQUENCE
    EXPECT_EQ(node.GetName(), "SEQUENCE");
    EXPECT_EQ(EncodeHex(node), "3000");
    {
        TXmlDoc fresh;
        EXPECT_EQ(UnitAsn1::DecodeHexIntoNode(fresh, "3010020101"), 2);   // length past the end
        EXPECT_EQ(EncodeHex(fresh), "3003020101");
    }
    {
        TXmlDoc fresh;
        EXPECT_EQ(UnitAsn1::DecodeHexIntoNode(fresh, "308F"), 1);         // 15 length bytes, none there
        EXPECT_EQ(fresh.GetNodeCount(), 0);
    }
    // A million nested sequences: decoded without exhausting the stack.
    std::string deep;
    for (int i = 0; i < 1000000; ++i)
        deep += "3080";
    TXmlDoc deepNode;
    EXPECT_GT(UnitAsn1::DecodeHexIntoNode(deepNode, deep), 100);
    std::string hex;
    EXPECT_TRUE(UnitAsn1::EncodeNodeHex(deepNode, hex));
}

TEST(Asn1Encode, WorkPropertyAlwaysRemoved)
{
    TXmlDoc seq("SEQUENCE");
    seq.Setp("__asn1__", "caller left this");
    seq.New("INTEGER")->Setp("Value", "5");
    EncodeHex(seq);
    EXPECT_FALSE(HasWorkProperty(seq));
    seq.New("SIGNEDDATA");
    std::string hex;
    EXPECT_FALSE(UnitAsn1::EncodeNodeHex(seq, hex));
    EXPECT_EQ(UnitEncoding::Asn1ErrorWord(), UnitAsn1::SignedDataUnavailable);
    EXPECT_FALSE(HasWorkProperty(seq));
}

TEST(Asn1Encode, SignedDataBuilderBytesInsertedVerbatim)
{
    const UnitAsn1::TEntityBuilder builder = [](TXmlDoc& node) -> std::optional<UnitAsn1::TBytes> {
        if (node.Getp("Fail") == "1") {
            UnitEncoding::SetAsn1ErrorWord("SignatureFailed");
            return std::nullopt;
        }
        return UnitAsn1::TBytes{0x30, 0x00};
    };
    TXmlDoc seq("SEQUENCE");
    seq.New("SIGNEDDATA");
    std::string hex;
    ASSERT_TRUE(UnitAsn1::EncodeNodeHex(seq, hex, builder));
    EXPECT_EQ(hex, "30023000");

    // Through the encoding numbers of a table made with it: status OK, then the builder's word.
    const UnitEncoding::TEncodingTable table(UnitEncoding::TUpperNumbers{
        .DerToXml = UnitAsn1::DerToXml,
        .XmlToDer = [&](std::string_view xml) { return UnitAsn1::XmlToDer(xml, builder); },
        .Plugin = {},
    });
    const auto der = UnitEncoding::DecodeText("<SEQUENCE><SIGNEDDATA/></SEQUENCE>", 14, table);
    ASSERT_TRUE(der.has_value());
    EXPECT_EQ(HexEncode(*der), "30023000");
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "OK");
    EXPECT_FALSE(UnitEncoding::DecodeText("<SIGNEDDATA Fail=\"1\"/>", 14, table).has_value());
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "SignatureFailed");
}

TEST(Asn1Encode, OwnBytesVerbatimElementsAndChildrenKeepTheirOrder)
{
    // Every kind of content in one tree: an entity's own bytes before its children, a
    // BINARY's bytes standing for its children (an OBJECT among them), an OBJECT, the
    // builder's bytes and a plain INTEGER after them.
    const UnitAsn1::TEntityBuilder builder = [](TXmlDoc&) -> std::optional<UnitAsn1::TBytes> {
        return UnitAsn1::TBytes{0x04, 0x00};
    };
    TXmlDoc seq("SEQUENCE");
    TXmlDoc* entity = seq.New("ENTITY");
    entity->Setp("Tag", "160");
    entity->Setp("Value", "0102");
    entity->New("NULL");
    TXmlDoc* binary = seq.New("BINARY");
    binary->SetValue("0101FF");
    TXmlDoc* hidden = binary->New("OBJECT");
    hidden->Setp("ID", "1.2.3");
    binary->New("INTEGER")->Setp("Value", "9");
    TXmlDoc* object = seq.New("OBJECT");
    object->Setp("ID", "1.2.3");
    object->Setp("Type", "INTEGER");
    object->Setp("Value", "5");
    seq.New("SIGNEDDATA");
    seq.New("INTEGER")->Setp("Value", "7");
    std::string hex;
    ASSERT_TRUE(UnitAsn1::EncodeNodeHex(seq, hex, builder));
    EXPECT_EQ(hex, "3017" "A00401020500" "0101FF" "3007" "06022A03" "020105" "0400" "020107");
    EXPECT_FALSE(HasWorkProperty(seq));

    // A child the encoder does not know fails the BINARY above it too.
    binary->New("Unknown");
    EXPECT_FALSE(UnitAsn1::EncodeNodeHex(seq, hex, builder));
    EXPECT_FALSE(HasWorkProperty(seq));
}

TEST(Asn1Utf16, RealCharactersBothWays)
{
    EXPECT_EQ(UnitAsn1::TextToUtf16Hex("Ação"), "4100E700E3006F00");
    EXPECT_EQ(UnitAsn1::TextToUtf16Hex("\xF0\x9F\x98\x80"), "3DD800DE");   // U+1F600 as a surrogate pair
    EXPECT_EQ(UnitAsn1::Utf16HexToText("00410063006700E3006F"), "Acgão");
    EXPECT_EQ(UnitAsn1::Utf16HexToText("FFFE4100E700"), "Aç");
    EXPECT_EQ(UnitAsn1::Utf16HexToText("D83DDE00"), "\xF0\x9F\x98\x80");
}

TEST(Asn1Certificates, PemBase64AndFiles)
{
    const std::string der = "3003020105";
    const std::string base64 = UnitEncoding::EncodeBytes(HexDecode(der), 7);
    EXPECT_EQ(UnitAsn1::CertificateFromBase64(base64), der);
    const std::string pem = "-----BEGIN CERTIFICATE-----\r\n" + base64 + "-----END CERTIFICATE-----\r\n";
    // Base64 carries the certificate's bytes: DER, or a whole PEM file.
    EXPECT_EQ(UnitAsn1::CertificateFromBase64(UnitEncoding::EncodeText(pem, 7)), der);
    // PEM text is not base64 of anything: it gives no certificate.
    EXPECT_EQ(UnitAsn1::CertificateFromBase64(pem), "");
    EXPECT_EQ(UnitAsn1::CertificateFromBase64("bm90IGEgY2VydGlmaWNhdGU="), "");  // "not a certificate"
    EXPECT_EQ(UnitAsn1::CertificateFromText(pem), der);
    EXPECT_EQ(UnitAsn1::CertificateFromText(der), der);
    EXPECT_EQ(UnitAsn1::CertificateFromText("no markers here"), "");

    const auto dir = std::filesystem::temp_directory_path() / "asn1-cert-test";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "c.pem") << pem;
    EXPECT_EQ(UnitAsn1::CertificateFromFile((dir / "c.pem").string()), der);
    EXPECT_FALSE(UnitAsn1::CertificateFromFile((dir / "missing.pem").string()).has_value());
    std::filesystem::remove_all(dir);
}

TEST(Asn1Certificates, SystemBundleRoundTripsThroughXml)
{
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/etc/ssl/certs")) {
        if (entry.path().extension() != ".pem")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string pem{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const UnitAsn1::TBytes der = HexDecode(UnitAsn1::PemToHex(pem));
        ASSERT_FALSE(der.empty()) << entry.path();
        const std::string xml = UnitEncoding::EncodeBytes(der, 14, UnitLibraryEncodings::Table());
        ASSERT_EQ(UnitEncoding::ConversionStatus(), "OK") << entry.path();
        const auto back = UnitEncoding::DecodeText(xml, 14, UnitLibraryEncodings::Table());
        ASSERT_TRUE(back.has_value()) << entry.path();
        EXPECT_EQ(*back, der) << entry.path();
        ++count;

        if (count == 1) {
            TXmlDoc cert;
            UnitAsn1::DecodeIntoNode(cert, der);
            EXPECT_EQ(cert.ChildAt(0)->ChildAt(0)->GetName(), "CONTEXT");   // [0] version
        }
    }
    EXPECT_GT(count, 100);
}

TEST(Asn1Encode, DeepTreesEncodeOrFailWithoutExhaustingTheStack)
{
    // As deep as the XML reader builds: encoded, and decoded back as far as the decoder follows.
    TXmlDoc root("SEQUENCE");
    TXmlDoc* node = &root;
    for (size_t i = 1; i < TXmlDoc::MaxReadDepth; ++i)
        node = node->New("SEQUENCE");
    node->New("INTEGER")->Setp("Value", "7");
    auto der = UnitAsn1::EncodeNode(root);
    ASSERT_TRUE(der.has_value());
    EXPECT_EQ(der->back(), 0x07);
    TXmlDoc back;
    EXPECT_EQ(UnitAsn1::DecodeIntoNode(back, *der), 257);   // the rest kept as hex at the cap
    EXPECT_EQ(UnitAsn1::EncodeNode(back), der);

    // Far deeper trees, only buildable in code, are refused rather than followed.
    for (int i = 0; i < 100000; ++i)
        node = node->New("SEQUENCE");
    EXPECT_FALSE(UnitAsn1::EncodeNode(root).has_value());
    bool clean = true;
    for (const TXmlDoc* n = &root; n; n = n->ChildAt(0))
        clean = clean && n->FindProperty("__asn1__") == nullptr;
    EXPECT_TRUE(clean);
}

TEST(Asn1Encode, LargeHexValuesWrittenStraightFromTheTree)
{
    // More than one of the slices the writer decodes at a time, with an odd trailing digit
    // that the hex reading ignores, as for short values.
    std::string hex;
    for (int i = 0; i < 70000; ++i)
        hex += HexEncode(std::vector<uint8_t>{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
    TXmlDoc seq("SEQUENCE");
    TXmlDoc* octets = seq.New("OCTETSTRING");
    octets->Setp("Binary", "1");
    octets->Setp("Value", hex + "F");
    seq.New("UTF8STRING")->Setp("Value", "plain text");
    auto der = UnitAsn1::EncodeNode(seq);
    ASSERT_TRUE(der.has_value());
    const auto content = HexDecode(hex);
    ASSERT_EQ(der->size(), 5 + 5 + content.size() + 12);  // two headers with 3-byte lengths
    EXPECT_TRUE(std::equal(content.begin(), content.end(), der->begin() + 10));
    EXPECT_EQ(HexEncode(std::span(*der).last(12)), "0C0A706C61696E2074657874");
}

TEST(Asn1Time, OutOfRangeTimesKeepTheirBytesThroughTheTree)
{
    // Month 99 of year 9999 normalises past the four-digit years of the text form; the
    // unchanged node must still give back its own bytes, however the text reads.
    for (const std::string content : {"99999999999999Z", "9999999999Z", "00000000000000Z"}) {
        const std::string tag = content.size() == 15 ? "18" : "17";
        const std::string der = tag + HexEncode(std::vector<uint8_t>{static_cast<uint8_t>(content.size())})
            + HexEncode(std::vector<uint8_t>(content.begin(), content.end()));
        TXmlDoc node;
        ASSERT_EQ(UnitAsn1::DecodeHexIntoNode(node, der), 1);
        EXPECT_EQ(EncodeHex(node), der) << content;
    }
}
