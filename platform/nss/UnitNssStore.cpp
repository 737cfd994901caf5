#include "platform/nss/UnitNssStore.h"

#include "encoding/UnitCodecs.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/nss/UnitPkcs12Reader.h"
#include "platform/UnitTrace.h"

#include <certdb.h>
#include <keyhi.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>

namespace UnitNssStore {

using UnitNssCore::ENssError;
using UnitNssCore::ThrowNss;
using UnitNssCore::ThrowOpenSsl;
using UnitNssKeys::TKeyScope;

namespace {

// NSS's CERT_LIST_END, without the C cast: the list's own head marks its end.
bool ListEnds(const CERTCertListNode* node, const CERTCertList* list)
{
    return static_cast<const void*>(node) == static_cast<const void*>(&list->list);
}

enum class TStoreKind { All, Personal, OtherPeople, Root, IntermediateCa };

TStoreKind KindOf(std::string_view name)
{
    std::string upper;
    std::transform(name.begin(), name.end(), std::back_inserter(upper),
        [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (upper.empty())
        return TStoreKind::All;
    if (upper == "MY")
        return TStoreKind::Personal;
    if (upper == "OTHER PEOPLE" || upper == "ADDRESSBOOK")
        return TStoreKind::OtherPeople;
    if (upper == "ROOT")
        return TStoreKind::Root;
    if (upper == "CA")
        return TStoreKind::IntermediateCa;
    throw ENssError("The certificate store \"" + std::string(name) + "\" is not known");
}

TNssPtr<CERTCertificate> CertificateFromDer(const uint8_t* data, size_t size)
{
    UnitNssCore::EnsureInitialized();
    SECItem der {siDERCertBuffer, const_cast<uint8_t*>(data), static_cast<unsigned>(size)};
    // Gives the database's own object when the certificate is in it already.
    TNssPtr<CERTCertificate> cert(
        CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &der, nullptr, PR_FALSE, PR_TRUE));
    if (!cert)
        ThrowNss("CERT_NewTempCertificate", "The certificate cannot be decoded");
    return cert;
}

std::string TakeNssString(char* text)
{
    TNssPtr<char> owner(text);
    return owner ? std::string(owner.get()) : std::string();
}

// Whether one of the certificate's token objects lies in the location: the user's tokens are
// all but the local machine's database and the built-in trust anchors.
bool IsOnLocation(CERTCertificate* cert, int location, std::vector<PK11SlotInfo*>* slotsOut = nullptr,
    size_t* allTokens = nullptr)
{
    TNssPtr<PK11SlotList> slots(PK11_GetAllSlotsForCert(cert, nullptr));
    if (!slots)
        return false;
    PK11SlotInfo* machine = UnitNssCore::MachineSlotIfOpen();
    bool found = false;
    size_t count = 0;
    for (PK11SlotListElement* element = slots->head; element; element = element->next) {
        PK11SlotInfo* slot = element->slot;
        if (PK11_HasRootCerts(slot))
            continue;
        ++count;
        const bool here = location == LocationLocalMachine ? slot == machine : slot != machine;
        if (here) {
            found = true;
            if (slotsOut)
                slotsOut->push_back(slot);
        }
    }
    if (allTokens)
        *allTokens = count;
    return found;
}

TKeyScope ScopeOf(int location)
{
    return location == LocationLocalMachine ? TKeyScope::MachineToken : TKeyScope::UserTokens;
}

bool KindAccepts(TStoreKind kind, const TNssCertificate& cert, int location)
{
    switch (kind) {
    case TStoreKind::All:
        return true;
    case TStoreKind::Personal:
        return UnitNssKeys::DescribeTokenKey(cert.Handle(), ScopeOf(location), true).has_value();
    case TStoreKind::OtherPeople:
        return !cert.IsCertificateAuthority()
            && !UnitNssKeys::DescribeTokenKey(cert.Handle(), ScopeOf(location), true).has_value();
    case TStoreKind::Root:
        return cert.IsCertificateAuthority();
    case TStoreKind::IntermediateCa:
        return cert.IsCertificateAuthority() && !cert.Handle()->isRoot;
    }
    return false;
}

struct TOpenSslFree {
    void operator()(BIO* p) const noexcept { BIO_free(p); }
    void operator()(X509* p) const noexcept { X509_free(p); }
    void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_pop_free(p, X509_free); }
    void operator()(PKCS8_PRIV_KEY_INFO* p) const noexcept { PKCS8_PRIV_KEY_INFO_free(p); }
    void operator()(BIGNUM* p) const noexcept { BN_free(p); }
};
template <class T> using TOsslPtr = std::unique_ptr<T, TOpenSslFree>;

void ImportMemoryKey(PK11SlotInfo* slot, EVP_PKEY* pkey, const std::string& nickname)
{
    BIGNUM* rawModulus = nullptr;
    if (EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &rawModulus) != 1)
        ThrowOpenSsl("EVP_PKEY_get_bn_param", "Only RSA keys can be added to the store");
    TOsslPtr<BIGNUM> modulusOwner(rawModulus);
    std::vector<uint8_t> modulus(static_cast<size_t>(BN_num_bytes(rawModulus)));
    BN_bn2bin(rawModulus, modulus.data());
    SECItem modulusItem {siBuffer, modulus.data(), static_cast<unsigned>(modulus.size())};

