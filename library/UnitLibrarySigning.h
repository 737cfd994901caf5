// Decoding 14 of a signing request whose document is large: the request's "Content" hex is
// held in the text buffer as the document's bytes (UnitLibraryBuffers::TTextBuffer), and the CMS
// builder digests, embeds or signs the PDF from those bytes. The document is then in memory once
// as text (as bytes) and once in the result.
#pragma once

#include "library/UnitLibraryBuffers.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace UnitLibrarySigning {

// Hex digits of "Content" from which a request takes this road; smaller ones are read as text.
inline constexpr size_t HeldContent = size_t{1} << 20;

// The result of decoding 14 of the text (the DER, or no value on failure, with the conversion
// status set as every ASN.1 conversion sets it), or nothing when the text is no such request
// (it is then decoded as any text is).
std::optional<std::optional<std::vector<uint8_t>>> DecodeSigningRequest(UnitLibraryBuffers::TTextBuffer& text);

}  // namespace UnitLibrarySigning
