#include "crypto/UnitSignedData.h"

#include "crypto/UnitAsn1.h"
#include "crypto/UnitCertificates.h"
#include "crypto/UnitCryptHash.h"
#include "crypto/UnitCryptKeyRSA.h"
#include "crypto/UnitPDF.h"
#include "core/UnitStatusWords.h"
#include "crypto/UnitPkcs12.h"
#include "crypto/UnitTimestamp.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitTrace.h"

#include <algorithm>
#include <ctime>

namespace UnitSignedData {

namespace {

using UnitCodecs::HexDecode;
using UnitCodecs::HexEncode;
using UnitCryptHash::TCryptHash;

constexpr std::string_view IdData = "1.2.840.113549.1.7.1";
constexpr std::string_view IdSignedData = "1.2.840.113549.1.7.2";
constexpr std::string_view Sha256Oid = "2.16.840.1.101.3.4.2.1";
constexpr std::string_view DefaultOrder =
    "ContentType,MessageDigest,SigningTime,Policy,Commitment,DocumentName,DocumentDescription,SigningCertificate,ATTRIBUTES";

struct TFailure {
    std::string Word;
};

[[noreturn]] void Fail(std::string_view word)
{
    throw TFailure{std::string(word)};
}

using UnitXmlDoc::Prop;

bool HasProp(const TXmlDoc& node, std::string_view name)
{
    return node.FindProperty(name) != nullptr;
}

std::vector<std::string> SplitComma(std::string_view text)
{
    std::vector<std::string> fields;
    size_t pos = 0;
    while (true) {
        const size_t comma = text.find(',', pos);
        fields.emplace_back(text.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos));
        if (comma == std::string_view::npos)
            break;
        pos = comma + 1;
    }
    return fields;
}

std::string Trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(first, last - first + 1));
}

TXmlDoc* AddOid(TXmlDoc& parent, std::string_view oid)
{
    TXmlDoc* node = parent.New("OID");
    node->Setp("Value", std::string(oid));
    return node;
}

TXmlDoc* AddOctets(TXmlDoc& parent, std::string hex)
{
    TXmlDoc* node = parent.New("OCTETSTRING");
    node->Setp("Binary", "1");
    node->Setp("Value", std::move(hex));
    return node;
}

void AddAlgorithm(TXmlDoc& parent, std::string_view oid, bool withNull = true)
{
    TXmlDoc* seq = parent.New("SEQUENCE");
    AddOid(*seq, oid);
    if (withNull)
        seq->New("NULL");
}

// SEQUENCE { OID type, SET { value } }; returns the SET for the value.
TXmlDoc& AddAttribute(TXmlDoc& attrs, std::string_view oid)
{
    TXmlDoc* attr = attrs.New("SEQUENCE");
    AddOid(*attr, oid);
    return *attr->New("SET");
}

std::string LocalNowText(const TSignedDataInputs& inputs)
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (inputs.SigningTime)
        ts = {*inputs.SigningTime, 0};
    struct tm tm {};
    gmtime_r(&ts.tv_sec, &tm);
    UnitAsn1::TUtcTime utc{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                           static_cast<int>(ts.tv_nsec / 1000000)};
    return UnitAsn1::UtcToLocalText(utc);
}

// What step 6 takes from the first certificate.
struct TSigner {
    std::unique_ptr<TXmlDoc> Certificate;   // decoded, owns the nodes below
    TXmlDoc* Issuer = nullptr;
    TXmlDoc* Serial = nullptr;
    std::string PublicKeyBitsHex;            // content of subjectPublicKey (RSAPublicKey DER)
    std::string Hash;                        // digest of the DER with the request's digest
    std::string Sha1Hash;
};