    // The database names a key by the SHA-1 of its modulus; an existing one is kept.
    TNssPtr<SECItem> id(PK11_MakeIDFromPubKey(&modulusItem));
    if (id) {
        TNssPtr<SECKEYPrivateKey> existing(PK11_FindKeyByKeyID(slot, id.get(), nullptr));
        if (existing)
            return;
    }
    TOsslPtr<PKCS8_PRIV_KEY_INFO> info(EVP_PKEY2PKCS8(pkey));
    unsigned char* der = nullptr;
    const int derSize = info ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der) : -1;
    if (derSize <= 0)
        ThrowOpenSsl("i2d_PKCS8_PRIV_KEY_INFO", "The private key cannot be exported");
    SECItem derItem {siBuffer, der, static_cast<unsigned>(derSize)};
    std::string nick = nickname;
    SECItem nickItem {
        siAsciiString, reinterpret_cast<unsigned char*>(nick.data()), static_cast<unsigned>(nick.size())};
    SECKEYPrivateKey* imported = nullptr;
    const SECStatus status = PK11_ImportDERPrivateKeyInfoAndReturnKey(
        slot, &derItem, &nickItem, &modulusItem, PR_TRUE, PR_TRUE, KU_ALL, &imported, nullptr);
    OPENSSL_cleanse(der, static_cast<size_t>(derSize));
    OPENSSL_free(der);
    TNssPtr<SECKEYPrivateKey> owner(imported);
    if (status != SECSuccess)
        ThrowNss("PK11_ImportDERPrivateKeyInfoAndReturnKey", "The private key cannot be added to the store");
}

void LoginIfNeeded(PK11SlotInfo* slot)
{
    if (PK11_NeedLogin(slot) && !PK11_IsLoggedIn(slot, nullptr)
        && PK11_Authenticate(slot, PR_TRUE, nullptr) != SECSuccess)
        ThrowNss("PK11_Authenticate", "The token login failed");
}

// Whether the slot holds the private key of the certificate's public key (a certificate
// being added for a key generated on the token earlier).
bool HasKeyOnSlot(PK11SlotInfo* slot, CERTCertificate* cert)
{
    TNssPtr<SECKEYPublicKey> publicKey(CERT_ExtractPublicKey(cert));
    if (!publicKey || publicKey->keyType != rsaKey)
        return false;
    TNssPtr<SECItem> id(PK11_MakeIDFromPubKey(&publicKey->u.rsa.modulus));
    if (!id)
        return false;
    TNssPtr<SECKEYPrivateKey> key(PK11_FindKeyByKeyID(slot, id.get(), nullptr));
    return key != nullptr;
}

TNssPtr<CERTCertificate> DatabaseCopy(const TNssCertificate& cert)
{
    TNssPtr<CERTCertificate> found(CERT_FindCertByDERCert(CERT_GetDefaultCertDB(), &cert.Handle()->derCert));
    return found ? std::move(found) : TNssPtr<CERTCertificate>(CERT_DupCertificate(cert.Handle()));
}

}  // namespace

TNssCertificate::TNssCertificate(TNssPtr<CERTCertificate> cert, std::shared_ptr<UnitNssKeys::TMemoryKey> key)
    : FCert(std::move(cert))
    , FKey(std::move(key))
{
    if (!FCert)
        throw ENssError("No certificate");
}

TNssCertificate::TNssCertificate(const TNssCertificate& other)
    : FCert(CERT_DupCertificate(other.FCert.get()))
    , FKey(other.FKey)
{
}

