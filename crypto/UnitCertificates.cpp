#include "crypto/UnitCertificates.h"

#include "core/UnitStatusWords.h"
#include "core/UnitLocalUtils.h"
#include "encoding/UnitCodecs.h"
#include "platform/UnitTrace.h"
#include "platform/nss/UnitNssCore.h"
#include "platform/nss/UnitNssEnveloped.h"
#include "platform/nss/UnitNssKeys.h"
#include "platform/nss/UnitNssStore.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace UnitCertificates {

namespace {

using UnitXmlDoc::Prop;

using UnitNssCore::TSecretString;
using UnitNssStore::TNssCertificate;
using UnitNssStore::TNssStore;

std::string& DiagnosticText()
{
    static std::string text;
    return text;
}

TDisplayHook& DisplayHook()
{
    static TDisplayHook hook;
    return hook;
}

void Record(std::string_view message)
{
    std::string& text = DiagnosticText();
    if (!text.empty())
        text += ", ";
    text += message;
    UnitTrace::Trace(std::string("Certificates: ") + std::string(message));
}

void RecordFailure(const char* operation)
{
    try {
        throw;
    } catch (const std::exception& e) {
        Record(std::string(operation) + ": " + e.what());
    } catch (...) {
        Record(std::string(operation) + ": unknown failure");
    }
}


bool Has(const TXmlDoc& node, std::string_view name)
{
    return node.FindProperty(name) != nullptr;
}

// A value that names the certificate: an empty one is the same as none (a reference copied
// from a list entry without "Store" gets an empty one), so the next form is tried.
bool Given(const TXmlDoc& node, std::string_view name)
{
    const TXmlDoc* p = node.FindProperty(name);
    return p && !p->GetValue().empty();
}

int StoreLocation(const TXmlDoc& reference)
{
    if (!Given(reference, "Store"))
        return UnitNssStore::LocationCurrentUser;
    int32_t location = 0;
    return UnitXmlDoc::TextToInt32(Prop(reference, "Store"), location) ? location : 0;
}

// The digest rows of the signing roads. A SHA-224 row stands beside the others so that every
// digest the host offers signs with a DigestInfo that names the digest actually computed.
struct TDigestRow {
    std::string_view DigestOid;
    std::string_view SignatureOid;
    uint32_t LegacyId;
    std::string_view ProviderName;   // empty: the provider road has no such digest
    std::string_view LegacyName;
};

constexpr TDigestRow DigestRows[] = {
    {"1.2.840.113549.2.4", "1.2.840.113549.1.1.3", 0x8002, "", "MD4"},
    {"1.2.840.113549.2.5", "1.2.840.113549.1.1.4", 0x8003, "", "MD5"},
    {"1.3.14.3.2.26", "1.2.840.113549.1.1.5", 0x8004, "SHA1", "SHA1"},
    {"2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11", 0x800C, "SHA256", "SHA256"},
    {"2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12", 0x800D, "SHA384", "SHA384"},
    {"2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13", 0x800E, "SHA512", "SHA512"},
    {"2.16.840.1.101.3.4.2.4", "1.2.840.113549.1.1.14", 0, "SHA224", "SHA224"},
};

const TDigestRow& DigestRowFor(std::string_view id)
{
    for (const auto& row : DigestRows)
        if (row.DigestOid == id)
            return row;
    for (const auto& row : DigestRows)
        if (row.SignatureOid == id)
            return row;
    return DigestRows[5];
}

std::optional<TNssCertificate> FindByCode(const std::string& code, int location)
{
    TNssStore store = TNssStore::Open(location, location == UnitNssStore::LocationCurrentUser ? "MY" : "",
                                      UnitNssStore::OpenReadOnly);
    const auto certificates = store.Certificates();
    std::optional<TNssCertificate> found;
    for (size_t i = 1; i <= certificates.Count(); ++i)
        if (certificates.Item(i).Thumbprint() == code) {
            found = certificates.Item(i);
            break;
        }
    store.Close();
    return found;
}

// A free name "($MyTemp)\File<time>.tmp", " (2)", " (3)"... inserted before the extension.
std::string UniqueTemporaryName()
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%lld%09ld", static_cast<long long>(ts.tv_sec), ts.tv_nsec);
    const std::string base = UnitLocalUtils::Expand(std::string("($MyTemp)\\File") + stamp);
    std::string name = base + ".tmp";
    for (int n = 2; UnitLocalUtils::FileExists(name); ++n)
        name = base + " (" + std::to_string(n) + ").tmp";
    return name;
}

