#include "crypto/UnitCertificateDescription.h"

#include "core/UnitStatusWords.h"
#include "crypto/UnitAsn1.h"
#include "crypto/UnitAsn1Shape.h"
#include "crypto/UnitCryptHash.h"
#include "crypto/UnitCryptKeyRSA.h"
#include "crypto/UnitOpenSsl.h"
#include "encoding/UnitCodecs.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <sys/time.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <utility>

namespace UnitCertificateDescription {

namespace {

using UnitXmlDoc::Prop;

using UnitCodecs::HexDecode;
using UnitCodecs::HexEncode;
using UnitCryptHash::TCryptHash;

constexpr std::string_view Sha1Oid = "1.3.14.3.2.26";
constexpr std::string_view RsaEncryptionOid = "1.2.840.113549.1.1.1";

// ------------------------------------------------------------------ reading the decoded tree

const TXmlDoc* At(const TXmlDoc* node, size_t index) { return node != nullptr ? node->ChildAt(index) : nullptr; }


bool Named(const TXmlDoc* node, std::string_view name) { return node != nullptr && node->GetName() == name; }

bool IsEntity(const TXmlDoc* node, std::string_view tag) { return Named(node, "ENTITY") && Prop(node, "Tag") == tag; }

bool ValidUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t more = 0;
        if (c < 0x80)
            more = 0;
        else if ((c & 0xE0) == 0xC0 && c >= 0xC2)
            more = 1;
        else if ((c & 0xF0) == 0xE0)
            more = 2;
        else if ((c & 0xF8) == 0xF0 && c <= 0xF4)
            more = 3;
        else
            return false;
        if (more > 0 && i + more >= text.size())
            return false;
        for (size_t k = 1; k <= more; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += more + 1;
    }
    return true;
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return;
    UnitCodecs::AppendUtf8(out, cp);
}

// Bytes of an 8-bit string type as text: kept when they already are UTF-8, else read as Latin-1.
std::string BytesText(const UnitCodecs::TBytes& bytes)
{
    const std::string_view raw = UnitCodecs::AsText(bytes);
    if (ValidUtf8(raw))
        return std::string(raw);
    std::string out;
    for (uint8_t b : bytes)
        AppendUtf8(out, b);
    return out;
}

// The text of a decoded string value: text types as the decoder wrote them, hex ones (IA5,
// OCTET STRING, and the types the decoder keeps as ENTITY) turned back into text.
std::string ValueText(const TXmlDoc* node)
{
    if (node == nullptr)
        return {};
    const std::string& name = node->GetName();
    const std::string value(Prop(node, "Value"));
    if (name == "ENTITY") {
        const std::string tag(Prop(node, "Tag"));
        if (tag == "30")  // BMPString
            return UnitAsn1::Utf16HexToText(value);
        if (tag == "28") {  // UniversalString
            const auto bytes = HexDecode(value);
            std::string out;
            for (size_t i = 0; i + 3 < bytes.size(); i += 4)
                AppendUtf8(out, (uint32_t(bytes[i]) << 24) | (uint32_t(bytes[i + 1]) << 16) | (uint32_t(bytes[i + 2]) << 8)
                                    | bytes[i + 3]);
            return out;
        }
        return BytesText(HexDecode(value));
    }
    if (Prop(node, "Binary") == "1" || name == "IA5STRING" || name == "OCTETSTRING")
        return BytesText(HexDecode(value));
    return value;
}

std::string EncodeHex(TXmlDoc& node)
{
    std::string hex;
    UnitAsn1::EncodeNodeHex(node, hex);
    return hex;
}

std::string EncodeCopyHex(const TXmlDoc& node)
{
    const auto copy = node.Duplicate();
    return EncodeHex(*copy);
}

void AddCopy(TXmlDoc& target, const std::string& name, const TXmlDoc& source) { target.New(name)->NewFromClone(source); }

TXmlDoc* AddText(TXmlDoc& target, const std::string& name, std::string value)
{
    TXmlDoc* child = target.New(name);
    child->SetValue(std::move(value));
    return child;
}

// ------------------------------------------------------------------ shapes

struct TShapes {
    std::unique_ptr<TXmlDoc> OtherNamePrintable, OtherNameOctets, OtherNameUtf8, OtherNameIa5;
    std::unique_ptr<TXmlDoc> PolicyCps, PolicyCpsNotice;
    std::unique_ptr<TXmlDoc> DistributionPointFullName;
    std::unique_ptr<TXmlDoc> AccessDescriptionUri;

