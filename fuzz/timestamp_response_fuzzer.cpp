// Arbitrary bytes as a time-stamp authority's answer: the checks give a word or a token, never
// a crash or a hang. The request is one made by the library itself, so every path behind the
// parse (status, token, signer certificate, imprint and nonce comparison) can be reached.
#include "crypto/UnitTimestamp.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<uint8_t> request = [] {
        UnitTimestamp::TTimestampOptions options;
        options.Url = "http://127.0.0.1/";
        const uint8_t value[] = {1, 2, 3};
        return UnitTimestamp::MakeRequest(value, options).Der;
    }();
    const auto result = UnitTimestamp::CheckResponse(std::span<const uint8_t>(data, size), request);
    if (result.Word.empty() && result.Token.empty())
        __builtin_trap();  // a good answer always carries its token
    return 0;
}