TSigner ReadSigner(const std::string& derHex, TCryptHash hash)
{
    TSigner signer;
    signer.Certificate = std::make_unique<TXmlDoc>();
    const auto der = HexDecode(derHex);
    UnitAsn1::DecodeIntoNode(*signer.Certificate, der);
    if (TXmlDoc* tbs = signer.Certificate->ChildAt(0); tbs && tbs->GetNodeCount() > 6) {
        signer.Serial = tbs->ChildAt(1);
        signer.Issuer = tbs->ChildAt(3);
        if (TXmlDoc* bits = tbs->ChildAt(6)->ChildAt(1))
            if (const TXmlDoc* value = bits->FindProperty("Value"))
                signer.PublicKeyBitsHex = value->GetValue();
    }
    signer.Hash = UnitCryptHash::DigestBytes(der, hash);
    signer.Sha1Hash = hash == TCryptHash::SHA1 ? signer.Hash : UnitCryptHash::DigestBytes(der, TCryptHash::SHA1);
    return signer;
}

void AddPolicy(TXmlDoc& attrs, const std::vector<std::string>& fields)
{
    TXmlDoc& value = AddAttribute(attrs, "1.2.840.113549.1.9.16.2.15");
    TXmlDoc* policy = value.New("SEQUENCE");
    AddOid(*policy, fields[0]);
    if (fields.size() > 2) {
        TXmlDoc* hash = policy->New("SEQUENCE");
        AddAlgorithm(*hash, fields[1], fields.size() < 4);
        AddOctets(*hash, fields[2]);
    }
    if (fields.size() >= 5) {
        TXmlDoc* qualifier = policy->New("SEQUENCE")->New("SEQUENCE");
        AddOid(*qualifier, "1.2.840.113549.1.9.16.5.1");
        qualifier->New("IA5STRING")->Setp("Value", fields[4]);
    }
}

void AddSigningCertificate(TXmlDoc& attrs, const TSigner& signer, std::string_view digestOid, bool v1)
{
    if (v1) {
        TXmlDoc& value = AddAttribute(attrs, "1.2.840.113549.1.9.16.2.12");
        AddOctets(*value.New("SEQUENCE")->New("SEQUENCE")->New("SEQUENCE"), signer.Sha1Hash);
        return;
    }
    TXmlDoc& value = AddAttribute(attrs, "1.2.840.113549.1.9.16.2.47");
    TXmlDoc* certId = value.New("SEQUENCE")->New("SEQUENCE")->New("SEQUENCE");
    if (digestOid != Sha256Oid)
        AddAlgorithm(*certId, digestOid, false);
    AddOctets(*certId, signer.Hash);
    if (signer.Issuer && signer.Serial) {
        TXmlDoc* issuerSerial = certId->New("SEQUENCE");
        issuerSerial->New("SEQUENCE")->New("164")->NewFromClone(*signer.Issuer);
        issuerSerial->NewFromClone(*signer.Serial);
    }
}

void AddRawAttribute(TXmlDoc& attrs, std::string_view text)
{
    const size_t comma = text.find(',');
    const std::string oid = Trim(text.substr(0, comma));
    TXmlDoc& value = AddAttribute(attrs, oid);
    value.New("BINARY")->SetValue(comma == std::string_view::npos ? std::string() : Trim(text.substr(comma + 1)));
}