    TShapes()
    {
        using UnitAsn1Shape::ShapeFromXml;
        OtherNamePrintable = ShapeFromXml("<CONTEXT><OID/><CONTEXT><PRINTABLESTRING/></CONTEXT></CONTEXT>");
        OtherNameOctets = ShapeFromXml("<CONTEXT><OID/><CONTEXT><OCTETSTRING/></CONTEXT></CONTEXT>");
        OtherNameUtf8 = ShapeFromXml("<CONTEXT><OID/><CONTEXT><UTF8STRING/></CONTEXT></CONTEXT>");
        OtherNameIa5 = ShapeFromXml("<CONTEXT><OID/><CONTEXT><IA5STRING/></CONTEXT></CONTEXT>");
        PolicyCps = ShapeFromXml(
            "<SEQUENCE><OID/><SEQUENCE><SEQUENCE><OID Value=\"1.3.6.1.5.5.7.2.1\"/><IA5STRING/></SEQUENCE>"
            "</SEQUENCE></SEQUENCE>");
        PolicyCpsNotice = ShapeFromXml(
            "<SEQUENCE><OID/><SEQUENCE><SEQUENCE><OID Value=\"1.3.6.1.5.5.7.2.1\"/><IA5STRING/></SEQUENCE>"
            "<SEQUENCE><OID Value=\"1.3.6.1.5.5.7.2.2\"/><SEQUENCE _count=\"Ignore\" _dummynodes=\"1\"/></SEQUENCE>"
            "</SEQUENCE></SEQUENCE>");
        DistributionPointFullName =
            ShapeFromXml("<SEQUENCE _count=\"AtLeast\"><CONTEXT><CONTEXT _dummynodes=\"1\"/></CONTEXT></SEQUENCE>");
        AccessDescriptionUri = ShapeFromXml("<SEQUENCE><OID/><ENTITY Tag=\"134\"/></SEQUENCE>");
    }
};

const TShapes& Shapes()
{
    static const TShapes shapes;
    return shapes;
}

// ------------------------------------------------------------------ tables

struct TPair {
    std::string_view Oid;
    std::string_view Name;
};

constexpr std::array<TPair, 10> NameAttributes{{
    {"2.5.4.3", "CN"},
    {"2.5.4.6", "C"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "ST"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"2.5.4.13", "Description"},
    {"1.2.840.113549.1.9.1", "E"},
    {"2.5.4.5", "SerialNumber"},
    {"2.5.4.97", "OrgID"},
}};

constexpr std::array<TPair, 7> Purposes{{
    {"1.3.6.1.5.5.7.3.1", "ServerAuthentication"},
    {"1.3.6.1.5.5.7.3.2", "ClientAuthentication"},
    {"1.3.6.1.5.5.7.3.3", "CodeSigning"},
    {"1.3.6.1.5.5.7.3.4", "EmailProtection"},
    {"1.3.6.1.5.5.7.3.8", "TimeStamping"},
    {"1.3.6.1.5.5.7.3.9", "OCSPSigning"},
    {"1.3.6.1.4.1.311.10.3.4", "MSEFS"},
}};

constexpr std::array<TPair, 8> OtherNames{{
    {"2.16.76.1.3.1", "ICPBrasilOtherNameTitular"},
    {"2.16.76.1.3.2", "ICPBrasilOtherNameResponsavel"},
    {"2.16.76.1.3.3", "ICPBrasilOtherNameCNPJ"},
    {"2.16.76.1.3.4", "ICPBrasilOtherNameDadosResponsavel"},
    {"2.16.76.1.3.5", "ICPBrasilOtherNameDadosTituloEleitor"},
    {"2.16.76.1.3.6", "ICPBrasilOtherNameCeiPF"},
    {"2.16.76.1.3.7", "ICPBrasilOtherNameCeiPJ"},
    {"2.16.76.1.3.8", "ICPBrasilOtherNameEmpresa"},
}};

struct TPolicyRow {
    std::string_view Oid;
    bool Under;
    std::string_view Type;
};

constexpr std::array<TPolicyRow, 27> PolicyTypes{{
    {"2.16.76.1.2.1", true, "ICPBrasilA1"},
    {"2.16.76.1.2.2", true, "ICPBrasilA2"},
    {"2.16.76.1.2.3", true, "ICPBrasilA3"},
    {"2.16.76.1.2.4", true, "ICPBrasilA4"},
    {"2.16.76.1.2.101", true, "ICPBrasilS1"},
    {"2.16.76.1.2.102", true, "ICPBrasilS2"},
    {"2.16.76.1.2.103", true, "ICPBrasilS3"},
    {"2.16.76.1.2.104", true, "ICPBrasilS4"},
    {"2.16.76.1.2.201", true, "ICPBrasilCA"},
    {"2.16.76.1.2.303", true, "ICPBrasilT3"},
    {"2.16.76.1.2.304", true, "ICPBrasilT4"},
    {"2.16.76.1.1.0", false, "ICPBrasilRaiz"},
    {"1.3.6.1.4.1.61525.1.1.1", false, "ICPPellamRv1"},
    {"1.3.6.1.4.1.61525.1.1.2", false, "ICPPellamCAv1"},
    {"1.3.6.1.4.1.61525.1.1.3", false, "ICPPellamCA1People"},
    {"1.3.6.1.4.1.61525.1.1.4", false, "ICPPellamCA1Tester"},
    {"1.3.6.1.4.1.61525.1.1.5", false, "ICPPellamCA1TSA"},
    {"1.3.6.1.4.1.61525.1.1.6", false, "ICPPellamCA1Codesigner"},
    {"1.3.6.1.4.1.61525.1.1.7", false, "ICPPellamCA1SSL"},
    {"1.3.6.1.4.1.61525.1.1.8", false, "ICPPellamCA1Public"},
    {"1.3.6.1.4.1.61524.1.2.1", false, "ICPTSPeople"},
    {"1.3.6.1.4.1.61524.1.2.2", false, "ICPTSTester"},
    {"1.3.6.1.4.1.61525.1.1.9", false, "ICPPellamRv2"},
    {"1.3.6.1.4.1.61524.1.2.3", false, "ICPTSVarnelCA"},
    {"1.3.6.1.4.1.61524.1.2.4", false, "ICPTSVarnelPublisher"},
    {"1.3.6.1.4.1.61524.1.2.5", false, "ICPTSVarnelTerminal"},
    {"1.3.6.1.4.1.61524.1.2.6", false, "ICPTSVarnelPassport"},
}};

template <size_t N>
std::string_view Lookup(const std::array<TPair, N>& table, std::string_view oid)
{
    for (const TPair& row : table)
        if (row.Oid == oid)
            return row.Name;
    return {};
}

// ------------------------------------------------------------------ extensions

void DescribeKeyUsage(const TXmlDoc& value, const std::string& valueHex, TXmlDoc& content)
{
    if (Named(&value, "BITSTRING"))
        UnitAsn1::BitStringToFlagNames(valueHex, UnitAsn1::KeyUsageNames(), 8, content);
}

void DescribeExtendedKeyUsage(const TXmlDoc& value, TXmlDoc& content)
{
    if (!Named(&value, "SEQUENCE"))
        return;
    for (size_t i = 0; const TXmlDoc* purpose = value.ChildAt(i); ++i) {
        if (!Named(purpose, "OID"))
            continue;
        const std::string oid(Prop(purpose, "Value"));
        const std::string_view name = Lookup(Purposes, oid);
        if (name.empty())
            AddText(content, "Unknown", oid);
        else
            content.New(std::string(name));
    }
}

void DescribeBasicConstraints(const TXmlDoc& value, TXmlDoc& content)
{
    if (!Named(&value, "SEQUENCE"))
        return;
    for (size_t i = 0; const TXmlDoc* field = value.ChildAt(i); ++i) {
        if (Named(field, "BOOLEAN"))
            AddText(content, "CA", std::string(Prop(field, "Value")));
        else if (Named(field, "INTEGER"))
            AddText(content, "PathLength", std::string(Prop(field, "Value")));
    }
}

// An implicitly tagged INTEGER's content read the way the decoder reads INTEGERs (decimal up
// to 5 bytes, else hex), so it compares with the issuer's own "SerialNumber".
std::string IntegerFromContent(const std::string& contentHex)
{
    const auto content = HexDecode(contentHex);
    if (content.empty())
        return {};
    UnitCodecs::TBytes element{0x02};
    size_t length = content.size();
    if (length < 0x80) {
        element.push_back(static_cast<uint8_t>(length));
    } else {
        UnitCodecs::TBytes digits;
        for (; length > 0; length >>= 8)
            digits.insert(digits.begin(), static_cast<uint8_t>(length & 0xFF));
        element.push_back(static_cast<uint8_t>(0x80 | digits.size()));
        element.insert(element.end(), digits.begin(), digits.end());
    }
    element.insert(element.end(), content.begin(), content.end());
    TXmlDoc integer;
    if (UnitAsn1::DecodeIntoNode(integer, element) == 0)
        return contentHex;
    return std::string(Prop(&integer, "Value"));
}

void DescribeAuthorityKeyIdentifier(const TXmlDoc& value, TXmlDoc& content)
{
    if (!Named(&value, "SEQUENCE"))
        return;
    for (size_t i = 0; const TXmlDoc* field = value.ChildAt(i); ++i) {
        if (IsEntity(field, "128")) {
            AddText(content, "KeyIdentifier", std::string(Prop(field, "Value")));
        } else if (Named(field, "161")) {
            for (size_t k = 0; const TXmlDoc* name = field->ChildAt(k); ++k)
                if (Named(name, "164") && name->ChildAt(0) != nullptr) {
                    DescribeName(*name->ChildAt(0), *content.New("Issuer"));
                    break;
                }
        } else if (IsEntity(field, "130")) {
            AddText(content, "SerialNumber", IntegerFromContent(std::string(Prop(field, "Value"))));
        }
    }
}

void DescribeGeneralNames(const TXmlDoc& value, TXmlDoc& content)
{
    if (!Named(&value, "SEQUENCE"))
        return;
    for (size_t i = 0; const TXmlDoc* name = value.ChildAt(i); ++i)
        DescribeGeneralName(*name, content);
}

// The explicit text of a UserNotice: the string beside the optional noticeRef SEQUENCE.
std::string NoticeText(const TXmlDoc* notice)
{
    for (size_t i = 0; const TXmlDoc* field = At(notice, i); ++i) {
        if (IsEntity(field, "26") || IsEntity(field, "30") || Named(field, "UTF8STRING") || Named(field, "IA5STRING"))
            return ValueText(field);
    }
    return {};
}

void DescribePolicies(const TXmlDoc& value, TXmlDoc& content)
{
    if (!Named(&value, "SEQUENCE"))
        return;
    const TShapes& shapes = Shapes();
    for (size_t i = 0; const TXmlDoc* policy = value.ChildAt(i); ++i) {
        TXmlDoc* node = content.New("Policy");
        // The policy OID is written for every policy, so the type by policy works for
        // policies without qualifiers too.
        const TXmlDoc* oid = policy->ChildAt(0);
        if (Named(oid, "OID"))
            AddText(*node, "ID", std::string(Prop(oid, "Value")));
        const TXmlDoc* qualifiers = policy->ChildAt(1);
        switch (UnitAsn1Shape::FirstMatch(*policy, {shapes.PolicyCps.get(), shapes.PolicyCpsNotice.get()})) {
        case 0:
            AddText(*node, "URL", ValueText(At(At(qualifiers, 0), 1)));
            break;
        case 1:
            AddText(*node, "URL", ValueText(At(At(qualifiers, 0), 1)));
            AddText(*node, "UserNotice", NoticeText(At(At(qualifiers, 1), 1)));
            break;
        default:
            AddText(*node, "Content", EncodeCopyHex(*policy));
            break;
        }
    }
}

void DescribeDistributionPoints(const TXmlDoc& value, TXmlDoc& content)
{
    if (!Named(&value, "SEQUENCE"))
        return;
    const TXmlDoc& shape = *Shapes().DistributionPointFullName;
    for (size_t i = 0; const TXmlDoc* point = value.ChildAt(i); ++i) {
        bool found = false;
        if (UnitAsn1Shape::Matches(*point, shape)) {
            const TXmlDoc* fullName = At(At(point, 0), 0);
            for (size_t k = 0; const TXmlDoc* name = At(fullName, k); ++k)
                if (IsEntity(name, "134")) {
                    AddText(content, "URL", ValueText(name));
                    found = true;
                }
        }
        if (!found)
            AddCopy(content, "Other", *point);
    }
}

void DescribeAuthorityInfo(const TXmlDoc& value, TXmlDoc& content)
{
    if (!Named(&value, "SEQUENCE"))
        return;
    const TXmlDoc& shape = *Shapes().AccessDescriptionUri;
    for (size_t i = 0; const TXmlDoc* access = value.ChildAt(i); ++i) {
        if (!UnitAsn1Shape::Matches(*access, shape)) {
            AddCopy(content, "Other", *access);
            continue;
        }
        const std::string method(Prop(access->ChildAt(0), "Value"));
        std::string url = ValueText(access->ChildAt(1));
        if (method == "1.3.6.1.5.5.7.48.1") {
            AddText(content, "OCSPURL", std::move(url));
        } else if (method == "1.3.6.1.5.5.7.48.2") {
            AddText(content, "IssuersURL", std::move(url));
        } else {
            TXmlDoc* info = content.New("Info");
            AddText(*info, "ID", method);
            AddText(*info, "URL", std::move(url));
        }
    }
}

void DescribeExtension(const TXmlDoc& extension, TXmlDoc& target)
{
    std::string oid;
    bool critical = false;
    const TXmlDoc* octets = nullptr;
    for (size_t i = 0; const TXmlDoc* field = extension.ChildAt(i); ++i) {
        if (i == 0 && Named(field, "OID"))
            oid = Prop(field, "Value");
        else if (Named(field, "BOOLEAN"))
            critical = Prop(field, "Value") == "1";
        else if (Named(field, "OCTETSTRING"))
            octets = field;
    }
    const std::string valueHex(Prop(octets, "Value"));
    TXmlDoc value;
    const bool decoded = !valueHex.empty() && UnitAsn1::DecodeHexIntoNode(value, valueHex) > 0;

    auto open = [&](std::string_view name) {
        TXmlDoc* node = target.New(std::string(name));
        node->New("Critical")->SetAsBool(critical);
        return node->New("Content");
    };

    if (decoded) {
        if (oid == "2.5.29.15")
            return DescribeKeyUsage(value, valueHex, *open("KeyUsage"));
        if (oid == "2.5.29.37")
            return DescribeExtendedKeyUsage(value, *open("ExtendedKeyUsage"));
        if (oid == "2.5.29.19")
            return DescribeBasicConstraints(value, *open("BasicConstraintsV3"));
        if (oid == "2.5.29.14") {
            TXmlDoc* content = open("SubjectKeyIdentifier");
            if (Named(&value, "OCTETSTRING"))
                AddText(*content, "KeyIdentifier", std::string(Prop(&value, "Value")));
            else
                content->SetValue(valueHex);
            return;
        }
        if (oid == "2.5.29.35")
            return DescribeAuthorityKeyIdentifier(value, *open("AuthorityKeyIdentifierV2"));
        if (oid == "2.5.29.17")
            return DescribeGeneralNames(value, *open("SubjectAlternativeNameV2"));
        if (oid == "2.5.29.18")
            return DescribeGeneralNames(value, *open("IssuerAlternativeNameV2"));
        if (oid == "2.5.29.32")
            return DescribePolicies(value, *open("CertificatePoliciesV2"));
        if (oid == "2.5.29.31")
            return DescribeDistributionPoints(value, *open("CRLDistributionPointsV2"));
        if (oid == "1.3.6.1.5.5.7.1.1")
            return DescribeAuthorityInfo(value, *open("CertificateAuthorityInfo"));
        if (oid == "1.3.6.1.4.1.311.20.2") {
            open("MSCertificateTemplateName")->SetValue(ValueText(&value));
            return;
        }
        if (oid == "1.3.6.1.4.1.311.21.1") {
            open("MSCAVersion")->SetValue(std::string(Prop(&value, "Value")));
            return;
        }
    }
    TXmlDoc* info = target.New("Info");
    AddText(*info, "ID", oid);
    info->New("Critical")->SetAsBool(critical);
    AddText(*info, "Content", valueHex);
}

// ------------------------------------------------------------------ certificate fields

std::string UtcText(const UnitAsn1::TUtcTime& t)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.Year, t.Month, t.Day, t.Hour, t.Minute,
                  t.Second, t.MilliSecond);
    return buffer;
}

