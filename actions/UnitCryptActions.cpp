#include "actions/UnitCryptActions.h"

#include "core/UnitStatusWords.h"
#include "crypto/UnitAsn1.h"
#include "crypto/UnitCertificates.h"
#include "crypto/UnitCryptHash.h"
#include "crypto/UnitPkcs12.h"
#include "crypto/UnitRsaCheck.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitTrace.h"

#include <openssl/bn.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <climits>
#include <optional>

namespace UnitCryptActions {

using namespace UnitPlugActions;
using UnitOpenSsl::CheckOpenSsl;
using UnitOpenSsl::EOpenSsl;
using UnitOpenSsl::TSecretBytes;
using UnitOpenSsl::TSecretString;

namespace {

constexpr std::array<TCipherName, CipherCount> Ciphers{{
    {"BlowfishCBC", "EVP_bf_cbc"},      {"BlowfishECB", "EVP_bf_ecb"},     {"BlowfishOFB", "EVP_bf_ofb"},
    {"DESCBC", "EVP_des_cbc"},          {"DESECB", "EVP_des_ecb"},         {"DESOFB", "EVP_des_ofb"},
    {"DES2CBC", "EVP_des_ede_cbc"},     {"DES2ECB", "EVP_des_ede_ecb"},    {"DES2OFB", "EVP_des_ede_ofb"},
    {"DES3CBC", "EVP_des_ede3_cbc"},    {"DES3ECB", "EVP_des_ede3_ecb"},   {"DES3OFB", "EVP_des_ede3_ofb"},
    {"DESXCBC", "EVP_desx_cbc"},        {"IDEACBC", "EVP_idea_cbc"},       {"IDEAECB", "EVP_idea_ecb"},
    {"IDEAOFB", "EVP_idea_ofb"},        {"CAST5CBC", "EVP_cast5_cbc"},     {"CAST5ECB", "EVP_cast5_ecb"},
    {"CAST5OFB", "EVP_cast5_ofb"},      {"AES128CBC", "EVP_aes_128_cbc"},  {"AES128ECB", "EVP_aes_128_ecb"},
    {"AES128OFB", "EVP_aes_128_ofb"},   {"AES192CBC", "EVP_aes_192_cbc"},  {"AES192ECB", "EVP_aes_192_ecb"},
    {"AES192OFB", "EVP_aes_192_ofb"},   {"AES256CBC", "EVP_aes_256_cbc"},  {"AES256ECB", "EVP_aes_256_ecb"},
    {"AES256OFB", "EVP_aes_256_ofb"},
}};

constexpr std::array<int, 7> AllowedKeySizes{128, 256, 512, 768, 1024, 2048, 4096};
constexpr unsigned long PublicExponent = 17;

std::span<const uint8_t> AsBytes(std::string_view text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string HexOfText(std::string_view text)
{
    return UnitCodecs::HexEncode(AsBytes(text));
}

// Overwrites a value held by a tree (passwords, keys) before the tree lets it go.
void WipeValue(TXmlDoc* node) noexcept
{
    if (node == nullptr)
        return;
    WipeText(const_cast<std::string&>(node->GetValue()));
}

void WipeProperty(TXmlDoc& node, std::string_view name) noexcept
{
    if (const TXmlDoc* property = node.FindProperty(name))
        WipeValue(const_cast<TXmlDoc*>(property));
}

// The bytes cleared when they go out of scope, whatever way that happens.
struct TWipeOnExit {
    std::vector<uint8_t>& Bytes;
    bool Keep = false;
    ~TWipeOnExit()
    {
        if (!Keep)
            OPENSSL_cleanse(Bytes.data(), Bytes.size());
    }
};

// The key text of a request: "BinaryPassword" as it is, else the Base64 of "Password".
TSecretString RequestKeyText(const TXmlDoc& request)
{
    if (const TXmlDoc* binary = request.FindNode("BinaryPassword"))
        return TSecretString(binary->GetValue());
    return UnitOpenSsl::Base64EncodeSecret(AsBytes(ChildValue(request, "Password")));
}

// ---- credential

// A value of an item given as child node or as property.
std::string ItemValue(const TXmlDoc& item, std::string_view name)
{
    if (const TXmlDoc* child = item.FindNode(name))
        return child->GetValue();
    if (const TXmlDoc* property = item.FindProperty(name))
        return property->GetValue();
    return {};
}

std::vector<std::string> CommaNames(std::string_view text)
{
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view name = text.substr(start, end - start);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
            name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.remove_suffix(1);
        if (!name.empty())
            names.emplace_back(name);
        start = end + 1;
    }
    return names;
}

bool HasName(const std::vector<std::string>& names, std::string_view wanted)
{
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return UnitXmlDoc::SameText(n, wanted); });
}

