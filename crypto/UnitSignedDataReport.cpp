#include "crypto/UnitSignedDataReport.h"

#include "core/UnitStatusWords.h"
#include "core/UnitLocalUtils.h"
#include "crypto/UnitAsn1.h"
#include "crypto/UnitAsn1Shape.h"
#include "crypto/UnitCertificateDescription.h"
#include "crypto/UnitCryptHash.h"
#include "crypto/UnitOpenSsl.h"
#include "crypto/UnitRsaCheck.h"
#include "encoding/UnitCodecs.h"
#include "platform/UnitTrace.h"

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <charconv>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>

namespace UnitSignedDataReport {

namespace {

using UnitCodecs::HexDecode;
using UnitCodecs::HexEncode;
using UnitCryptHash::TCryptHash;
using TBytes = std::vector<uint8_t>;
using TBytesView = std::span<const uint8_t>;
using TCrlPtr = UnitOpenSsl::TOwned<X509_CRL, X509_CRL_free>;

constexpr std::string_view Sha1Oid = "1.3.14.3.2.26";
constexpr std::string_view RsaEncryptionOid = "1.2.840.113549.1.1.1";
constexpr std::string_view TimestampAttributeOid = "1.2.840.113549.1.9.16.2.14";
// Chains longer than this are cut: no real hierarchy comes near it, and a crafted set of
// certificates cannot make the walk long.
constexpr int MaxChainLength = 16;
// Time-stamp tokens inside time-stamp tokens are followed this deep.
constexpr int MaxNesting = 4;

// ---- DER elements, read without building a tree (the revocation lists can be huge)

struct TTlv {
    uint8_t Tag = 0;
    TBytesView Whole;
    TBytesView Content;
};

// One definite-length element from the front of `input`, which then starts after it.
bool ReadTlv(TBytesView& input, TTlv& tlv)
{
    if (input.size() < 2 || (input[0] & 0x1F) == 0x1F)
        return false;
    size_t header = 2;
    size_t length = input[1];
    if (length == 0x80)
        return false;
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count > 4 || input.size() < 2 + count)
            return false;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | input[2 + i];
        header += count;
    }
    if (length > input.size() - header)
        return false;
    tlv.Tag = input[0];
    tlv.Whole = input.first(header + length);
    tlv.Content = input.subspan(header, length);
    input = input.subspan(header + length);
    return true;
}

// The elements inside a constructed element; false when they do not fill it exactly.
bool Children(const TTlv& parent, std::vector<TTlv>& out)
{
    out.clear();
    TBytesView rest = parent.Content;
    while (!rest.empty()) {
        TTlv child;
        if (!ReadTlv(rest, child))
            return false;
        out.push_back(child);
    }
    return true;
}

// The segments of a constructed OCTET STRING appended to out; false for any other element.
bool AppendSegments(const TTlv& string, TBytes& out, int depth)
{
    if (string.Tag == 0x04) {
        out.insert(out.end(), string.Content.begin(), string.Content.end());
        return true;
    }
    std::vector<TTlv> segments;
    if (string.Tag != 0x24 || depth > 8 || !Children(string, segments))
        return false;
    for (const TTlv& segment : segments)
        if (!AppendSegments(segment, out, depth + 1))
            return false;
    return true;
}

bool ReadWhole(TBytesView bytes, TTlv& tlv)
{
    return ReadTlv(bytes, tlv) && bytes.empty();
}

std::unique_ptr<TXmlDoc> Decode(TBytesView der)
{
    auto node = std::make_unique<TXmlDoc>();
    if (UnitAsn1::DecodeIntoNode(*node, der) == 0)
        return nullptr;
    return node;
}

using UnitXmlDoc::Prop;

TXmlDoc* Child(const TXmlDoc* node, size_t index)
{
    return node ? node->ChildAt(index) : nullptr;
}

bool IsNamed(const TXmlDoc* node, std::string_view name)
{
    return node && node->GetName() == name;
}

// The text of a decoded value: hex values (OCTETSTRING, IA5STRING, ENTITY) as their bytes.
std::string ValueText(const TXmlDoc* node)
{
    if (!node)
        return {};
    const std::string value = Prop(node, "Value");
    if (UnitXmlDoc::TextToBool(Prop(node, "Binary")) || node->GetName() == "ENTITY") {
        const TBytes bytes = HexDecode(value);
        return {bytes.begin(), bytes.end()};
    }
    return value;
}

// The document name and description attributes are UTF-16 as Windows writes them (little-endian,
// without a byte-order mark, which is also what this system's builder writes); a mark, or
// text whose first unit reads as big-endian, is honoured.
std::string Utf16Text(const std::string& hex)
{
    const bool marked = hex.size() >= 4 && (UnitXmlDoc::SameText(hex.substr(0, 4), "FFFE") ||
                                            UnitXmlDoc::SameText(hex.substr(0, 4), "FEFF"));
    const bool littleEndian = hex.size() >= 4 && hex.substr(2, 2) == "00" && hex.substr(0, 2) != "00";
    return UnitAsn1::Utf16HexToText(!marked && littleEndian ? "FFFE" + hex : hex);
}

// ---- times: local time texts inside the report, UTC texts for comparisons

std::string Digits(int value, int width)
{
    std::string s = std::to_string(value < 0 ? 0 : value);
    if (static_cast<int>(s.size()) < width)
        s.insert(0, static_cast<size_t>(width) - s.size(), '0');
    return s;
}

std::string FieldsText(const UnitAsn1::TUtcTime& t)
{
    return Digits(t.Year, 4) + "-" + Digits(t.Month, 2) + "-" + Digits(t.Day, 2) + " " + Digits(t.Hour, 2) + ":" +
           Digits(t.Minute, 2) + ":" + Digits(t.Second, 2) + "." + Digits(t.MilliSecond, 3);
}

std::string UtcText(std::string_view localText)
{
    if (localText.empty())
        return {};
    return FieldsText(UnitAsn1::TextToUtc(localText, false));
}

std::string NowUtcText()
{
    const time_t now = time(nullptr);
    struct tm tm {};
    gmtime_r(&now, &tm);
    return FieldsText({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0});
}


// An ASN.1 time of the crypto library as the local time text and the UTC text.
bool Asn1Time(const ASN1_TIME* time, std::string& local, std::string& utc)
{
    struct tm tm {};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return false;
    const UnitAsn1::TUtcTime fields{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0};
    utc = FieldsText(fields);
    local = UnitAsn1::UtcToLocalText(fields);
    return true;
}

std::string UserForm(std::string_view localText)
{
    return UnitCertificateDescription::UserDateTime(localText);
}

std::string OidOf(const TXmlDoc* node)
{
    return IsNamed(node, "OID") ? Prop(node, "Value") : std::string();
}

bool InWordList(std::string_view list, std::string_view word)
{
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        if (list.substr(start, comma - start) == word)
            return true;
        start = comma + 1;
    }
    return false;
}

// True when the OID names RSA: rsaEncryption or an RSA signature OID of the digest table.
bool IsRsaOid(std::string_view oid)
{
    if (oid == RsaEncryptionOid)
        return true;
    for (int i = 0; i < UnitCryptHash::HashRowCount; ++i)
        if (UnitCryptHash::HashRow(static_cast<TCryptHash>(i)).SignatureOid == oid)
            return true;
    return false;
}

// The row of a digest OID when the table knows it (digest or signature column).
std::optional<TCryptHash> KnownHash(std::string_view oid)
{
    for (int i = 0; i < UnitCryptHash::HashRowCount; ++i) {
        const auto& row = UnitCryptHash::HashRow(static_cast<TCryptHash>(i));
        if (row.DigestOid == oid || row.SignatureOid == oid)
            return row.Hash;
    }
    return std::nullopt;
}

