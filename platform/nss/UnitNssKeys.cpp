#include "platform/nss/UnitNssKeys.h"

#include "encoding/UnitCodecs.h"
#include "platform/UnitTrace.h"

#include <keyhi.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <atomic>
#include <map>
#include <mutex>

namespace UnitNssKeys {

using UnitNssCore::ENssError;
using UnitNssCore::ThrowNss;
using UnitNssCore::ThrowOpenSsl;

namespace {

struct TMemoryKeyRegistry {
    std::mutex FLock;
    std::map<std::string, std::weak_ptr<TMemoryKey>, std::less<>> FKeys;
    std::atomic<unsigned> FCounter {0};
};

TMemoryKeyRegistry& Registry()
{
    static TMemoryKeyRegistry registry;
    return registry;
}

// The DER of DigestInfo up to the digest bytes (the fixed prefixes of PKCS#1, RFC 8017 9.2).
struct TDigestRow {
    std::string_view Name;
    size_t Size;
    std::string_view Prefix;
};

using namespace std::string_view_literals;

constexpr TDigestRow DigestRows[] = {
    {"MD5", 16, "\x30\x20\x30\x0c\x06\x08\x2a\x86\x48\x86\xf7\x0d\x02\x05\x05\x00\x04\x10"sv},
    {"SHA1", 20, "\x30\x21\x30\x09\x06\x05\x2b\x0e\x03\x02\x1a\x05\x00\x04\x14"sv},
    {"SHA224", 28, "\x30\x2d\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x04\x05\x00\x04\x1c"sv},
    {"SHA256", 32, "\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20"sv},
    {"SHA384", 48, "\x30\x41\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x02\x05\x00\x04\x30"sv},
    {"SHA512", 64, "\x30\x51\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x03\x05\x00\x04\x40"sv},
};

const TDigestRow* FindDigest(std::string_view name)
{
    for (const TDigestRow& row : DigestRows)
        if (row.Name == name)
            return &row;
    return nullptr;
}

bool KeyPresentOnSlot(PK11SlotInfo* slot, CERTCertificate* cert, bool mayLogin)
{
    if (PK11_NeedLogin(slot) && !PK11_IsLoggedIn(slot, nullptr)) {
        if (!PK11_IsInternal(slot))
            return true;
        if (!mayLogin || PK11_Authenticate(slot, PR_TRUE, nullptr) != SECSuccess)
            return false;
    }
    TNssPtr<SECKEYPrivateKey> key(PK11_FindPrivateKeyFromCert(slot, cert, nullptr));
    return key != nullptr;
}

struct TGenericObjectsFree {
    void operator()(PK11GenericObject* p) const noexcept { PK11_DestroyGenericObjects(p); }
};

// The certificate object's CKA_ID names its key. Read through the token's public objects it
// needs no login; NSS's own lookup logs into tokens whose objects are not all public.
SECItem* KeyIdOnSlot(PK11SlotInfo* slot, CERTCertificate* cert)
{
    if (PK11_IsFriendly(slot))
        return PK11_GetLowLevelKeyIDForCert(slot, cert, nullptr);
    std::unique_ptr<PK11GenericObject, TGenericObjectsFree> objects(
        PK11_FindGenericObjects(slot, CKO_CERTIFICATE));
    for (PK11GenericObject* object = objects.get(); object; object = PK11_GetNextGenericObject(object)) {
        SECItem value {siBuffer, nullptr, 0};
        if (PK11_ReadRawAttribute(PK11_TypeGeneric, object, CKA_VALUE, &value) != SECSuccess)
            continue;
        const bool same = SECITEM_ItemsAreEqual(&value, &cert->derCert);
        SECITEM_FreeItem(&value, PR_FALSE);
        if (!same)
            continue;
        TNssPtr<SECItem> id(SECITEM_AllocItem(nullptr, nullptr, 0));
        if (id && PK11_ReadRawAttribute(PK11_TypeGeneric, object, CKA_ID, id.get()) == SECSuccess)
            return id.release();
    }
    return nullptr;
}

}  // namespace

TMemoryKey::TMemoryKey(TPassKey, TPkeyPtr key, std::string container)
    : FKey(std::move(key))
    , FContainer(std::move(container))
{
}

std::shared_ptr<TMemoryKey> TMemoryKey::Register(TPkeyPtr key, std::string_view thumbprint)
{
    if (!key)
        throw ENssError("The certificate has no private key");
    TMemoryKeyRegistry& registry = Registry();
    std::string container = "pkcs12-" + std::string(thumbprint) + "-" + std::to_string(++registry.FCounter);
    auto result = std::make_shared<TMemoryKey>(TPassKey(), std::move(key), container);
    std::lock_guard guard(registry.FLock);
    registry.FKeys[container] = result;
    return result;
}

TMemoryKey::~TMemoryKey()
{
    TMemoryKeyRegistry& registry = Registry();
    std::lock_guard guard(registry.FLock);
    registry.FKeys.erase(FContainer);
}

TPrivateKeyDescription TMemoryKey::Description() const
{
    return {std::string(MemoryProviderName), FContainer, MemoryProviderType, MemoryKeySpec};
}

std::optional<TPrivateKeyDescription> DescribeTokenKey(CERTCertificate* cert, TKeyScope scope, bool mayLogin)
{
    UnitNssCore::EnsureInitialized();
    TNssPtr<PK11SlotList> slots(PK11_GetAllSlotsForCert(cert, nullptr));
    if (!slots)
        return std::nullopt;
    PK11SlotInfo* machine = UnitNssCore::MachineSlotIfOpen();
    for (PK11SlotListElement* element = slots->head; element; element = element->next) {
        PK11SlotInfo* slot = element->slot;
        if (PK11_HasRootCerts(slot))
            continue;
        if ((scope == TKeyScope::UserTokens && slot == machine)
            || (scope == TKeyScope::MachineToken && slot != machine))
            continue;
        if (!KeyPresentOnSlot(slot, cert, mayLogin))
            continue;
        TNssPtr<SECItem> id(KeyIdOnSlot(slot, cert));
        if (!id || id->len == 0)
            continue;
        TPrivateKeyDescription description;
        description.ProviderName = PK11_GetTokenName(slot);
        description.ContainerName = UnitCodecs::HexEncode({id->data, id->len});
        return description;
    }
    return std::nullopt;
}

std::optional<std::string_view> LegacyHashName(uint32_t algId) noexcept
{
    switch (algId) {
    case 0x8002:
        return "MD4";
    case 0x8003:
        return "MD5";
    case 0x8004:
        return "SHA1";
    case 0x800C:
        return "SHA256";
    case 0x800D:
        return "SHA384";
    case 0x800E:
        return "SHA512";
    default:
        return std::nullopt;
    }
}

TKeyProvider TKeyProvider::Open(std::string_view providerName)
{
    UnitNssCore::EnsureInitialized();
    const std::string name(providerName);
    TNssPtr<PK11SlotInfo> slot(PK11_FindSlotByName(name.c_str()));
    if (!slot || !PK11_IsPresent(slot.get()))
        ThrowNss("PK11_FindSlotByName " + name, "The key's token is not available");
    return TKeyProvider(std::move(slot));
}

TProviderKey TKeyProvider::OpenKey(std::string_view containerName) const
{
    std::optional<std::vector<uint8_t>> id = UnitCodecs::HexDecodeStrict(containerName);
    if (!id || id->empty())
        throw ENssError("The key name is not valid");
    if (PK11_NeedLogin(FSlot.get()) && !PK11_IsLoggedIn(FSlot.get(), nullptr)
        && PK11_Authenticate(FSlot.get(), PR_TRUE, nullptr) != SECSuccess)
        ThrowNss("PK11_Authenticate", "The token login failed");
    SECItem item {siBuffer, id->data(), static_cast<unsigned>(id->size())};
    TNssPtr<SECKEYPrivateKey> key(PK11_FindKeyByKeyID(FSlot.get(), &item, nullptr));
    if (!key)
        ThrowNss("PK11_FindKeyByKeyID", "The private key was not found on its token");
    if (SECKEY_GetPrivateKeyType(key.get()) != rsaKey)
        throw ENssError("The private key is not an RSA key");
    return TProviderKey(std::move(key));
}

size_t TProviderKey::SignatureSize(std::string_view digestName) const
{
    if (!FindDigest(digestName))
        throw ENssError("The digest algorithm is not supported for this key");
    const int size = PK11_SignatureLen(FKey.get());
    if (size <= 0)
        ThrowNss("PK11_SignatureLen", "The signature size is not known");
    return static_cast<size_t>(size);
}

std::vector<uint8_t> TProviderKey::SignHash(
    std::string_view digestName, const std::vector<uint8_t>& digest) const
{
    const TDigestRow* row = FindDigest(digestName);
    if (!row)
        throw ENssError("The digest algorithm is not supported for this key");
    if (digest.size() != row->Size)
        throw ENssError("The digest length does not match its algorithm");
    std::vector<uint8_t> digestInfo(row->Prefix.begin(), row->Prefix.end());
    digestInfo.insert(digestInfo.end(), digest.begin(), digest.end());
    SECItem encoded {siBuffer, digestInfo.data(), static_cast<unsigned>(digestInfo.size())};
    std::vector<uint8_t> signature(SignatureSize(digestName));
    SECItem output {siBuffer, signature.data(), static_cast<unsigned>(signature.size())};
    if (PK11_SignWithMechanism(FKey.get(), CKM_RSA_PKCS, nullptr, &output, &encoded) != SECSuccess)
        ThrowNss("PK11_SignWithMechanism", "The token refused to sign");
    signature.resize(output.len);
    return signature;
}

TLegacyContext TLegacyContext::Acquire(
    std::string_view containerName, std::string_view providerName, int providerType)
{
    if (providerName != MemoryProviderName || providerType == 0)
        throw ENssError("The key provider is not known");
    TMemoryKeyRegistry& registry = Registry();
    std::lock_guard guard(registry.FLock);
    auto found = registry.FKeys.find(containerName);
    std::shared_ptr<TMemoryKey> key = found == registry.FKeys.end() ? nullptr : found->second.lock();
    if (!key)
        throw ENssError("The key container is not known");
    return TLegacyContext(std::move(key));
}

TLegacyHash TLegacyContext::CreateHash(std::string_view digestName) const
{
    const std::string name(digestName);
    const EVP_MD* digest = name.empty() ? nullptr : EVP_get_digestbyname(name.c_str());
    if (!digest)
        throw ENssError("The digest algorithm is not supported");
    return TLegacyHash(FKey, digest);
}

TLegacyHash TLegacyContext::CreateHash(uint32_t algId) const
{
    const std::optional<std::string_view> name = LegacyHashName(algId);
    if (!name)
        throw ENssError("The hash algorithm identifier is not known");
    return CreateHash(*name);
}

TLegacyHash::TLegacyHash(std::shared_ptr<TMemoryKey> key, const EVP_MD* digest)
    : FKey(std::move(key))
    , FDigest(digest)
    , FContext(EVP_MD_CTX_new())
{
    if (!FContext || EVP_DigestInit_ex(FContext.get(), FDigest, nullptr) != 1)
        ThrowOpenSsl("EVP_DigestInit_ex", "The digest algorithm is not available");
}

void TLegacyHash::HashData(const uint8_t* data, size_t size)
{
    if (EVP_DigestUpdate(FContext.get(), data, size) != 1)
        ThrowOpenSsl("EVP_DigestUpdate", "The content cannot be hashed");
}

std::vector<uint8_t> TLegacyHash::SignHash(int keySpec)
{
    if (keySpec == 0)
        throw ENssError("The KeySpec value is not valid");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digestSize = 0;
    // Finalising a copy keeps the hash object usable, as a hash handle is after signing.
    std::unique_ptr<EVP_MD_CTX, TMdCtxFree> copy(EVP_MD_CTX_new());
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), FContext.get()) != 1
        || EVP_DigestFinal_ex(copy.get(), digest, &digestSize) != 1)
        ThrowOpenSsl("EVP_DigestFinal_ex", "The content cannot be hashed");
    struct TPkeyCtxFree {
        void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
    };
    std::unique_ptr<EVP_PKEY_CTX, TPkeyCtxFree> context(EVP_PKEY_CTX_new(FKey->Key(), nullptr));
    size_t size = 0;
    if (!context || EVP_PKEY_sign_init(context.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1
        || EVP_PKEY_CTX_set_signature_md(context.get(), FDigest) != 1
        || EVP_PKEY_sign(context.get(), nullptr, &size, digest, digestSize) != 1)
        ThrowOpenSsl("EVP_PKEY_sign_init", "The key cannot sign with this digest");
    std::vector<uint8_t> signature(size);
    if (EVP_PKEY_sign(context.get(), signature.data(), &size, digest, digestSize) != 1)
        ThrowOpenSsl("EVP_PKEY_sign", "The signature failed");
    signature.resize(size);
    return signature;
}

}  // namespace UnitNssKeys
