#include "crypto/UnitPkcs12.h"

#include "crypto/UnitCryptKeyRSA.h"
#include "encoding/UnitCodecs.h"
#include "platform/nss/UnitPkcs12Reader.h"
#include "platform/UnitTrace.h"

#include <algorithm>
#include <climits>
#include <openssl/crypto.h>
#include <fstream>

namespace UnitPkcs12 {

using namespace UnitOpenSsl;

namespace {

std::string CertificateHex(X509* certificate)
{
    const int length = i2d_X509(certificate, nullptr);
    CheckOpenSsl(length > 0, "i2d_X509");
    std::vector<uint8_t> der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    CheckOpenSsl(i2d_X509(certificate, &cursor) == length, "i2d_X509");
    return UnitCodecs::HexEncode(der);
}

// The certificate and RSA key of an opened PKCS#12 in the forms the CMS builder takes.
std::optional<TPkcs12Contents> Contents(UnitPkcs12Reader::TPkcs12 pfx)
{
    if (!pfx)
        return std::nullopt;
    if (!pfx.Key || !EVP_PKEY_is_a(pfx.Key.get(), "RSA")) {
        UnitTrace::Trace("PKCS12_parse: no certificate with an RSA key");
        return std::nullopt;
    }
    TPkcs12Contents contents;
    contents.CertificateHex = CertificateHex(pfx.Certificate.get());
    const int keyLength = i2d_PrivateKey(pfx.Key.get(), nullptr);
    CheckOpenSsl(keyLength > 0, "i2d_RSAPrivateKey");
    TSecretBytes keyDer(static_cast<size_t>(keyLength));
    unsigned char* keyCursor = keyDer.data();
    CheckOpenSsl(i2d_PrivateKey(pfx.Key.get(), &keyCursor) == keyLength, "i2d_RSAPrivateKey");
    contents.PrivateKeyBase64 = Base64EncodeSecret(keyDer.Span());
    for (int i = 0; pfx.Chain && i < sk_X509_num(pfx.Chain.get()); ++i)
        contents.ChainHex.push_back(CertificateHex(sk_X509_value(pfx.Chain.get(), i)));
    return contents;
}

}  // namespace

std::optional<TPkcs12Contents> ParsePkcs12(std::span<const uint8_t> pfx, std::string_view password)
{
    try {
        EnsureLoaded();
        return Contents(UnitPkcs12Reader::ReadPkcs12(pfx, password));
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("PKCS#12 parsing: ") + e.what());
    }
    return std::nullopt;
}

std::optional<TPkcs12Contents> ParsePkcs12File(const std::filesystem::path& path,
                                               std::string_view password)
{
    try {
        EnsureLoaded();
        return Contents(UnitPkcs12Reader::ReadPkcs12File(path.string(), password));
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("PKCS#12 parsing: ") + e.what());
    }
    return std::nullopt;
}

std::optional<std::string> CreatePkcs12(std::string_view friendlyName, std::string_view certificateHex,
                                        std::string_view privateKeyBase64, std::string_view password)
try {
    UnitCryptKeyRSA::TCryptKeyRSA key;
    if (!key.LoadFromText(privateKeyBase64, true))
        return std::nullopt;
    std::vector<uint8_t> certificateDer;
    if (!UnitCodecs::HexDecodeStrict(certificateHex, certificateDer) || certificateDer.empty() ||
        certificateDer.size() > LONG_MAX)
        return std::nullopt;
    const unsigned char* cursor = certificateDer.data();
    const TX509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(certificateDer.size())));
    if (!certificate) {
        TraceOpenSslErrors("d2i_X509");
        return std::nullopt;
    }
    const TSecretString pass{std::string(password)};
    const std::string name(friendlyName);
    // Zeros everywhere else: the library's current defaults for ciphers, iterations and MAC.
    const TPkcs12Ptr p12(PKCS12_create(pass.Text().c_str(), name.empty() ? nullptr : name.c_str(),
                                       key.Handle(), certificate.get(), nullptr, 0, 0, 0, 0, 0));
    CheckOpenSsl(p12 != nullptr, "PKCS12_create");
    const int length = i2d_PKCS12(p12.get(), nullptr);
    CheckOpenSsl(length > 0, "i2d_PKCS12");
    TSecretBytes der(static_cast<size_t>(length));
    unsigned char* out = der.data();
    CheckOpenSsl(i2d_PKCS12(p12.get(), &out) == length, "i2d_PKCS12");
    return UnitCodecs::HexEncode(der.Span());
} catch (const std::exception& e) {
    UnitTrace::Trace(std::string("PKCS#12 creation: ") + e.what());
    return std::nullopt;
}

}  // namespace UnitPkcs12