std::string NowUtcText()
{
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    const time_t seconds = tv.tv_sec;
    struct tm utc {};
    gmtime_r(&seconds, &utc);
    return UtcText({utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                    static_cast<int>(tv.tv_usec / 1000)});
}

// The UTC text of a local time text; "" for the empty text.
std::string LocalToUtcText(const std::string& text)
{
    if (text.empty())
        return {};
    return UtcText(UnitAsn1::TextToUtc(text, false));
}

bool IsRsaOid(std::string_view oid)
{
    if (oid == RsaEncryptionOid)
        return true;
    for (int i = 0; i < UnitCryptHash::HashRowCount; ++i)
        if (UnitCryptHash::HashRow(*UnitCryptHash::HashFromNumber(i)).SignatureOid == oid)
            return true;
    return false;
}

std::string TimeValue(const TXmlDoc* time)
{
    return Named(time, "UTCTIME") || Named(time, "GENTIME") ? std::string(Prop(time, "Value")) : std::string();
}

void DescribePublicKey(TXmlDoc* info, TXmlDoc& target)
{
    const TXmlDoc* algorithm = At(At(info, 0), 0);
    const std::string oid = Named(algorithm, "OID") ? std::string(Prop(algorithm, "Value")) : std::string();
    AddText(target, "Type", oid);
    const TXmlDoc* bits = At(info, 1);
    if (IsRsaOid(oid)) {
        if (!Named(bits, "BITSTRING"))
            return;
        const auto key = HexDecode(Prop(bits, "Value"));
        UnitCryptKeyRSA::TCryptKeyRSA rsa;
        try {
            if (!rsa.LoadFromDer(key, false))
                return;
        } catch (...) {
            return;
        }
        AddText(target, "Value", UnitCodecs::Base64Encode(key, true));
        AddText(target, "Size", std::to_string(rsa.Size() * 8));
        return;
    }
    // Other keys get their size from the crypto library, when it reads them.
    if (info == nullptr)
        return;
    const auto der = HexDecode(EncodeHex(*info));
    const unsigned char* cursor = der.data();
    UnitOpenSsl::TPkeyPtr key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())));
    if (key && EVP_PKEY_get_bits(key.get()) > 0)
        AddText(target, "Size", std::to_string(EVP_PKEY_get_bits(key.get())));
}

