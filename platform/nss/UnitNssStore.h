// Certificate stores over the NSS databases. Location 2 (current user) is the user's
// database and every token registered in it; location 1 (local machine) is the shared
// database. "MY" holds the certificates that have a private key, "Other People" the
// end-entity certificates without one, "ROOT" the certification authorities; the empty
// name stands for every certificate of the location.
#pragma once

#include "platform/nss/UnitNssCore.h"
#include "platform/nss/UnitNssKeys.h"
#include "platform/nss/UnitPkcs12Reader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace UnitNssStore {

using UnitNssCore::TNssPtr;
using UnitNssCore::TSecretString;
using UnitNssKeys::TPrivateKeyDescription;

inline constexpr int LocationLocalMachine = 1;
inline constexpr int LocationCurrentUser = 2;

inline constexpr int OpenReadOnly = 0;
inline constexpr int OpenReadWrite = 1;
inline constexpr int OpenMaximumAllowed = 2;

inline constexpr int FindSha1Hash = 0;

class TNssCertificate {
public:
    explicit TNssCertificate(
        TNssPtr<CERTCertificate> cert, std::shared_ptr<UnitNssKeys::TMemoryKey> key = nullptr);
    TNssCertificate(const TNssCertificate& other);
    TNssCertificate& operator=(const TNssCertificate& other);
    TNssCertificate(TNssCertificate&&) noexcept = default;
    TNssCertificate& operator=(TNssCertificate&&) noexcept = default;
    ~TNssCertificate() = default;

    // A PKCS#12 file or its bytes, opened by the one reader (platform/nss/UnitPkcs12Reader.h:
    // at most MaxPkcs12Size bytes); the private key stays in memory with this object.
    static constexpr size_t MaxPkcs12FileSize = UnitPkcs12Reader::MaxPkcs12Size;
    static TNssCertificate Load(const std::string& fileName, const TSecretString& password);
    static TNssCertificate LoadPkcs12(const std::vector<uint8_t>& data, const TSecretString& password);
    // A certificate as DER, PEM or bare Base64.
    static TNssCertificate Import(std::string_view data);

    // SHA-1 of the DER, 40 upper-case hex digits.
    std::string Thumbprint() const;
    bool HasPrivateKey() const;
    // The subject's CN, else its first e-mail address, unit or organisation.
    std::string SimpleName() const;
    // The DER in Base64 on one line.
    std::string ExportBase64() const;
    std::vector<uint8_t> Der() const;
    // Throws when there is no private key.
    TPrivateKeyDescription PrivateKey() const;
    bool IsCertificateAuthority() const;

    CERTCertificate* Handle() const noexcept { return FCert.get(); }
    const std::shared_ptr<UnitNssKeys::TMemoryKey>& MemoryKey() const noexcept { return FKey; }

private:
    TNssPtr<CERTCertificate> FCert;
    std::shared_ptr<UnitNssKeys::TMemoryKey> FKey;
};

// A snapshot of certificates; Item is 1-based, as the store's callers count.
class TNssCertificates {
public:
    TNssCertificates() = default;
    explicit TNssCertificates(std::vector<TNssCertificate> items)
        : FItems(std::move(items))
    {
    }
    size_t Count() const noexcept { return FItems.size(); }
    const TNssCertificate& Item(size_t index) const;
    // findType FindSha1Hash: the certificates whose thumbprint text equals `criteria`.
    TNssCertificates Find(int findType, std::string_view criteria) const;
    const std::vector<TNssCertificate>& Items() const noexcept { return FItems; }

private:
    std::vector<TNssCertificate> FItems;
};

class TNssStore {
public:
    // Throws for an unknown location or name, or when the database cannot be opened.
    static TNssStore Open(int location, std::string_view name, int mode);
    TNssCertificates Certificates() const;
    // Imports the certificate for good, with its in-memory key when it has one; "ROOT"
    // marks it trusted as a certification authority.
    void Add(const TNssCertificate& cert);
    // Deletes the certificate from the location's tokens; in "MY" its private key goes too.
    void Remove(const TNssCertificate& cert);
    void Close() noexcept { FOpen = false; }
    int Location() const noexcept { return FLocation; }
    const std::string& Name() const noexcept { return FName; }

private:
    TNssStore(int location, std::string name, int mode)
        : FLocation(location)
        , FName(std::move(name))
        , FMode(mode)
    {
    }
    PK11SlotInfo* TargetSlot() const;
    void CheckOpen() const;
    int FLocation;
    std::string FName;
    int FMode;
    bool FOpen = true;
};

class TNssChain {
public:
    // Builds from the databases and the system trust anchors, end-entity first. True when
    // the chain ends in a self-signed certificate.
    bool Build(const TNssCertificate& cert);
    const TNssCertificates& Certificates() const noexcept { return FCertificates; }

private:
    TNssCertificates FCertificates;
};

}  // namespace UnitNssStore
