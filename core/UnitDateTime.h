// Date-times as the tree keeps them (the AsDateTime values): days since 1899-12-30 with the
// time of day as fraction, their text kinds, and the local time zone bias.
#pragma once

#include <string>
#include <string_view>

// The kinds of date-time text.
enum class TDateTimeKind {
    DateTime,   // "2024-01-31 10:00:00.000"
    Date,       // "2024-01-31"
    Time,       // "10:00:00.000"
    LocalZone,  // date and time followed by " Z", " Z+300" or " Z-60" (the local bias)
    Utc,        // local time brought to UTC, followed by " Z"
    Regional,   // the user's regional date and time format (display only)
    RegionalDate,  // the user's regional date format (display only)
};

namespace UnitXmlDoc {

// Days since 1899-12-30 with the time of day as fraction, as the date-time values are kept.
double EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second, int MilliSecond);
// False when the value lies outside the years 1 to 9999.
bool DecodeDateTime(double AValue, int& Year, int& Month, int& Day, int& Hour, int& Minute, int& Second,
                    int& MilliSecond);
double Now();

std::string DateTimeToText(double AValue, TDateTimeKind AKind = TDateTimeKind::DateTime);
// 0 (or a date out of range) gives ADefault; for the date kind the default loses its time
// part, for the time kind its date part.
double TextToDateTime(std::string_view AText, TDateTimeKind AKind = TDateTimeKind::DateTime, double ADefault = 0);
// The local bias in minutes (add it to local time to get UTC), read once at start-up.
int LocalBias();
// Reads the time zone again (after TZ changed).
void RefreshLocalBias();

}  // namespace UnitXmlDoc