struct TExtendedUse {
    std::string_view Name;
    std::string_view Oid;
};
constexpr std::array<TExtendedUse, 5> ExtendedUses{{
    {"ServerAuthentication", "1.3.6.1.5.5.7.3.1"},
    {"ClientAuthentication", "1.3.6.1.5.5.7.3.2"},
    {"CodeSigning", "1.3.6.1.5.5.7.3.3"},
    {"EmailProtection", "1.3.6.1.5.5.7.3.4"},
    {"Timestamping", "1.3.6.1.5.5.7.3.8"},
}};

struct TCredentialSettings {
    std::string PathLength = "0";
    std::string KeyUsage = "DigitalSignature,NonRepudiation,DataEncipherment";
    std::string ExtendedUsage = "ClientAuthentication,EmailProtection";
    std::string PolicyUrl;
    std::string RevocationUrl;
    std::string IssuerUrl;
    std::string Serial;
    std::string FriendlyName;
    std::string Name;
};

class ECredential : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string EncodeHex(TXmlDoc& node, const char* what)
{
    std::string hex;
    if (!UnitAsn1::EncodeNodeHex(node, hex) || hex.empty())
        throw ECredential(std::string("cannot encode ") + what);
    return hex;
}

TXmlDoc* AddElement(TXmlDoc& parent, const std::string& type, std::string value = {}, bool binary = false)
{
    TXmlDoc* node = parent.New(type);
    if (!value.empty() || type == "INTEGER" || type == "OID")
        node->Setp("Value", std::move(value));
    if (binary)
        node->Setp("Binary", "1");
    return node;
}

// The serial as the content bytes of a DER INTEGER (hex); a decimal text of any length. An
// empty serial is drawn at random (63 bits, positive).
std::string SerialContentHex(std::string& serial)
{
    BIGNUM* raw = nullptr;
    if (serial.empty()) {
        uint64_t random = 0;
        CheckOpenSsl(RAND_bytes(reinterpret_cast<unsigned char*>(&random), sizeof random) == 1, "RAND_bytes");
        random = (random >> 1) | 1;
        serial = std::to_string(random);
    }
    if (!std::all_of(serial.begin(), serial.end(), [](char c) { return c >= '0' && c <= '9'; }) || serial.size() > 4096)
        throw ECredential("the serial number is not a decimal number");
    CheckOpenSsl(BN_dec2bn(&raw, serial.c_str()) > 0, "BN_dec2bn");
    const UnitOpenSsl::TBignumPtr number(raw);
    std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(number.get())));
    BN_bn2bin(number.get(), bytes.data());
    if (bytes.empty() || (bytes.front() & 0x80) != 0)
        bytes.insert(bytes.begin(), 0);
    return UnitCodecs::HexEncode(bytes);
}

// Validity times as local-time text; not after is the expiration day at 23:59:59.
std::pair<std::string, std::string> ValidityTexts(double expiration)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    UnitXmlDoc::DecodeDateTime(expiration, year, month, day, hour, minute, second, milli);
    const std::string notAfter = UnitXmlDoc::DateTimeToText(UnitXmlDoc::EncodeDateTime(year, month, day, 23, 59, 59, 0));
    int ny = 0, nm = 0, nd = 0, nh = 0, nn = 0, ns = 0, nms = 0;
    UnitXmlDoc::DecodeDateTime(UnitXmlDoc::Now(), ny, nm, nd, nh, nn, ns, nms);
    // Certificates carry whole seconds.
    std::string notBefore = UnitXmlDoc::DateTimeToText(UnitXmlDoc::EncodeDateTime(ny, nm, nd, nh, nn, ns, 0));
    if (!(notBefore < notAfter))
        notBefore = UnitXmlDoc::DateTimeToText(UnitXmlDoc::EncodeDateTime(year, month, day, 12, 0, 0, 0));
    return {notBefore, notAfter};
}

