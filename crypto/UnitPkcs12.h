// PKCS#12 (PFX) files: reading the certificate and RSA key out of one, and making one.
#pragma once

#include "crypto/UnitOpenSsl.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UnitPkcs12 {

struct TPkcs12Contents {
    std::string CertificateHex;                   // DER of the certificate that has the key
    UnitOpenSsl::TSecretString PrivateKeyBase64;  // RSAPrivateKey DER
    std::vector<std::string> ChainHex;            // the other certificates, DER each
};

// Read by the one PKCS#12 reader (platform/nss/UnitPkcs12Reader.h). Nullopt when the bytes
// are not a PKCS#12 (or above its 1 MiB), the password does not open it, or it holds no
// certificate or no RSA key, or a key of another certificate.
std::optional<TPkcs12Contents> ParsePkcs12(std::span<const uint8_t> pfx, std::string_view password);
std::optional<TPkcs12Contents> ParsePkcs12File(const std::filesystem::path& path,
                                               std::string_view password);

// The PFX as hex, with the library's default protection; nullopt when the certificate or
// key do not decode or do not belong together.
std::optional<std::string> CreatePkcs12(std::string_view friendlyName, std::string_view certificateHex,
                                        std::string_view privateKeyBase64, std::string_view password);

}  // namespace UnitPkcs12