void WriteIfOpen(TXmlDoc& description, std::string_view signatureStatus, const TRevocationResult& revocation)
{
    TXmlDoc* status = description.GetNode("Signature\\Status");
    if (status->IsEmpty() || status->GetValue() == Words::OK)
        status->SetValue(std::string(signatureStatus));
    TXmlDoc* revocationNode = description.GetNode("Revocation");
    TXmlDoc* revocationStatus = revocationNode->GetNode("Status");
    if (revocationStatus->IsEmpty() || revocationStatus->GetValue() == Words::OK) {
        revocationStatus->SetValue(revocation.Status);
        revocationNode->GetNode("Moment")->SetValue(revocation.Moment);
        revocationNode->GetNode("MomentUser")->SetValue(UserDateTime(revocation.Moment));
        revocationNode->GetNode("Emission")->SetValue(revocation.Emission);
        revocationNode->GetNode("EmissionUser")->SetValue(UserDateTime(revocation.Emission));
        revocationNode->GetNode("Validity")->SetValue(revocation.Validity);
        revocationNode->GetNode("ValidityUser")->SetValue(UserDateTime(revocation.Validity));
    }
}

void WriteExpiration(TXmlDoc& description)
{
    const std::string to = LocalToUtcText(description.GetNode("Validity\\To")->GetValue());
    const std::string from = LocalToUtcText(description.GetNode("Validity\\From")->GetValue());
    const std::string now = NowUtcText();
    std::string status(Words::OK);
    if (to <= now)
        status = "Expired";
    else if (from > now)
        status = "Invalid";
    description.GetNode("Expiration\\Status")->SetValue(status);
}

