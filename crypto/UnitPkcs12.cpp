#include "crypto/UnitPkcs12.h"
#include "encoding/UnitCodecs.h"

#include "crypto/UnitCryptKeyRSA.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/UnitTrace.h"

#include <algorithm>
#include <climits>
#include <openssl/crypto.h>
#include <fstream>

namespace UnitPkcs12 {

using namespace UnitOpenSsl;

namespace {

// Larger files are not credentials; refusing them keeps a wrong path from filling memory.
// A key, its certificate and its chain take a few kilobytes (see TNssCertificate).
constexpr std::uintmax_t MaxPkcs12File = 1u << 20;

std::string CertificateHex(X509* certificate)
{
    const int length = i2d_X509(certificate, nullptr);
    CheckOpenSsl(length > 0, "i2d_X509");
    std::vector<uint8_t> der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    CheckOpenSsl(i2d_X509(certificate, &cursor) == length, "i2d_X509");
    return UnitCodecs::HexEncode(der);
}

std::optional<TPkcs12Contents> Parse(std::span<const uint8_t> pfx, std::string_view password)
{
    if (pfx.empty() || pfx.size() > LONG_MAX)
        return std::nullopt;
    EnsureLoaded();
    const unsigned char* cursor = pfx.data();
    const TPkcs12Ptr p12(d2i_PKCS12(nullptr, &cursor, static_cast<long>(pfx.size())));
    if (!p12) {
        TraceOpenSslErrors("d2i_PKCS12");
        return std::nullopt;
    }
    const TSecretString pass{std::string(password)};
    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    STACK_OF(X509)* rawChain = nullptr;
    const int parsed = PKCS12_parse(p12.get(), pass.Text().c_str(), &rawKey, &rawCertificate, &rawChain);
    const TPkeyPtr key(rawKey);
    const TX509Ptr certificate(rawCertificate);
    const TX509StackPtr chain(rawChain);
    if (parsed != 1) {
        TraceOpenSslErrors("PKCS12_parse");
        return std::nullopt;
    }
    if (!key || !certificate || !EVP_PKEY_is_a(key.get(), "RSA")) {
        UnitTrace::Trace("PKCS12_parse: no certificate with an RSA key");
        return std::nullopt;
    }

    TPkcs12Contents contents;
    contents.CertificateHex = CertificateHex(certificate.get());
    const int keyLength = i2d_PrivateKey(key.get(), nullptr);
    CheckOpenSsl(keyLength > 0, "i2d_RSAPrivateKey");
    TSecretBytes keyDer(static_cast<size_t>(keyLength));
    unsigned char* keyCursor = keyDer.data();
    CheckOpenSsl(i2d_PrivateKey(key.get(), &keyCursor) == keyLength, "i2d_RSAPrivateKey");
    contents.PrivateKeyBase64 = Base64EncodeSecret(keyDer.Span());
    for (int i = 0; chain && i < sk_X509_num(chain.get()); ++i)
        contents.ChainHex.push_back(CertificateHex(sk_X509_value(chain.get(), i)));
    return contents;
}

}  // namespace

std::optional<TPkcs12Contents> ParsePkcs12(std::span<const uint8_t> pfx, std::string_view password)
{
    try {
        return Parse(pfx, password);
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("PKCS#12 parsing: ") + e.what());
    }
    return std::nullopt;
}

std::optional<TPkcs12Contents> ParsePkcs12File(const std::filesystem::path& path,
                                               std::string_view password)
{
    // Regular files only, read once: a FIFO or device named here must not hang the caller.
    UnitPlatformFiles::TFileRead read = UnitPlatformFiles::ReadRegularFile(path.string(), MaxPkcs12File);
    if (!read.Bytes || read.Bytes->empty()) {
        UnitTrace::Trace("PKCS#12 file " + std::string(read.Bytes ? "empty" : read.Word) + ": " + path.string());
        return std::nullopt;
    }
    TSecretBytes bytes(read.Bytes->size());
    std::copy(read.Bytes->begin(), read.Bytes->end(), bytes.data());
    OPENSSL_cleanse(read.Bytes->data(), read.Bytes->size());
    return ParsePkcs12(bytes.Span(), password);
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
