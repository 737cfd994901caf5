// The CMS SignedData builder behind the SIGNEDDATA element of the ASN.1 description: it reads
// the signing request from the element's attributes and returns the DER of a complete
// ContentInfo (detached or attached), or, for "Format" "PADES", the whole signed PDF.
#pragma once

#include "core/UnitStatusWords.h"
#include "core/UnitXmlDoc.h"
#include "platform/UnitHttp.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

namespace UnitSignedData {

// Error words left as the ASN.1 error word when a step fails (core/UnitStatusWords.h).
using Words::LoadPfxFailed;
using Words::FindCertificateFailed;
using Words::MountCertificateChainFailed;
using Words::MessageDigestFailed;
using Words::EncodeAttributesFailed;
using Words::SignatureFailed;

// Builds the signature for the request node (defaults are written back into it). No value on
// failure, with the error word set. The SIGNEDDATA builder of the library's ASN.1 encodings
// (crypto/UnitLibraryEncodings.h). A request with "TimestampURL" gets the time-stamp token of
// that authority over its signature value, asked through `http` ("TimestampPolicy",
// "TimestampHash", "TimestampUser", "TimestampPassword", "TimestampTimeout" in seconds); a
// stamp that cannot be had fails the signature with the word of crypto/UnitTimestamp.h.
std::optional<std::vector<uint8_t>> BuildSignedData(TXmlDoc& request, UnitHttp::THttpClient& http);

// What a build may take from outside the request node.
struct TSignedDataInputs {
    // The "Content" value when it stays in the text the request was read from (a document of
    // hundreds of megabytes is not copied into the node): hex when "Binary" is true, else
    // text. It replaces the node's own "Content" and must outlive the build.
    std::optional<std::string_view> Content;
    // Content holds the document's bytes themselves, not their hex.
    bool ContentIsBytes = false;
    // The signing time (signing-time attribute, the PDF's /M); the clock when not set.
    std::optional<std::time_t> SigningTime;
};
std::optional<std::vector<uint8_t>> BuildSignedDataWith(TXmlDoc& request, UnitHttp::THttpClient& http,
                                                        const TSignedDataInputs& inputs);

}  // namespace UnitSignedData
