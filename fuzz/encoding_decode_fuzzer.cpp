// Every decoder of the encoding layer on arbitrary text. Input: byte 0 picks the number (23 and
// up wrap, with a few out-of-range values), byte 1 picks the table, a target and convert-by-name;
// the rest is the text. Codec errors are expected; anything else (a crash, a sanitizer report,
// another exception) is a finding.
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    int number = data[0] % 25;
    if (number == 22)
        number = -1;
    const uint8_t flags = data[1];
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
    const auto& table = (flags & 1) ? UnitEncoding::TEncodingTable::Host() : UnitEncoding::TEncodingTable::Codecs();

    try {
        std::optional<UnitEncoding::TBytes> target;
        if (flags & 2)
            target.emplace(size_t(flags >> 4), uint8_t(0xEE));
        const auto result = UnitEncoding::DecodeInto(text, number, target, table);
        if (result && !result->empty()) {
            // Bytes that came out encode again without trouble.
            (void)UnitEncoding::EncodeBytes(*result, number, table);
        }
    } catch (const UnitCodecs::EEncodingError&) {
    }

    if (flags & 4) {
        static constexpr std::string_view kNames[] = {"xml", "hexbin", "zm", "mime64", "tes64", "html", "json", "other"};
        const std::string_view name = kNames[(flags >> 3) & 7];
        // Convert by name never raises while decoding.
        (void)UnitEncoding::ConvertByName(text, name, false, table);
    }
    return 0;
}
