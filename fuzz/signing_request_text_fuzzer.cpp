// The cut of a signing request's Content out of its text. Checks, for any input:
//  - the split never crashes;
//  - when it splits, the view lies inside the input, and the rest with the value put back
//    where it was cut is the input itself;
//  - the rest holds the attribute as the reader will find it: Content="" (or '').
#include "crypto/UnitSigningRequestText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string xml(reinterpret_cast<const char*>(data), size);
    const auto split = UnitSigningRequestText::SplitContent(xml);
    if (!split)
        return 0;
    const char* begin = split->Content.data();
    if (begin < xml.data() || begin + split->Content.size() > xml.data() + xml.size())
        std::abort();
    const size_t at = static_cast<size_t>(begin - xml.data());
    if (split->Rest.size() + split->Content.size() != xml.size())
        std::abort();
    std::string joined = split->Rest;
    joined.insert(at, split->Content);
    if (joined != xml)
        std::abort();
    if (at == 0 || (xml[at - 1] != '"' && xml[at - 1] != '\'') || split->Rest[at] != xml[at - 1])
        std::abort();
    if (split->Content.find('&') != std::string_view::npos)
        std::abort();
    return 0;
}
