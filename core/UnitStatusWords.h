// The system's status and failure words, in one place. They are data, not messages: callers
// compare them, the host answers the browser with them, the library reports them as the
// conversion status or a "Status" property. Their texts never change.
//
// EStatusError is the one exception that carries a word: whoever catches it answers with
// Word(); its what() is the same word unless a detail for the trace was given.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace Words {

// General outcomes.
inline constexpr std::string_view OK = "OK";
inline constexpr std::string_view Error = "Error";
inline constexpr std::string_view Failed = "Failed";
inline constexpr std::string_view Done = "Done";
inline constexpr std::string_view Unknown = "Unknown";

// Files (platform/UnitPlatformFiles.h).
inline constexpr std::string_view FileNotFound = "FileNotFound";
inline constexpr std::string_view NotARegularFile = "NotARegularFile";  // a folder, FIFO, device...
inline constexpr std::string_view FileTooLarge = "FileTooLarge";
inline constexpr std::string_view FileUnreadable = "FileUnreadable";
inline constexpr std::string_view InvalidFileName = "InvalidFileName";  // empty or with a zero byte

// XML trees by handle (library/UnitXmlHandles.cpp).
inline constexpr std::string_view XmlOperationFailed = "XmlOperationFailed";
inline constexpr std::string_view ConvertError = "ConvertError";
inline constexpr std::string_view OutOfMemory = "OutOfMemory";

// ASN.1 and the crypto folder.
// The conversion status of numbers 13 and 14 in a program that has no ASN.1 codec.
inline constexpr std::string_view Asn1NotAvailable = "Asn1NotAvailable";
// Left as the ASN.1 error word when a SIGNEDDATA element is met by an encoding given no builder.
inline constexpr std::string_view SignedDataUnavailable = "SignedDataUnavailable";
inline constexpr std::string_view SmallKey = "SmallKey";
inline constexpr std::string_view ContentUnrecognized = "ContentUnrecognized";
inline constexpr std::string_view SignatureUnrecognized = "SignatureUnrecognized";
inline constexpr std::string_view CryptError = "CryptError";
// The CMS builder's failing steps (crypto/UnitSignedData.h).
inline constexpr std::string_view LoadPfxFailed = "LoadPfxFailed";
inline constexpr std::string_view FindCertificateFailed = "FindCertificateFailed";
inline constexpr std::string_view MountCertificateChainFailed = "MountCertificateChainFailed";
inline constexpr std::string_view MessageDigestFailed = "MessageDigestFailed";
inline constexpr std::string_view EncodeAttributesFailed = "EncodeAttributesFailed";
inline constexpr std::string_view SignatureFailed = "SignatureFailed";

// The plugin framework and its actions ("Status" of a response).
inline constexpr std::string_view PluginNotFound = "PluginNotFound";
inline constexpr std::string_view PluginProcError = "PluginProcError";
inline constexpr std::string_view PluginProcInvalidResponse = "PluginProcInvalidResponse";
inline constexpr std::string_view FailedToCallPlugin = "FailedToCallPlugin";
inline constexpr std::string_view FailedToGetPluginResponse = "FailedToGetPluginResponse";
inline constexpr std::string_view WrongPluginResponse = "WrongPluginResponse";
inline constexpr std::string_view VersionNotSupported = "VersionNotSupported";
inline constexpr std::string_view InvalidParams = "InvalidParams";
inline constexpr std::string_view UnsupportedAlgorithm = "UnsupportedAlgorithm";

// The host's answers to the browser ("error" of an error answer) and its result words.
inline constexpr std::string_view CertificateNotSelected = "CertificateNotSelected";
inline constexpr std::string_view FailedToSelect = "FailedToSelect";
inline constexpr std::string_view FailedToLoad = "FailedToLoad";
inline constexpr std::string_view FailedToSign = "FailedToSign";
inline constexpr std::string_view FailedToSave = "FailedToSave";
inline constexpr std::string_view RequestTooLarge = "RequestTooLarge";
inline constexpr std::string_view ResponseTooLarge = "ResponseTooLarge";
inline constexpr std::string_view RequestIsNotAnObject = "RequestIsNotAnObject";
inline constexpr std::string_view InvalidAttributes = "InvalidAttributes";
inline constexpr std::string_view AttributeNotAllowed = "AttributeNotAllowed";
inline constexpr std::string_view VersionInfoUnreadable = "VersionInfoUnreadable";

