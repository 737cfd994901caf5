// Software RSA: keys held as DER, block-wise transforms, and raw PKCS#1 v1.5 signatures
// whose padding block the library builds itself.
#pragma once

#include "crypto/UnitOpenSsl.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UnitCryptKeyRSA {

class TCryptKeyRSA {
public:
    enum class TPadding { Raw, Pkcs1 };

    // Base64 of RSAPrivateKey DER (private) or RSAPublicKey DER (public); false when the text
    // does not hold such a key. The key text is kept with the key.
    bool LoadFromText(std::string_view base64, bool isPrivate);
    bool LoadFromDer(std::span<const uint8_t> der, bool isPrivate);

    bool IsLoaded() const noexcept { return FKey != nullptr; }
    bool IsPrivate() const noexcept { return FPrivate; }
    TPadding Padding() const noexcept { return FPadding; }
    void SetPadding(TPadding padding) noexcept { FPadding = padding; }
    // Modulus length in bytes; 0 without a key.
    int Size() const noexcept;
    const std::string& KeyText() const noexcept { return FKeyText.Text(); }
    EVP_PKEY* Handle() const noexcept { return FKey.get(); }

    // Raw: private-key operation on blocks of the modulus length (the input must fill whole
    // blocks). PKCS#1: public-key encryption of blocks of the modulus length minus 12.
    // Both raise UnitOpenSsl::EOpenSsl when the library refuses a block.
    std::vector<uint8_t> Encrypt(std::span<const uint8_t> data) const;
    // Raw: public-key operation on blocks of the modulus length, no padding removed.
    // PKCS#1: private-key decryption of blocks of the modulus length.
    std::vector<uint8_t> Decrypt(std::span<const uint8_t> data) const;

private:
    UnitOpenSsl::TPkeyPtr FKey;
    bool FPrivate = false;
    TPadding FPadding = TPadding::Raw;
    UnitOpenSsl::TSecretString FKeyText;
};

struct TKeyPairText {
    std::string PublicKey;                  // Base64 RSAPublicKey DER
    UnitOpenSsl::TSecretString PrivateKey;  // Base64 RSAPrivateKey DER
};

// A new key pair; raises UnitOpenSsl::EOpenSsl when the library refuses the size.
TKeyPairText GenerateKeyPair(int bits, unsigned long publicExponent);

// Success with hex, or failure with one of the words of Words.h.
struct TCryptResult {
    bool Ok = false;
    std::string Text;
};

// The DER of DigestInfo { AlgorithmIdentifier { digestOid, NULL }, OCTET STRING digest }.
std::vector<uint8_t> DigestInfoDer(std::string_view digestOid, std::span<const uint8_t> digest);

// Signs a digest given as hex: the DigestInfo padded as a PKCS#1 v1.5 type 1 block to the
// modulus length of the public key and transformed with the private key.
TCryptResult RawSign(std::string_view privateKeyBase64, std::string_view publicKeyBase64,
                     std::string_view digestHex, std::string_view digestOid) noexcept;

// The block recovered from a signature by the public key, padding left in place.
TCryptResult RawVerify(std::string_view publicKeyBase64, std::string_view signatureHex) noexcept;

}  // namespace UnitCryptKeyRSA