void AddTime(TXmlDoc& validity, const std::string& localText)
{
    // UTCTime up to 2049, GeneralizedTime from 2050 on.
    const int year = UnitAsn1::TextToUtc(localText, false).Year;
    AddElement(validity, (year >= 1950 && year <= 2049) ? "UTCTIME" : "GENTIME", localText);
}

void AddExtension(TXmlDoc& extensions, std::string_view oid, bool critical, TXmlDoc& value, const char* what)
{
    TXmlDoc* extension = extensions.New("SEQUENCE");
    AddElement(*extension, "OID", std::string(oid));
    AddElement(*extension, "BOOLEAN", critical ? "1" : "0");
    AddElement(*extension, "OCTETSTRING", EncodeHex(value, what), true);
}

void AddExtensions(TXmlDoc& list, const TCredentialSettings& settings, const TXmlDoc& issuer,
                   const std::string& keyIdentifierHex, const std::string& serialContentHex)
{
    const std::vector<std::string> usages = CommaNames(settings.KeyUsage);
    {
        TXmlDoc value("SEQUENCE");
        AddElement(value, "BOOLEAN", HasName(usages, "KeyCertSign") ? "1" : "0");
        if (!settings.PathLength.empty())
            AddElement(value, "INTEGER", settings.PathLength);
        AddExtension(list, "2.5.29.19", true, value, "basic constraints");
    }
    {
        TXmlDoc source;
        bool known = false;
        for (const std::string& usage : usages)
            for (const std::string& name : UnitAsn1::KeyUsageNames())
                if (UnitXmlDoc::SameText(usage, name)) {
                    source.GetNode(name);
                    known = true;
                }
        if (known) {
            TXmlDoc value("BINARY");
            value.SetValue(UnitAsn1::FlagNamesToBitString(UnitAsn1::KeyUsageNames(), source, 8));
            AddExtension(list, "2.5.29.15", true, value, "key usage");
        }
    }
    {
        TXmlDoc value("SEQUENCE");
        for (const std::string& name : CommaNames(settings.ExtendedUsage))
            for (const TExtendedUse& use : ExtendedUses)
                if (UnitXmlDoc::SameText(name, use.Name))
                    AddElement(value, "OID", std::string(use.Oid));
        if (value.HasChildren())
            AddExtension(list, "2.5.29.37", false, value, "extended key usage");
    }
    {
        TXmlDoc value("OCTETSTRING");
        value.Setp("Binary", "1");
        value.Setp("Value", keyIdentifierHex);
        AddExtension(list, "2.5.29.14", false, value, "subject key identifier");
    }
    {
        TXmlDoc value("SEQUENCE");
        AddElement(value, "128", keyIdentifierHex);
        value.New("161")->New("164")->NewFromClone(issuer);
        AddElement(value, "130", serialContentHex);
        AddExtension(list, "2.5.29.35", false, value, "authority key identifier");
    }
    if (!settings.IssuerUrl.empty()) {
        TXmlDoc value("SEQUENCE");
        TXmlDoc* access = value.New("SEQUENCE");
        AddElement(*access, "OID", "1.3.6.1.5.5.7.48.2");
        AddElement(*access, "134", HexOfText(settings.IssuerUrl));
        AddExtension(list, "1.3.6.1.5.5.7.1.1", false, value, "authority information access");
    }
    if (!settings.RevocationUrl.empty()) {
        TXmlDoc value("SEQUENCE");
        AddElement(*value.New("SEQUENCE")->New("CONTEXT")->New("CONTEXT"), "134", HexOfText(settings.RevocationUrl));
        AddExtension(list, "2.5.29.31", false, value, "CRL distribution points");
    }
    if (!settings.PolicyUrl.empty()) {
        const size_t comma = settings.PolicyUrl.find(',');
        const std::string policy = settings.PolicyUrl.substr(0, comma);
        const std::string url = comma == std::string::npos ? std::string() : settings.PolicyUrl.substr(comma + 1);
        TXmlDoc value("SEQUENCE");
        TXmlDoc* information = value.New("SEQUENCE");
        AddElement(*information, "OID", policy);
        TXmlDoc* qualifier = information->New("SEQUENCE")->New("SEQUENCE");
        AddElement(*qualifier, "OID", "1.3.6.1.5.5.7.2.1");
        AddElement(*qualifier, "IA5STRING", url);
        AddExtension(list, "2.5.29.32", false, value, "certificate policies");
    }
}

