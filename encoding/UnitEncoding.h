// The numbered encodings between bytes and text, and their dispatch.
//
// Text is 8-bit (std::string, one byte per character); bytes are TBytes. A decoder that finds
// no marker, or nothing after it, gives "no result" (an empty optional), which is distinct
// from an empty byte vector.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UnitEncoding {

using TBytes = std::vector<uint8_t>;

// Bytes to text with encoding number `number` (0 to 21); unknown numbers give "".
std::string EncodeBytes(std::span<const uint8_t> bytes, int number);

// Text to bytes; std::nullopt is "no result". Errors inside a codec (a damaged zlib stream,
// a bad pad digit) are raised as exceptions derived from std::runtime_error.
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

}  // namespace UnitEncoding
