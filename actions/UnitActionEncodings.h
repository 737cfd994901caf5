// The library's whole table of encodings: the numbers of crypto/UnitLibraryEncodings.h (0 to
// 21 with ASN.1 and the CMS builder) and number 16, which runs plugin requests through the
// built-in actions. The library's exports convert with this table.
#pragma once

#include "encoding/UnitEncoding.h"

namespace UnitActionEncodings {

const UnitEncoding::TEncodingTable& Table();

}  // namespace UnitActionEncodings