// ---- shapes

const TXmlDoc& Shape(std::string_view xml)
{
    // Shapes live as long as the library; they are made once from their text.
    static std::vector<std::pair<std::string, std::unique_ptr<TXmlDoc>>> cache;
    // The certificate dialog builds its verdicts on a worker thread.
    static std::mutex lock;
    std::lock_guard guard(lock);
    for (auto& [text, shape] : cache)
        if (text == xml)
            return *shape;
    cache.emplace_back(std::string(xml), UnitAsn1Shape::ShapeFromXml(xml));
    if (!cache.back().second)
        cache.back().second = std::make_unique<TXmlDoc>("_none");
    return *cache.back().second;
}

constexpr std::string_view ContentInfoShape =
    R"(<SEQUENCE><OID Value="1.2.840.113549.1.7.2"/><CONTEXT><SEQUENCE _dummymembers="1"/></CONTEXT></SEQUENCE>)";
constexpr std::string_view SignedDataShapes[] = {
    R"(<SEQUENCE><INTEGER _dummyprops="1"/><SET _dummymembers="1"/><SEQUENCE _dummymembers="1"/><SET _dummymembers="1"/></SEQUENCE>)",
    R"(<SEQUENCE><INTEGER _dummyprops="1"/><SET _dummymembers="1"/><SEQUENCE _dummymembers="1"/><CONTEXT _dummymembers="1"/><SET _dummymembers="1"/></SEQUENCE>)",
    R"(<SEQUENCE><INTEGER _dummyprops="1"/><SET _dummymembers="1"/><SEQUENCE _dummymembers="1"/><161 _dummymembers="1"/><SET _dummymembers="1"/></SEQUENCE>)",
    R"(<SEQUENCE><INTEGER _dummyprops="1"/><SET _dummymembers="1"/><SEQUENCE _dummymembers="1"/><CONTEXT _dummymembers="1"/><161 _dummymembers="1"/><SET _dummymembers="1"/></SEQUENCE>)",
};
constexpr std::string_view PolicyShape =
    R"(<SEQUENCE _count="AtLeast"><OID _dummyprops="1"/></SEQUENCE>)";
constexpr std::string_view CommitmentShape = R"(<SEQUENCE _count="AtLeast"><OID _dummyprops="1"/></SEQUENCE>)";
constexpr std::string_view SigningToolShape =
    R"(<SEQUENCE><OID _dummyprops="1"/><CONTEXT><OCTETSTRING _dummyprops="1"/><OCTETSTRING _dummyprops="1"/><OCTETSTRING _dummyprops="1"/><OCTETSTRING _dummyprops="1"/><OCTETSTRING _dummyprops="1"/></CONTEXT><163><OID _dummyprops="1"/><OCTETSTRING _dummyprops="1"/></163></SEQUENCE>)";
constexpr std::string_view OctetStringShape = R"(<OCTETSTRING _dummyprops="1"/>)";
constexpr std::string_view UtcTimeShape = R"(<UTCTIME _dummyprops="1"/>)";

bool Matches(const TXmlDoc* node, std::string_view shapeXml)
{
    return node && UnitAsn1Shape::Matches(*node, Shape(shapeXml));
}

// ---- certificates and revocation lists of one report

struct TCertificate {
    TBytes Der;
    std::unique_ptr<TXmlDoc> Tree;
    std::string SubjectText;  // the decoded Names' text, for comparisons
    std::string IssuerText;
    TBytes SubjectDer;
    TBytes SerialDer;
    std::string Name;  // the description's node name
    UnitOpenSsl::TX509Ptr X509;
    bool Trusted = false;

    bool SelfIssued() const { return !SubjectText.empty() && SubjectText == IssuerText; }
};

std::string NameText(TBytesView der)
{
    auto tree = Decode(der);
    return tree ? tree->GetXML() : std::string();
}

std::unique_ptr<TCertificate> ReadCertificate(TBytesView der)
{
    TTlv cert;
    if (!ReadWhole(der, cert) || cert.Tag != 0x30)
        return nullptr;
    std::vector<TTlv> parts, tbs;
    if (!Children(cert, parts) || parts.empty() || parts[0].Tag != 0x30 || !Children(parts[0], tbs))
        return nullptr;
    const size_t shift = !tbs.empty() && tbs[0].Tag == 0xA0 ? 0 : 1;
    if (tbs.size() < 6 - shift)
        return nullptr;
    auto c = std::make_unique<TCertificate>();
    c->Der.assign(der.begin(), der.end());
    c->Tree = Decode(der);
    if (!c->Tree)
        return nullptr;
    const TTlv& serial = tbs[1 - shift];
    const TTlv& issuer = tbs[3 - shift];
    const TTlv& subject = tbs[5 - shift];
    c->SerialDer.assign(serial.Whole.begin(), serial.Whole.end());
    c->SubjectDer.assign(subject.Whole.begin(), subject.Whole.end());
    c->SubjectText = NameText(subject.Whole);
    c->IssuerText = NameText(issuer.Whole);
    c->Name = "C" + UnitCryptHash::DigestBytes(subject.Whole, TCryptHash::SHA1);
    const unsigned char* cursor = c->Der.data();
    c->X509.reset(d2i_X509(nullptr, &cursor, static_cast<long>(c->Der.size())));
    return c;
}

struct TCrl {
    TBytesView Der;
    TBytes IssuerDer;
    TBytesView Tbs;
    std::string SignatureOid;
    TBytes Signature;
    bool Read = false;
    TCrlPtr Crl;
};

// The fields the lookup needs, by position: version, signature algorithm, issuer, thisUpdate,
// nextUpdate, revoked certificates.
void ReadCrlOutline(TCrl& crl)
{
    TTlv whole;
    std::vector<TTlv> parts, tbs;
    if (!ReadWhole(crl.Der, whole) || whole.Tag != 0x30 || !Children(whole, parts) || parts.size() != 3 ||
        parts[0].Tag != 0x30 || !Children(parts[0], tbs))
        return;
    const size_t first = !tbs.empty() && tbs[0].Tag == 0x02 ? 1 : 0;
    if (tbs.size() < first + 3)
        return;
    crl.IssuerDer.assign(tbs[first + 1].Whole.begin(), tbs[first + 1].Whole.end());
    crl.Tbs = parts[0].Whole;
    std::vector<TTlv> algorithm;
    if (Children(parts[1], algorithm) && !algorithm.empty() && algorithm[0].Tag == 0x06) {
        auto tree = Decode(algorithm[0].Whole);
        crl.SignatureOid = OidOf(tree.get());
    }
    if (parts[2].Tag == 0x03 && !parts[2].Content.empty())
        crl.Signature.assign(parts[2].Content.begin() + 1, parts[2].Content.end());
}

struct TUsage {
    bool Known = false;  // the crypto library could read the certificate
    bool HasKeyUsage = false;
    uint32_t KeyUsage = 0;
    bool BasicConstraintsCritical = false;
    bool IsCa = false;
    long PathLength = -1;
    bool ExtendedKeyUsageCritical = false;
    bool TimeStamping = false;
};

