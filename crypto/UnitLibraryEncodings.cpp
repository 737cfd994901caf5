#include "crypto/UnitLibraryEncodings.h"

#include "crypto/UnitAsn1.h"
#include "crypto/UnitSignedData.h"

namespace UnitLibraryEncodings {

const UnitEncoding::TEncodingTable& Table()
{
    // The library's one HTTP client: its requests to time-stamp authorities.
    static UnitHttp::TCurlHttpClient http;
    static const UnitEncoding::TEncodingTable table(UnitEncoding::TUpperNumbers{
        .DerToXml = [](std::span<const uint8_t> der) { return UnitAsn1::DerToXml(der); },
        .XmlToDer =
            [](std::string_view xml) {
                return UnitAsn1::XmlToDer(xml, [](TXmlDoc& node) { return UnitSignedData::BuildSignedData(node, http); });
            },
        // No plugin actions are built in yet: number 16 encodes to "".
        .Plugin = {},
    });
    return table;
}

}  // namespace UnitLibraryEncodings