// The SignedData verification report (crypto/UnitSignedDataReport.h).
inline constexpr std::string_view CmsStructureFailed = "CmsStructureFailed";
inline constexpr std::string_view CmsSignedDataStructureFailed = "CmsSignedDataStructureFailed";
inline constexpr std::string_view CmsSignerInfoStructureFailed = "CmsSignerInfoStructureFailed";
inline constexpr std::string_view CmsSignerInfoAttributeStructureFailed = "CmsSignerInfoAttributeStructureFailed";
inline constexpr std::string_view CmsSignedDataContentMissing = "CmsSignedDataContentMissing";
inline constexpr std::string_view SigningCertificateNotFound = "SigningCertificateNotFound";
inline constexpr std::string_view SignatureCheckConstraint = "SignatureCheckConstraint";
inline constexpr std::string_view CertificateSignatureCheckFailed = "CertificateSignatureCheckFailed";
inline constexpr std::string_view IncompleteCertificateChain = "IncompleteCertificateChain";
inline constexpr std::string_view RevocationUnverified = "RevocationUnverified";
inline constexpr std::string_view RevocationListNotFound = "RevocationListNotFound";
inline constexpr std::string_view RevocationListInvalid = "RevocationListInvalid";
inline constexpr std::string_view RevocationCheckFailed = "RevocationCheckFailed";
inline constexpr std::string_view CertificateRevocationPostConstraint = "CertificateRevocationPostConstraint";
inline constexpr std::string_view CertificateRevocationConstraint = "CertificateRevocationConstraint";
inline constexpr std::string_view CertificateRevocationOldCRL = "CertificateRevocationOldCRL";
inline constexpr std::string_view CertificateRevocationToleratedCRL = "CertificateRevocationToleratedCRL";
inline constexpr std::string_view RevocationListUnknown = "RevocationListUnknown";
inline constexpr std::string_view CertificateExpirationConstraint = "CertificateExpirationConstraint";
inline constexpr std::string_view MissingUsageNonRepudiation = "MissingUsageNonRepudiation";
inline constexpr std::string_view MissingUsageDigitalSignature = "MissingUsageDigitalSignature";
inline constexpr std::string_view MissingUsageExtendedTimeStamping = "MissingUsageExtendedTimeStamping";
inline constexpr std::string_view MissingUsageCAFlag = "MissingUsageCAFlag";
inline constexpr std::string_view InvalidPathLength = "InvalidPathLength";
inline constexpr std::string_view MissingUsageKeyCertSign = "MissingUsageKeyCertSign";
inline constexpr std::string_view MissingUsageCRLSign = "MissingUsageCRLSign";
inline constexpr std::string_view TimestampCheckConstraint = "TimestampCheckConstraint";
// A chain that ends in a self-issued certificate that is not among the trusted ones.
inline constexpr std::string_view UntrustedRoot = "UntrustedRoot";
// The content does not match the message digest or the content type of a signer.
inline constexpr std::string_view InvalidContent = "InvalidContent";

// The PDF signature: failures of the document's rewrite or its incremental update. The CMS
// builder reports them as its error word when a PAdES request fails inside the PDF layer.
inline constexpr std::string_view PdfStructureInvalid = "PdfStructureInvalid";
inline constexpr std::string_view PdfXrefStreamUnsupported = "PdfXrefStreamUnsupported";
inline constexpr std::string_view PdfMultipleSubsections = "PdfMultipleSubsections";
inline constexpr std::string_view PdfEncryptedUnsupported = "PdfEncryptedUnsupported";
inline constexpr std::string_view PdfCmsTooLarge = "PdfCmsTooLarge";
inline constexpr std::string_view PdfCmsFailed = "PdfCmsFailed";
inline constexpr std::string_view PdfDigestFailed = "PdfDigestFailed";
inline constexpr std::string_view PdfFileUnreadable = "PdfFileUnreadable";
// A signature field of the document already holds a signature: rewriting the document would
// break it (signing beside it needs an incremental update).
inline constexpr std::string_view PdfAlreadySigned = "PdfAlreadySigned";

// Time-stamps: the authority could not be asked or reached (network, timeout, HTTP status,
// a request that cannot be made), it refused (status other than granted), or its answer is
// wrong (not a time-stamp response, imprint, nonce, signature or TSA certificate).
inline constexpr std::string_view TimestampUnavailable = "TimestampUnavailable";
inline constexpr std::string_view TimestampRejected = "TimestampRejected";
inline constexpr std::string_view TimestampInvalid = "TimestampInvalid";

}  // namespace Words

// A failure that is one of the words above. `detail`, when given, is for the trace only.
class EStatusError : public std::runtime_error {
public:
    explicit EStatusError(std::string_view word)
        : std::runtime_error(std::string(word))
        , FWord(word)
    {
    }
    EStatusError(std::string_view word, const std::string& detail)
        : std::runtime_error(detail)
        , FWord(word)
    {
    }
    const std::string& Word() const noexcept { return FWord; }

private:
    std::string FWord;
};