TUsage UsageOf(const TCertificate& c)
{
    TUsage u;
    X509* x = c.X509.get();
    if (!x)
        return u;
    u.Known = true;
    const uint32_t flags = X509_get_extension_flags(x);
    u.HasKeyUsage = (flags & EXFLAG_KUSAGE) != 0;
    u.KeyUsage = u.HasKeyUsage ? X509_get_key_usage(x) : 0;
    u.IsCa = (flags & EXFLAG_CA) != 0;
    u.PathLength = X509_get_pathlen(x);
    if (const int i = X509_get_ext_by_NID(x, NID_basic_constraints, -1); i >= 0)
        u.BasicConstraintsCritical = X509_EXTENSION_get_critical(X509_get_ext(x, i)) != 0;
    if (const int i = X509_get_ext_by_NID(x, NID_ext_key_usage, -1); i >= 0) {
        u.ExtendedKeyUsageCritical = X509_EXTENSION_get_critical(X509_get_ext(x, i)) != 0;
        u.TimeStamping = (X509_get_extended_key_usage(x) & XKU_TIMESTAMP) != 0;
    }
    return u;
}

std::vector<TBytes> ReadTrustedFolder(const std::string& folder)
{
    std::vector<TBytes> list;
    std::error_code ec;
    const std::filesystem::path path(UnitLocalUtils::LocalFileName(folder));
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
        std::string ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        if (ext == ".cer" && entry.is_regular_file(ec))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.find("-----BEGIN") != std::string::npos) {
            const TBytes der = HexDecode(UnitAsn1::PemToHex(bytes));
            if (!der.empty())
                list.push_back(der);
        } else if (!bytes.empty()) {
            list.emplace_back(bytes.begin(), bytes.end());
        }
    }
    return list;
}

// ---- the report of one SignedData

void FinishStatus(TXmlDoc& report);

// The whole of a CMS as DER: BER (indefinite lengths, constructed strings) is brought to DER
// through the decoder into normalised first, since the byte-level walk reads definite lengths
// only. False when neither form reads.
bool ReadAsDer(TBytesView der, TBytes& normalised, TTlv& contentInfo)
{
    if (ReadWhole(der, contentInfo))
        return true;
    auto tree = Decode(der);
    std::optional<TBytes> again;
    if (tree)
        again = UnitAsn1::EncodeNode(*tree);
    if (!again || !ReadWhole(*again, contentInfo))
        return false;
    normalised = std::move(*again);
    return ReadWhole(normalised, contentInfo);
}

// The fields of a SignedData as an outline to match against its shapes: every part decoded
// but the certificate, revocation and signer sets, which stand as empty placeholders.
void AddOutline(const std::vector<TTlv>& fields, TXmlDoc& signedData)
{
    for (const TTlv& f : fields) {
        if (f.Tag == 0xA1) {
            signedData.New("161");
        } else if (f.Tag == 0xA0 || f.Tag == 0x31) {
            signedData.New(f.Tag == 0xA0 ? "CONTEXT" : "SET");
        } else if (auto part = Decode(f.Whole)) {
            signedData.NewFromClone(*part);
        } else {
            signedData.New("ENTITY");
        }
    }
}

// The status word of a signer's signature value against the hash it must cover; ran tells
// whether the check itself was made (a key too small to check is not).
std::string SignatureStatus(const TCertificate* certificate, const std::string& signatureOid,
                            const std::string& signatureHex, const std::string& digestOid,
                            const std::string& signedHash, bool& ran)
{
    ran = false;
    if (!IsRsaOid(signatureOid))
        return "SigningAlgorithmUnrecognized";
    if (signedHash.empty())
        return "HashAlgorithmUnrecognized";
    if (!certificate)
        return std::string(Words::SigningCertificateNotFound);
    const std::string key = UnitRsaCheck::PublicKeyOfCertificate(certificate->Der);
    if (key.empty())
        return "SigningCertificateStructureUnrecognized";
    std::string status = UnitRsaCheck::CheckSignature(key, signatureHex, digestOid, signedHash);
    ran = status != Words::SmallKey;
    return status;
}

bool ValidAt(const TCertificate& c, const std::string& momentUtc)
{
    std::string fromLocal, fromUtc, toLocal, toUtc;
    const bool readable = c.X509 && Asn1Time(X509_get0_notBefore(c.X509.get()), fromLocal, fromUtc) &&
                          Asn1Time(X509_get0_notAfter(c.X509.get()), toLocal, toUtc);
    return readable && momentUtc >= fromUtc && momentUtc <= toUtc;
}

// The usages a certificate of a chain lacks: the signer's (depth 0) signs, with time-stamping
// for a time-stamp's content; the others issue certificates and CRLs within their path length.
void AddUsageWords(const TUsage& usage, int depth, bool timeStampContent, std::vector<std::string>& words)
{
    if (depth == 0) {
        if (!(usage.KeyUsage & KU_NON_REPUDIATION))
            words.emplace_back(Words::MissingUsageNonRepudiation);
        if (!(usage.KeyUsage & KU_DIGITAL_SIGNATURE))
            words.emplace_back(Words::MissingUsageDigitalSignature);
        if (timeStampContent && !(usage.ExtendedKeyUsageCritical && usage.TimeStamping))
            words.emplace_back(Words::MissingUsageExtendedTimeStamping);
        return;
    }
    if (!(usage.BasicConstraintsCritical && usage.IsCa))
        words.emplace_back(Words::MissingUsageCAFlag);
    if (usage.PathLength >= 0 && depth - 1 > usage.PathLength)
        words.emplace_back(Words::InvalidPathLength);
    if (!(usage.KeyUsage & KU_KEY_CERT_SIGN))
        words.emplace_back(Words::MissingUsageKeyCertSign);
    if (!(usage.KeyUsage & KU_CRL_SIGN))
        words.emplace_back(Words::MissingUsageCRLSign);
}

class TReportBuilder {
public:
    TReportBuilder(TXmlDoc& report, const TReportOptions& options, int nesting)
        : R(report), O(options), FNesting(nesting)
    {
    }

    void Run(TBytesView der);
    void RunCertificateReport(TBytesView certificate);

private:
    TXmlDoc& R;
    const TReportOptions& O;
    int FNesting;
    std::vector<std::unique_ptr<TCertificate>> FCertificates;
    std::vector<std::unique_ptr<TCertificate>> FTrusted;
    bool FTrustedRead = false;
    std::vector<TCrl> FCrls;
    TBytes FContent;
    bool FHasContent = false;
    std::string FContentType;
    std::set<std::string> FDescribed;

    std::vector<std::unique_ptr<TCertificate>>& Trusted();
    void ReadCertificateSet(const TTlv& set);
    void ReadCrlSet(const TTlv& set);
    void AddCallerCrls();
    void ReadContent(const TTlv& encapsulated, TXmlDoc& content);
    void DescribeTimeStampToken(TBytesView tstInfo, TXmlDoc& target);
    void CertificateBundle();
    void Signer(const TTlv& signerInfo, TXmlDoc& signers);
    void SignedAttributes(const TTlv& attributes, TXmlDoc& signer, TXmlDoc& list);
    void UnsignedAttributes(const TTlv& attributes, TXmlDoc& signer, TXmlDoc& list, TBytesView signatureValue);
    TCertificate* FindSigner(const TTlv& sid);
    void ValidateChain(TCertificate* start, TXmlDoc* signer, bool timeStampContent);
    void Revocation(const TCertificate& cert, const TCertificate* issuer, const std::string& moment,
                    UnitCertificateDescription::TRevocationResult& result, std::vector<std::string>& words);
    TCertificate* FindIssuer(const TCertificate& cert);
    void DescribeOthers();
    void RegisterResources(TXmlDoc* description);
};

std::vector<std::unique_ptr<TCertificate>>& TReportBuilder::Trusted()
{
    if (!FTrustedRead) {
        FTrustedRead = true;
        TTrustedCertificates& list = O.Trusted ? *O.Trusted : TTrustedCertificates::Default();
        for (const TBytes& der : list.Certificates())
            if (auto c = ReadCertificate(der)) {
                c->Trusted = true;
                FTrusted.push_back(std::move(c));
            }
    }
    return FTrusted;
}

