// DER bytes to the XML tree and back. Checks, for any input:
//  - decoding never crashes, and the tree's XML text can be written and read again;
//  - the re-encoding of the tree decodes to the same tree (the canonical form is stable);
//  - the tree read back from its XML text encodes to the same bytes as the tree itself;
//  - when the input is exactly one well-formed definite-length DER element (minimal lengths,
//    constructed contents made of whole elements), the re-encoding is the input itself.
#include "core/UnitXmlDoc.h"
#include "crypto/UnitAsn1.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace {

// Must match the decoder's depth limit: below it, contents are kept as hex and not checked.
constexpr int DecoderDepthLimit = 256;

// True when `in` starts with one strict DER element; `size` receives its size.
bool StrictElement(std::span<const uint8_t> in, int depth, size_t& size)
{
    if (in.size() < 2)
        return false;
    const uint8_t identifier = in[0];
    size_t pos = 2;
    size_t length = in[1];
    if (in[1] == 0x80)
        return false;  // indefinite length: re-encoded with a definite one
    if (in[1] > 0x80) {
        const size_t n = in[1] & 0x7F;
        if (n > 4 || in.size() < 2 + n || in[2] == 0)
            return false;
        length = 0;
        for (size_t i = 0; i < n; ++i)
            length = (length << 8) | in[2 + i];
        if (length < 128)
            return false;  // long form where the short one fits
        pos += n;
    }
    if (in.size() - pos < length)
        return false;
    size = pos + length;
    if ((identifier & 0x20) && depth < DecoderDepthLimit) {
        std::span<const uint8_t> content = in.subspan(pos, length);
        while (!content.empty()) {
            size_t child = 0;
            if (!StrictElement(content, depth + 1, child))
                return false;
            content = content.subspan(child);
        }
    }
    return true;
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "asn1 round trip: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> input(data, size);
    TXmlDoc tree;
    if (UnitAsn1::DecodeIntoNode(tree, input) == 0)
        return 0;
    const std::string xml = tree.GetXML();

    const auto encoded = UnitAsn1::EncodeNode(tree);
    if (!encoded)
        Fail("a decoded tree does not encode");

    TXmlDoc again;
    if (UnitAsn1::DecodeIntoNode(again, *encoded) == 0 || again.GetXML() != xml)
        Fail("the re-encoding does not decode to the same tree");

    TXmlDoc fromText;
    fromText.SetXML(xml);
    const auto fromTextEncoded = UnitAsn1::EncodeNode(fromText);
    if (!fromTextEncoded || *fromTextEncoded != *encoded)
        Fail("the tree read from its XML text encodes differently");

    size_t elementSize = 0;
    if (StrictElement(input, 0, elementSize) && elementSize == size
        && !std::equal(encoded->begin(), encoded->end(), input.begin(), input.end()))
        Fail("a DER element does not encode back to its own bytes");
    return 0;
}
