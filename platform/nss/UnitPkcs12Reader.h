// The one PKCS#12 (PFX) reader: the certificate store's loaded certificates
// (platform/nss/UnitNssStore.h) and the CMS builder's signer files (crypto/UnitPkcs12.h) both
// open their files and bytes here, with OpenSSL's PKCS12_parse.
#pragma once

#include "platform/nss/UnitNssKeys.h"

#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace UnitPkcs12Reader {

// The largest PKCS#12 file or data taken: a key, its certificate and a chain are a few
// kilobytes; 1 MiB leaves room for hundreds of chain certificates and keeps a wrong path from
// filling memory.
inline constexpr size_t MaxPkcs12Size = size_t(1) << 20;

struct TX509Free {
    void operator()(X509* p) const noexcept { X509_free(p); }
    void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_pop_free(p, X509_free); }
};

enum class TPkcs12Failure {
    None,
    Unreadable,     // the file: missing, not a regular file, unreadable or empty
    TooLarge,       // above MaxPkcs12Size
    NotPkcs12,      // the bytes do not decode
    WrongPassword,  // PKCS12_parse refused: the password, or damaged contents
    NoCertificate,  // opened, but no certificate inside
    KeyMismatch,    // the key does not belong to the certificate
};

struct TPkcs12 {
    TPkcs12Failure Failure = TPkcs12Failure::None;
    std::string FileWord;  // for Unreadable: the file reader's word (core/UnitStatusWords.h)
    std::unique_ptr<X509, TX509Free> Certificate;
    UnitNssKeys::TPkeyPtr Key;                         // none when the file holds no key
    std::unique_ptr<STACK_OF(X509), TX509Free> Chain;  // the other certificates, may be none
    explicit operator bool() const noexcept { return Failure == TPkcs12Failure::None; }
};

// Opens the bytes with the password. Old files (RC2, 40-bit ciphers) open too: the legacy
// provider is loaded once. OpenSSL's error queue goes to the trace, left empty. Never throws.
TPkcs12 ReadPkcs12(std::span<const uint8_t> der, std::string_view password) noexcept;
// The same for a file (a system path, "\" or "/"), read only when it is a regular file of at
// most MaxPkcs12Size bytes; its bytes are wiped after use.
TPkcs12 ReadPkcs12File(std::string_view fileName, std::string_view password) noexcept;

}  // namespace UnitPkcs12Reader