void AddSignedAttributes(TXmlDoc& attrs, TXmlDoc& request, const std::string& digestHex, const TSigner* signer,
                         std::string_view digestOid, TCryptHash hash, const TSignedDataInputs& inputs)
{
    std::string order = Prop(request, "Order");
    if (order.empty())
        order = DefaultOrder;
    for (const std::string& raw : SplitComma(order)) {
        const std::string item = Trim(raw);
        auto is = [&](std::string_view name) { return UnitXmlDoc::SameText(item, name); };
        if (is("ContentType")) {
            AddOid(AddAttribute(attrs, "1.2.840.113549.1.9.3"), Prop(request, "Type"));
        } else if (is("MessageDigest")) {
            AddOctets(AddAttribute(attrs, "1.2.840.113549.1.9.4"), digestHex);
        } else if (is("SigningTime")) {
            if (request.Getb("SigningTime"))
                AddAttribute(attrs, "1.2.840.113549.1.9.5").New("UTCTIME")->Setp("Value", LocalNowText(inputs));
        } else if (is("Policy")) {
            const auto fields = SplitComma(Prop(request, "Policy"));
            if (!fields[0].empty())
                AddPolicy(attrs, fields);
        } else if (is("Commitment")) {
            const std::string commitment = Prop(request, "Commitment");
            if (!commitment.empty())
                for (const std::string& oid : SplitComma(commitment))
                    AddOid(*AddAttribute(attrs, "1.2.840.113549.1.9.16.2.16").New("SEQUENCE"), Trim(oid));
        } else if (is("DocumentName") || is("DocumentDescription")) {
            const std::string text = Prop(request, is("DocumentName") ? "DocumentName" : "DocumentDescription");
            if (!text.empty())
                AddOctets(AddAttribute(attrs, is("DocumentName") ? "1.3.6.1.4.1.311.88.2.1" : "1.3.6.1.4.1.311.88.2.2"),
                          UnitAsn1::TextToUtf16Hex(text));
        } else if (is("SigningCertificate")) {
            if (signer && !signer->Hash.empty())
                AddSigningCertificate(attrs, *signer, digestOid, request.Getb("ForceSigningV1") || hash == TCryptHash::SHA1);
        } else if (is("AdobeAcrobatSecurityRevocationInfoArchival")) {
            AddAttribute(attrs, "1.2.840.113583.1.1.8").New("SEQUENCE");
        } else if (is("ATTRIBUTES")) {
            for (int i = 0; i < request.GetPropertyCount(); ++i) {
                TXmlDoc* p = request.GetPropertyByIndex(i);
                if (p->GetName().size() > 10 && UnitXmlDoc::SameText(p->GetName().substr(0, 10), "ATTRIBUTE.")
                    && !p->GetValue().empty())
                    AddRawAttribute(attrs, p->GetValue());
            }
        } else if (item.size() >= 9 && UnitXmlDoc::SameText(item.substr(0, 9), "ATTRIBUTE")) {
            if (const TXmlDoc* p = request.FindProperty(item))
                AddRawAttribute(attrs, p->GetValue());
        }
    }
}

std::vector<std::string> ChainCertificates(const std::string& chainXml)
{
    std::vector<std::string> certificates;
    TXmlDoc chain;
    chain.SetXML(chainXml);
    for (int i = 0; i < chain.GetNodeCount(); ++i) {
        const std::string data = Prop(*chain.ChildAt(static_cast<size_t>(i)), "Data");
        if (!data.empty())
            certificates.push_back(UnitAsn1::CertificateFromBase64(data));
    }
    return certificates;
}

std::optional<std::vector<uint8_t>> Build(TXmlDoc& request, UnitHttp::THttpClient& http,
                                          const std::optional<UnitTimestamp::TTimestampOptions>* stamp,
                                          const TSignedDataInputs& inputs);

// The digest of the signature, after the defaults are written back into the request.
struct TCmsDigest {
    std::string Oid;
    TCryptHash Hash;
};

// The signer's certificates (signer first, then its chain and the request's extra ones) and
// where its key is: in memory (PKCS#12, "Pvk") or behind a store certificate.
struct TSignerKey {
    UnitOpenSsl::TSecretString PrivateKey;
    TXmlDoc Reference{"Certificate"};
    bool StoreCertificate = false;
    std::vector<std::string> Certificates;
};

