// The numbered encodings between bytes and text, and their dispatch.
//
// Text is 8-bit (std::string, one byte per character); bytes are TBytes. A decoder that finds
// no marker, or nothing after it, gives "no result" (an empty optional), which is distinct
// from an empty byte vector.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace UnitEncoding {

using TBytes = std::vector<uint8_t>;

// The encoding numbers by name. The operations take any int (the exports pass the caller's
// number through: numbers outside 0 to 21 encode to "" and decode to no result); code that
// names an encoding uses these.
enum class TEncodingNumber : int {
    Automatic = 0,  // encodes as Hexbin2; decodes any marked form, recognised by its marker
    Tes64 = 1,  // "tes64:" + pad digit + "/" + 6-bit text
    Hexbin = 2,  // "hexbin:/" + upper-case hex
    Xml = 3,  // XML character references
    ZipChunked = 4,  // "zip:/" + Hexbin of the chunked compressed bytes
    ZhbChunked = 5,  // "zhb:/" + Hexbin2 of the chunked compressed bytes
    Hexbin2 = 6,  // "hexbin2:/" + bytes with #-escapes
    Base64 = 7,  // base64 without marker, CR LF after every 76 characters
    Mime64 = 8,  // "mime64:/" + base64 on one line
    DeflatedBase64 = 9,  // Base64 of the deflated bytes
    Zm = 10,  // "zm:/" + Mime64 of the deflated bytes
    Z113hb = 11,  // "z113hb:/" + Hexbin2 of the deflated bytes
    Hex = 12,  // upper-case hex without marker
    Asn1Marked = 13,  // "asn1:/" + XML description of the DER bytes
    Asn1Xml = 14,  // XML description of the DER bytes
    HexLenient = 15,  // encodes as Hex; decoding drops what is not a hex digit
    Plugin = 16,  // XML response of the plugin request held in the bytes (encode only)
    Zh = 17,  // "zh:/" + Hexbin of the deflated bytes
    DeflatedHex = 18,  // Hex of the deflated bytes
    Html = 19,  // HTML entities for accented letters and line ends
    Json = 20,  // JSON string escapes
    Octal = 21,  // octal backslash escapes (encode only)
};

constexpr int Number(TEncodingNumber number) { return static_cast<int>(number); }

// Bytes to text with encoding number `number` (0 to 21); unknown numbers give "".
std::string EncodeBytes(std::span<const uint8_t> bytes, int number);

// Text to bytes; std::nullopt is "no result". Errors inside a codec (a damaged zlib stream,
// a bad pad digit) are raised as exceptions derived from std::runtime_error.
// The compressed forms inflate at most UnitCodecs::kMaxInflatedSize (1 GiB) per decode and
// raise UnitCodecs::EZlibError beyond it; compressed forms nested more than 32 deep give no
// result.
std::optional<TBytes> DecodeText(std::string_view text, int number);

// The text's bytes encoded; the decoded bytes as text ("" for no result).
std::string EncodeText(std::string_view text, int number);
std::string DecodeTextToText(std::string_view text, int number);

// Decode with `from`, encode with `to`; equal numbers return the text unchanged.
std::string Transcode(std::string_view text, int from, int to);

// Encode or decode by selector name ("xml", "hexbin", "zm", "mime64", "tes64", "html",
// "json", any case); other names return the text unchanged. Decoding never throws: a
// codec error gives "".
std::string ConvertByName(std::string_view text, std::string_view name, bool encode);

// ---- Dispatch tables ----
//
// A table says which numbers a program knows and how the numbers implemented above this
// folder (13 and 14, ASN.1 as XML; 16, plugin requests) are done. Each table is an object handed
// to the operations; there is no process-wide switch.
//
// - TEncodingTable::Codecs(): every number this folder implements by itself. 13 and 14 fail
//   like a rejected ASN.1 conversion (error word "Asn1NotAvailable"), 16 encodes to "". The
//   operations without a table argument use it.
// - TEncodingTable::Host(): the host program's narrower table, numbers 0, 1, 2, 3, 6, 7, 8, 12,
//   15, 19, 20 and 21; its recognition (number 0) tries only "hexbin:/", "hexbin2:/",
//   "mime64:/" and "tes64:"; its convert-by-name maps "zm" to number 0. Other numbers encode
//   to "" and decode to no result there.
// - A table built from TUpperNumbers: the codecs plus the numbers above this folder; the
//   library's own is crypto/UnitLibraryEncodings.h.

