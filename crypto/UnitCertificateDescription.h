// The description of a certificate as the verification report shows it: a node under the
// report's "Certificates" named "C" plus the SHA-1 of the subject name, with the header
// (version, size, digests, root flag, type), issuer and subject, validity (time text and the
// user's format), public key, extensions, the URLs they point to, the signature and revocation
// results and the expiration state. Works on a certificate decoded by UnitAsn1 (a SEQUENCE whose
// first child is the TBSCertificate); every field is taken by position. Never throws: fields
// missing from the input give empty values.
#pragma once

#include "core/UnitXmlDoc.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace UnitCertificateDescription {

// What the revocation check found for one certificate (time texts in the local time form).
struct TRevocationResult {
    std::string Status;    // "OK", "Revocated", "OldCRL", "RevocationUnverified", ...
    std::string Moment;    // revocation date when listed
    std::string Emission;  // the CRL's thisUpdate
    std::string Validity;  // the CRL's nextUpdate
};

// Where the description goes: the report's "Certificates" node, and the chain node that
// receives an empty child named as the description (the signer's "Chain" while a chain is
// built, else the report's "Header\Chain"; none to skip).
struct TReportContext {
    TXmlDoc* Certificates = nullptr;
    TXmlDoc* Chain = nullptr;
};

// Describes `certificate` (the decoded tree; it is not changed) and returns its description
// node under context.Certificates. When a description of the same subject name exists already,
// that node is kept (its header and fields stay) and only the signature algorithm, the
// signature status, the revocation fields and the expiration state are refreshed; a status
// other than "OK" recorded earlier is never replaced. `der` is the certificate's own DER when
// the caller has it (size and hash come from it); empty makes them come from the re-encoded
// tree. nullptr only when context.Certificates is nullptr.
TXmlDoc* DescribeCertificate(const TXmlDoc& certificate, std::string_view signatureStatus,
                             const TRevocationResult& revocation, const TReportContext& context,
                             std::span<const uint8_t> der = {});

// The node name of a certificate's description ("C" + SHA-1 hex of the subject Name's DER);
// "" when the tree is not a certificate.
std::string DescriptionName(const TXmlDoc& certificate);

// One child of target per RDN of a decoded Name (CN, C, L, ST, O, OU, Description, E,
// SerialNumber, OrgID, or "Info" with "ID" and "Content").
void DescribeName(const TXmlDoc& name, TXmlDoc& target);
// One child of target for a decoded GeneralName (RFC822Name, Name, the ICP-Brasil otherNames,
// ICPBrasilOtherName, Other).
void DescribeGeneralName(const TXmlDoc& generalName, TXmlDoc& target);
// One child of target per extension of the decoded extensions (the "163" wrapper of the
// TBSCertificate or the SEQUENCE inside it). False when the tree holds no extension list.
bool DescribeExtensions(const TXmlDoc& extensions, TXmlDoc& target);

// Adds to resources a "Policy", "CRL" or "Issuer" child (property "URL") for each distinct URL
// of the "Extended" node.
void CollectResources(TXmlDoc& extended, TXmlDoc& resources);
// The certificate type by the first policy of "CertificatePoliciesV2" that names one
// ("ICPBrasilA3", "ICPPellamRv1", ...); "Unknown" when none does.
std::string CertificateType(TXmlDoc& extended);
// The type of one policy OID; "Unknown" when the table has no row for it.
std::string PolicyType(std::string_view policyOid);
// True when oid lies under arc ("2.16.76.1.2.3.10" under "2.16.76.1.2.3", not the arc itself).
bool OidUnder(std::string_view oid, std::string_view arc);

// Splits the ICP-Brasil holder field (birth date, CPF, NIS/PIS, RG and its issuer) into
// "ICPBrasilOtherNameNasc" (user's date format), "ICPBrasilOtherNameCPF" (000.000.000-00),
// "ICPBrasilOtherNamePIS" and "ICPBrasilOtherNameRG" children of target.
void SplitHolder(std::string_view holder, TXmlDoc& target);

// The user's regional form of a time text ("" when it cannot be read).
std::string UserDateTime(std::string_view timeText);

}  // namespace UnitCertificateDescription
