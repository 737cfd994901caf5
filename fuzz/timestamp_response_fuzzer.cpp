// Arbitrary bytes as a time-stamp authority's answer: the checks give a word or a token, never
// a crash or a hang. The request is fixed (SHA-256 of 01 02 03, certReq, a known nonce) and
// the seed "granted" is the test TSA's answer to it, so the paths behind the parse (status,
// token, signer certificate, imprint, nonce and signature) are all reached.
#include "crypto/UnitTimestamp.h"
#include "encoding/UnitCodecs.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<uint8_t> request = UnitCodecs::HexDecode(
        "30440201013031300d060960864801650304020105000420039058c6f2c0cb492c533b0a4d14ef77cc0f78abccced5287d84a1a2"
        "011cfb81020900a05465dc15101e9a0101ff");
    const auto result = UnitTimestamp::CheckResponse(std::span<const uint8_t>(data, size), request);
    if (result.Word.empty() && result.Token.empty())
        __builtin_trap();  // a good answer always carries its token
    return 0;
}