void TReportBuilder::ReadCertificateSet(const TTlv& set)
{
    std::vector<TTlv> items;
    Children(set, items);
    for (const TTlv& item : items)
        if (item.Tag == 0x30)
            if (auto c = ReadCertificate(item.Whole))
                FCertificates.push_back(std::move(c));
}

void TReportBuilder::ReadCrlSet(const TTlv& set)
{
    std::vector<TTlv> items;
    Children(set, items);
    for (const TTlv& item : items)
        if (item.Tag == 0x30) {
            TCrl crl;
            crl.Der = item.Whole;
            ReadCrlOutline(crl);
            FCrls.push_back(std::move(crl));
        }
}

void TReportBuilder::AddCallerCrls()
{
    for (const TBytes& der : O.Crls) {
        TCrl crl;
        crl.Der = der;
        ReadCrlOutline(crl);
        FCrls.push_back(std::move(crl));
    }
    for (const TBytes& der : O.ExtraCertificates)
        if (auto c = ReadCertificate(der))
            FCertificates.push_back(std::move(c));
}

void TReportBuilder::DescribeTimeStampToken(TBytesView tstInfo, TXmlDoc& target)
{
    auto tree = Decode(tstInfo);
    TXmlDoc& tst = *target.GetNode("TST");
    if (!tree || tree->GetName() != "SEQUENCE" || tree->GetNodeCount() < 5)
        return;
    size_t i = 0;
    tst.GetNode("Version")->SetValue(Prop(Child(tree.get(), i++), "Value"));
    tst.GetNode("Policy")->SetValue(OidOf(Child(tree.get(), i++)));
    TXmlDoc* imprint = Child(tree.get(), i++);
    tst.GetNode("Signature\\HashAlgorithm")->SetValue(OidOf(Child(Child(imprint, 0), 0)));
    tst.GetNode("Signature\\Hash")->SetValue(Prop(Child(imprint, 1), "Value"));
    TXmlDoc* serial = Child(tree.get(), i++);
    tst.GetNode("SerialNumber")->SetValue(Prop(serial, "Value"));
    TXmlDoc* moment = Child(tree.get(), i++);
    tst.GetNode("Stamp\\Moment")->SetValue(Prop(moment, "Value"));
    tst.GetNode("Stamp\\MomentUser")->SetValue(UserForm(Prop(moment, "Value")));
    for (; i < static_cast<size_t>(tree->GetNodeCount()); ++i) {
        TXmlDoc* item = tree->ChildAt(i);
        if (item->GetName() == "SEQUENCE") {
            TXmlDoc& precision = *tst.GetNode("Precision");
            for (int k = 0; k < item->GetNodeCount(); ++k) {
                TXmlDoc* part = item->ChildAt(static_cast<size_t>(k));
                auto number = [&] {
                    if (part->GetName() == "INTEGER")
                        return Prop(part, "Value");
                    uint64_t v = 0;
                    for (uint8_t b : HexDecode(Prop(part, "Value")))
                        v = (v << 8) | b;
                    return std::to_string(v & 0xFFFFFFFF);
                };
                const std::string tag = Prop(part, "Tag");
                if (part->GetName() == "INTEGER")
                    precision.GetNode("Seconds")->SetValue(number());
                else if (tag == "128")
                    precision.GetNode("Mili")->SetValue(number());
                else if (tag == "129")
                    precision.GetNode("Micro")->SetValue(number());
            }
        } else if (item->GetName() == "BOOLEAN") {
            tst.GetNode("Ordering")->SetValue(Prop(item, "Value"));
        } else if (item->GetName() == "INTEGER") {
            tst.GetNode("Nonce")->SetValue(Prop(item, "Value"));
        } else if (item->GetName() == "CONTEXT") {
            TXmlDoc& tsa = *tst.GetNode("TSA");
            if (TXmlDoc* name = Child(item, 0))
                UnitCertificateDescription::DescribeGeneralName(*name, tsa);
        }
    }
}

void TReportBuilder::ReadContent(const TTlv& encapsulated, TXmlDoc& content)
{
    std::vector<TTlv> parts;
    Children(encapsulated, parts);
    if (!parts.empty() && parts[0].Tag == 0x06) {
        auto oid = Decode(parts[0].Whole);
        FContentType = OidOf(oid.get());
    }
    content.GetNode("Type")->SetValue(FContentType);
    if (parts.size() > 1 && parts[1].Tag == 0xA0) {
        std::vector<TTlv> inner;
        Children(parts[1], inner);
        if (!inner.empty() && inner[0].Tag == 0x04) {
            FContent.assign(inner[0].Content.begin(), inner[0].Content.end());
            FHasContent = true;
        } else if (!inner.empty() && inner[0].Tag == 0x24) {
            // A streamed (BER) content: the constructed OCTET STRING's segments in order.
            FHasContent = AppendSegments(inner[0], FContent, 0);
        }
    }
    content.GetNode("Size")->SetAsInt64(static_cast<int64_t>(FContent.size()));
    if (FHasContent) {
        content.GetNode("Data")->SetValue(HexEncode(FContent));
        content.GetNode("Binary")->SetValue("1");
    }
    if (!FHasContent && O.Content) {
        FContent.assign(O.Content->begin(), O.Content->end());
        FHasContent = true;
        content.GetNode("DetachedSize")->SetAsInt64(static_cast<int64_t>(FContent.size()));
    }
    if (FContent.empty() && !O.Content)
        RecordException(R, Words::CmsSignedDataContentMissing);
    if (FContentType == TimeStampTokenType && !FContent.empty())
        DescribeTimeStampToken(FContent, *content.GetNode("Data"));
}

void TReportBuilder::Run(TBytesView der)
{
    R.GetNode("Header\\VerifyRevocation")->SetAsBool(O.VerifyRevocation);
    R.GetNode("Header\\Algorithm")->SetValue(std::string(ReportAlgorithm));

    TBytes normalised;
    TTlv contentInfo;
    if (!ReadAsDer(der, normalised, contentInfo)) {
        RecordException(R, Words::CmsStructureFailed);
        return;
    }

    // The outline tree matched against the shapes: every part decoded but the revocation
    // lists, which stand as empty placeholders.
    std::vector<TTlv> outer, wrapper, fields;
    if (contentInfo.Tag != 0x30 || !Children(contentInfo, outer) || outer.size() != 2 || outer[1].Tag != 0xA0 ||
        !Children(outer[1], wrapper) || wrapper.size() != 1) {
        RecordException(R, Words::CmsStructureFailed);
        return;
    }
    TXmlDoc outline("SEQUENCE");
    {
        auto oid = Decode(outer[0].Whole);
        if (oid)
            outline.NewFromClone(*oid);
        outline.New("CONTEXT")->New("SEQUENCE");
    }
    if (!Matches(&outline, ContentInfoShape)) {
        RecordException(R, Words::CmsStructureFailed);
        return;
    }
    TXmlDoc signedData("SEQUENCE");
    if (wrapper[0].Tag != 0x30 || !Children(wrapper[0], fields)) {
        RecordException(R, Words::CmsSignedDataStructureFailed);
        return;
    }
    AddOutline(fields, signedData);
    std::vector<const TXmlDoc*> shapes;
    for (std::string_view s : SignedDataShapes)
        shapes.push_back(&Shape(s));
    const int shape = UnitAsn1Shape::FirstMatch(signedData, shapes);
    if (shape < 0) {
        RecordException(R, Words::CmsSignedDataStructureFailed);
        return;
    }

    R.GetNode("Header\\Type")->SetValue(std::string(SignedDataType));
    R.GetNode("Header\\Version")->SetValue(Prop(signedData.ChildAt(0), "Value"));
    const TTlv& signerInfos = fields.back();
    for (size_t i = 3; i + 1 < fields.size(); ++i) {
        if (fields[i].Tag == 0xA0)
            ReadCertificateSet(fields[i]);
        else if (fields[i].Tag == 0xA1)
            ReadCrlSet(fields[i]);
    }
    AddCallerCrls();
    ReadContent(fields[2], *R.GetNode("Content"));
    R.GetNode("Certificates");

    std::vector<TTlv> signers;
    Children(signerInfos, signers);
    if (signers.empty() && R.GetNode("Header\\Status")->GetValue() == Words::CmsSignedDataContentMissing && !FCertificates.empty()) {
        CertificateBundle();
        return;
    }
    TXmlDoc& signersNode = *R.GetNode("Signers");
    for (const TTlv& s : signers)
        Signer(s, signersNode);
    DescribeOthers();
}