TNssCertificate& TNssCertificate::operator=(const TNssCertificate& other)
{
    if (this != &other) {
        FCert.reset(CERT_DupCertificate(other.FCert.get()));
        FKey = other.FKey;
    }
    return *this;
}

namespace {

// The certificate and in-memory key of an opened PKCS#12; throws for one that did not open.
TNssCertificate FromPkcs12(UnitPkcs12Reader::TPkcs12 pfx)
{
    using UnitPkcs12Reader::TPkcs12Failure;
    switch (pfx.Failure) {
    case TPkcs12Failure::None:
        break;
    case TPkcs12Failure::Unreadable:
        throw ENssError(pfx.FileWord + ": the certificate file cannot be read");
    case TPkcs12Failure::TooLarge:
        throw ENssError(std::string(Words::FileTooLarge) + ": the data is too large for a PKCS#12 file");
    case TPkcs12Failure::NotPkcs12:
        throw ENssError("The data is not a PKCS#12 file");
    case TPkcs12Failure::WrongPassword:
        throw ENssError("The PKCS#12 password is wrong or the file is damaged");
    case TPkcs12Failure::NoCertificate:
        throw ENssError("The PKCS#12 file holds no certificate");
    case TPkcs12Failure::KeyMismatch:
        throw ENssError("The PKCS#12 key does not match its certificate");
    }
    unsigned char* der = nullptr;
    const int derSize = i2d_X509(pfx.Certificate.get(), &der);
    if (derSize <= 0)
        ThrowOpenSsl("i2d_X509", "The certificate cannot be encoded");
    std::vector<uint8_t> derBytes(der, der + derSize);
    OPENSSL_free(der);
    TNssPtr<CERTCertificate> cert = CertificateFromDer(derBytes.data(), derBytes.size());
    std::shared_ptr<UnitNssKeys::TMemoryKey> memoryKey;
    if (pfx.Key) {
        TNssCertificate probe {TNssPtr<CERTCertificate>(CERT_DupCertificate(cert.get()))};
        memoryKey = UnitNssKeys::TMemoryKey::Register(std::move(pfx.Key), probe.Thumbprint());
    }
    return TNssCertificate(std::move(cert), std::move(memoryKey));
}

}  // namespace

TNssCertificate TNssCertificate::Load(const std::string& fileName, const TSecretString& password)
{
    return FromPkcs12(UnitPkcs12Reader::ReadPkcs12File(fileName, password.Text()));
}

TNssCertificate TNssCertificate::LoadPkcs12(const std::vector<uint8_t>& data, const TSecretString& password)
{
    return FromPkcs12(UnitPkcs12Reader::ReadPkcs12(data, password.Text()));
}

TNssCertificate TNssCertificate::Import(std::string_view data)
{
    if (!data.empty() && static_cast<uint8_t>(data.front()) == 0x30)
        return TNssCertificate(
            CertificateFromDer(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
    std::optional<std::vector<uint8_t>> der = UnitNssCore::DecodeBase64Text(data);
    if (!der || der->empty() || der->front() != 0x30)
        throw ENssError("The data is not a certificate");
    return TNssCertificate(CertificateFromDer(der->data(), der->size()));
}

std::string TNssCertificate::Thumbprint() const
{
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (EVP_Digest(FCert->derCert.data, FCert->derCert.len, hash, &size, EVP_sha1(), nullptr) != 1)
        ThrowOpenSsl("EVP_Digest", "The certificate cannot be hashed");
    return UnitCodecs::HexEncode({hash, size});
}

bool TNssCertificate::HasPrivateKey() const
{
    return FKey || UnitNssKeys::DescribeTokenKey(FCert.get(), TKeyScope::AnyToken, true).has_value();
}

std::string TNssCertificate::SimpleName() const
{
    for (auto get : {CERT_GetCommonName, CERT_GetCertEmailAddress, CERT_GetOrgUnitName, CERT_GetOrgName}) {
        std::string name = TakeNssString(get(&FCert->subject));
        if (!name.empty())
            return name;
    }
    return {};
}

std::string TNssCertificate::ExportBase64() const
{
    std::string text(4 * ((FCert->derCert.len + 2) / 3) + 1, '\0');
    const int size = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), FCert->derCert.data,
        static_cast<int>(FCert->derCert.len));
    text.resize(static_cast<size_t>(size));
    return text;
}