struct TCredential {
    std::string CertificateHex;
    TSecretString PrivateKey;
    TSecretString PfxHex;
    std::string Name;
};

TCredential MakeCredential(const std::string& algorithm, int keySize, double expiration, std::string_view password,
                           const std::string& serialNumber, const TXmlDoc* subjectInfo)
{
    TCryptKeyPair pair;
    pair.Generate(keySize);

    TCredentialSettings settings;
    settings.Serial = serialNumber;
    TXmlDoc issuer("SEQUENCE");
    bool nameTaken = false;
    if (subjectInfo != nullptr)
        for (int i = 0; i < subjectInfo->GetNodeCount(); ++i) {
            const TXmlDoc& item = *subjectInfo->ChildAt(static_cast<size_t>(i));
            const std::string id = ItemValue(item, "ID");
            const std::string value = ItemValue(item, "Value");
            if (id.empty() || value.empty())
                continue;
            if (!nameTaken) {
                settings.Name = value;
                nameTaken = true;
            }
            if (UnitXmlDoc::SameText(id, "ChainLength"))
                settings.PathLength = value;
            else if (UnitXmlDoc::SameText(id, "BasicUse"))
                settings.KeyUsage = value;
            else if (UnitXmlDoc::SameText(id, "ExtendedUse"))
                settings.ExtendedUsage = value;
            else if (UnitXmlDoc::SameText(id, "PolicyURL"))
                settings.PolicyUrl = value;
            else if (UnitXmlDoc::SameText(id, "RevocationURL"))
                settings.RevocationUrl = value;
            else if (UnitXmlDoc::SameText(id, "IssuerURL"))
                settings.IssuerUrl = value;
            else if (UnitXmlDoc::SameText(id, "SerialNumber"))
                settings.Serial = value;
            else {
                TXmlDoc* attribute = issuer.New("SET")->New("SEQUENCE");
                AddElement(*attribute, "OID", id);
                AddElement(*attribute, "PRINTABLESTRING", value);
                if (id == "2.5.4.3" && settings.FriendlyName.empty())
                    settings.FriendlyName = value;
            }
        }
    if (!settings.FriendlyName.empty())
        settings.Name = settings.FriendlyName;

    const std::string serialHex = SerialContentHex(settings.Serial);
    TSecretBytes publicDer = UnitOpenSsl::Base64DecodeSecret(pair.PublicKey().KeyText());
    const std::string publicHex = UnitCodecs::HexEncode(publicDer.Span());
    const std::string keyIdentifier = UnitCryptHash::DigestBytes(publicDer.Span(), UnitCryptHash::TCryptHash::SHA1);
    if (keyIdentifier.empty())
        throw ECredential("no SHA-1 digest");

    TXmlDoc tbs("SEQUENCE");
    AddElement(*tbs.New("CONTEXT"), "INTEGER", "2");
    AddElement(tbs, "INTEGER", serialHex, true);
    TXmlDoc* signatureAlgorithm = tbs.New("SEQUENCE");
    AddElement(*signatureAlgorithm, "OID", algorithm);
    signatureAlgorithm->New("NULL");
    tbs.NewFromClone(issuer);
    const auto [notBefore, notAfter] = ValidityTexts(expiration);
    TXmlDoc* validity = tbs.New("SEQUENCE");
    AddTime(*validity, notBefore);
    AddTime(*validity, notAfter);
    tbs.NewFromClone(issuer);
    TXmlDoc* keyInfo = tbs.New("SEQUENCE");
    TXmlDoc* keyAlgorithm = keyInfo->New("SEQUENCE");
    AddElement(*keyAlgorithm, "OID", "1.2.840.113549.1.1.1");
    keyAlgorithm->New("NULL");
    AddElement(*keyInfo, "BITSTRING", publicHex, true)->Setp("Unused", "0");
    AddExtensions(*tbs.New("163")->New("SEQUENCE"), settings, issuer, keyIdentifier, serialHex);
    const std::string tbsHex = EncodeHex(tbs, "the certificate");

    const UnitCryptHash::TCryptHash hash = UnitCryptHash::HashFromOid(algorithm);
    const std::string digest = UnitCryptHash::DigestHex(tbsHex, hash);
    if (digest.empty())
        throw ECredential("cannot digest the certificate");
    const UnitCryptKeyRSA::TCryptResult signature = UnitCryptKeyRSA::RawSign(
        pair.PrivateKey().KeyText(), pair.PublicKey().KeyText(), digest,
        UnitCryptHash::HashRow(hash).DigestOid);
    if (!signature.Ok)
        throw ECredential("signing failed: " + signature.Text);

    TXmlDoc certificate("SEQUENCE");
    certificate.New("BINARY")->SetValue(tbsHex);
    certificate.NewFromClone(*signatureAlgorithm);
    AddElement(certificate, "BITSTRING", signature.Text, true)->Setp("Unused", "0");

    TCredential credential;
    credential.CertificateHex = EncodeHex(certificate, "the certificate");
    std::vector<uint8_t> der;
    UnitCodecs::HexDecodeStrict(credential.CertificateHex, der);
    const std::string check = UnitRsaCheck::CheckCertificateSignature(der, der);
    if (check != Words::OK)
        throw ECredential("the new certificate does not verify: " + check);
    std::optional<std::string> pfx = UnitPkcs12::CreatePkcs12(settings.FriendlyName, credential.CertificateHex,
                                                              pair.PrivateKey().KeyText(), password);
    if (!pfx)
        throw ECredential("PKCS#12 creation failed");
    credential.PfxHex = TSecretString(std::move(*pfx));
    credential.PrivateKey = TSecretString(pair.PrivateKey().KeyText());
    credential.Name = settings.Name;
    return credential;
}

