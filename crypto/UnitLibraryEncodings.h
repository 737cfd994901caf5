// The library's table of encodings: every number 0 to 21 of the encoding layer, with 13 and 14
// (ASN.1 as XML) done by the ASN.1 codec, whose SIGNEDDATA element is built by the CMS builder
// (crypto/UnitSignedData.h). The library's exports and everything that must convert as they
// do pass this table; the host program uses UnitEncoding::TEncodingTable::Host() instead.
#pragma once

#include "encoding/UnitEncoding.h"
#include "platform/UnitHttp.h"

namespace UnitLibraryEncodings {

const UnitEncoding::TEncodingTable& Table();
// The HTTP client the table's CMS builder asks time-stamp authorities through.
UnitHttp::THttpClient& Http();

}  // namespace UnitLibraryEncodings