std::vector<uint8_t> TNssCertificate::Der() const
{
    return {FCert->derCert.data, FCert->derCert.data + FCert->derCert.len};
}

TPrivateKeyDescription TNssCertificate::PrivateKey() const
{
    if (FKey)
        return FKey->Description();
    if (auto description = UnitNssKeys::DescribeTokenKey(FCert.get(), TKeyScope::AnyToken, true))
        return *description;
    throw ENssError("The certificate has no private key");
}

bool TNssCertificate::IsCertificateAuthority() const
{
    SECItem extension {siBuffer, nullptr, 0};
    if (CERT_FindCertExtension(FCert.get(), SEC_OID_X509_BASIC_CONSTRAINTS, &extension) == SECSuccess) {
        CERTBasicConstraints constraints {};
        const SECStatus status = CERT_DecodeBasicConstraintValue(&constraints, &extension);
        SECITEM_FreeItem(&extension, PR_FALSE);
        return status == SECSuccess && constraints.isCA == PR_TRUE;
    }
    // A version 1 root has no extensions; being self-signed is all it says about itself.
    return FCert->isRoot == PR_TRUE;
}

const TNssCertificate& TNssCertificates::Item(size_t index) const
{
    if (index < 1 || index > FItems.size())
        throw ENssError("The certificate index is out of range");
    return FItems[index - 1];
}

TNssCertificates TNssCertificates::Find(int findType, std::string_view criteria) const
{
    if (findType != FindSha1Hash)
        throw ENssError("The certificate search type is not supported");
    std::vector<TNssCertificate> found;
    for (const TNssCertificate& cert : FItems)
        if (cert.Thumbprint() == criteria)
            found.push_back(cert);
    return TNssCertificates(std::move(found));
}

TNssStore TNssStore::Open(int location, std::string_view name, int mode)
{
    if (location != LocationLocalMachine && location != LocationCurrentUser)
        throw ENssError("The certificate store location is not supported");
    if (mode < OpenReadOnly || mode > OpenMaximumAllowed)
        throw ENssError("The certificate store open mode is not valid");
    KindOf(name);
    UnitNssCore::EnsureInitialized();
    if (location == LocationLocalMachine)
        UnitNssCore::MachineSlot();
    return TNssStore(location, std::string(name), mode);
}

void TNssStore::CheckOpen() const
{
    if (!FOpen)
        throw ENssError("The certificate store is closed");
}

TNssCertificates TNssStore::Certificates() const
{
    CheckOpen();
    // Token by token: PK11_ListCerts would log into every token that hides its objects.
    std::vector<TNssPtr<PK11SlotInfo>> slots;
    if (FLocation == LocationLocalMachine)
        slots.emplace_back(PK11_ReferenceSlot(UnitNssCore::MachineSlot()));
    else {
        PK11SlotInfo* machine = UnitNssCore::MachineSlotIfOpen();
        TNssPtr<PK11SlotList> all(PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr));
        for (PK11SlotListElement* element = all ? all->head : nullptr; element; element = element->next)
            if (element->slot != machine && !PK11_HasRootCerts(element->slot)
                && PK11_IsPresent(element->slot))
                slots.emplace_back(PK11_ReferenceSlot(element->slot));
    }
    std::vector<TNssCertificate> items;
    std::set<std::string> seen;
    for (const auto& slot : slots) {
        TNssPtr<CERTCertList> list(PK11_ListCertsInSlot(slot.get()));
        if (!list)
            continue;
        for (CERTCertListNode* node = CERT_LIST_HEAD(list); !ListEnds(node, list.get());
             node = CERT_LIST_NEXT(node)) {
            TNssCertificate cert {TNssPtr<CERTCertificate>(CERT_DupCertificate(node->cert))};
            if (!seen.insert(cert.Thumbprint()).second)
                continue;
            if (KindAccepts(KindOf(FName), cert, FLocation))
                items.push_back(std::move(cert));
        }
    }
    return TNssCertificates(std::move(items));
}

PK11SlotInfo* TNssStore::TargetSlot() const
{
    PK11SlotInfo* slot
        = FLocation == LocationLocalMachine ? UnitNssCore::MachineSlot() : UnitNssCore::UserSlot();
    if (PK11_IsReadOnly(slot))
        throw ENssError("The certificate database is read-only");
    return slot;
}