// The TBSCertificate fields by position; a certificate without the [0] version wrapper
// (version 1) has every field one place earlier.
struct TFields {
    TXmlDoc* Tbs = nullptr;
    TXmlDoc* Version = nullptr;
    TXmlDoc* Serial = nullptr;
    TXmlDoc* Issuer = nullptr;
    TXmlDoc* Validity = nullptr;
    TXmlDoc* Subject = nullptr;
    TXmlDoc* PublicKey = nullptr;
    TXmlDoc* Extensions = nullptr;
    int VersionNumber = 1;
};

TFields FieldsOf(TXmlDoc& certificate)
{
    TFields f;
    f.Tbs = certificate.ChildAt(0);
    if (f.Tbs == nullptr)
        return f;
    size_t base = 0;
    if (Named(f.Tbs->ChildAt(0), "CONTEXT")) {
        f.Version = f.Tbs->ChildAt(0);
        const TXmlDoc* integer = f.Version->ChildAt(0);
        int32_t number = 0;
        if (Named(integer, "INTEGER") && UnitXmlDoc::TextToInt32(Prop(integer, "Value"), number) && number >= 0
            && number < 1000)
            f.VersionNumber = number + 1;
        base = 1;
    }
    f.Serial = f.Tbs->ChildAt(base + 0);
    f.Issuer = f.Tbs->ChildAt(base + 2);
    f.Validity = f.Tbs->ChildAt(base + 3);
    f.Subject = f.Tbs->ChildAt(base + 4);
    f.PublicKey = f.Tbs->ChildAt(base + 5);
    for (size_t i = base + 6; TXmlDoc* field = f.Tbs->ChildAt(i); ++i)
        if (Named(field, "163"))
            f.Extensions = field;
    return f;
}

