// ASN.1 DER and its XML description: every DER structure the system writes is first an XML
// tree whose element names are ASN.1 types, and every DER structure it reads becomes one.
//
// Element names: ENTITY (or a decimal identifier octet), NULL, BINARY, BOOLEAN, INTEGER,
// OCTETSTRING, PRINTABLESTRING, BITSTRING, UTF8STRING, IA5STRING, NUMERICSTRING, UTCTIME,
// GENTIME, OID, SEQUENCE, SET, CONTEXT, OBJECT, SIGNEDDATA (any letter case when encoding).
// Properties: "Value", "Binary", "Tag", "Unused", "Original", "Zulu", "ID", "Type".
#pragma once

#include "core/UnitStatusWords.h"
#include "core/UnitXmlDoc.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UnitAsn1 {

using TBytes = std::vector<uint8_t>;

// Builds the bytes of an element that stands for a whole structure (SIGNEDDATA: the CMS
// builder of crypto/UnitSignedData.h). On failure it returns no value and leaves its error
// word (UnitEncoding). The encoder is given it by its caller.
using TEntityBuilder = std::function<std::optional<TBytes>(TXmlDoc& node)>;

// The error word left when a SIGNEDDATA element is met by an encoding given no builder.
using Words::SignedDataUnavailable;

// Encodes the node as one DER element. No value when a name is unknown or a builder failed.
// Any "__asn1__" property is removed from the whole tree afterwards, whatever the outcome.
// Without a builder a SIGNEDDATA element fails with SignedDataUnavailable.
std::optional<TBytes> EncodeNode(TXmlDoc& node);
std::optional<TBytes> EncodeNode(TXmlDoc& node, const TEntityBuilder& signedData);
// A string element whose content is kept outside the tree: the encoder writes Value in place
// of the node's "Value" property (hex when the node's "Binary" is true). A document being
// signed stays where it was read, and is written straight into the DER.
struct TOuterValue {
    const TXmlDoc* Node = nullptr;
    std::string_view Value;
    bool Bytes = false;  // Value holds the content bytes themselves, whatever "Binary" says
};
std::optional<TBytes> EncodeNode(TXmlDoc& node, const TEntityBuilder& signedData, std::span<const TOuterValue> outer);
// The same as upper-case hex; "" on failure.
bool EncodeNodeHex(TXmlDoc& node, std::string& hex, const TEntityBuilder& signedData = {});

// Decodes the first element of `der` into the node (renamed and filled); returns the number of
// elements created, the node included, 0 when nothing could be decoded (the node is then left
// as it was). What the node held before (value, properties, children) is dropped first, so a
// re-encoding gives back exactly the decoded bytes. Never throws.
int DecodeIntoNode(TXmlDoc& node, std::span<const uint8_t> der);
int DecodeHexIntoNode(TXmlDoc& node, std::string_view hex);

// The tree's own DER operations: the node itself, or its children one after another. On
// failure hex is left empty (never the part before the failing child).
bool SaveToDerHex(TXmlDoc& node, std::string& hex, bool children = false);
int LoadFromDerHex(TXmlDoc& node, std::string_view hex);

// Certificates as DER hex from base64 text, a file (path macros expanded) or hex/PEM text.
// Base64: the decoded bytes are the certificate, DER or PEM text (a base64 PEM file);
// anything else gives "". A file is read only when it is a regular file of at most
// MaxCertificateFile bytes.
std::string CertificateFromBase64(std::string_view base64);
inline constexpr uint64_t MaxCertificateFile = 1u << 20;
std::optional<std::string> CertificateFromFile(const std::string& fileName);
std::string CertificateFromText(std::string_view text);
// The first PEM block's body as hex ("" when there is none).
std::string PemToHex(std::string_view pem);

// Key usage bit names in bit order 0 to 8.
const std::vector<std::string>& KeyUsageNames();
// Adds to target one child per set bit among bits 0..highest of the BIT STRING in derHex.
void BitStringToFlagNames(std::string_view derHex, const std::vector<std::string>& names, int highest,
                          TXmlDoc& target);
// The hex of a BITSTRING element whose bit i is set when source has a child named names[i].
std::string FlagNamesToBitString(const std::vector<std::string>& names, TXmlDoc& source, int highest);

// Text (UTF-8) to the hex of its UTF-16LE form, and UTF-16 hex back to UTF-8 text (big-endian
// unless the bytes begin with the little-endian mark).
std::string TextToUtf16Hex(std::string_view text);
std::string Utf16HexToText(std::string_view hex);

// The time text form ("YYYY-MM-DD hh:mm:ss.fff", local time) from and to UTC fields.
struct TUtcTime {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
};
std::string UtcToLocalText(const TUtcTime& utc);
// Reads the time text; local unless `zulu` or the text holds "Z" after the time.
TUtcTime TextToUtc(std::string_view text, bool zulu);

// Numbers 14 (and 13 after its marker) of the encoding layer: DER to the XML text of its
// description (no value when nothing decodes), and XML text to DER through the encoder with
// the given SIGNEDDATA builder.
std::optional<std::string> DerToXml(std::span<const uint8_t> der);
std::optional<TBytes> XmlToDer(std::string_view xml, const TEntityBuilder& signedData);

}  // namespace UnitAsn1