// Step 1. Defaults, written back: the digest, the content type and the signing time.
TCmsDigest ApplyDefaults(TXmlDoc& request)
{
    std::string digestOid = Prop(request, "Hash");
    if (digestOid.empty()) {
        const auto policy = SplitComma(Prop(request, "Policy"));
        digestOid = policy.size() > 1 ? Trim(policy[1]) : std::string();
    }
    if (digestOid.empty())
        digestOid = Sha256Oid;
    const TCryptHash hash = UnitCryptHash::HashFromOid(digestOid);
    if (Prop(request, "Type").empty())
        request.Setp("Type", std::string(IdData));
    if (Prop(request, "SigningTime").empty())
        request.Setb("SigningTime", true);
    return {std::move(digestOid), hash};
}

// Step 2. The key of the request ("Pvk"), or the PKCS#12 file's: its certificate (and the
// chain it carries) and key.
void LoadKeyAndPkcs12(const TXmlDoc& request, TSignerKey& key)
{
    key.PrivateKey = UnitOpenSsl::TSecretString(Prop(request, "Pvk"));
    if (!HasProp(request, "CertificateFileName"))
        return;
    std::string path = TXmlDoc::ExpandFileName(Prop(request, "CertificateFileName"));
    std::replace(path.begin(), path.end(), '\\', '/');
    UnitOpenSsl::TSecretString password(Prop(request, "CertificateFilePwd"));
    auto pfx = UnitPkcs12::ParsePkcs12File(path, password.Text());
    if (!pfx)
        Fail(LoadPfxFailed);
    key.PrivateKey = pfx->PrivateKeyBase64;
    key.Certificates.push_back(pfx->CertificateHex);
    for (const auto& c : pfx->ChainHex)
        key.Certificates.push_back(c);
}

// Step 3. Store certificate and its chain, then the request's extra certificates.
void LocateStoreCertificate(const TXmlDoc& request, TSignerKey& key)
{
    if (HasProp(request, "CertificateCode")) {
        key.Reference.Setp("Code", Prop(request, "CertificateCode"));
        if (!UnitCertificates::LocateSignerCertificate(key.Reference))
            Fail(FindCertificateFailed);
        if (!UnitCertificates::MountCertificateChain(key.Reference))
            Fail(MountCertificateChainFailed);
        key.StoreCertificate = true;
        for (auto& c : ChainCertificates(Prop(key.Reference, "Chain")))
            key.Certificates.push_back(std::move(c));
    }
    for (int i = 0;; ++i) {
        const TXmlDoc* extra = request.FindProperty("Certificate" + std::to_string(i));
        if (!extra)
            break;
        key.Certificates.push_back(extra->GetValue());
    }
}

// Step 4. Content digest: the request's "ContentHash", else the digest of its content.
std::string ContentDigest(const TXmlDoc& request, TCryptHash hash, bool binary, const TSignedDataInputs& inputs)
{
    std::string digestHex = Prop(request, "ContentHash");
    if (digestHex.empty()) {
        const TXmlDoc* content = request.FindProperty("Content");
        // A view, not a copy: the content may be the size of the whole document.
        const std::string_view text = inputs.Content ? *inputs.Content
                                      : content      ? std::string_view(content->GetValue())
                                                     : std::string_view();
        digestHex = binary && !inputs.ContentIsBytes ? UnitCryptHash::DigestHex(text, hash)
                                                     : UnitCryptHash::DigestText(text, hash);
    }
    if (digestHex.empty())
        Fail(MessageDigestFailed);
    return digestHex;
}

