// Arbitrary bytes split into a template and an input (at the first zero byte; without one the
// bytes are the template over a fixed input). Runs under tight limits: no crash, no hang.
#include "xmllang/UnitXmlConversion.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 16384)
        return 0;
    const char* bytes = reinterpret_cast<const char*>(data);
    const void* zero = size ? std::memchr(bytes, 0, size) : nullptr;
    std::string templ, input;
    if (zero) {
        const size_t at = static_cast<size_t>(static_cast<const char*>(zero) - bytes);
        templ.assign(bytes, at);
        input.assign(bytes + at + 1, size - at - 1);
    } else {
        templ.assign(bytes, size);
        input = "<r><Item n='1'><Type>A</Type></Item><Item n='2'><Type>B</Type></Item></r>";
    }
    TXmlConversionLimits limits;
    limits.MaxSteps = 20000;
    limits.MaxDepth = 100;
    limits.MaxLoopRounds = 500;
    limits.MaxOutputSize = 1 << 18;
    limits.MaxCreatedNodes = 20000;
    TXmlConversion conversion({}, limits);
    conversion.SetImportHook([](const std::string& from, std::string& text) {
        text = "<xc:Text>" + from + "</xc:Text>";
        return from.size() < 64;
    });
    conversion.SetCallHook([](TXmlDoc* node) { return node == nullptr; });
    std::string out;
    conversion.Convert(input, templ, out);
    return 0;
}
