// Set-up done when the library is loaded: the encodings implemented above the encoding layer
// are plugged into it, and the CMS builder into the ASN.1 encoder.
#include "crypto/UnitAsn1.h"
#include "crypto/UnitSignedData.h"

namespace {

struct TLibraryInit {
    TLibraryInit()
    {
        UnitAsn1::RegisterEncodings();
        UnitSignedData::Register();
    }
};

const TLibraryInit Init;

}  // namespace