// Step 5. ContentInfo and SignedData up to the certificates; returns the SignedData.
TXmlDoc& AddSignedData(TXmlDoc& contentInfo, TXmlDoc& request, std::string_view digestOid, bool binary,
                       const std::vector<std::string>& certificates, const TSignedDataInputs& inputs,
                       std::vector<UnitAsn1::TOuterValue>& outer)
{
    const std::string type = Prop(request, "Type");
    AddOid(contentInfo, IdSignedData);
    TXmlDoc& signedData = *contentInfo.New("CONTEXT")->New("SEQUENCE");
    signedData.New("INTEGER")->Setp("Value", type == IdData ? "1" : "3");
    AddAlgorithm(*signedData.New("49"), digestOid);
    TXmlDoc* encap = signedData.New("SEQUENCE");
    AddOid(*encap, type);
    if (!request.Getb("Dettached")) {
        TXmlDoc* octets = encap->New("CONTEXT")->New("OCTETSTRING");
        octets->Setp("Binary", binary ? "1" : "0");
        if (inputs.Content)
            outer.push_back({octets, *inputs.Content, inputs.ContentIsBytes});
        // The content is moved, not copied: for a large document it is the biggest thing here.
        TXmlDoc* content = request.GetPropertyByName("Content", false);
        std::string value;
        if (content) {
            value = std::move(*const_cast<std::string*>(&content->GetValue()));
            content->SetValue({});
        }
        octets->Setp("Value", std::move(value));
    }
    TXmlDoc* certs = signedData.New("CONTEXT");
    for (const auto& c : certificates)
        certs->New("BINARY")->SetValue(c);
    return signedData;
}

// Step 6. The signer certificate: the first of the list, when there is one.
std::optional<TSigner> ReadSignerCertificate(const std::vector<std::string>& certificates, TCryptHash hash)
{
    if (certificates.empty())
        return std::nullopt;
    return ReadSigner(certificates.front(), hash);
}

// Step 7. SignerInfo with its signed attributes and an empty signature value.
struct TSignerInfo {
    TXmlDoc* Node;
    TXmlDoc* Attributes;
    TXmlDoc* Signature;
};

TSignerInfo AddSignerInfo(TXmlDoc& signedData, TXmlDoc& request, const std::string& digestHex,
                          const TSigner* signer, const TCmsDigest& digest, const TSignedDataInputs& inputs)
{
    TXmlDoc& signerInfo = *signedData.New("SET")->New("SEQUENCE");
    signerInfo.New("INTEGER")->Setp("Value", "1");
    TXmlDoc* sid = signerInfo.New("SEQUENCE");
    if (signer && signer->Issuer && signer->Serial) {
        sid->NewFromClone(*signer->Issuer);
        sid->NewFromClone(*signer->Serial);
    }
    AddAlgorithm(signerInfo, digest.Oid);
    TXmlDoc& attrs = *signerInfo.New("CONTEXT");
    AddSignedAttributes(attrs, request, digestHex, signer, digest.Oid, digest.Hash, inputs);
    AddAlgorithm(signerInfo, UnitCryptHash::SignatureOidForDigestOid(digest.Oid));
    TXmlDoc* signature = AddOctets(signerInfo, {});
    return {&signerInfo, &attrs, signature};
}

// Step 8. What is signed: the attributes under a SET, in the same order.
std::vector<uint8_t> EncodeSignedAttributes(const TXmlDoc& attrs, const UnitAsn1::TEntityBuilder& nested)
{
    TXmlDoc set("SET");
    set.CloneChildren(attrs);
    set.SetName("SET");
    auto signedBytes = UnitAsn1::EncodeNode(set, nested);
    if (!signedBytes)
        Fail(EncodeAttributesFailed);
    return std::move(*signedBytes);
}

// Step 9. The signature value (hex) over the signed attributes, by the key in memory or the
// store certificate's key.
std::string SignAttributes(TSignerKey& key, const TSigner* signer, const std::vector<uint8_t>& signedBytes,
                           TCryptHash hash)
{
    std::string signatureHex;
    if (!key.PrivateKey.Text().empty() && signer && !signer->PublicKeyBitsHex.empty()) {
        const std::string publicKey = UnitEncoding::EncodeBytes(HexDecode(signer->PublicKeyBitsHex), UnitEncoding::TEncodingNumber::Base64);
        const std::string signedDigest = UnitCryptHash::DigestBytes(signedBytes, hash);
        auto result = UnitCryptKeyRSA::RawSign(key.PrivateKey.Text(), publicKey, signedDigest,
                                               UnitCryptHash::HashRow(hash).DigestOid);
        if (result.Ok)
            signatureHex = result.Text;
    } else if (key.StoreCertificate) {
        const std::string signedDigest = UnitCryptHash::DigestBytes(signedBytes, hash);
        if (!UnitCertificates::SignWithCertificateKey(key.Reference, signedBytes, signedDigest,
                                                      UnitCryptHash::HashRow(hash).DigestOid, signatureHex))
            signatureHex.clear();
    }
    if (signatureHex.empty())
        Fail(SignatureFailed);
    return signatureHex;
}

