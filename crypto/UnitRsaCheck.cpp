#include "crypto/UnitRsaCheck.h"

#include "crypto/UnitCryptHash.h"
#include "crypto/UnitCryptKeyRSA.h"
#include "crypto/UnitOpenSsl.h"
#include "core/UnitStatusWords.h"
#include "encoding/UnitCodecs.h"
#include "platform/UnitTrace.h"

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <utility>

namespace UnitRsaCheck {

namespace {

using namespace UnitOpenSsl;

// Padding needs 00 01, at least eight FF and the 00 before DigestInfo.
constexpr size_t MinPaddingOverhead = 11;

std::string WithoutBlanks(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n' && c != ' ')
            out += c;
    return out;
}

bool IsHex(std::string_view text)
{
    return !text.empty() && text.size() % 2 == 0 &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
           });
}

TX509Ptr ReadCertificate(std::span<const uint8_t> der)
{
    const unsigned char* cursor = der.data();
    TX509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    return certificate;
}

// The header length and total length of the DER element at the start of `der`; {0, 0} when
// the bytes do not hold a whole definite-length element.
std::pair<size_t, size_t> ElementExtent(std::span<const uint8_t> der)
{
    if (der.size() < 2)
        return {0, 0};
    size_t header = 2;
    size_t length = der[1];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || der.size() < 2 + count)
            return {0, 0};
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | der[2 + i];
        header += count;
    }
    if (length > der.size() - header)
        return {0, 0};
    return {header, header + length};
}

std::span<const uint8_t> ToBeSigned(std::span<const uint8_t> certificateDer)
{
    const auto [outerHeader, outerTotal] = ElementExtent(certificateDer);
    if (outerTotal == 0 || certificateDer[0] != 0x30)
        return {};
    const std::span<const uint8_t> inner = certificateDer.subspan(outerHeader, outerTotal - outerHeader);
    const auto [tbsHeader, tbsTotal] = ElementExtent(inner);
    if (tbsTotal == 0 || inner[0] != 0x30)
        return {};
    (void)tbsHeader;
    return inner.first(tbsTotal);
}

}  // namespace

std::string CheckSignature(std::string_view publicKeyBase64, std::string_view signatureHex,
                           std::string_view digestOid, std::string_view digestHex) noexcept
try {
    const std::string key = WithoutBlanks(publicKeyBase64);
    const std::string signature = WithoutBlanks(signatureHex);
    if (!IsHex(digestHex))
        return std::string(Words::ContentUnrecognized);
    const UnitCodecs::TBytes digest = UnitCodecs::HexDecode(digestHex);
    const std::vector<uint8_t> digestInfo = UnitCryptKeyRSA::DigestInfoDer(digestOid, digest);

    UnitCryptKeyRSA::TCryptKeyRSA publicKey;
    if (!publicKey.LoadFromText(key, false))
        return std::string(Words::CryptError);
    const auto k = static_cast<size_t>(publicKey.Size());
    if (k < digestInfo.size() + MinPaddingOverhead)
        return std::string(Words::SmallKey);

    const UnitCryptKeyRSA::TCryptResult opened = UnitCryptKeyRSA::RawVerify(key, signature);
    // The key is sound (read above) and the value is hex: a value the key cannot open (one at
    // or above its modulus, as another key's signature often is) is not its signature.
    if (!opened.Ok)
        return opened.Text == Words::CryptError ? std::string(Words::Failed) : opened.Text;

    std::vector<uint8_t> block(k, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[k - digestInfo.size() - 1] = 0x00;
    std::copy(digestInfo.begin(), digestInfo.end(), block.end() - static_cast<long>(digestInfo.size()));
    return opened.Text == UnitCodecs::HexEncode(block) ? std::string(Words::OK) : std::string(Words::Failed);
} catch (const std::exception& e) {
    UnitTrace::Trace(std::string("RSA check: ") + e.what());
    return std::string(Words::CryptError);
} catch (...) {
    return std::string(Words::CryptError);
}

std::string PublicKeyOfCertificate(std::span<const uint8_t> certificateDer) noexcept
try {
    TX509Ptr certificate = ReadCertificate(certificateDer);
    if (!certificate)
        return {};
    X509_PUBKEY* info = X509_get_X509_PUBKEY(certificate.get());
    const unsigned char* keyBytes = nullptr;
    int keyLength = 0;
    X509_ALGOR* algorithm = nullptr;
    if (!info || X509_PUBKEY_get0_param(nullptr, &keyBytes, &keyLength, &algorithm, info) != 1 ||
        keyLength <= 0)
        return {};
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
    if (OBJ_obj2nid(oid) != NID_rsaEncryption)
        return {};
    return UnitCodecs::Base64Encode({keyBytes, static_cast<size_t>(keyLength)}, false);
} catch (...) {
    return {};
}

std::string CheckCertificateSignature(std::span<const uint8_t> certificateDer,
                                      std::span<const uint8_t> issuerDer) noexcept
try {
    TX509Ptr certificate = ReadCertificate(certificateDer);
    if (!certificate)
        return std::string(Words::CryptError);
    const std::string issuerKey = PublicKeyOfCertificate(issuerDer);
    if (issuerKey.empty())
        return std::string(Words::CryptError);

    const ASN1_BIT_STRING* signature = nullptr;
    const X509_ALGOR* algorithm = nullptr;
    X509_get0_signature(&signature, &algorithm, certificate.get());
    const ASN1_OBJECT* algorithmOid = nullptr;
    X509_ALGOR_get0(&algorithmOid, nullptr, nullptr, algorithm);
    char oidText[128] = {};
    if (!signature || OBJ_obj2txt(oidText, sizeof oidText, algorithmOid, 1) <= 0)
        return std::string(Words::CryptError);
    const UnitCryptHash::TCryptHashRow& row = UnitCryptHash::HashRow(UnitCryptHash::HashFromOid(oidText));
    if (row.SignatureOid != oidText && row.DigestOid != oidText)
        return std::string(Words::CryptError);

    // The to-be-signed part exactly as it stands in the certificate's bytes.
    const std::span<const uint8_t> tbs = ToBeSigned(certificateDer);
    const std::string digest = tbs.empty() ? std::string() : UnitCryptHash::DigestBytes(tbs, row.Hash);
    if (digest.empty())
        return std::string(Words::CryptError);
    const std::string signatureHex = UnitCodecs::HexEncode(
        {ASN1_STRING_get0_data(signature), static_cast<size_t>(ASN1_STRING_length(signature))});
    return CheckSignature(issuerKey, signatureHex, row.DigestOid, digest);
} catch (const std::exception& e) {
    UnitTrace::Trace(std::string("certificate signature check: ") + e.what());
    return std::string(Words::CryptError);
} catch (...) {
    return std::string(Words::CryptError);
}

}  // namespace UnitRsaCheck