// Loads PKCS#12 bytes through a temporary file that is overwritten with "A" and deleted.
std::optional<TNssCertificate> LoadThroughTemporaryFile(const std::vector<uint8_t>& pfx, const TSecretString& password)
{
    const std::string name = UniqueTemporaryName();
    const std::string path = UnitLocalUtils::LocalFileName(name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        Record("CannotWriteTemporaryFile");
        return std::nullopt;
    }
    bool written = ::write(fd, pfx.data(), pfx.size()) == static_cast<ssize_t>(pfx.size());
    ::close(fd);
    std::optional<TNssCertificate> cert;
    try {
        if (written)
            cert = TNssCertificate::Load(path, password);
    } catch (...) {
        RecordFailure("Load");
    }
    // The file held a private key: its bytes are overwritten before it goes.
    if (const int wipe = ::open(path.c_str(), O_WRONLY | O_CLOEXEC); wipe >= 0) {
        const std::vector<uint8_t> filler(pfx.size(), 'A');
        [[maybe_unused]] const ssize_t n = ::write(wipe, filler.data(), filler.size());
        ::fsync(wipe);
        ::close(wipe);
    }
    ::unlink(path.c_str());
    return cert;
}

std::optional<TNssCertificate> FindCertificate(TXmlDoc& reference)
{
    if (Given(reference, "Code"))
        return FindByCode(std::string(Prop(reference, "Code")), StoreLocation(reference));
    if (Given(reference, "FileName")) {
        TSecretString password{std::string(Prop(reference, "FilePwd"))};
        return TNssCertificate::Load(UnitLocalUtils::LocalFileName(Prop(reference, "FileName")), password);
    }
    if (Given(reference, "Data")) {
        const auto bytes = UnitCodecs::HexDecode(Prop(reference, "Data"));
        std::optional<TNssCertificate> cert;
        if (Has(reference, "Pwd")) {
            TSecretString password{std::string(Prop(reference, "Pwd"))};
            cert = LoadThroughTemporaryFile(bytes, password);
        } else {
            cert = TNssCertificate::Import(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        }
        if (cert && reference.Getb("Local")) {
            const std::string code = cert->Thumbprint();
            cert.reset();
            return FindByCode(code, UnitNssStore::LocationCurrentUser);
        }
        return cert;
    }
    return std::nullopt;
}

void ListInto(TXmlDoc& list, bool signers)
{
    int count = 0;
    try {
        TNssStore store = TNssStore::Open(UnitNssStore::LocationCurrentUser, signers ? "MY" : "Other People",
                                          UnitNssStore::OpenMaximumAllowed);
        const auto certificates = store.Certificates();
        for (size_t i = 1; i <= certificates.Count(); ++i) {
            const TNssCertificate& cert = certificates.Item(i);
            if (signers && !cert.HasPrivateKey())
                continue;
            TXmlDoc* entry = list.New("Certificate");
            entry->Setp("Name", cert.SimpleName());
            entry->Setp("Code", cert.Thumbprint());
            entry->Setp("Store", "2");
            ++count;
        }
        store.Close();
    } catch (...) {
        // What was listed before the failure stays.
        RecordFailure("ListCertificates");
    }
    list.Seti("User", count);
}

bool SignWithProvider(const UnitNssKeys::TPrivateKeyDescription& key, const TDigestRow& row, std::string_view digestHex,
                      std::string& signatureHex)
{
    if (!UnitNssKeys::TKeyProvider::IsAvailable()) {
        Record("CNG is not present");
        return false;
    }
    Record("CNG selected");
    std::optional<UnitNssKeys::TKeyProvider> provider;
    try {
        provider = UnitNssKeys::TKeyProvider::Open(key.ProviderName);
    } catch (...) {
        Record("CannotOpenKSP");
        return false;
    }
    std::optional<UnitNssKeys::TProviderKey> providerKey;
    try {
        providerKey = provider->OpenKey(key.ContainerName);
    } catch (...) {
        Record("CannotOpenKey");
        return false;
    }
    const auto digest = UnitCodecs::HexDecodeStrict(digestHex);
    if (!digest || digest->empty()) {
        Record("CannotDecodeHash");
        return false;
    }
    size_t size = 0;
    try {
        size = providerKey->SignatureSize(row.ProviderName);
    } catch (...) {
        size = 0;
    }
    if (size == 0) {
        Record("CannotComputeSignatureSize");
        return false;
    }
    Record("Size: " + std::to_string(size));
    try {
        const auto signature = providerKey->SignHash(row.ProviderName, *digest);
        signatureHex = UnitCodecs::HexEncode(signature);
    } catch (const std::exception& e) {
        Record(std::string("CannotSignHash: ") + e.what());
        return false;
    }
    return !signatureHex.empty();
}

bool SignWithLegacy(const UnitNssKeys::TPrivateKeyDescription& key, const TDigestRow& row,
                    std::span<const uint8_t> content, std::string& signatureHex)
{
    Record("CryptoAPI selected");
    std::optional<UnitNssKeys::TLegacyContext> context;
    try {
        context = UnitNssKeys::TLegacyContext::Acquire(key.ContainerName, key.ProviderName, key.ProviderType);
    } catch (...) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "%d, %010X, %010X", key.ProviderType, static_cast<unsigned>(key.KeySpec), 0u);
        Record("FailedToAcquireContext (" + key.ContainerName + ", " + key.ProviderName + ", " + detail + ")");
        return false;
    }
    std::optional<UnitNssKeys::TLegacyHash> hash;
    try {
        hash = context->CreateHash(row.LegacyName);
    } catch (...) {
        Record("FailedToCreateHash");
        return false;
    }
    try {
        hash->HashData(content.data(), content.size());
    } catch (...) {
        Record("FailedToHash");
        return false;
    }
    try {
        // The legacy road already gives big-endian bytes: no reversal is needed.
        signatureHex = UnitCodecs::HexEncode(hash->SignHash(key.KeySpec));
    } catch (...) {
        Record(std::string(Words::FailedToSign));
        return false;
    }
    return true;
}

}  // namespace

