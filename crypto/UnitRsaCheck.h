// The RSA check of signature values and of certificates against their issuer's key: the
// signature is opened with the public key (no padding removed) and compared with the PKCS#1
// v1.5 block that the digest gives. Used by the verification report and by credential creation.
#pragma once

#include "core/UnitStatusWords.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace UnitRsaCheck {

// The words a check answers besides the errors of the raw transform: Words::OK, Words::Failed.

// Checks `signatureHex` against the digest `digestHex` made with `digestOid`, using the public
// key `publicKeyBase64` (RSAPublicKey DER in base64; CR, LF and spaces are ignored in both
// texts). "OK" when the opened block equals 00 01 FF.. 00 DigestInfo; "Failed" when it does
// not; "SmallKey" when the modulus leaves fewer than 8 bytes of FF; "SignatureUnrecognized" or
// "CryptError" when the transform cannot run; "ContentUnrecognized" for a digest that is not hex.
std::string CheckSignature(std::string_view publicKeyBase64, std::string_view signatureHex,
                           std::string_view digestOid, std::string_view digestHex) noexcept;

// The subjectPublicKey of a certificate (DER) as base64 RSAPublicKey DER; empty when the
// certificate cannot be read or its key is not RSA.
std::string PublicKeyOfCertificate(std::span<const uint8_t> certificateDer) noexcept;

// Checks the signature of `certificateDer` with the key of `issuerDer` (the same bytes for a
// self-signed certificate): the to-be-signed part digested with the digest of the
// certificate's signature algorithm, then CheckSignature. "CryptError" when either
// certificate cannot be read or the algorithm names no digest of the table.
std::string CheckCertificateSignature(std::span<const uint8_t> certificateDer,
                                      std::span<const uint8_t> issuerDer) noexcept;

}  // namespace UnitRsaCheck