std::string NameDigest(TXmlDoc* name)
{
    if (name == nullptr)
        return {};
    return UnitCryptHash::DigestHex(EncodeHex(*name), TCryptHash::SHA1);
}

}  // namespace

// ==================================================================== entry points

std::string DescriptionName(const TXmlDoc& certificate)
{
    const auto copy = certificate.Duplicate();
    const TFields fields = FieldsOf(*copy);
    if (fields.Subject == nullptr)
        return {};
    return "C" + NameDigest(fields.Subject);
}

TXmlDoc* DescribeCertificate(const TXmlDoc& certificate, std::string_view signatureStatus,
                             const TRevocationResult& revocation, const TReportContext& context,
                             std::span<const uint8_t> der)
{
    if (context.Certificates == nullptr)
        return nullptr;
    const auto copy = certificate.Duplicate();
    const TFields fields = FieldsOf(*copy);

    UnitCodecs::TBytes encoded;
    if (der.empty()) {
        encoded = HexDecode(EncodeHex(*copy));
        der = encoded;
    }
    const std::string thumbprint = NameDigest(fields.Subject);
    const std::string issuerThumbprint = NameDigest(fields.Issuer);
    const std::string name = "C" + thumbprint;
    if (context.Chain != nullptr)
        context.Chain->New(name);

    TXmlDoc* description = context.Certificates->FindNode(name);
    if (description == nullptr) {
        description = context.Certificates->New(name);
        TXmlDoc* header = description->New("Header");
        AddText(*header, "Version", std::to_string(fields.VersionNumber));
        AddText(*header, "Size", std::to_string(der.size()));
        AddText(*header, "HashAlgorithm", std::string(Sha1Oid));
        AddText(*header, "Hash", UnitCryptHash::DigestBytes(der, TCryptHash::SHA1));
        AddText(*header, "ThumbprintSHA1", thumbprint);
        AddText(*header, "IssuerThumbprintSHA1", issuerThumbprint);
        header->New("Root")->SetAsBool(!thumbprint.empty() && thumbprint == issuerThumbprint);
        TXmlDoc* type = AddText(*header, "Type", "Unknown");

        TXmlDoc* issuer = description->New("Issuer");
        if (fields.Issuer != nullptr)
            DescribeName(*fields.Issuer, *issuer);
        AddText(*description, "SerialNumber", std::string(Prop(fields.Serial, "Value")));
        TXmlDoc* subject = description->New("Subject");
        if (fields.Subject != nullptr)
            DescribeName(*fields.Subject, *subject);

        TXmlDoc* validity = description->New("Validity");
        const std::string from = TimeValue(At(fields.Validity, 0));
        const std::string to = TimeValue(At(fields.Validity, 1));
        AddText(*validity, "From", from);
        AddText(*validity, "To", to);
        AddText(*validity, "FromUser", UserDateTime(from));
        AddText(*validity, "ToUser", UserDateTime(to));

        DescribePublicKey(fields.PublicKey, *description->New("PublicKey"));

        if (fields.Extensions != nullptr) {
            TXmlDoc* extended = description->New("Extended");
            if (DescribeExtensions(*fields.Extensions, *extended)) {
                CollectResources(*extended, *description->New("Resources"));
                type->SetValue(CertificateType(*extended));
            }
        }
    }

    const TXmlDoc* algorithm = At(copy->ChildAt(1), 0);
    description->GetNode("Signature\\Algorithm")->SetValue(Named(algorithm, "OID") ? std::string(Prop(algorithm, "Value")) : std::string());
    WriteIfOpen(*description, signatureStatus, revocation);
    WriteExpiration(*description);
    return description;
}

