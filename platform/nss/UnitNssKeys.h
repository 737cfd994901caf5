// Private keys and the two signing roads. Keys on a token of the certificate database
// (the software token, smart cards, SoftHSM) take the "key storage provider" road: a
// precomputed digest is signed as a PKCS#1 v1.5 DigestInfo. Keys that came with a
// certificate loaded from PKCS#12 stay in memory under OpenSSL and take the "legacy
// provider" road: the content itself is hashed and signed. Both give big-endian bytes.
#pragma once

#include "platform/nss/UnitNssCore.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace UnitNssKeys {

using UnitNssCore::TNssPtr;

struct TPrivateKeyDescription {
    std::string ProviderName;  // token name, or MemoryProviderName
    std::string ContainerName;  // the key's CKA_ID in upper-case hex, or the in-memory key's name
    int ProviderType = 0;
    int KeySpec = 0;
    // Both zero: the key is reached through the key storage provider road.
    bool IsProviderKey() const noexcept { return ProviderType == 0 && KeySpec == 0; }
};

// Reported for keys held in memory (the values of a full RSA provider and a signature key).
inline constexpr std::string_view MemoryProviderName = "Dorvik in-memory key provider";
inline constexpr int MemoryProviderType = 1;
inline constexpr int MemoryKeySpec = 2;

struct TPkeyFree {
    void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
using TPkeyPtr = std::unique_ptr<EVP_PKEY, TPkeyFree>;

// A key loaded from PKCS#12, findable by its container name while it lives.
class TMemoryKey {
public:
    static std::shared_ptr<TMemoryKey> Register(TPkeyPtr key, std::string_view thumbprint);
    TMemoryKey(const TMemoryKey&) = delete;
    TMemoryKey& operator=(const TMemoryKey&) = delete;
    ~TMemoryKey();
    const std::string& Container() const noexcept { return FContainer; }
    EVP_PKEY* Key() const noexcept { return FKey.get(); }
    TPrivateKeyDescription Description() const;

    struct TPassKey {
        explicit TPassKey() = default;
    };
    TMemoryKey(TPassKey, TPkeyPtr key, std::string container);

private:
    TPkeyPtr FKey;
    std::string FContainer;
};

enum class TKeyScope { AnyToken, UserTokens, MachineToken };

// The token key that belongs to `cert`, looked for on the tokens of `scope`. A smart card
// that is not logged in hides its keys: its certificates count as having one. A software
// database with a password is logged into when `mayLogin`.
std::optional<TPrivateKeyDescription> DescribeTokenKey(CERTCertificate* cert, TKeyScope scope, bool mayLogin);

// Digest names used by both roads: "MD5", "SHA1", "SHA224", "SHA256", "SHA384", "SHA512"
// ("MD4" too on the legacy road, when OpenSSL has it).
// The legacy hash identifiers (0x8002 MD4 ... 0x800E SHA-512) to those names.
std::optional<std::string_view> LegacyHashName(uint32_t algId) noexcept;

class TProviderKey;

// The key storage provider road: a token found by name.
class TKeyProvider {
public:
    static bool IsAvailable() noexcept { return UnitNssCore::IsTokenLayerReady(); }
    static TKeyProvider Open(std::string_view providerName);
    // Logs into the token when it asks for it (PIN prompt or DORVIK_PIN).
    TProviderKey OpenKey(std::string_view containerName) const;
    PK11SlotInfo* Slot() const noexcept { return FSlot.get(); }

private:
    explicit TKeyProvider(TNssPtr<PK11SlotInfo> slot)
        : FSlot(std::move(slot))
    {
    }
    TNssPtr<PK11SlotInfo> FSlot;
};

class TProviderKey {
public:
    explicit TProviderKey(TNssPtr<SECKEYPrivateKey> key)
        : FKey(std::move(key))
    {
    }
    // The signature length; throws for a digest name the road does not know (an empty one).
    size_t SignatureSize(std::string_view digestName) const;
    // Signs the DigestInfo of `digest` with CKM_RSA_PKCS.
    std::vector<uint8_t> SignHash(std::string_view digestName, const std::vector<uint8_t>& digest) const;

private:
    TNssPtr<SECKEYPrivateKey> FKey;
};

class TLegacyHash;

// The legacy road: an in-memory key found by its container name.
class TLegacyContext {
public:
    static TLegacyContext Acquire(
        std::string_view containerName, std::string_view providerName, int providerType);
    TLegacyHash CreateHash(std::string_view digestName) const;
    // By legacy hash identifier (0x8003 MD5 ... 0x800E SHA-512).
    TLegacyHash CreateHash(uint32_t algId) const;

private:
    explicit TLegacyContext(std::shared_ptr<TMemoryKey> key)
        : FKey(std::move(key))
    {
    }
    std::shared_ptr<TMemoryKey> FKey;
};

class TLegacyHash {
public:
    TLegacyHash(std::shared_ptr<TMemoryKey> key, const EVP_MD* digest);
    void HashData(const uint8_t* data, size_t size);
    // PKCS#1 v1.5 signature of everything hashed so far, big-endian.
    std::vector<uint8_t> SignHash(int keySpec);

private:
    struct TMdCtxFree {
        void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
    };
    std::shared_ptr<TMemoryKey> FKey;
    const EVP_MD* FDigest;
    std::unique_ptr<EVP_MD_CTX, TMdCtxFree> FContext;
};

}  // namespace UnitNssKeys