// After step 9, when "TimestampURL" asks for it: the TSA's token over the signature value, as
// the unsigned attribute after it; everything before stays as it is.
void AddSignatureTimestamp(TXmlDoc& signerInfo, const std::string& signatureHex,
                           const UnitTimestamp::TTimestampOptions& options, UnitHttp::THttpClient& http)
{
    const auto stamp = UnitTimestamp::Stamp(HexDecode(signatureHex), options, http);
    if (!stamp.Word.empty())
        Fail(stamp.Word);
    TXmlDoc& value = AddAttribute(*signerInfo.New("161"), UnitTimestamp::TimeStampTokenOid);
    value.New("BINARY")->SetValue(HexEncode(stamp.Token));
}

// Step 10. The whole ContentInfo.
std::vector<uint8_t> EncodeContentInfo(TXmlDoc& contentInfo, const UnitAsn1::TEntityBuilder& nested,
                                       std::span<const UnitAsn1::TOuterValue> outer)
{
    auto der = UnitAsn1::EncodeNode(contentInfo, nested, outer);
    if (!der)
        Fail(SignatureFailed);
    return std::move(*der);
}

// `stamp`: the time-stamp asked for (no value: none).
std::vector<uint8_t> BuildCms(TXmlDoc& request, const std::optional<UnitTimestamp::TTimestampOptions>& stamp,
                              UnitHttp::THttpClient& http, const TSignedDataInputs& inputs)
{
    // A SIGNEDDATA element met while encoding is built the same way.
    const UnitAsn1::TEntityBuilder nested = [&](TXmlDoc& node) { return Build(node, http, nullptr, {}); };
    const TCmsDigest digest = ApplyDefaults(request);
    TSignerKey key;
    LoadKeyAndPkcs12(request, key);
    LocateStoreCertificate(request, key);
    const bool binary = request.Getb("Binary");
    const std::string digestHex = ContentDigest(request, digest.Hash, binary, inputs);

    TXmlDoc contentInfo("SEQUENCE");
    std::vector<UnitAsn1::TOuterValue> outer;
    TXmlDoc& signedData = AddSignedData(contentInfo, request, digest.Oid, binary, key.Certificates, inputs, outer);

    const std::optional<TSigner> signer = ReadSignerCertificate(key.Certificates, digest.Hash);
    const TSigner* signerPtr = signer ? &*signer : nullptr;

    const TSignerInfo signerInfo = AddSignerInfo(signedData, request, digestHex, signerPtr, digest, inputs);
    const std::vector<uint8_t> signedBytes = EncodeSignedAttributes(*signerInfo.Attributes, nested);
    std::string signatureHex = SignAttributes(key, signerPtr, signedBytes, digest.Hash);
    if (stamp)
        AddSignatureTimestamp(*signerInfo.Node, signatureHex, *stamp, http);
    signerInfo.Signature->Setp("Value", std::move(signatureHex));
    return EncodeContentInfo(contentInfo, nested, outer);
}

