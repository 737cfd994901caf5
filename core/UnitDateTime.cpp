// Date-times as the tree keeps them: days since 1899-12-30 with the time of day as fraction,
// their text kinds and the local time zone bias.
#include "core/UnitDateTime.h"

#include "core/UnitXmlText.h"

#include <cmath>
#include <ctime>
#include <langinfo.h>
#include <string>
#include <sys/time.h>

using namespace UnitXmlText;

namespace {

constexpr int64_t kMSecsPerDay = 86400000;

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

const int64_t kDelphiEpoch = DaysFromCivil(1899, 12, 30);

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool ValidDate(int y, int m, int d)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1)
        return false;
    return d <= days[m - 1] + ((m == 2 && IsLeap(y)) ? 1 : 0);
}

bool ValidTime(int h, int n, int s, int ms) { return h >= 0 && h < 24 && n >= 0 && n < 60 && s >= 0 && s < 60 && ms >= 0 && ms < 1000; }

double DateOf(int y, int m, int d) { return static_cast<double>(DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) - kDelphiEpoch); }

double TimeOf(int h, int n, int s, int ms) { return (((h * 60.0 + n) * 60.0 + s) * 1000.0 + ms) / kMSecsPerDay; }

// A date and a time of day joined as the date-time type does: the fraction counts away from
// day 0 on both sides.
double Join(double date, double time) { return date >= 0 ? date + time : date - time; }

int ReadBias()
{
    tzset();
    const time_t now = time(nullptr);
    struct tm local {};
    if (!localtime_r(&now, &local))
        return 0;
    return static_cast<int>(-local.tm_gmtoff / 60);
}

int& BiasSlot()
{
    static int bias = ReadBias();
    return bias;
}

}  // namespace

namespace UnitXmlDoc {

double EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second, int MilliSecond)
{
    return Join(DateOf(Year, Month, Day), TimeOf(Hour, Minute, Second, MilliSecond));
}

bool DecodeDateTime(double AValue, int& Year, int& Month, int& Day, int& Hour, int& Minute, int& Second, int& MilliSecond)
{
    if (!std::isfinite(AValue) || AValue < DateOf(1, 1, 1) - 1 || AValue >= DateOf(10000, 1, 1))
        return false;
    const auto total = static_cast<int64_t>(std::llround(AValue * kMSecsPerDay));
    const int64_t days = total / kMSecsPerDay;
    int64_t ms = (total < 0 ? -total : total) % kMSecsPerDay;
    CivilFromDays(days + kDelphiEpoch, Year, Month, Day);
    if (Year < 1 || Year > 9999)
        return false;
    Hour = static_cast<int>(ms / 3600000);
    ms %= 3600000;
    Minute = static_cast<int>(ms / 60000);
    ms %= 60000;
    Second = static_cast<int>(ms / 1000);
    MilliSecond = static_cast<int>(ms % 1000);
    return true;
}

double Now()
{
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    const time_t seconds = tv.tv_sec;
    struct tm local {};
    localtime_r(&seconds, &local);
    return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                          local.tm_sec, static_cast<int>(tv.tv_usec / 1000));
}

int LocalBias() { return BiasSlot(); }

void RefreshLocalBias() { BiasSlot() = ReadBias(); }

std::string DateTimeToText(double AValue, TDateTimeKind AKind)
{
    if (AValue == 0 || AValue == DateOf(100, 1, 1))
        return {};
    if (AKind == TDateTimeKind::Utc)
        AValue += LocalBias() / 1440.0;
    int y, m, d, h, n, s, ms;
    if (!DecodeDateTime(AValue, y, m, d, h, n, s, ms))
        return {};
    const std::string date = Pad(y, 4) + "-" + Pad(m, 2) + "-" + Pad(d, 2);
    const std::string time = Pad(h, 2) + ":" + Pad(n, 2) + ":" + Pad(s, 2) + "." + Pad(ms, 3);
    switch (AKind) {
    case TDateTimeKind::Date:
        return date;
    case TDateTimeKind::Time:
        return time;
    case TDateTimeKind::LocalZone: {
        const int bias = LocalBias();
        if (bias == 0)
            return date + " " + time + " Z";
        return date + " " + time + (bias > 0 ? " Z+" : " Z") + IntText(bias);
    }
    case TDateTimeKind::Utc:
        return date + " " + time + " Z";
    case TDateTimeKind::Regional:
    case TDateTimeKind::RegionalDate: {
        struct tm t {};
        t.tm_year = y - 1900;
        t.tm_mon = m - 1;
        t.tm_mday = d;
        t.tm_hour = h;
        t.tm_min = n;
        t.tm_sec = s;
        t.tm_isdst = -1;
        t.tm_wday = static_cast<int>(((DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) % 7) + 11) % 7);
        const std::string format = AKind == TDateTimeKind::RegionalDate
            ? std::string(nl_langinfo(D_FMT))
            : std::string(nl_langinfo(D_FMT)) + " " + nl_langinfo(T_FMT);
        char buffer[256];
        const size_t length = strftime(buffer, sizeof buffer, format.c_str(), &t);
        return std::string(buffer, length);
    }
    case TDateTimeKind::DateTime:
        break;
    }
    return date + " " + time;
}

double TextToDateTime(std::string_view AText, TDateTimeKind AKind, double ADefault)
{
    std::string_view text = AText;
    bool zoned = false;
    int offset = 0;
    const size_t z = text.find_first_of("Zz");
    if (z != std::string_view::npos) {
        zoned = true;
        offset = FieldOf(text.substr(z + 1));
        text = Trim(text.substr(0, z));
    }
    int y = 0, m = 0, d = 0, h = 0, n = 0, s = 0, ms = 0;
    if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
        y = FieldOf(Copy(text, 1, 4));
        m = FieldOf(Copy(text, 6, 2));
        d = FieldOf(Copy(text, 9, 2));
    } else if (text.size() == 12 && text[2] == ':' && text[5] == ':' && text[8] == '.') {
        h = FieldOf(Copy(text, 1, 2));
        n = FieldOf(Copy(text, 4, 2));
        s = FieldOf(Copy(text, 7, 2));
        ms = FieldOf(Copy(text, 10, 3));
    } else {
        y = FieldOf(Copy(text, 1, 4));
        m = FieldOf(Copy(text, 6, 2));
        d = FieldOf(Copy(text, 9, 2));
        h = FieldOf(Copy(text, 12, 2));
        n = FieldOf(Copy(text, 15, 2));
        s = FieldOf(Copy(text, 18, 2));
        ms = FieldOf(Copy(text, 21, 3));
    }
    double result = 0;
    bool valid = true;
    if (AKind != TDateTimeKind::Time) {
        if (y != 0 && m != 0 && d != 0) {
            if (ValidDate(y, m, d))
                result = DateOf(y, m, d);
            else
                valid = false;
        } else {
            result = static_cast<double>(y) * 365 + static_cast<double>(m) * 30 + d;
        }
    }
    if (valid && AKind != TDateTimeKind::Date) {
        if (ValidTime(h, n, s, ms))
            result = Join(result, TimeOf(h, n, s, ms));
        else
            valid = false;
    }
    if (valid && zoned)
        result += (offset - LocalBias()) / 1440.0;
    if (!valid)
        result = 0;
    if (result == 0) {
        result = ADefault;
        if (AKind == TDateTimeKind::Date)
            result = std::trunc(result);
        else if (AKind == TDateTimeKind::Time)
            result = std::fabs(result - std::trunc(result));
    }
    return result;
}

}  // namespace UnitXmlDoc
