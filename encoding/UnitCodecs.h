// The individual converters behind the encoding numbers: hex, hexbin2, base64, tes64, XML
// references, HTML entities, JSON and octal escapes, and zlib deflate/inflate in the single
// and chunked layouts. Markers are the dispatch's business (UnitEncoding); the functions here
// work on the text after the marker.
//
// Every decoder accepts any text: whatever the input, nothing is read or written outside the
// buffers involved. Characters a decoder does not expect are skipped, copied or counted as 0 as
// documented per function.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace UnitCodecs {

using TBytes = std::vector<uint8_t>;

// Base of the errors raised inside a codec.
class EEncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A damaged zlib stream, a wrong record length, or inflated output beyond the limit. The
// message is zlib's own ("data error", "incorrect header check", "buffer error", ...).
class EZlibError : public EEncodingError {
public:
    using EEncodingError::EEncodingError;
};

// A number that does not read as one (the tes64 pad digit).
class EConvertError : public EEncodingError {
public:
    using EEncodingError::EEncodingError;
};

// Input bytes per record of the chunked compressed form.
inline constexpr size_t kChunkSize = 1048576;

// Inflating never produces more than this many bytes for one decode (all records of a chunked
// form together). Past it the decode fails with EZlibError("inflated data exceeds limit"), so a
// small crafted stream (a "decompression bomb", zlib expands up to about 1032:1) cannot take
// unbounded memory. 1 GiB is far above any document the system signs.
inline constexpr size_t kMaxInflatedSize = size_t(1) << 30;

// A budget of inflated bytes shared by every inflation made on this thread while it lives, for
// work that decodes many values (the XML reader opens one per document: a document of many
// small compressed values, each inflating to the per-decode limit, would otherwise take that
// limit many times over). Past it an inflation fails as past its own limit. Only the
// outermost budget counts; one opened inside it changes nothing.
class TInflateBudget {
public:
    explicit TInflateBudget(size_t bytes = kMaxInflatedSize);
    ~TInflateBudget();
    TInflateBudget(const TInflateBudget&) = delete;
    TInflateBudget& operator=(const TInflateBudget&) = delete;
    // Bytes still allowed (SIZE_MAX when no budget is open).
    static size_t Left();
    // Counts bytes produced against the open budget, if any.
    static void Spend(size_t bytes);

private:
    bool FActive = false;
};