void TReportBuilder::CertificateBundle()
{
    TXmlDoc* header = R.GetNode("Header");
    for (const char* name : {"Algorithm", "Type", "Version", "Status", "Exceptions"})
        header->DeleteNode(name);
    R.DeleteNode("Content");
    ValidateChain(FCertificates.front().get(), nullptr, false);
    DescribeOthers();
}

void TReportBuilder::RunCertificateReport(TBytesView certificate)
{
    R.GetNode("Header\\VerifyRevocation")->SetAsBool(O.VerifyRevocation);
    auto c = ReadCertificate(certificate);
    AddCallerCrls();
    if (!c) {
        RecordException(R, Words::CmsStructureFailed);
        return;
    }
    FCertificates.insert(FCertificates.begin(), std::move(c));
    ValidateChain(FCertificates.front().get(), nullptr, false);
}

// Certificates of the SignedData that no chain met are described as well, checked against
// their issuer when it is at hand.
void TReportBuilder::DescribeOthers()
{
    TXmlDoc* certificates = R.GetNode("Certificates");
    for (const auto& c : FCertificates) {
        if (FDescribed.count(c->Name))
            continue;
        FDescribed.insert(c->Name);
        TCertificate* issuer = FindIssuer(*c);
        const std::string status = issuer ? CheckCertificate(c->Der, issuer->Der) : "IssuerNotFound";
        UnitCertificateDescription::TRevocationResult revocation;
        TXmlDoc* d = UnitCertificateDescription::DescribeCertificate(
            *c->Tree, status, revocation, {certificates, R.GetNode("Header\\Chain")}, c->Der);
        RegisterResources(d);
    }
}

void TReportBuilder::RegisterResources(TXmlDoc* description)
{
    if (!description)
        return;
    TXmlDoc* resources = nullptr;
    if (!description->HasNode("Resources", resources))
        return;
    for (int i = 0; i < resources->GetNodeCount(); ++i) {
        TXmlDoc* r = resources->ChildAt(static_cast<size_t>(i));
        RegisterResource(R, r->GetName(), Prop(r, "URL"));
    }
}

TCertificate* TReportBuilder::FindSigner(const TTlv& sid)
{
    if (sid.Tag == 0x30) {
        std::vector<TTlv> parts;
        if (!Children(sid, parts) || parts.size() != 2)
            return nullptr;
        const std::string issuer = NameText(parts[0].Whole);
        const TBytes serial(parts[1].Whole.begin(), parts[1].Whole.end());
        for (auto& c : FCertificates)
            if (c->IssuerText == issuer && c->SerialDer == serial)
                return c.get();
        return nullptr;
    }
    if (sid.Tag == 0x80) {
        const TBytes keyId(sid.Content.begin(), sid.Content.end());
        for (auto& c : FCertificates) {
            const ASN1_OCTET_STRING* ski = c->X509 ? X509_get0_subject_key_id(c->X509.get()) : nullptr;
            if (ski && static_cast<size_t>(ASN1_STRING_length(ski)) == keyId.size() &&
                std::equal(keyId.begin(), keyId.end(), ASN1_STRING_get0_data(ski)))
                return c.get();
        }
    }
    return nullptr;
}

TCertificate* TReportBuilder::FindIssuer(const TCertificate& cert)
{
    if (cert.SelfIssued())
        return const_cast<TCertificate*>(&cert);
    for (auto& c : FCertificates)
        if (c->SubjectText == cert.IssuerText)
            return c.get();
    for (auto& c : Trusted())
        if (c->SubjectText == cert.IssuerText)
            return c.get();
    return nullptr;
}

void TReportBuilder::Signer(const TTlv& signerInfo, TXmlDoc& signers)
{
    TXmlDoc& signer = *signers.New("Signer");
    for (const char* path : {"Signature\\Integrity", "Signature\\Status", "Signature\\ContentValidation",
                             "Signature\\ContentTypeValidation", "Signature\\ChainValidation"})
        signer.GetNode(path)->SetValue(std::string(Words::Unknown));
    signer.GetNode("Signature\\TimestampValidation")->SetValue("None");

    // version, sid, digest algorithm, [0] signed attributes, signature algorithm, signature,
    // [1] unsigned attributes
    std::vector<TTlv> parts;
    if (signerInfo.Tag != 0x30 || !Children(signerInfo, parts) || parts.size() < 5 || parts[0].Tag != 0x02 ||
        parts[2].Tag != 0x30) {
        RecordException(R, Words::CmsSignerInfoStructureFailed);
        return;
    }
    size_t i = 3;
    const TTlv* signedAttributes = nullptr;
    if (parts[i].Tag == 0xA0)
        signedAttributes = &parts[i++];
    if (i + 1 >= parts.size() + 0 || parts[i].Tag != 0x30 || parts[i + 1].Tag != 0x04) {
        RecordException(R, Words::CmsSignerInfoStructureFailed);
        return;
    }
    const TTlv& signatureAlgorithm = parts[i];
    const TTlv& signatureValue = parts[i + 1];
    const TTlv* unsignedAttributes = i + 2 < parts.size() && parts[i + 2].Tag == 0xA1 ? &parts[i + 2] : nullptr;

    auto digestTree = Decode(parts[2].Whole);
    auto algorithmTree = Decode(signatureAlgorithm.Whole);
    const std::string digestOid = OidOf(Child(digestTree.get(), 0));
    const std::string signatureOid = OidOf(Child(algorithmTree.get(), 0));
    const std::string signatureHex = HexEncode(signatureValue.Content);
    TXmlDoc& signature = *signer.GetNode("Signature");
    signature.GetNode("Algorithm")->SetValue(signatureOid);
    signature.GetNode("Value")->SetValue(signatureHex);
    signature.GetNode("HashAlgorithm")->SetValue(std::string(Sha1Oid));
    signature.GetNode("Hash")->SetValue(UnitCryptHash::DigestBytes(signatureValue.Content, TCryptHash::SHA1));

    const std::optional<TCryptHash> hash = KnownHash(digestOid);
    std::string contentHash;
    if (hash && FHasContent)
        contentHash = UnitCryptHash::DigestBytes(FContent, *hash);
    signature.GetNode("ContentHash")->SetValue(contentHash);

    std::string signedHash;
    if (signedAttributes) {
        TBytes set(signedAttributes->Whole.begin(), signedAttributes->Whole.end());
        set[0] = 0x31;
        if (hash)
            signedHash = UnitCryptHash::DigestBytes(set, *hash);
        SignedAttributes(*signedAttributes, signer, *signer.GetNode("SignedAttributes"));
    } else {
        signedHash = contentHash;
        if (FHasContent) {
            signature.GetNode("ContentValidation")->SetValue(std::string(Words::OK));
            signature.GetNode("ContentTypeValidation")->SetValue(std::string(Words::OK));
        }
    }
    if (!FHasContent)
        signature.GetNode("ContentValidation")->SetValue(std::string(Words::CmsSignedDataContentMissing));
    signature.GetNode("Signed\\HashAlgorithm")->SetValue(digestOid);
    signature.GetNode("Signed\\Hash")->SetValue(signedHash);

    // The signature value against what it must cover.
    TCertificate* certificate = FindSigner(parts[1]);
    bool ran = false;
    const std::string status = SignatureStatus(certificate, signatureOid, signatureHex, digestOid, signedHash, ran);
    signature.GetNode("Status")->SetValue(status);
    signature.GetNode("Integrity")->SetValue(status == Words::OK ? std::string(Words::OK) : status);
    if (ran && status != Words::OK)
        RecordException(R, Words::SignatureCheckConstraint);

    // The time stamps come before the chain, so that the chain is judged at their moment.
    if (unsignedAttributes)
        UnsignedAttributes(*unsignedAttributes, signer, *signer.GetNode("UnsignedAttributes"), signatureValue.Content);

    ValidateChain(certificate, &signer, FContentType == TimeStampTokenType);
}

