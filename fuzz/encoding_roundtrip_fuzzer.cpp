// Encoding then decoding gives the same bytes back, for every number that works both ways.
// Input: byte 0 picks the number, the rest are the bytes.
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static constexpr int kNumbers[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 15, 17, 18};
    if (size < 1)
        return 0;
    const int number = kNumbers[data[0] % std::size(kNumbers)];
    const std::span<const uint8_t> bytes(data + 1, size - 1);
    const std::string text = UnitEncoding::EncodeBytes(bytes, number);
    const auto back = UnitEncoding::DecodeText(text, number);
    // Marked forms of empty input are no result, or an empty stream: both mean "nothing".
    const bool same = back ? std::equal(back->begin(), back->end(), bytes.begin(), bytes.end()) : bytes.empty();
    if (!same) {
        std::fprintf(stderr, "number %d does not give its bytes back\n", number);
        std::abort();
    }
    // The strict hex decoder: the encoder's text comes back whole; the raw input is taken only
    // when it is all hex pairs, and then reads as the ordinary decoder reads it.
    const auto strict = UnitCodecs::HexDecodeStrict(UnitCodecs::HexEncode(bytes));
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const auto rawStrict = UnitCodecs::HexDecodeStrict(raw);
    const bool allHex = raw.size() % 2 == 0 && UnitCodecs::IsHexText(raw);
    if (!strict || !std::equal(strict->begin(), strict->end(), bytes.begin(), bytes.end()) ||
        rawStrict.has_value() != allHex || (rawStrict && *rawStrict != UnitCodecs::HexDecode(raw))) {
        std::fprintf(stderr, "the strict hex decoder disagrees\n");
        std::abort();
    }
    return 0;
}