void DescribeName(const TXmlDoc& name, TXmlDoc& target)
{
    for (size_t i = 0; const TXmlDoc* rdn = name.ChildAt(i); ++i) {
        const TXmlDoc* attribute = rdn->ChildAt(0);
        const TXmlDoc* type = At(attribute, 0);
        const TXmlDoc* value = At(attribute, 1);
        if (!Named(type, "OID"))
            continue;
        const std::string oid(Prop(type, "Value"));
        const std::string_view child = Lookup(NameAttributes, oid);
        if (!child.empty()) {
            AddText(target, std::string(child), ValueText(value));
            continue;
        }
        TXmlDoc* info = target.New("Info");
        AddText(*info, "ID", oid);
        AddText(*info, "Content", std::string(Prop(value, "Value")));
    }
}

void DescribeGeneralName(const TXmlDoc& generalName, TXmlDoc& target)
{
    if (IsEntity(&generalName, "129")) {
        AddText(target, "RFC822Name", ValueText(&generalName));
        return;
    }
    if (Named(&generalName, "161")) {
        AddText(target, "RFC822Name", generalName.ChildAt(0) != nullptr ? ValueText(generalName.ChildAt(0)) : std::string());
        return;
    }
    if (Named(&generalName, "164") && generalName.ChildAt(0) != nullptr) {
        DescribeName(*generalName.ChildAt(0), *target.New("Name"));
        return;
    }
    if (IsEntity(&generalName, "132")) {
        TXmlDoc name;
        UnitAsn1::DecodeHexIntoNode(name, Prop(&generalName, "Value"));
        DescribeName(name, *target.New("Name"));
        return;
    }
    const TShapes& shapes = Shapes();
    if (UnitAsn1Shape::FirstMatch(generalName, {shapes.OtherNamePrintable.get(), shapes.OtherNameOctets.get(),
                                                shapes.OtherNameUtf8.get(), shapes.OtherNameIa5.get()})
        >= 0) {
        const std::string oid(Prop(generalName.ChildAt(0), "Value"));
        const std::string_view child = Lookup(OtherNames, oid);
        if (child.empty())
            AddCopy(target, "ICPBrasilOtherName", generalName);
        else
            AddText(target, std::string(child), ValueText(generalName.ChildAt(1)->ChildAt(0)));
        return;
    }
    AddCopy(target, "Other", generalName);
}

bool DescribeExtensions(const TXmlDoc& extensions, TXmlDoc& target)
{
    const TXmlDoc* list = &extensions;
    if (Named(list, "163"))
        list = list->ChildAt(0);
    if (!Named(list, "SEQUENCE"))
        return false;
    for (size_t i = 0; const TXmlDoc* extension = list->ChildAt(i); ++i)
        if (Named(extension, "SEQUENCE"))
            DescribeExtension(*extension, target);
    return true;
}