// The "Credential" text: PFX, PVK and the certificate with its one-element chain.
std::string CredentialText(const TCredential& credential)
{
    std::vector<uint8_t> der;
    UnitCodecs::HexDecodeStrict(credential.CertificateHex, der);
    TXmlDoc node("Credential");
    AddDataChild(node, "PFX", credential.PfxHex.Text());
    AddDataChild(node, "PVK", credential.PrivateKey.Text());
    TXmlDoc* certificate = node.New("Certificate");
    certificate->New("Name")->SetValue(credential.Name);
    certificate->New("Code")->SetValue(UnitCryptHash::DigestBytes(der, UnitCryptHash::TCryptHash::SHA1));
    TXmlDoc* chained = certificate->New("Chain")->New("Certificate");
    chained->Setp("Name", credential.Name);
    chained->Setp("Data", UnitOpenSsl::Base64Encode(der));
    std::string text = node.GetXML();
    WipeValue(node.FindNode("PFX"));
    WipeValue(node.FindNode("PVK"));
    return text;
}

}  // namespace

std::span<const TCipherName> CipherTable()
{
    return Ciphers;
}

int CipherIndex(std::string_view name)
{
    for (size_t i = 0; i < Ciphers.size(); ++i)
        if (Ciphers[i].Name == name)
            return static_cast<int>(i);
    return -1;
}

TCryptKeyPassword::~TCryptKeyPassword()
{
    OPENSSL_cleanse(FKey.data(), FKey.size());
}

void TCryptKeyPassword::SetKeyText(std::string_view base64)
{
    OPENSSL_cleanse(FKey.data(), FKey.size());
    const TSecretBytes bytes = UnitOpenSsl::Base64DecodeSecret(base64);
    std::copy_n(bytes.data(), std::min(bytes.size(), FKey.size()), FKey.begin());
}

void TCryptKeyPassword::MakeRandomKey()
{
    UnitOpenSsl::EnsureLoaded();
    // Redraw zero bytes: every byte 1 to 255 alike, and the exported text keeps all 32.
    for (uint8_t& byte : FKey)
        do
            CheckOpenSsl(RAND_bytes(&byte, 1) == 1, "RAND_bytes");
        while (byte == 0);
}

