// The actions over the library's software cryptography: self-signed credentials (RSA key pair,
// X.509 v3 certificate, PKCS#12), symmetric encryption and decryption with a password key,
// hashing, and the decryption of CMS enveloped data with the keys of the certificate stores.
#pragma once

#include "actions/UnitPlugActions.h"
#include "core/UnitStatusWords.h"
#include "crypto/UnitCryptKeyRSA.h"
#include "crypto/UnitOpenSsl.h"

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace UnitCryptActions {

struct TCipherName {
    std::string_view Name;      // "AES256CBC"
    std::string_view Function;  // the crypto library's descriptor, "EVP_aes_256_cbc"
};

inline constexpr int CipherCount = 28;
// Algorithm index 0 to 27, in this order.
std::span<const TCipherName> CipherTable();
// The index of a name (matched exactly), -1 for any other.
int CipherIndex(std::string_view name);

// A cipher that the table or the installed crypto library does not have: the word
// "UnsupportedAlgorithm", with the detail for the trace.
class EUnsupportedAlgorithm : public EStatusError {
public:
    explicit EUnsupportedAlgorithm(const std::string& detail)
        : EStatusError(Words::UnsupportedAlgorithm, detail)
    {
    }
};

// A symmetric key: an algorithm index and 32 key bytes, of which each cipher uses its key length.
class TCryptKeyPassword {
public:
    static constexpr size_t KeySize = 32;

    explicit TCryptKeyPassword(uint8_t algorithm = 0) : FAlgorithm(algorithm) {}
    ~TCryptKeyPassword();
    TCryptKeyPassword(const TCryptKeyPassword&) = delete;
    TCryptKeyPassword& operator=(const TCryptKeyPassword&) = delete;

    uint8_t Algorithm() const noexcept { return FAlgorithm; }
    // Base64 text; at most its first 32 bytes become the key, the rest of the key stays zero.
    void SetKeyText(std::string_view base64);
    // 32 random bytes, none of them zero.
    void MakeRandomKey();
    // Base64 of the key bytes up to the first zero byte.
    UnitOpenSsl::TSecretString ExportKey() const;
    std::span<const uint8_t> Key() const noexcept { return FKey; }

    // The whole input through one cipher context (zero IV, the cipher's default padding).
    // Raises EUnsupportedAlgorithm for a cipher the library lacks, UnitOpenSsl::EOpenSsl when
    // the cipher refuses the data (a wrong key or damaged data on decryption).
    std::vector<uint8_t> Crypt(std::span<const uint8_t> input, bool encrypt) const;

private:
    uint8_t FAlgorithm;
    std::array<uint8_t, KeySize> FKey{};
};

// Encrypts the bytes and returns the Base64 result. An empty key text makes a random key, which
// is handed back in `keyText`.
std::string EncryptData(std::span<const uint8_t> content, int algorithm, UnitOpenSsl::TSecretString& keyText);
// Decrypts Base64 data; the plain bytes.
UnitOpenSsl::TSecretBytes DecryptData(std::string_view base64, int algorithm, std::string_view keyText);

// An RSA key pair made for a credential.
class TCryptKeyPair {
public:
    static bool AllowedSize(int bits) noexcept;
    // Raises UnitOpenSsl::EOpenSsl when the size is not allowed or the library refuses it.
    void Generate(int bits);
    const UnitCryptKeyRSA::TCryptKeyRSA& PrivateKey() const noexcept { return FPrivate; }
    const UnitCryptKeyRSA::TCryptKeyRSA& PublicKey() const noexcept { return FPublic; }

private:
    UnitCryptKeyRSA::TCryptKeyRSA FPrivate;
    UnitCryptKeyRSA::TCryptKeyRSA FPublic;
};

class TCryptActionCreateCredential : public UnitPlugActions::TPlugAction {
public:
    int32_t Execute(TXmlDoc& request, TXmlDoc& response) override;
};

class TCryptActionDecryptData : public UnitPlugActions::TPlugAction {
public:
    int32_t Execute(TXmlDoc& request, TXmlDoc& response) override;
};

class TCapicomActionDecryptData : public UnitPlugActions::TPlugAction {
public:
    int32_t Execute(TXmlDoc& request, TXmlDoc& response) override;
};

class TCryptActionEncryptData : public UnitPlugActions::TPlugAction {
public:
    int32_t Execute(TXmlDoc& request, TXmlDoc& response) override;
};

class TCryptActionHash : public UnitPlugActions::TPlugAction {
public:
    int32_t Execute(TXmlDoc& request, TXmlDoc& response) override;
};

}  // namespace UnitCryptActions
