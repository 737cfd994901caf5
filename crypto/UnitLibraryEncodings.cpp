#include "crypto/UnitLibraryEncodings.h"

#include "crypto/UnitAsn1.h"
#include "crypto/UnitSignedData.h"
#include "crypto/UnitSigningRequestText.h"

namespace UnitLibraryEncodings {

UnitHttp::THttpClient& Http()
{
    // The library's one HTTP client: its requests to time-stamp authorities.
    static UnitHttp::TCurlHttpClient http;
    return http;
}

const UnitEncoding::TEncodingTable& Table()
{
    static const UnitEncoding::TEncodingTable table(UnitEncoding::TUpperNumbers{
        .DerToXml = [](std::span<const uint8_t> der) { return UnitAsn1::DerToXml(der); },
        .XmlToDer = [](std::string_view xml) { return UnitSigningRequestText::XmlToDer(xml, Http()); },
        // No plugin actions are built in yet: number 16 encodes to "".
        .Plugin = {},
    });
    return table;
}

}  // namespace UnitLibraryEncodings