// Views of the same bytes as text and as bytes (no copy).
inline std::string_view AsText(std::span<const uint8_t> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}
inline std::span<const uint8_t> AsBytes(std::string_view text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Appends the UTF-8 form of one code point (at most 0x10FFFF; callers filter what they refuse).
void AppendUtf8(std::string& out, uint32_t codePoint);

// The hex digits of the whole system: the two upper-case digits of every byte value, and the
// value of every character that is a digit of either case (kNotHexDigit for the rest).
inline constexpr uint8_t kNotHexDigit = 0xFF;
struct THexTables {
    std::array<char, 512> pairs{};
    std::array<uint8_t, 256> values{};
    constexpr THexTables()
    {
        constexpr char digits[] = "0123456789ABCDEF";
        for (size_t i = 0; i < 256; ++i) {
            pairs[2 * i] = digits[i >> 4];
            pairs[2 * i + 1] = digits[i & 15];
            values[i] = kNotHexDigit;
        }
        for (uint8_t d = 0; d < 16; ++d) {
            values[static_cast<uint8_t>(digits[d])] = d;
            if (d >= 10)
                values[static_cast<uint8_t>(digits[d] - 'A' + 'a')] = d;
        }
    }
};
inline constexpr THexTables kHex;

// The two digits of a byte, high nibble first.
constexpr std::string_view HexPair(uint8_t b)
{
    return {&kHex.pairs[2 * size_t{b}], 2};
}
// 0-15 for a digit of either case, kNotHexDigit for any other character.
constexpr uint8_t HexDigitValue(char c)
{
    return kHex.values[static_cast<uint8_t>(c)];
}

// Whether every character is a hex digit of either case (true for the empty text).
constexpr bool IsHexText(std::string_view text)
{
    for (const char c : text)
        if (HexDigitValue(c) == kNotHexDigit)
            return false;
    return true;
}

// Hex: two upper-case digits per byte, high nibble first, no separators.
// The encoders below write `prefix` (a marker) first, so the text is allocated once.
std::string HexEncode(std::span<const uint8_t> bytes, std::string_view prefix = {});
// Pairs of characters to bytes; a final odd character is ignored. "0"-"9", "A"-"F" and also
// "a"-"f" are digits; any other character counts as 0.
TBytes HexDecode(std::string_view text);
// Only hex digits (either case) count; every other character is dropped first.
TBytes HexDecodeLenient(std::string_view text);
// Strict: no value (false, out emptied) for an odd length or any character that is not a hex
// digit of either case. For digests, signatures, key and certificate texts: a stray character
// refuses the text rather than turning it into other bytes that are then signed or checked.
std::optional<TBytes> HexDecodeStrict(std::string_view text);
bool HexDecodeStrict(std::string_view text, TBytes& out);

// hexbin2 (without its marker): NUL, TAB, LF, CR, '"' and '#' written as "#" plus two hex
// digits, every other byte as itself.
std::string Hexbin2Encode(std::span<const uint8_t> bytes, std::string_view prefix = {});
// "#" and the next two characters give one byte (non-digits count as 0; a "#" with fewer than
// two characters after it is copied with them); any other character is itself.
TBytes Hexbin2Decode(std::string_view text);

// Standard base64 with "=" padding. With `lines`, CR LF after every 76 characters when more
// follow (never at the end).
std::string Base64Encode(std::span<const uint8_t> bytes, bool lines, std::string_view prefix = {});
// Lenient: characters outside the alphabet and "=" are skipped wherever they stand; every four
// significant characters give three bytes; then one byte comes off for each "=" among the last
// two significant characters. A final group of 2 or 3 characters gives 1 or 2 bytes.
TBytes Base64Decode(std::string_view text);

// tes64 (with its marker "tes64:" + pad digit + "/"): base64 bit order over the alphabet
// '0' (48) to 'o' (111), the last group filled with zero bytes, no "=". Empty input gives "".
std::string Tes64Encode(std::span<const uint8_t> bytes);
// `body` is the text after "tes64:". Its first character is the pad digit (EConvertError when
// it is not a decimal digit; 3 is taken as 0); everything up to and including the first "/" is
// removed; nothing left gives no result.
std::optional<TBytes> Tes64Decode(std::string_view body);

// XML character references: bytes outside the pass-through set become "&#xHH;".
std::string XmlEncode(std::string_view text);
// Reads up to the first NUL: "&#..;" numeric (decimal, hex after an "x"), "&&" for "&",
// "&name;" for lt/gt/amp/apos/quot (any case, unknown names give a space). An "&" without a
// closing ";" is copied as it is.
std::string XmlDecode(std::string_view text);

// Windows-1252 lower-case accented letters to HTML entities, LF to "<br/>", CR removed.
std::string HtmlEncode(std::string_view text);
// The entities (any case) and "<br/>" back to their bytes, row by row.
std::string HtmlDecode(std::string_view text);

// JSON string escapes of backslash, '"', '/', TAB, LF, CR.
std::string JsonEncode(std::string_view text);
// Whole-text replacements in a fixed order, then "\uXXXX" to its low 8 bits (nothing when 0).
// Meant for short texts: the "\u" pass is quadratic in the number of distinct escapes.
std::string JsonDecode(std::string_view text);

// Octal escapes of NUL, TAB, LF, CR, apostrophe and backslash. Encode only.
std::string OctalEncode(std::string_view text);

// The whole input as one zlib stream (RFC 1950) at `level` (-1 is zlib's default, 6).
TBytes Deflate(std::span<const uint8_t> bytes, int level = -1);
// Inflates one zlib stream and appends it to `out`; bytes after the end of the stream are
// ignored. Raises EZlibError for a damaged or truncated stream, or when `out` would grow past
// `limit` bytes.
void Inflate(std::span<const uint8_t> data, TBytes& out, size_t limit = kMaxInflatedSize);

// Records of (4-byte little-endian length, zlib stream at level 9) over pieces of kChunkSize.
TBytes ChunkedDeflate(std::span<const uint8_t> bytes);
// Walks the records; a length that is negative or runs past the data raises EZlibError.
TBytes ChunkedInflate(std::span<const uint8_t> records, size_t limit = kMaxInflatedSize);

}  // namespace UnitCodecs
