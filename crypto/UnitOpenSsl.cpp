#include "crypto/UnitOpenSsl.h"

#include "encoding/UnitEncoding.h"
#include "platform/UnitTrace.h"

#include <openssl/err.h>
#include <openssl/provider.h>

#include <array>
#include <cstdlib>
#include <mutex>

namespace UnitOpenSsl {

namespace {

struct TDescriptorName {
    std::string_view Function;  // the 0.9.8 function that returned the descriptor
    std::string_view Fetch;     // the name OpenSSL 3 fetches it by
};

constexpr std::array<TDescriptorName, 9> DigestNames{{
    {"EVP_md5", "MD5"},
    {"EVP_sha1", "SHA1"},
    {"EVP_md2", "MD2"},
    {"EVP_md4", "MD4"},
    {"EVP_sha224", "SHA224"},
    {"EVP_sha256", "SHA256"},
    {"EVP_sha384", "SHA384"},
    {"EVP_sha512", "SHA512"},
    {"EVP_ripemd160", "RIPEMD160"},
}};

constexpr std::array<TDescriptorName, 28> CipherNames{{
    {"EVP_bf_cbc", "BF-CBC"},           {"EVP_bf_ecb", "BF-ECB"},
    {"EVP_bf_ofb", "BF-OFB"},           {"EVP_des_cbc", "DES-CBC"},
    {"EVP_des_ecb", "DES-ECB"},         {"EVP_des_ofb", "DES-OFB"},
    {"EVP_des_ede_cbc", "DES-EDE-CBC"}, {"EVP_des_ede_ecb", "DES-EDE-ECB"},
    {"EVP_des_ede_ofb", "DES-EDE-OFB"}, {"EVP_des_ede3_cbc", "DES-EDE3-CBC"},
    {"EVP_des_ede3_ecb", "DES-EDE3-ECB"}, {"EVP_des_ede3_ofb", "DES-EDE3-OFB"},
    {"EVP_desx_cbc", "DESX-CBC"},       {"EVP_idea_cbc", "IDEA-CBC"},
    {"EVP_idea_ecb", "IDEA-ECB"},       {"EVP_idea_ofb", "IDEA-OFB"},
    {"EVP_cast5_cbc", "CAST5-CBC"},     {"EVP_cast5_ecb", "CAST5-ECB"},
    {"EVP_cast5_ofb", "CAST5-OFB"},     {"EVP_aes_128_cbc", "AES-128-CBC"},
    {"EVP_aes_128_ecb", "AES-128-ECB"}, {"EVP_aes_128_ofb", "AES-128-OFB"},
    {"EVP_aes_192_cbc", "AES-192-CBC"}, {"EVP_aes_192_ecb", "AES-192-ECB"},
    {"EVP_aes_192_ofb", "AES-192-OFB"}, {"EVP_aes_256_cbc", "AES-256-CBC"},
    {"EVP_aes_256_ecb", "AES-256-ECB"}, {"EVP_aes_256_ofb", "AES-256-OFB"},
}};

constexpr auto AllNames = [] {
    std::array<std::string_view, DigestNames.size() + CipherNames.size()> names{};
    size_t i = 0;
    for (const auto& d : DigestNames)
        names[i++] = d.Function;
    for (const auto& c : CipherNames)
        names[i++] = c.Function;
    return names;
}();

template <size_t N>
std::string_view FetchNameOf(const std::array<TDescriptorName, N>& table, std::string_view function)
{
    for (const auto& entry : table)
        if (entry.Function == function)
            return entry.Fetch;
    return {};
}

OSSL_PROVIDER* DefaultProvider = nullptr;
OSSL_PROVIDER* LegacyProvider = nullptr;

void UnloadProviders()
{
    if (LegacyProvider != nullptr)
        OSSL_PROVIDER_unload(LegacyProvider);
    if (DefaultProvider != nullptr)
        OSSL_PROVIDER_unload(DefaultProvider);
    LegacyProvider = DefaultProvider = nullptr;
}

TLibraryStatus LoadLibrary()
{
    TLibraryStatus status;
    status.Version = OpenSSL_version(OPENSSL_VERSION);
    // Loading any provider by hand switches off the automatic "default", so both are loaded.
    DefaultProvider = OSSL_PROVIDER_load(nullptr, "default");
    if (DefaultProvider == nullptr) {
        TraceOpenSslErrors("OSSL_PROVIDER_load default");
        status.State = TLibraryState::LoadFailed;
        return status;
    }
    LegacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
    if (LegacyProvider == nullptr)
        TraceOpenSslErrors("OSSL_PROVIDER_load legacy");
    // OpenSSL registered its own exit cleanup when it initialised, before this; exit handlers
    // run in reverse, so the providers are unloaded while the library is still whole.
    std::atexit(UnloadProviders);

    auto noteMissing = [&](std::string_view name) {
        if (!status.Missing.empty())
            status.Missing += ',';
        status.Missing += name;
    };
    for (const auto& d : DigestNames) {
        TMdPtr md(EVP_MD_fetch(nullptr, std::string(d.Fetch).c_str(), nullptr));
        if (!md)
            noteMissing(d.Function);
    }
    for (const auto& c : CipherNames) {
        TCipherPtr cipher(EVP_CIPHER_fetch(nullptr, std::string(c.Fetch).c_str(), nullptr));
        if (!cipher)
            noteMissing(c.Function);
    }
    // The probes' failures are expected (MD2); they are not errors of a later caller.
    ERR_clear_error();
    status.State = status.Missing.empty() ? TLibraryState::Ready : TLibraryState::FunctionMissing;
    UnitTrace::Trace("crypto library " + status.Version +
                     (status.Missing.empty() ? std::string() : ", missing " + status.Missing));
    return status;
}

constexpr int Base64Number = UnitEncoding::Number(UnitEncoding::TEncodingNumber::Base64);

}  // namespace

void FreeX509Stack(STACK_OF(X509) * stack) noexcept
{
    sk_X509_pop_free(stack, X509_free);
}

void TraceOpenSslErrors(std::string_view what) noexcept
{
    try {
        unsigned long code;
        while ((code = ERR_get_error()) != 0) {
            char text[256];
            ERR_error_string_n(code, text, sizeof text);
            std::string line(what);
            line += ": ";
            line += text;
            UnitTrace::Trace(line);
        }
    } catch (...) {
        ERR_clear_error();
    }
}

void CheckOpenSsl(bool ok, std::string_view what)
{
    if (ok)
        return;
    TraceOpenSslErrors(what);
    throw EOpenSsl(std::string(what) + " failed");
}

const TLibraryStatus& EnsureLoaded()
{
    static std::once_flag once;
    static TLibraryStatus status;
    std::call_once(once, [] { status = LoadLibrary(); });
    return status;
}

TMdPtr FetchDigest(std::string_view functionName)
{
    const std::string_view name = FetchNameOf(DigestNames, functionName);
    if (name.empty() || EnsureLoaded().State == TLibraryState::LoadFailed)
        return nullptr;
    TMdPtr md(EVP_MD_fetch(nullptr, std::string(name).c_str(), nullptr));
    if (!md)
        TraceOpenSslErrors(functionName);
    return md;
}

TCipherPtr FetchCipher(std::string_view functionName)
{
    const std::string_view name = FetchNameOf(CipherNames, functionName);
    if (name.empty() || EnsureLoaded().State == TLibraryState::LoadFailed)
        return nullptr;
    TCipherPtr cipher(EVP_CIPHER_fetch(nullptr, std::string(name).c_str(), nullptr));
    if (!cipher)
        TraceOpenSslErrors(functionName);
    return cipher;
}

std::span<const std::string_view> DescriptorNames()
{
    return AllNames;
}

std::string Base64Encode(std::span<const uint8_t> bytes)
{
    return UnitEncoding::EncodeBytes(bytes, Base64Number);
}

TSecretString Base64EncodeSecret(std::span<const uint8_t> bytes)
{
    // The encoder sizes its text once, so the only copy is the one handed over.
    return TSecretString(UnitEncoding::EncodeBytes(bytes, Base64Number));
}

TSecretBytes Base64DecodeSecret(std::string_view text)
{
    std::optional<UnitEncoding::TBytes> bytes = UnitEncoding::DecodeText(text, Base64Number);
    return bytes ? TSecretBytes(std::move(*bytes)) : TSecretBytes();
}

}  // namespace UnitOpenSsl