void TNssStore::Add(const TNssCertificate& cert)
{
    CheckOpen();
    if (FMode == OpenReadOnly)
        throw ENssError("The certificate store was opened read-only");
    PK11SlotInfo* slot = TargetSlot();
    LoginIfNeeded(slot);
    std::string nickname = cert.Handle()->nickname ? std::string(cert.Handle()->nickname) : std::string();
    if (nickname.empty())
        nickname = cert.SimpleName() + " " + cert.Thumbprint().substr(0, 8);
    if (cert.MemoryKey())
        ImportMemoryKey(slot, cert.MemoryKey()->Key(), nickname);
    else if (KindOf(FName) == TStoreKind::Personal && !HasKeyOnSlot(slot, cert.Handle()))
        throw ENssError("A certificate without its private key cannot be added to the personal store");
    if (PK11_ImportCert(slot, cert.Handle(), CK_INVALID_HANDLE, nickname.c_str(), PR_FALSE) != SECSuccess)
        ThrowNss("PK11_ImportCert", "The certificate cannot be added to the store");
    if (KindOf(FName) == TStoreKind::Root || KindOf(FName) == TStoreKind::IntermediateCa) {
        TNssPtr<CERTCertificate> stored = DatabaseCopy(cert);
        CERTCertTrust trust {};
        const char* trustText = KindOf(FName) == TStoreKind::Root ? "CT,C,C" : "c,c,c";
        if (CERT_DecodeTrustString(&trust, trustText) != SECSuccess
            || CERT_ChangeCertTrust(CERT_GetDefaultCertDB(), stored.get(), &trust) != SECSuccess)
            ThrowNss("CERT_ChangeCertTrust", "The certificate cannot be marked as trusted");
    }
}

void TNssStore::Remove(const TNssCertificate& cert)
{
    CheckOpen();
    if (FMode == OpenReadOnly)
        throw ENssError("The certificate store was opened read-only");
    TNssPtr<CERTCertificate> stored = DatabaseCopy(cert);
    std::vector<PK11SlotInfo*> slots;
    size_t allTokens = 0;
    if (!IsOnLocation(stored.get(), FLocation, &slots, &allTokens))
        throw ENssError("The certificate is not in the store");
    for (PK11SlotInfo* slot : slots)
        if (PK11_IsReadOnly(slot))
            throw ENssError("The certificate database is read-only");
    if (KindOf(FName) == TStoreKind::Personal) {
        // A personal certificate leaves with its key: a key left behind is invisible to the
        // user and would stay on the token for good.
        for (PK11SlotInfo* slot : slots) {
            LoginIfNeeded(slot);
            if (SECKEYPrivateKey* key = PK11_FindPrivateKeyFromCert(slot, stored.get(), nullptr))
                if (PK11_DeleteTokenPrivateKey(key, PR_TRUE) != SECSuccess)
                    ThrowNss("PK11_DeleteTokenPrivateKey", "The private key cannot be removed");
        }
    }
    if (slots.size() == allTokens) {
        if (SEC_DeletePermCertificate(stored.get()) != SECSuccess)
            ThrowNss("SEC_DeletePermCertificate", "The certificate cannot be removed from the store");
        return;
    }
    for (PK11SlotInfo* slot : slots) {
        const CK_OBJECT_HANDLE handle = PK11_FindCertInSlot(slot, stored.get(), nullptr);
        if (handle != CK_INVALID_HANDLE && PK11_DestroyTokenObject(slot, handle) != SECSuccess)
            ThrowNss("PK11_DestroyTokenObject", "The certificate cannot be removed from the store");
    }
}

bool TNssChain::Build(const TNssCertificate& cert)
{
    TNssPtr<CERTCertificateList> chain(CERT_CertChainFromCert(cert.Handle(), certUsageAnyCA, PR_TRUE));
    if (!chain)
        ThrowNss("CERT_CertChainFromCert", "The certificate chain cannot be built");
    std::vector<TNssCertificate> items;
    for (int i = 0; i < chain->len; ++i)
        items.emplace_back(CertificateFromDer(chain->certs[i].data, chain->certs[i].len));
    if (!items.empty() && cert.MemoryKey())
        items.front() = cert;
    FCertificates = TNssCertificates(std::move(items));
    return !FCertificates.Items().empty() && FCertificates.Items().back().Handle()->isRoot == PR_TRUE;
}

}  // namespace UnitNssStore
