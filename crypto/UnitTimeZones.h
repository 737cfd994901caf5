// The DER time forms of the ASN.1 codec beside the local time text (crypto/UnitTimeZones.cpp);
// the public conversions, UtcToLocalText and TextToUtc, are declared in crypto/UnitAsn1.h.
#pragma once

#include "crypto/UnitAsn1.h"

#include <string>

namespace UnitAsn1 {

// "YYYY-MM-DD hh:mm:ss.fff" of the fields as they are.
std::string TimeText(const TUtcTime& t);
// The content of a UTCTime or GeneralizedTime (without "Z") as UTC fields.
TUtcTime ParseDerTime(std::string text, bool utcTime);
std::string UtcFieldsText(const TUtcTime& t);
// The content of a UTCTime or GeneralizedTime for the fields, "Z" included.
std::string DerTimeContent(const TUtcTime& t, bool utcTime);

}  // namespace UnitAsn1
