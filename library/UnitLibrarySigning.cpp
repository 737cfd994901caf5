#include "library/UnitLibrarySigning.h"

#include "core/UnitXmlDoc.h"
#include "crypto/UnitLibraryEncodings.h"
#include "crypto/UnitSigningRequestText.h"
#include "encoding/UnitEncoding.h"

namespace UnitLibrarySigning {

std::optional<std::optional<std::vector<uint8_t>>> DecodeSigningRequest(UnitLibraryBuffers::TTextBuffer& text)
{
    auto held = text.Held();
    if (!held) {
        const std::string_view whole = text.Text();
        const auto split = UnitSigningRequestText::SplitContent(whole);
        if (!split || split->Content.size() < HeldContent)
            return std::nullopt;
        // Only binary content is held as bytes: text content is the characters themselves.
        TXmlDoc probe;
        probe.SetXML(split->Rest);
        const TXmlDoc* binary = probe.FindProperty("Binary");
        if (!binary || !binary->GetAsBool())
            return std::nullopt;
        const auto start = static_cast<size_t>(split->Content.data() - whole.data());
        if (!text.HoldAsBytes(start, start + split->Content.size()))
            return std::nullopt;
        held = text.Held();
    }
    std::string rest;
    rest.reserve(held->Before.size() + held->After.size());
    rest.append(held->Before);
    rest.append(held->After);
    TXmlDoc request;
    request.SetXML(rest);
    UnitSignedData::TSignedDataInputs inputs;
    inputs.Content = std::string_view(reinterpret_cast<const char*>(held->Bytes.data()), held->Bytes.size());
    inputs.ContentIsBytes = true;
    // The status as every ASN.1 conversion leaves it.
    UnitEncoding::SetAsn1ErrorWord({});
    auto der = UnitSigningRequestText::RequestToDer(request, UnitLibraryEncodings::Http(), inputs);
    UnitEncoding::SetConversionStatus(der ? std::string("OK") : UnitEncoding::Asn1ErrorWord());
    return der;
}

}  // namespace UnitLibrarySigning
