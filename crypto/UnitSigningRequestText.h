// A signing request read without copying its document: the XML text of a SIGNEDDATA element
// (the host's request, read by the library's encoding 14) carries the document as the hex of
// its "Content" attribute, hundreds of megabytes for a large file. The value is left where it
// is, in the caller's text (the library's text buffer), and the CMS builder reads, digests and
// embeds it from there; only the rest of the element goes through the XML reader.
#pragma once

#include "crypto/UnitAsn1.h"
#include "crypto/UnitSignedData.h"

#include <optional>
#include <string>
#include <string_view>

namespace UnitSigningRequestText {

struct TSplitRequest {
    std::string Rest;         // the text with the value of "Content" left out (Content="")
    std::string_view Content; // the value, a view into the text given to SplitContent
};

// The request's text without its "Content" value, and the value, when the text's first element
// is a SIGNEDDATA element whose first attribute named "Content" (any case, as properties are
// found) the reader would take exactly as written: no character reference in it, no doubled
// delimiter. Nothing otherwise (the text is then read as it is).
std::optional<TSplitRequest> SplitContent(std::string_view xml);

// Encoding 14 of the library: the XML description to DER, with SIGNEDDATA built by the CMS
// builder; a signing request's document is taken from the text itself.
// The DER of a request element read from the text SplitContent left (Content="" in it), its
// content given in `inputs`; nested SIGNEDDATA elements get the other inputs, not the content.
std::optional<UnitAsn1::TBytes> RequestToDer(TXmlDoc& request, UnitHttp::THttpClient& http,
                                             const UnitSignedData::TSignedDataInputs& inputs);

// `inputs` go to every SIGNEDDATA element built (their Content is replaced by the request's).
std::optional<UnitAsn1::TBytes> XmlToDer(std::string_view xml, UnitHttp::THttpClient& http,
                                         const UnitSignedData::TSignedDataInputs& inputs = {});
// The same read as the XML reader reads it, the Content copied into the node.
std::optional<UnitAsn1::TBytes> XmlToDerAsRead(std::string_view xml, UnitHttp::THttpClient& http,
                                               const UnitSignedData::TSignedDataInputs& inputs = {});

}  // namespace UnitSigningRequestText