const std::string& Diagnostic()
{
    return DiagnosticText();
}

bool LocateSignerCertificate(TXmlDoc& reference)
{
    if (Given(reference, "FileName") && !Prop(reference, "FilePwd").empty()
        && UnitLocalUtils::FileExists(Prop(reference, "FileName")))
        return true;
    TXmlDoc list("Certificates");
    if (!ListCertificates(list, true))
        return false;
    const std::string code(Prop(reference, "Code"));
    for (int i = 0; i < list.GetNodeCount(); ++i) {
        TXmlDoc* entry = list.ChildAt(static_cast<size_t>(i));
        if (Prop(*entry, "Code") == code) {
            reference.Setp("Name", std::string(Prop(*entry, "Name")));
            reference.Setp("Code", std::string(Prop(*entry, "Code")));
            reference.Setp("Store", std::string(Prop(*entry, "Store")));
            return true;
        }
    }
    return false;
}

bool ListCertificates(TXmlDoc& list, bool signers)
{
    DiagnosticText().clear();
    try {
        ListInto(list, signers);
        list.SortNodes(false, ".Name");
        for (int i = list.GetNodeCount() - 1; i >= 1; --i) {
            TXmlDoc* later = list.ChildAt(static_cast<size_t>(i));
            TXmlDoc* before = list.ChildAt(static_cast<size_t>(i - 1));
            if (later->GetName() == "Certificate" && Prop(*later, "Code") == Prop(*before, "Code"))
                list.DeleteNode(later);
        }
        return true;
    } catch (...) {
        RecordFailure("ListCertificates");
        return false;
    }
}

namespace {

// Runs `use` on the referenced certificate; a missing certificate and any failure are
// recorded and give false.
template <class F> bool WithCertificate(TXmlDoc& reference, const char* operation, F&& use)
{
    try {
        auto cert = FindCertificate(reference);
        if (!cert) {
            Record("CertificateNotFound");
            return false;
        }
        return use(*cert);
    } catch (...) {
        RecordFailure(operation);
        return false;
    }
}

}  // namespace

bool MountCertificateChain(TXmlDoc& reference, TXmlDoc* target)
{
    DiagnosticText().clear();
    return WithCertificate(reference, "MountCertificateChain", [&](const TNssCertificate& cert) {
        UnitNssStore::TNssChain chain;
        chain.Build(cert);
        TXmlDoc own("Chain");
        TXmlDoc& into = target ? *target : own;
        for (const auto& element : chain.Certificates().Items()) {
            TXmlDoc* entry = into.New("Certificate");
            entry->Setp("Name", element.SimpleName());
            entry->Setp("Data", element.ExportBase64());
        }
        if (!target)
            reference.Setp("Chain", own.GetXML());
        return true;
    });
}