// The PDF road: the content is a PDF, signed in place; the result is the whole signed file.
std::vector<uint8_t> BuildPades(TXmlDoc& request, UnitHttp::THttpClient& http, const TSignedDataInputs& inputs)
{
    // Taken before the document copies the request: the password leaves it here.
    const std::optional<UnitTimestamp::TTimestampOptions> stamp = UnitTimestamp::TakeOptions(request);
    TXmlDoc* content = request.GetPropertyByName("Content", false);
    const std::string_view text = inputs.Content ? *inputs.Content
                                  : content      ? std::string_view(content->GetValue())
                                                 : std::string_view();
    // The document held once, as bytes, with room for what signing adds.
    std::vector<uint8_t> bytes;
    if (request.Getb("Binary") && !inputs.ContentIsBytes) {
        bytes.reserve(text.size() / 2 + TPDF::SigningRoom);
        constexpr size_t Slice = size_t{1} << 20;
        for (size_t pos = 0; pos + 1 < text.size(); pos += Slice) {
            const auto part = HexDecode(text.substr(pos, std::min(Slice, text.size() / 2 * 2 - pos)));
            bytes.insert(bytes.end(), part.begin(), part.end());
        }
    } else {
        bytes.reserve(text.size() + TPDF::SigningRoom);
        bytes.assign(text.begin(), text.end());
    }
    // The request copy that the PDF makes for its CMS leaves the content out anyway.
    if (content)
        content->SetValue({});
    // The CMS over the two byte ranges: the request copy the document prepares goes straight
    // to the encoder, whose SIGNEDDATA element comes back here for a detached CMS.
    TSignedDataInputs nested;
    nested.SigningTime = inputs.SigningTime;
    TPDF pdf([&](TXmlDoc& copy, TPDF&) {
        std::string hex;
        UnitAsn1::EncodeNodeHex(copy, hex, [&](TXmlDoc& node) { return Build(node, http, &stamp, nested); });
        return hex;
    });
    if (inputs.SigningTime)
        pdf.SetSigningTime(*inputs.SigningTime);
    if (!pdf.LoadFromBytes(std::move(bytes)))
        Fail(pdf.GetError().empty() ? SignatureFailed : std::string_view(pdf.GetError()));
    if (!pdf.Sign(request)) {
        // A CMS that failed inside keeps the builder's own word; a refused document its own.
        const std::string inner = UnitEncoding::Asn1ErrorWord();
        if (pdf.GetError() == Words::PdfCmsFailed && !inner.empty())
            throw TFailure{};
        Fail(pdf.GetError().empty() ? SignatureFailed : std::string_view(pdf.GetError()));
    }
    std::vector<uint8_t> signedPdf = pdf.TakeBytes();
    if (signedPdf.empty())
        Fail(SignatureFailed);
    return signedPdf;
}

// `stamp`: null to read the time-stamp options from the request; else the ones already taken.
std::optional<std::vector<uint8_t>> Build(TXmlDoc& request, UnitHttp::THttpClient& http,
                                          const std::optional<UnitTimestamp::TTimestampOptions>* stamp,
                                          const TSignedDataInputs& inputs)
{
    UnitEncoding::SetAsn1ErrorWord({});
    try {
        if (UnitXmlDoc::SameText(Prop(request, "Format"), "PADES"))
            return BuildPades(request, http, inputs);
        if (stamp)
            return BuildCms(request, *stamp, http, inputs);
        return BuildCms(request, UnitTimestamp::TakeOptions(request), http, inputs);
    } catch (const TFailure& failure) {
        // An empty word keeps the one a nested build left.
        if (!failure.Word.empty())
            UnitEncoding::SetAsn1ErrorWord(failure.Word);
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("SignedData: ") + e.what());
        UnitEncoding::SetAsn1ErrorWord(std::string(SignatureFailed));
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<uint8_t>> BuildSignedData(TXmlDoc& request, UnitHttp::THttpClient& http)
{
    return Build(request, http, nullptr, {});
}

std::optional<std::vector<uint8_t>> BuildSignedDataWith(TXmlDoc& request, UnitHttp::THttpClient& http,
                                                        const TSignedDataInputs& inputs)
{
    return Build(request, http, nullptr, inputs);
}

}  // namespace UnitSignedData