void TReportBuilder::SignedAttributes(const TTlv& attributes, TXmlDoc& signer, TXmlDoc& list)
{
    TXmlDoc& signature = *signer.GetNode("Signature");
    auto tree = Decode(attributes.Whole);
    bool malformed = !tree;
    for (int a = 0; tree && a < tree->GetNodeCount(); ++a) {
        TXmlDoc* attribute = tree->ChildAt(static_cast<size_t>(a));
        if (!IsNamed(attribute, "SEQUENCE") || attribute->GetNodeCount() != 2 || !IsNamed(Child(attribute, 1), "SET") ||
            !Child(Child(attribute, 1), 0)) {
            malformed = true;
            continue;
        }
        const std::string oid = OidOf(Child(attribute, 0));
        TXmlDoc* value = Child(Child(attribute, 1), 0);
        auto other = [&] {
            TXmlDoc* node = list.New("Attribute");
            node->Setp("ID", oid);
            std::string hex;
            UnitAsn1::SaveToDerHex(*value, hex);
            node->Setp("Content", hex);
        };
        if (oid == "1.2.840.113549.1.9.3") {
            const std::string type = OidOf(value);
            list.New("ContentType")->SetValue(type);
            signature.GetNode("ContentTypeValidation")->SetValue(type == FContentType ? std::string(Words::OK) : std::string(Words::InvalidContent));
            if (type != FContentType)
                RecordException(R, Words::InvalidContent);
        } else if (oid == "1.2.840.113549.1.9.4") {
            const std::string digest = IsNamed(value, "OCTETSTRING") ? Prop(value, "Value") : std::string();
            list.New("MessageDigest")->SetValue(digest);
            if (FHasContent) {
                const bool same = UnitXmlDoc::SameText(digest, signature.GetNode("ContentHash")->GetValue()) && !digest.empty();
                signature.GetNode("ContentValidation")->SetValue(same ? std::string(Words::OK) : std::string(Words::InvalidContent));
                if (!same)
                    RecordException(R, Words::InvalidContent);
            }
        } else if (oid == "1.2.840.113549.1.9.5") {
            TXmlDoc* node = list.New("SigningTime");
            const std::string moment = Prop(value, "Value");
            node->GetNode("Moment")->SetValue(moment);
            node->GetNode("MomentUser")->SetValue(UserForm(moment));
            if (IsNamed(value, "UTCTIME") || IsNamed(value, "GENTIME"))
                SetMoment(signer, moment, "SignedAttribute");
        } else if (oid == "1.2.840.113549.1.9.16.2.12" || oid == "1.2.840.113549.1.9.16.2.47") {
            // SigningCertificate(V2): SEQUENCE { SEQUENCE OF ESSCertID(v2) }, the hash first or
            // after the algorithm.
            TXmlDoc* id = Child(Child(value, 0), 0);
            std::string hashHex;
            for (int k = 0; id && k < id->GetNodeCount() && hashHex.empty(); ++k)
                if (IsNamed(id->ChildAt(static_cast<size_t>(k)), "OCTETSTRING"))
                    hashHex = Prop(id->ChildAt(static_cast<size_t>(k)), "Value");
            list.New("SigningCertificate")->SetValue(hashHex);
        } else if (oid == "1.2.840.113549.1.9.16.2.15" && Matches(value, PolicyShape)) {
            TXmlDoc* node = list.New("Policy");
            node->GetNode("ID")->SetValue(OidOf(Child(value, 0)));
            TXmlDoc* hashNode = Child(value, 1);
            if (IsNamed(hashNode, "SEQUENCE") && IsNamed(Child(hashNode, 1), "OCTETSTRING")) {
                node->GetNode("HashAlgorithm")->SetValue(OidOf(Child(Child(hashNode, 0), 0)));
                node->GetNode("Hash")->SetValue(Prop(Child(hashNode, 1), "Value"));
            }
        } else if (oid == "1.2.840.113549.1.9.16.2.16" && Matches(value, CommitmentShape)) {
            list.New("Commitment")->SetValue(OidOf(Child(value, 0)));
        } else if ((oid == "1.3.6.1.4.1.311.88.2.1" || oid == "1.3.6.1.4.1.311.88.2.2") && Matches(value, OctetStringShape)) {
            list.New(oid.back() == '1' ? "CapicomDocumentName" : "CapicomDocumentDescription")
                ->SetValue(Utf16Text(Prop(value, "Value")));
        } else if (oid == "1.3.6.1.4.1.61524.1.1.2" && Matches(value, SigningToolShape)) {
            TXmlDoc* node = list.New("SigningTool");
            node->GetNode("ID")->SetValue(OidOf(Child(value, 0)));
            const char* names[] = {"Company", "Product", "Version", "Revision", "URL"};
            for (size_t k = 0; k < 5; ++k)
                node->GetNode(names[k])->SetValue(ValueText(Child(Child(value, 1), k)));
            node->GetNode("Method")->SetValue(OidOf(Child(Child(value, 2), 0)));
            node->GetNode("Description")->SetValue(ValueText(Child(Child(value, 2), 1)));
        } else if (oid == "1.3.6.1.4.1.61524.3.1.2.5.1" && Matches(value, OctetStringShape)) {
            list.New("VarnelTerminalBinding")->SetValue(Prop(value, "Value"));
        } else if (oid == "1.3.6.1.4.1.61524.3.1.2.5.2" && Matches(value, UtcTimeShape)) {
            list.New("VarnelTimelimit")->SetValue(Prop(value, "Value"));
        } else {
            other();
        }
    }
    if (malformed)
        RecordException(R, Words::CmsSignerInfoAttributeStructureFailed);
}

