// ASN.1 DER and its XML description: every DER structure the system writes is first an XML
// tree whose element names are ASN.1 types, and every DER structure it reads becomes one.
//
// Element names: ENTITY (or a decimal identifier octet), NULL, BINARY, BOOLEAN, INTEGER,
// OCTETSTRING, PRINTABLESTRING, BITSTRING, UTF8STRING, IA5STRING, NUMERICSTRING, UTCTIME,
// GENTIME, OID, SEQUENCE, SET, CONTEXT, OBJECT, SIGNEDDATA (any letter case when encoding).
// Properties: "Value", "Binary", "Tag", "Unused", "Original", "Zulu", "ID", "Type".
#pragma once

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
// builder). On failure it returns no value and leaves its error word (UnitEncoding).
using TEntityBuilder = std::function<std::optional<TBytes>(TXmlDoc& node)>;
void SetSignedDataBuilder(TEntityBuilder builder);

// The error word left while no SIGNEDDATA builder is installed.
inline constexpr std::string_view SignedDataUnavailable = "SignedDataUnavailable";

// Encodes the node as one DER element. No value when a name is unknown or a builder failed.
// Any "__asn1__" property is removed from the whole tree afterwards, whatever the outcome.
std::optional<TBytes> EncodeNode(TXmlDoc& node);
// The same as upper-case hex; "" on failure.
bool EncodeNodeHex(TXmlDoc& node, std::string& hex);

// Decodes the first element of `der` into the node (renamed and filled); returns the number of
// elements created, the node included, 0 when nothing could be decoded. Never throws.
int DecodeIntoNode(TXmlDoc& node, std::span<const uint8_t> der);
int DecodeHexIntoNode(TXmlDoc& node, std::string_view hex);

// The tree's own DER operations: the node itself, or its children one after another.
bool SaveToDerHex(TXmlDoc& node, std::string& hex, bool children = false);
int LoadFromDerHex(TXmlDoc& node, std::string_view hex);

// Certificates as DER hex from base64 text, a file (path macros expanded) or hex/PEM text.
std::string CertificateFromBase64(std::string_view base64);
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

// Plugs numbers 13 and 14 of the encoding layer into this codec.
void RegisterEncodings();

}  // namespace UnitAsn1
