// The outside crypto library: OpenSSL 3 libcrypto, linked directly. Owners for its handles,
// the one error check, the providers it needs and the descriptors the library uses by name.
#pragma once

#include "platform/UnitSecrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace UnitOpenSsl {

template <auto FreeFn> struct TFreeWith {
    template <class T> void operator()(T* p) const noexcept { FreeFn(p); }
};
template <class T, auto FreeFn> using TOwned = std::unique_ptr<T, TFreeWith<FreeFn>>;

using TMdPtr = TOwned<EVP_MD, EVP_MD_free>;
using TMdCtxPtr = TOwned<EVP_MD_CTX, EVP_MD_CTX_free>;
using TCipherPtr = TOwned<EVP_CIPHER, EVP_CIPHER_free>;
using TCipherCtxPtr = TOwned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using TPkeyPtr = TOwned<EVP_PKEY, EVP_PKEY_free>;
using TPkeyCtxPtr = TOwned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using TX509Ptr = TOwned<X509, X509_free>;
using TX509SigPtr = TOwned<X509_SIG, X509_SIG_free>;
using TAsn1ObjectPtr = TOwned<ASN1_OBJECT, ASN1_OBJECT_free>;
using TPkcs12Ptr = TOwned<PKCS12, PKCS12_free>;
using TBignumPtr = TOwned<BIGNUM, BN_free>;

// sk_X509_pop_free is a macro; the owner needs a function.
void FreeX509Stack(STACK_OF(X509) * stack) noexcept;
using TX509StackPtr = TOwned<STACK_OF(X509), FreeX509Stack>;

// Secrets in memory (platform/UnitSecrets.h).
using UnitSecrets::TSecretBytes;
using UnitSecrets::TSecretString;

// A failed library call; the library's own error queue has gone to the trace by then.
class EOpenSsl : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Drains the library's error queue into the trace, each line prefixed with `what`.
void TraceOpenSslErrors(std::string_view what) noexcept;

// The one check after a library call: on failure the queue is traced and EOpenSsl raised.
void CheckOpenSsl(bool ok, std::string_view what);

enum class TLibraryState { NotLoaded, LoadFailed, FunctionMissing, Ready };

struct TLibraryStatus {
    TLibraryState State = TLibraryState::NotLoaded;
    std::string Version;  // the library's version text
    std::string Missing;  // comma-separated names of the descriptors this build lacks
};

// Loads the "default" and "legacy" providers once (thread-safe) and probes every digest
// and cipher descriptor the library names; later calls return the same status.
const TLibraryStatus& EnsureLoaded();

// The library's descriptors by their 0.9.8 function names ("EVP_sha256", "EVP_bf_cbc",
// "EVP_desx_cbc"...). Empty when the name is unknown or the installed library lacks it.
TMdPtr FetchDigest(std::string_view functionName);
TCipherPtr FetchCipher(std::string_view functionName);

// Every descriptor name the library resolves, digests first.
std::span<const std::string_view> DescriptorNames();

// Base64 as keys travel (encoding number 7): CR LF after every 76 characters; decoding skips
// characters outside the alphabet.
std::string Base64Encode(std::span<const uint8_t> bytes);
TSecretString Base64EncodeSecret(std::span<const uint8_t> bytes);
TSecretBytes Base64DecodeSecret(std::string_view text);

}  // namespace UnitOpenSsl