TSecretString TCryptKeyPassword::ExportKey() const
{
    const auto end = std::find(FKey.begin(), FKey.end(), uint8_t{0});
    return UnitOpenSsl::Base64EncodeSecret(std::span<const uint8_t>(FKey.data(), static_cast<size_t>(end - FKey.begin())));
}

std::vector<uint8_t> TCryptKeyPassword::Crypt(std::span<const uint8_t> input, bool encrypt) const
{
    if (FAlgorithm >= Ciphers.size())
        throw EUnsupportedAlgorithm("no cipher number " + std::to_string(FAlgorithm));
    UnitOpenSsl::EnsureLoaded();
    const UnitOpenSsl::TCipherPtr cipher = UnitOpenSsl::FetchCipher(Ciphers[FAlgorithm].Function);
    if (!cipher)
        throw EUnsupportedAlgorithm(std::string(Ciphers[FAlgorithm].Name) + " is not offered by the crypto library");
    const int block = EVP_CIPHER_get_block_size(cipher.get());
    if (static_cast<int>(EVP_CIPHER_get_key_length(cipher.get())) > static_cast<int>(FKey.size()) ||
        EVP_CIPHER_get_iv_length(cipher.get()) > EVP_MAX_IV_LENGTH)
        throw EUnsupportedAlgorithm(std::string(Ciphers[FAlgorithm].Name) + " needs a longer key or IV");
    if (input.size() > static_cast<size_t>(INT_MAX - 2 * EVP_MAX_BLOCK_LENGTH))
        throw EOpenSsl("data too large for one cipher call");

    const UnitOpenSsl::TCipherCtxPtr context(EVP_CIPHER_CTX_new());
    CheckOpenSsl(context != nullptr, "EVP_CIPHER_CTX_new");
    const std::array<uint8_t, EVP_MAX_IV_LENGTH> iv{};
    CheckOpenSsl(EVP_CipherInit_ex(context.get(), cipher.get(), nullptr, FKey.data(), iv.data(), encrypt ? 1 : 0) == 1,
                 "EVP_CipherInit_ex");
    std::vector<uint8_t> output(input.size() + static_cast<size_t>(std::max(block, 1)));
    TWipeOnExit wipeOnFailure{output};
    int written = 0;
    static const uint8_t nothing = 0;
    CheckOpenSsl(EVP_CipherUpdate(context.get(), output.data(), &written, input.empty() ? &nothing : input.data(),
                                  static_cast<int>(input.size())) == 1,
                 "EVP_CipherUpdate");
    int last = 0;
    CheckOpenSsl(EVP_CipherFinal_ex(context.get(), output.data() + written, &last) == 1, "EVP_CipherFinal_ex");
    // The unused tail still goes: only the result itself is handed over.
    OPENSSL_cleanse(output.data() + written + last, output.size() - static_cast<size_t>(written + last));
    wipeOnFailure.Keep = true;
    output.resize(static_cast<size_t>(written + last));
    return output;
}

std::string EncryptData(std::span<const uint8_t> content, int algorithm, TSecretString& keyText)
{
    if (algorithm < 0 || algorithm >= CipherCount)
        throw EUnsupportedAlgorithm("no cipher number " + std::to_string(algorithm));
    TCryptKeyPassword key(static_cast<uint8_t>(algorithm));
    const bool generate = keyText.empty();
    if (generate)
        key.MakeRandomKey();
    else
        key.SetKeyText(keyText.Text());
    const std::vector<uint8_t> encrypted = key.Crypt(content, true);
    if (generate)
        keyText = key.ExportKey();
    return UnitOpenSsl::Base64Encode(encrypted);
}

TSecretBytes DecryptData(std::string_view base64, int algorithm, std::string_view keyText)
{
    if (algorithm < 0 || algorithm >= CipherCount)
        throw EUnsupportedAlgorithm("no cipher number " + std::to_string(algorithm));
    TCryptKeyPassword key(static_cast<uint8_t>(algorithm));
    key.SetKeyText(keyText);
    const std::optional<UnitEncoding::TBytes> data = UnitEncoding::DecodeText(base64, UnitEncoding::TEncodingNumber::Base64);
    return TSecretBytes(key.Crypt(data ? std::span<const uint8_t>(*data) : std::span<const uint8_t>(), false));
}