// The numbers implemented above this folder.
struct TUpperNumbers {
    // DER bytes to the XML text of their description; no value when the decoder found no
    // element (it leaves its error word).
    std::function<std::optional<std::string>(std::span<const uint8_t> der)> DerToXml;
    // XML description text to DER bytes; no value on failure (error word left).
    std::function<std::optional<TBytes>(std::string_view xml)> XmlToDer;
    // Runs the plugin request whose XML text is given and returns the XML text of its
    // "Response" node, or no value when the request did not succeed.
    std::function<std::optional<std::string>(std::string_view request)> Plugin;
};

class TEncodingTable {
public:
    static const TEncodingTable& Codecs();
    static const TEncodingTable& Host();
    explicit TEncodingTable(TUpperNumbers upper) : FUpper(std::move(upper)) {}

    bool IsHost() const { return FHost; }
    const TUpperNumbers& Upper() const { return FUpper; }

private:
    struct THostTag {};
    explicit TEncodingTable(THostTag) : FHost(true) {}
    TEncodingTable() = default;
    bool FHost = false;
    TUpperNumbers FUpper;
};

// The same operations with an explicit table.
std::string EncodeBytes(std::span<const uint8_t> bytes, int number, const TEncodingTable& table);
std::optional<TBytes> DecodeText(std::string_view text, int number, const TEncodingTable& table);
std::string ConvertByName(std::string_view text, std::string_view name, bool encode, const TEncodingTable& table);
std::string Transcode(std::string_view text, int from, int to, const TEncodingTable& table);

// Decode into the caller's target: when the decoder gives no result (no marker, or nothing after
// it) the target comes back unchanged; otherwise the decoded bytes replace its content.
std::optional<TBytes> DecodeInto(std::string_view text, int number, std::optional<TBytes> target);
std::optional<TBytes> DecodeInto(std::string_view text, int number, std::optional<TBytes> target,
                                 const TEncodingTable& table);

// The operations above with the encoding named.
inline std::string EncodeBytes(std::span<const uint8_t> bytes, TEncodingNumber number) { return EncodeBytes(bytes, Number(number)); }
inline std::string EncodeBytes(std::span<const uint8_t> bytes, TEncodingNumber number, const TEncodingTable& table) { return EncodeBytes(bytes, Number(number), table); }
inline std::optional<TBytes> DecodeText(std::string_view text, TEncodingNumber number) { return DecodeText(text, Number(number)); }
inline std::optional<TBytes> DecodeText(std::string_view text, TEncodingNumber number, const TEncodingTable& table) { return DecodeText(text, Number(number), table); }
inline std::string EncodeText(std::string_view text, TEncodingNumber number) { return EncodeText(text, Number(number)); }
inline std::string DecodeTextToText(std::string_view text, TEncodingNumber number) { return DecodeTextToText(text, Number(number)); }
inline std::string Transcode(std::string_view text, TEncodingNumber from, TEncodingNumber to) { return Transcode(text, Number(from), Number(to)); }
inline std::string Transcode(std::string_view text, TEncodingNumber from, TEncodingNumber to, const TEncodingTable& table) { return Transcode(text, Number(from), Number(to), table); }
inline std::optional<TBytes> DecodeInto(std::string_view text, TEncodingNumber number, std::optional<TBytes> target) { return DecodeInto(text, Number(number), std::move(target)); }
inline std::optional<TBytes> DecodeInto(std::string_view text, TEncodingNumber number, std::optional<TBytes> target, const TEncodingTable& table) { return DecodeInto(text, Number(number), std::move(target), table); }

// ---- Conversion status and ASN.1 error word ----
//
// Process-wide texts, both empty at start. Only the ASN.1 numbers (13, 14) write the status:
// "OK" after a successful conversion, otherwise the error word. The error word is cleared at the
// start of each ASN.1 conversion and set by the ASN.1 code (encoder, decoder, entity builders)
// when it fails.
const std::string& ConversionStatus();
void SetConversionStatus(std::string status);
const std::string& Asn1ErrorWord();
void SetAsn1ErrorWord(std::string word);

}  // namespace UnitEncoding
