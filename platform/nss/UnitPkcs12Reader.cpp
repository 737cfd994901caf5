#include "platform/nss/UnitPkcs12Reader.h"

#include "platform/UnitPlatformFiles.h"
#include "platform/UnitSecrets.h"
#include "platform/UnitTrace.h"

#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>

#include <mutex>

namespace UnitPkcs12Reader {

namespace {

void LoadLegacyProviderOnce()
{
    // PKCS#12 files from older systems use RC2 or 40-bit ciphers. The provider stays loaded:
    // OpenSSL's own exit handler releases it, and unloading it later would come too late.
    // Kept here, so it stays reachable.
    static OSSL_PROVIDER* legacy = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        legacy = OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
        if (!legacy)
            ERR_clear_error();
    });
}

using UnitNssCore::TraceOpenSslErrors;

TPkcs12 Failed(TPkcs12Failure failure)
{
    TPkcs12 result;
    result.Failure = failure;
    return result;
}

}  // namespace

TPkcs12 ReadPkcs12(std::span<const uint8_t> der, std::string_view password) noexcept
try {
    if (der.size() > MaxPkcs12Size)
        return Failed(TPkcs12Failure::TooLarge);
    if (der.empty())
        return Failed(TPkcs12Failure::NotPkcs12);
    LoadLegacyProviderOnce();
    const unsigned char* cursor = der.data();
    std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(
        d2i_PKCS12(nullptr, &cursor, static_cast<long>(der.size())), &PKCS12_free);
    if (!p12) {
        TraceOpenSslErrors("d2i_PKCS12");
        return Failed(TPkcs12Failure::NotPkcs12);
    }
    const UnitSecrets::TSecretString pass{std::string(password)};
    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    STACK_OF(X509)* rawChain = nullptr;
    const int parsed = PKCS12_parse(p12.get(), pass.Text().c_str(), &rawKey, &rawCertificate, &rawChain);
    TPkcs12 result;
    result.Key.reset(rawKey);
    result.Certificate.reset(rawCertificate);
    result.Chain.reset(rawChain);
    if (parsed != 1) {
        TraceOpenSslErrors("PKCS12_parse");
        return Failed(TPkcs12Failure::WrongPassword);
    }
    if (!result.Certificate)
        return Failed(TPkcs12Failure::NoCertificate);
    if (result.Key && X509_check_private_key(result.Certificate.get(), result.Key.get()) != 1) {
        TraceOpenSslErrors("X509_check_private_key");
        return Failed(TPkcs12Failure::KeyMismatch);
    }
    return result;
} catch (...) {
    ERR_clear_error();
    UnitTrace::Trace("PKCS#12 reading failed");
    return Failed(TPkcs12Failure::NotPkcs12);
}

TPkcs12 ReadPkcs12File(std::string_view fileName, std::string_view password) noexcept
try {
    // A regular file of a PKCS#12's size only: /dev/zero, a FIFO or a folder named here must
    // neither hang the caller nor fill its memory.
    UnitPlatformFiles::TFileRead read = UnitPlatformFiles::ReadRegularFile(fileName, MaxPkcs12Size);
    if (!read.Bytes || read.Bytes->empty()) {
        const std::string_view word = read.Bytes ? Words::FileUnreadable : read.Word;
        UnitTrace::Trace("PKCS#12 file " + std::string(read.Bytes ? "empty" : word) + ": " + std::string(fileName));
        TPkcs12 result = Failed(word == Words::FileTooLarge ? TPkcs12Failure::TooLarge : TPkcs12Failure::Unreadable);
        result.FileWord = word;
        return result;
    }
    const UnitSecrets::TSecretBytes bytes(std::move(*read.Bytes));
    return ReadPkcs12(bytes.Span(), password);
} catch (...) {
    UnitTrace::Trace("PKCS#12 file unreadable: " + std::string(fileName));
    return Failed(TPkcs12Failure::Unreadable);
}

}  // namespace UnitPkcs12Reader