void TReportBuilder::UnsignedAttributes(const TTlv& attributes, TXmlDoc& signer, TXmlDoc& list,
                                        TBytesView signatureValue)
{
    std::vector<TTlv> items;
    if (!Children(attributes, items)) {
        RecordException(R, Words::CmsSignerInfoAttributeStructureFailed);
        return;
    }
    TXmlDoc& signature = *signer.GetNode("Signature");
    for (const TTlv& item : items) {
        std::vector<TTlv> parts, values;
        if (item.Tag != 0x30 || !Children(item, parts) || parts.size() != 2 || parts[0].Tag != 0x06 ||
            parts[1].Tag != 0x31 || !Children(parts[1], values) || values.empty()) {
            RecordException(R, Words::CmsSignerInfoAttributeStructureFailed);
            continue;
        }
        auto oidTree = Decode(parts[0].Whole);
        const std::string oid = OidOf(oidTree.get());
        if (oid != TimestampAttributeOid || FNesting >= MaxNesting) {
            TXmlDoc* node = list.New("Attribute");
            node->Setp("ID", oid);
            node->Setp("Content", HexEncode(values[0].Whole));
            continue;
        }
        TXmlDoc* stamp = list.New("Timestamp");
        TReportOptions nestedOptions;
        nestedOptions.VerifyRevocation = O.VerifyRevocation;
        nestedOptions.Crls = O.Crls;
        nestedOptions.Trusted = O.Trusted;
        nestedOptions.ExtraCertificates = O.ExtraCertificates;
        auto nested = std::make_unique<TXmlDoc>("SignedDataReport");
        TReportBuilder(*nested, nestedOptions, FNesting + 1).Run(values[0].Whole);
        FinishStatus(*nested);
        const std::string nestedStatus = nested->GetNode("Header\\Status")->GetValue();
        const bool built = nestedStatus != Words::CmsStructureFailed && nestedStatus != Words::CmsSignedDataStructureFailed &&
                           nested->HasNode("Content");
        stamp->Setp("Status", built ? std::string(Words::OK) : std::string(Words::Failed));
        TXmlDoc* report = stamp->NewFromClone(*nested);
        if (!built) {
            signature.GetNode("TimestampValidation")->SetValue(std::string(Words::TimestampCheckConstraint));
            RecordException(R, Words::TimestampCheckConstraint);
            continue;
        }
        TXmlDoc* tst = report->GetNode("Content\\Data\\TST");
        SetMoment(signer, tst->GetNode("Stamp\\Moment")->GetValue(), "TST");
        // The merged descriptions of the token's certificates.
        TXmlDoc* outer = R.GetNode("Certificates");
        TXmlDoc* inner = report->GetNode("Certificates");
        for (int k = 0; k < inner->GetNodeCount(); ++k) {
            TXmlDoc* d = inner->ChildAt(static_cast<size_t>(k));
            if (!outer->HasNode(d->GetName()))
                outer->NewFromClone(*d);
        }
        // The token must stamp this signature value.
        std::string word;
        const std::string imprintOid = tst->GetNode("Signature\\HashAlgorithm")->GetValue();
        const auto imprintHash = KnownHash(imprintOid);
        const std::string imprint = imprintHash ? UnitCryptHash::DigestBytes(signatureValue, *imprintHash) : std::string();
        if (imprint.empty() || !UnitXmlDoc::SameText(imprint, tst->GetNode("Signature\\Hash")->GetValue()))
            word = Words::TimestampCheckConstraint;
        TXmlDoc* exceptions = report->GetNode("Header\\Exceptions");
        for (int k = 0; k < exceptions->GetNodeCount(); ++k)
            RecordException(R, exceptions->ChildAt(static_cast<size_t>(k))->GetName());
        if (word.empty() && exceptions->HasChildren())
            word = exceptions->ChildAt(0)->GetName();
        else if (!word.empty())
            RecordException(R, word);
        signature.GetNode("TimestampValidation")->SetValue(word.empty() ? std::string(Words::OK) : word);
    }
}

void TReportBuilder::Revocation(const TCertificate& cert, const TCertificate* issuer, const std::string& moment,
                                UnitCertificateDescription::TRevocationResult& result, std::vector<std::string>& words)
{
    result.Status = Words::OK;
    if (!O.VerifyRevocation) {
        result.Status = Words::RevocationUnverified;
        words.emplace_back(Words::RevocationUnverified);
        return;
    }
    if (!issuer) {
        result.Status = Words::RevocationListUnknown;
        words.emplace_back(Words::RevocationListUnknown);
        return;
    }
    TCrl* crl = nullptr;
    for (TCrl& c : FCrls)
        if (!c.IssuerDer.empty() && c.IssuerDer == issuer->SubjectDer) {
            crl = &c;
            break;
        }
    if (!crl) {
        result.Status = Words::RevocationListNotFound;
        if (!cert.SelfIssued())
            words.emplace_back(Words::RevocationListNotFound);
        return;
    }
    const auto signatureHash = KnownHash(crl->SignatureOid);
    const std::string key = UnitRsaCheck::PublicKeyOfCertificate(issuer->Der);
    const std::string digest = signatureHash ? UnitCryptHash::DigestBytes(crl->Tbs, *signatureHash) : std::string();
    if (digest.empty() || key.empty() || !IsRsaOid(crl->SignatureOid) ||
        UnitRsaCheck::CheckSignature(key, HexEncode(crl->Signature), UnitCryptHash::HashRow(*signatureHash).DigestOid,
                                     digest) != Words::OK) {
        result.Status = Words::RevocationListInvalid;
        words.emplace_back(Words::RevocationListInvalid);
        return;
    }
    if (!crl->Read) {
        crl->Read = true;
        const unsigned char* cursor = crl->Der.data();
        crl->Crl.reset(d2i_X509_CRL(nullptr, &cursor, static_cast<long>(crl->Der.size())));
    }
    std::string thisLocal, thisUtc, nextLocal, nextUtc;
    if (!crl->Crl || !cert.X509 || !Asn1Time(X509_CRL_get0_lastUpdate(crl->Crl.get()), thisLocal, thisUtc)) {
        result.Status = Words::RevocationCheckFailed;
        words.emplace_back(Words::RevocationCheckFailed);
        return;
    }
    const bool hasNext = Asn1Time(X509_CRL_get0_nextUpdate(crl->Crl.get()), nextLocal, nextUtc);
    result.Emission = thisLocal;
    result.Validity = hasNext ? nextLocal : std::string();
    X509_REVOKED* revoked = nullptr;
    const bool listed =
        X509_CRL_get0_by_serial(crl->Crl.get(), &revoked, X509_get0_serialNumber(cert.X509.get())) == 1 && revoked;
    const std::string momentUtc = UtcText(moment);
    const bool haveMoment = !momentUtc.empty();
    if (listed) {
        std::string revokedLocal, revokedUtc;
        Asn1Time(X509_REVOKED_get0_revocationDate(revoked), revokedLocal, revokedUtc);
        result.Status = "Revocated";
        result.Moment = revokedLocal;
        if (!haveMoment || revokedUtc > momentUtc)
            words.emplace_back(Words::CertificateRevocationPostConstraint);
        else
            words.emplace_back(Words::CertificateRevocationConstraint);
        return;
    }
    if (haveMoment && hasNext && !(nextUtc > momentUtc)) {
        result.Status = "OldCRL";
        words.emplace_back(Words::CertificateRevocationOldCRL);
    } else if (haveMoment && !(thisUtc > momentUtc)) {
        if (!hasNext || NowUtcText() > nextUtc) {
            result.Status = "OldCRL";
            words.emplace_back(Words::CertificateRevocationOldCRL);
        } else {
            result.Status = "ToleratedCRL";
            words.emplace_back(Words::CertificateRevocationToleratedCRL);
        }
    }
}