bool TCryptKeyPair::AllowedSize(int bits) noexcept
{
    return std::find(AllowedKeySizes.begin(), AllowedKeySizes.end(), bits) != AllowedKeySizes.end();
}

void TCryptKeyPair::Generate(int bits)
{
    if (!AllowedSize(bits))
        throw EOpenSsl("RSA key size " + std::to_string(bits) + " is not one of the allowed sizes");
    const UnitCryptKeyRSA::TKeyPairText pair = UnitCryptKeyRSA::GenerateKeyPair(bits, PublicExponent);
    CheckOpenSsl(FPrivate.LoadFromText(pair.PrivateKey.Text(), true), "d2i_RSAPrivateKey");
    CheckOpenSsl(FPublic.LoadFromText(pair.PublicKey, false), "d2i_RSAPublicKey");
}

int32_t TCryptActionCreateCredential::Execute(TXmlDoc& request, TXmlDoc& response)
{
    if (AnswerApiQuery(request, response))
        return StatusHandled;
    if (request.GetName() != IdCreateCredential)
        return StatusNotHandled;
    const TXmlDoc* algorithm = request.FindNode("Algorithm");
    const TXmlDoc* keySize = request.FindNode("KeySize");
    const TXmlDoc* expiration = request.FindNode("Expiration");
    const TXmlDoc* password = request.FindNode("Password");
    const double expirationDate = expiration ? expiration->GetAsDateTime() : 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    if (!algorithm || algorithm->IsEmpty() || !keySize || keySize->GetAsInt() <= 0 || !expiration || !password ||
        expirationDate <= 0 ||
        !UnitXmlDoc::DecodeDateTime(expirationDate, year, month, day, hour, minute, second, milli)) {
        response.Setp("Status", std::string(Words::InvalidParams));
        return StatusHandled;
    }
    try {
        const TCredential credential = MakeCredential(algorithm->GetValue(), keySize->GetAsInt(), expirationDate,
                                                      password->GetValue(), ChildValue(request, "SerialNumber"),
                                                      request.FindNode("SubjectInfo"));
        AddDataChild(response, "Credential", CredentialText(credential));
        response.Setp("Status", std::string(Words::OK));
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("create credential: ") + e.what());
        response.Setp("Status", std::string(Words::Failed));
    }
    return StatusHandled;
}

namespace {

// The steps the encrypt and decrypt actions share after the API query: the request must name
// the action and have an "Algorithm" child (else it is not handled); an algorithm outside the
// table answers "UnsupportedAlgorithm"; `run` does the work, and its failures' words are set here.
// The key text and the result text are wiped whatever the outcome.
template <class TRun>
int32_t RunCipherAction(TXmlDoc& request, TXmlDoc& response, std::string_view identifier, const char* what,
                        TRun run)
{
    if (request.GetName() != identifier)
        return StatusNotHandled;
    const TXmlDoc* algorithmNode = request.FindNode("Algorithm");
    if (algorithmNode == nullptr)
        return StatusNotHandled;
    const int algorithm = CipherIndex(algorithmNode->GetValue());
    if (algorithm < 0) {
        response.Setp("Status", std::string(Words::UnsupportedAlgorithm));
        return StatusHandled;
    }
    TSecretString keyText = RequestKeyText(request);
    std::string result;
    try {
        run(algorithm, keyText, result);
        response.Setp("Status", std::string(Words::OK));
    } catch (const EStatusError& e) {
        UnitTrace::Trace(std::string(what) + ": " + e.what());
        response.Setp("Status", e.Word());
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string(what) + ": " + e.what());
        response.Setp("Status", std::string(Words::Failed));
    }
    WipeText(result);
    keyText.Wipe();
    return StatusHandled;
}

}  // namespace

