// Set-up done when the library is loaded: the encodings implemented above the encoding layer
// are plugged into it.
#include "crypto/UnitAsn1.h"

namespace {

struct TLibraryInit {
    TLibraryInit() { UnitAsn1::RegisterEncodings(); }
};

const TLibraryInit Init;

}  // namespace
