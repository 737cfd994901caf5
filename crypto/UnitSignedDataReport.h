// The verification report of a CMS SignedData (a detached or attached signature, a time-stamp
// token or a bundle of certificates): structure, content, each signer with its signed and
// unsigned attributes, each certificate described, the chain, the revocation state, the moments
// involved and the named exceptions, all in one tree rooted at "SignedDataReport". A second
// step condenses a finished report into the verdict tree of "valid" and "alert" words that
// viewers show. Nothing here raises: every finding is a word in the report.
#pragma once

#include "core/UnitStatusWords.h"
#include "core/UnitXmlDoc.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UnitSignedDataReport {

inline constexpr std::string_view ReportAlgorithm = "1.3.6.1.4.1.61524.3.1.2.3.1";
inline constexpr std::string_view SignedDataType = "1.2.840.113549.1.7.2";
inline constexpr std::string_view TimeStampTokenType = "1.2.840.113549.1.9.16.1.4";
inline constexpr std::string_view TrustedFolder = "($ProgramFiles)\\Pellam\\TrustedCertificates\\";

// Exception words: core/UnitStatusWords.h.

// Words that tell the caller that fetching the registered resources could change the result.
inline constexpr std::string_view UpdateList =
    "IncompleteCertificateChain,CertificateRevocationOldCRL,RevocationCheckFailed,RevocationListInvalid,"
    "RevocationListNotFound,RevocationListUnknown";

// The trusted root certificates: every "*.cer" (DER or PEM) of a folder, read on first need.
class TTrustedCertificates {
public:
    explicit TTrustedCertificates(std::string folder);
    // The list of the default folder, read once per library lifetime.
    static TTrustedCertificates& Default();

    const std::vector<std::vector<uint8_t>>& Certificates();
    // Adds one certificate (DER) to the list.
    void Add(std::vector<uint8_t> der);

private:
    std::string FFolder;
    bool FLoaded = false;
    std::vector<std::vector<uint8_t>> FCertificates;
};

struct TReportOptions {
    bool VerifyRevocation = false;
    // CRLs (DER) supplied by the caller, consulted after those of the SignedData.
    std::vector<std::vector<uint8_t>> Crls;
    // The signed document of a detached signature.
    std::optional<std::span<const uint8_t>> Content;
    // nullptr: the default trusted folder.
    TTrustedCertificates* Trusted = nullptr;
    // Certificates (DER) the caller has beside the signature (issuers looked for after the
    // SignedData's own).
    std::vector<std::vector<uint8_t>> ExtraCertificates;
};

// The report of a DER ContentInfo. Never null, never throws.
std::unique_ptr<TXmlDoc> BuildReport(std::span<const uint8_t> der, const TReportOptions& options) noexcept;
// The same from upper-case hex, as the library's callers hold DER.
std::unique_ptr<TXmlDoc> BuildReportHex(std::string_view derHex, bool verifyRevocation) noexcept;
// The certificate report of one certificate (DER) with the other certificates of its chain: the
// certificate takes the place of the signer's, as for a bundle of certificates.
std::unique_ptr<TXmlDoc> BuildCertificateReport(std::span<const uint8_t> certificate,
                                                const TReportOptions& options) noexcept;

// The verdict tree of a finished report. Never null, never throws.
std::unique_ptr<TXmlDoc> BuildVerdict(TXmlDoc& report) noexcept;
// "RootValid" / "RootAlert" shortcut.
bool VerdictIsValid(const TXmlDoc& verdict) noexcept;

// Sets "Header\Status" when empty, adds the word under "Header\Exceptions", and sets
// "Header\Resources" "NeedUpdate" for words of the update list.
void RecordException(TXmlDoc& report, std::string_view word);
// Adds the "R" node of type::url under "Header\Resources".
void RegisterResource(TXmlDoc& report, std::string_view type, std::string_view url);
// Offers a reference moment (time text) from "SignedAttribute" or "TST" to a signer node.
void SetMoment(TXmlDoc& signer, std::string_view timeText, std::string_view source);

// The RSA check of a certificate against its issuer (the same bytes for a self-signed one):
// "OK", "Failed", "IssuerStructureUnrecognized", "StructureUnrecognized", "SmallKey".
std::string CheckCertificate(std::span<const uint8_t> certificate, std::span<const uint8_t> issuer) noexcept;

}  // namespace UnitSignedDataReport