int32_t TCryptActionEncryptData::Execute(TXmlDoc& request, TXmlDoc& response)
{
    if (AnswerApiQuery(request, response))
        return StatusHandled;
    return RunCipherAction(request, response, IdEncryptData, "encrypt",
                           [&](int algorithm, TSecretString& keyText, std::string& result) {
        TXmlDoc* generated = keyText.empty() ? response.GetNode("BinaryPassword") : nullptr;
        result = EncryptData(AsBytes(ChildValue(request, "Content")), algorithm, keyText);
        AddDataChild(response, "EncryptedData", std::move(result));
        if (generated != nullptr)
            generated->SetValue(keyText.Text());
    });
}

int32_t TCryptActionDecryptData::Execute(TXmlDoc& request, TXmlDoc& response)
{
    if (AnswerApiQuery(request, response))
        return StatusHandled;
    return RunCipherAction(request, response, IdDecryptData, "decrypt",
                           [&](int algorithm, TSecretString& keyText, std::string& result) {
        const TSecretBytes plain = DecryptData(ChildValue(request, "EncryptedData"), algorithm, keyText.Text());
        result.assign(reinterpret_cast<const char*>(plain.data()), plain.size());
        AddDataChild(response, "Content", std::move(result));
    });
}

int32_t TCryptActionHash::Execute(TXmlDoc& request, TXmlDoc& response)
{
    if (AnswerApiQuery(request, response))
        return StatusHandled;
    if (request.GetName() != IdHash)
        return StatusNotHandled;
    const TXmlDoc* algorithm = request.FindNode("Algorithm");
    const std::optional<UnitCryptHash::TCryptHash> hash = UnitCryptHash::HashFromNumber(algorithm ? algorithm->GetAsInt() : 0);
    // A row the table does not have, or the crypto library does not offer, has no digest to give.
    const std::string digest = hash ? UnitCryptHash::DigestText(ChildValue(request, "Content"), *hash) : std::string();
    if (digest.empty()) {
        response.Setp("Status", std::string(Words::UnsupportedAlgorithm));
        return StatusHandled;
    }
    response.GetNode("Hash")->SetValue(digest);
    response.Setp("Status", std::string(Words::OK));
    return StatusHandled;
}

int32_t TCapicomActionDecryptData::Execute(TXmlDoc& request, TXmlDoc& response)
{
    if (AnswerApiQuery(request, response))
        return StatusHandled;
    if (request.GetName() != IdDecryptData)
        return StatusNotHandled;
    const TXmlDoc* enveloped = request.FindNode("EnvelopedData");
    if (enveloped == nullptr)
        return StatusNotHandled;

    TXmlDoc credentials;
    credentials.SetXML(ChildValue(request, "Credentials"));
    TXmlDoc* bag = UnitXmlDoc::SameText(credentials.GetName(), "CredentialBag") ? &credentials
                                                                                : credentials.FindNode("CredentialBag");
    TXmlDoc recipients("Recipients");
    if (bag != nullptr)
        for (int i = 0; i < bag->GetNodeCount(); ++i) {
            TXmlDoc& item = *bag->ChildAt(static_cast<size_t>(i));
            const TXmlDoc* certificate = item.FindNode("Certificate");
            const TXmlDoc* name = certificate ? certificate->FindNode("Name") : nullptr;
            TXmlDoc* recipient = recipients.New("Certificate");
            recipient->Setp("Name", name ? name->GetValue() : std::string());
            recipient->Setp("Data", ChildValue(item, "PFX"));
            recipient->Setp("Pwd", ChildValue(item, "Password"));
            WipeValue(item.FindNode("Password"));
            WipeValue(item.FindNode("PVK"));
        }
    std::string content;
    const bool decrypted = UnitCertificates::DecryptEnvelopedData(enveloped->GetValue(), content,
                                                                  recipients.HasChildren() ? &recipients : nullptr);
    for (int i = 0; i < recipients.GetNodeCount(); ++i)
        WipeProperty(*recipients.ChildAt(static_cast<size_t>(i)), "Pwd");
    if (!decrypted) {
        // Not handled, as the decryption could not be done; the word tells a caller who reads
        // the response anyway why there is no content.
        RecordStatus(response, Words::Failed);
        return StatusNotHandled;
    }
    AddDataChild(response, "Content", std::move(content));
    response.Setp("Status", std::string(Words::OK));
    return StatusHandled;
}

}  // namespace UnitCryptActions