void CollectResources(TXmlDoc& extended, TXmlDoc& resources)
{
    std::set<std::string> known;
    for (size_t i = 0; const TXmlDoc* resource = resources.ChildAt(i); ++i)
        known.insert(std::string(Prop(resource, "URL")));
    auto add = [&resources, &known](const std::string& type, const std::string& url) {
        if (!url.empty() && known.insert(url).second)
            resources.New(type)->Setp("URL", url);
    };
    for (size_t i = 0; const TXmlDoc* extension = extended.ChildAt(i); ++i) {
        const std::string& name = extension->GetName();
        const TXmlDoc* content = extension->FindNode("Content");
        if (content == nullptr)
            continue;
        for (size_t k = 0; const TXmlDoc* item = content->ChildAt(k); ++k) {
            if (name == "CertificatePoliciesV2" && item->GetName() == "Policy") {
                for (size_t u = 0; const TXmlDoc* field = item->ChildAt(u); ++u)
                    if (field->GetName() == "URL")
                        add("Policy", field->GetValue());
            } else if (name == "CRLDistributionPointsV2" && item->GetName() == "URL") {
                add("CRL", item->GetValue());
            } else if (name == "CertificateAuthorityInfo" && item->GetName() == "IssuersURL") {
                add("Issuer", item->GetValue());
            }
        }
    }
}

bool OidUnder(std::string_view oid, std::string_view arc)
{
    return oid.size() > arc.size() + 1 && oid.substr(0, arc.size()) == arc && oid[arc.size()] == '.';
}

std::string PolicyType(std::string_view policyOid)
{
    for (const TPolicyRow& row : PolicyTypes)
        if (row.Under ? OidUnder(policyOid, row.Oid) : policyOid == row.Oid)
            return std::string(row.Type);
    return std::string(Words::Unknown);
}

std::string CertificateType(TXmlDoc& extended)
{
    for (size_t i = 0; const TXmlDoc* extension = extended.ChildAt(i); ++i) {
        if (extension->GetName() != "CertificatePoliciesV2")
            continue;
        const TXmlDoc* content = extension->FindNode("Content");
        for (size_t k = 0; const TXmlDoc* policy = At(content, k); ++k) {
            const TXmlDoc* id = policy->FindNode("ID");
            if (policy->GetName() != "Policy" || id == nullptr)
                continue;
            std::string type = PolicyType(id->GetValue());
            if (type != Words::Unknown)
                return type;
        }
    }
    return std::string(Words::Unknown);
}

namespace {

std::string Slice(std::string_view text, size_t first, size_t count)
{
    // 1-based like the field positions of the holder record.
    if (first - 1 >= text.size())
        return {};
    return std::string(text.substr(first - 1, count));
}

bool Digits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

void SplitHolder(std::string_view holder, TXmlDoc& target)
{
    // The ICP-Brasil record: birth date (8, DDMMYYYY), CPF (11), NIS (11), RG (15), the RG's
    // issuing body and state (6).
    const std::string birth = Slice(holder, 1, 8);
    std::string birthUser;
    if (birth.size() == 8 && Digits(birth)) {
        const int day = std::stoi(birth.substr(0, 2));
        const int month = std::stoi(birth.substr(2, 2));
        const int year = std::stoi(birth.substr(4, 4));
        const double date = UnitXmlDoc::EncodeDateTime(year, month, day, 0, 0, 0, 0);
        int y, m, d, h, n, s, ms;
        if (date != 0 && UnitXmlDoc::DecodeDateTime(date, y, m, d, h, n, s, ms) && y == year && m == month && d == day)
            birthUser = UnitXmlDoc::DateTimeToText(date, TDateTimeKind::RegionalDate);
    }
    AddText(target, "ICPBrasilOtherNameNasc", birthUser);

    std::string cpf = Slice(holder, 9, 11);
    if (cpf.size() == 11)
        cpf = cpf.substr(0, 3) + "." + cpf.substr(3, 3) + "." + cpf.substr(6, 3) + "-" + cpf.substr(9, 2);
    AddText(target, "ICPBrasilOtherNameCPF", cpf);
    AddText(target, "ICPBrasilOtherNamePIS", Slice(holder, 20, 11));
    std::string rg = Slice(holder, 31, 15);
    const std::string issuer = Slice(holder, 46, 6);
    if (!issuer.empty())
        rg += " " + issuer;
    AddText(target, "ICPBrasilOtherNameRG", rg);
}

std::string UserDateTime(std::string_view timeText)
{
    if (timeText.empty())
        return {};
    const double value = UnitXmlDoc::TextToDateTime(timeText);
    if (value == 0)
        return {};
    return UnitXmlDoc::DateTimeToText(value, TDateTimeKind::Regional);
}

}  // namespace UnitCertificateDescription