bool ExportCertificate(TXmlDoc& reference)
{
    DiagnosticText().clear();
    return WithCertificate(reference, "ExportCertificate", [&](const TNssCertificate& cert) {
        reference.Setp("Data", cert.ExportBase64());
        return true;
    });
}

bool DisplayCertificate(TXmlDoc& reference)
{
    DiagnosticText().clear();
    return WithCertificate(reference, "DisplayCertificate", [&](const TNssCertificate& cert) {
        auto& hook = DisplayHook();
        return hook && hook(cert.Der());
    });
}

bool DisplayCertificateData(std::string_view data)
{
    DiagnosticText().clear();
    try {
        const TNssCertificate cert = TNssCertificate::Import(data);
        auto& hook = DisplayHook();
        return hook && hook(cert.Der());
    } catch (...) {
        RecordFailure("DisplayCertificateData");
        return false;
    }
}

bool IsCertificateInStore(std::string_view code, bool localMachine, bool root)
{
    try {
        TNssStore store = TNssStore::Open(localMachine ? UnitNssStore::LocationLocalMachine : UnitNssStore::LocationCurrentUser,
                                          root ? "ROOT" : "MY", UnitNssStore::OpenReadWrite);
        const bool found = store.Certificates().Find(UnitNssStore::FindSha1Hash, code).Count() > 0;
        store.Close();
        return found;
    } catch (...) {
        RecordFailure("IsCertificateInStore");
        return false;
    }
}

bool SetCertificateInStore(TXmlDoc& reference, bool localMachine, bool root, bool remove)
{
    try {
        auto cert = FindCertificate(reference);
        if (!cert) {
            Record("CertificateNotFound");
            return false;
        }
        TNssStore store = TNssStore::Open(localMachine ? UnitNssStore::LocationLocalMachine : UnitNssStore::LocationCurrentUser,
                                          root ? "ROOT" : "MY", UnitNssStore::OpenReadWrite);
        const std::string code = cert->Thumbprint();
        auto present = [&] { return store.Certificates().Find(UnitNssStore::FindSha1Hash, code).Count() > 0; };
        bool changed = false;
        try {
            if (!remove && !present()) {
                store.Add(*cert);
                changed = present();
            } else if (remove && present()) {
                store.Remove(*cert);
                changed = !present();
            }
        } catch (...) {
            store.Close();
            throw;
        }
        store.Close();
        return changed;
    } catch (...) {
        RecordFailure("SetCertificateInStore");
        return false;
    }
}

bool DecryptEnvelopedData(std::string_view message, std::string& content, TXmlDoc* recipients)
{
    DiagnosticText().clear();
    std::vector<std::unique_ptr<TXmlDoc>> added;
    if (recipients)
        for (int i = 0; i < recipients->GetNodeCount(); ++i) {
            auto copy = recipients->ChildAt(static_cast<size_t>(i))->Duplicate();
            if (SetCertificateInStore(*copy, false, false, false))
                added.push_back(std::move(copy));
        }
    bool ok = false;
    try {
        UnitNssEnveloped::TNssEnvelopedData enveloped;
        enveloped.Decrypt(message);
        content.assign(enveloped.Content().begin(), enveloped.Content().end());
        ok = true;
    } catch (...) {
        RecordFailure("DecryptEnvelopedData");
    }
    // Credentials brought in only for this message leave the store again.
    for (auto& reference : added)
        SetCertificateInStore(*reference, false, false, true);
    return ok;
}

bool SignWithCertificateKey(TXmlDoc& reference, std::span<const uint8_t> content, std::string_view digestHex,
                            std::string_view digestOid, std::string& signatureHex)
{
    DiagnosticText().clear();
    signatureHex.clear();
    try {
        auto cert = FindCertificate(reference);
        if (!cert) {
            Record("CertificateNotFound");
            return false;
        }
        if (!cert->HasPrivateKey()) {
            Record("PrivateKeyNotFound");
            return false;
        }
        const auto key = cert->PrivateKey();
        const TDigestRow& row = DigestRowFor(digestOid);
        // No fallback between the two roads.
        if (key.IsProviderKey())
            return SignWithProvider(key, row, digestHex, signatureHex);
        return SignWithLegacy(key, row, content, signatureHex);
    } catch (...) {
        RecordFailure("SignWithCertificateKey");
        return false;
    }
}

void SetDisplayHook(TDisplayHook hook)
{
    DisplayHook() = std::move(hook);
}

}  // namespace UnitCertificates