void TReportBuilder::ValidateChain(TCertificate* start, TXmlDoc* signer, bool timeStampContent)
{
    TXmlDoc* chainNode = signer ? signer->GetNode("Chain") : R.GetNode("Header\\Chain");
    if (signer)
        signer->GetNode("Signature\\ChainValidation")->SetValue(std::string(Words::OK));
    auto chainException = [&](std::string_view word, const std::string& certificate) {
        RecordException(R, word);
        if (!signer)
            return;
        TXmlDoc* validation = signer->GetNode("Signature\\ChainValidation");
        if (validation->GetValue() == Words::OK)
            validation->SetValue(std::string(word));
        signer->GetNode("Exceptions")->New(std::string(word))->Setp("Certificate", certificate);
    };
    if (!start) {
        chainException(Words::SigningCertificateNotFound, {});
        return;
    }
    // The reference moment in UTC, or now.
    const std::string moment = signer ? signer->GetNode("Signature\\Moment")->GetValue() : std::string();
    const std::string momentUtc = moment.empty() ? NowUtcText() : UtcText(moment);

    TCertificate* current = start;
    std::set<const TCertificate*> visited;
    for (int depth = 0; current && depth < MaxChainLength && !visited.count(current); ++depth) {
        visited.insert(current);
        std::vector<std::string> words;
        TCertificate* issuer = FindIssuer(*current);
        std::string status;
        if (issuer) {
            status = CheckCertificate(current->Der, issuer->Der);
            if (status != Words::OK)
                words.emplace_back(Words::CertificateSignatureCheckFailed);
        } else {
            status = "IssuerNotFound";
            words.emplace_back(Words::IncompleteCertificateChain);
        }
        UnitCertificateDescription::TRevocationResult revocation;
        Revocation(*current, issuer, moment, revocation, words);

        // The signer's certificate is valid at the reference moment.
        if (depth == 0 && !ValidAt(*current, momentUtc))
            words.emplace_back(Words::CertificateExpirationConstraint);
        AddUsageWords(UsageOf(*current), depth, timeStampContent, words);
        const bool selfIssued = issuer == current;
        bool trusted = current->Trusted;
        if (selfIssued && !trusted)
            for (auto& t : Trusted())
                if (t->Der == current->Der)
                    trusted = true;
        if (selfIssued && !trusted)
            words.emplace_back(Words::UntrustedRoot);

        for (const std::string& w : words)
            chainException(w, current->Name);
        TXmlDoc* description = UnitCertificateDescription::DescribeCertificate(
            *current->Tree, status, revocation, {R.GetNode("Certificates"), chainNode}, current->Der);
        FDescribed.insert(current->Name);
        RegisterResources(description);
        // What the verdict needs per certificate of this chain.
        TXmlDoc* link = nullptr;
        for (int k = chainNode->GetNodeCount() - 1; k >= 0 && !link; --k)
            if (chainNode->ChildAt(static_cast<size_t>(k))->GetName() == current->Name)
                link = chainNode->ChildAt(static_cast<size_t>(k));
        if (!link)
            link = chainNode->New(current->Name);
        link->Setb("CA", depth > 0);
        if (trusted)
            link->Setb("Trusted", true);
        for (const std::string& w : words)
            link->New(w);
        if (selfIssued || !issuer)
            break;
        current = issuer;
    }
}

// "Header\\Status" is the first exception recorded, or "OK".
void FinishStatus(TXmlDoc& report)
{
    TXmlDoc* status = report.GetNode("Header\\Status");
    if (status->IsEmpty())
        status->SetValue(std::string(Words::OK));
}

}  // namespace

// ---- public entry points

TTrustedCertificates::TTrustedCertificates(std::string folder) : FFolder(std::move(folder)) {}

TTrustedCertificates& TTrustedCertificates::Default()
{
    static TTrustedCertificates list{std::string(TrustedFolder)};
    return list;
}

const std::vector<std::vector<uint8_t>>& TTrustedCertificates::Certificates()
{
    static std::mutex lock;
    std::lock_guard guard(lock);
    if (!FLoaded) {
        FLoaded = true;
        try {
            auto read = ReadTrustedFolder(FFolder);
            for (auto& der : read)
                FCertificates.push_back(std::move(der));
        } catch (const std::exception& e) {
            UnitTrace::Trace(std::string("trusted certificates: ") + e.what());
        }
    }
    return FCertificates;
}

void TTrustedCertificates::Add(std::vector<uint8_t> der)
{
    Certificates();
    FCertificates.push_back(std::move(der));
}

void RecordException(TXmlDoc& report, std::string_view word)
{
    TXmlDoc* status = report.GetNode("Header\\Status");
    if (status->IsEmpty())
        status->SetValue(std::string(word));
    report.GetNode("Header\\Exceptions")->New(std::string(word));
    if (InWordList(UpdateList, word))
        report.GetNode("Header\\Resources")->Setb("NeedUpdate", true);
}

void RegisterResource(TXmlDoc& report, std::string_view type, std::string_view url)
{
    if (url.empty())
        return;
    const std::string text = std::string(type) + "::" + std::string(url);
    const std::string name = "R" + UnitCryptHash::DigestText(text, TCryptHash::SHA1);
    TXmlDoc* resources = report.GetNode("Header\\Resources");
    if (resources->HasNode(name))
        return;
    TXmlDoc* r = resources->New(name);
    r->Setp("Type", std::string(type));
    r->Setp("URL", std::string(url));
}

void SetMoment(TXmlDoc& signer, std::string_view timeText, std::string_view source)
{
    if (timeText.empty())
        return;
    TXmlDoc* moment = signer.GetNode("Signature\\Moment");
    TXmlDoc* type = signer.GetNode("Signature\\MomentType");
    const bool replace = moment->IsEmpty() || (type->GetValue() == "SignedAttribute" && source == "TST") ||
                         UtcText(timeText) < UtcText(moment->GetValue());
    if (replace) {
        moment->SetValue(std::string(timeText));
        type->SetValue(std::string(source));
    }
    signer.GetNode("Signature\\MomentUser")->SetValue(UserForm(moment->GetValue()));
}

std::string CheckCertificate(std::span<const uint8_t> certificate, std::span<const uint8_t> issuer) noexcept
{
    if (UnitRsaCheck::PublicKeyOfCertificate(issuer).empty())
        return "IssuerStructureUnrecognized";
    std::string status = UnitRsaCheck::CheckCertificateSignature(certificate, issuer);
    if (status == Words::CryptError || status == Words::SignatureUnrecognized || status == Words::ContentUnrecognized)
        status = "StructureUnrecognized";
    return status;
}

std::unique_ptr<TXmlDoc> BuildReport(std::span<const uint8_t> der, const TReportOptions& options) noexcept
{
    auto report = std::make_unique<TXmlDoc>("SignedDataReport");
    try {
        TReportBuilder(*report, options, 0).Run(der);
        FinishStatus(*report);
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("signed data report: ") + e.what());
        try {
            RecordException(*report, Words::CmsStructureFailed);
        } catch (...) {
        }
    } catch (...) {
    }
    return report;
}

std::unique_ptr<TXmlDoc> BuildReportHex(std::string_view derHex, bool verifyRevocation) noexcept
{
    try {
        TReportOptions options;
        options.VerifyRevocation = verifyRevocation;
        const TBytes der = HexDecode(derHex);
        return BuildReport(der, options);
    } catch (...) {
        return std::make_unique<TXmlDoc>("SignedDataReport");
    }
}

std::unique_ptr<TXmlDoc> BuildCertificateReport(std::span<const uint8_t> certificate,
                                                const TReportOptions& options) noexcept
{
    auto report = std::make_unique<TXmlDoc>("SignedDataReport");
    try {
        TReportBuilder(*report, options, 0).RunCertificateReport(certificate);
        FinishStatus(*report);
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("certificate report: ") + e.what());
    } catch (...) {
    }
    return report;
}

}  // namespace UnitSignedDataReport
