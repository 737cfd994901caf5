// Failure words of the PDF signature rewrite. They are data: the CMS builder reports them as
// its error word when a PAdES request fails inside the PDF layer.
#pragma once

#include <string_view>

namespace Words {

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

}  // namespace Words
