#include "crypto/UnitAsn1.h"
#include "crypto/UnitTimeZones.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace UnitAsn1 {

namespace {

TUtcTime FromTimeT(time_t t, bool local, int ms)
{
    struct tm tm {};
    if (local)
        localtime_r(&t, &tm);
    else
        gmtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms};
}

struct tm ToTm(const TUtcTime& t)
{
    struct tm tm {};
    tm.tm_year = t.Year - 1900;
    tm.tm_mon = t.Month - 1;
    tm.tm_mday = t.Day;
    tm.tm_hour = t.Hour;
    tm.tm_min = t.Minute;
    tm.tm_sec = t.Second;
    tm.tm_isdst = -1;
    return tm;
}

// Writes the value (negative as 0) with at least `width` digits, zeros in front; returns the end.
char* PutDigits(char* out, int value, int width)
{
    char buf[16];
    const auto [p, ec] = std::to_chars(buf, buf + sizeof buf, value < 0 ? 0 : value);
    for (auto n = p - buf; n < width; ++n)
        *out++ = '0';
    return std::copy(buf, p, out);
}

std::string Digits(int value, int width)
{
    char buf[16];
    return std::string(buf, PutDigits(buf, value, width));
}

// Reads up to `width` digits at pos; missing or bad digits read 0.
int ReadField(std::string_view s, size_t& pos, size_t width)
{
    int value = 0;
    for (size_t i = 0; i < width && pos < s.size(); ++i, ++pos) {
        const char c = s[pos];
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Reads the zone rules again when TZ changed. tzset() on every conversion would look at the
// zone file each time, which dominates decoding large structures full of times.
void RefreshZone()
{
    static std::mutex lock;
    static bool read = false;
    static bool hadTz = false;
    static std::string lastTz;
    const char* tz = std::getenv("TZ");
    std::lock_guard guard(lock);
    if (read && hadTz == (tz != nullptr) && (!tz || lastTz == tz))
        return;
    tzset();
    read = true;
    hadTz = tz != nullptr;
    lastTz = tz ? tz : "";
}

}  // namespace

std::string TimeText(const TUtcTime& t)
{
    // Fields of up to 10 digits each, and the 6 separators.
    char buf[7 * 10 + 6];
    char* p = PutDigits(buf, t.Year, 4);
    *p++ = '-';
    p = PutDigits(p, t.Month, 2);
    *p++ = '-';
    p = PutDigits(p, t.Day, 2);
    *p++ = ' ';
    p = PutDigits(p, t.Hour, 2);
    *p++ = ':';
    p = PutDigits(p, t.Minute, 2);
    *p++ = ':';
    p = PutDigits(p, t.Second, 2);
    *p++ = '.';
    p = PutDigits(p, t.MilliSecond, 3);
    return std::string(buf, p);
}

// The content of a UTCTime or GeneralizedTime (without "Z") as UTC fields.
TUtcTime ParseDerTime(std::string text, bool utcTime)
{
    if (utcTime)
        text.insert(0, text.substr(0, 2) < "50" ? "20" : "19");
    std::string fraction;
    if (auto dot = text.find_first_of(".,"); dot != std::string::npos) {
        fraction = text.substr(dot + 1);
        text.resize(dot);
    }
    fraction.resize(3, '0');
    TUtcTime t;
    size_t pos = 0;
    t.Year = ReadField(text, pos, 4);
    t.Month = ReadField(text, pos, 2);
    t.Day = ReadField(text, pos, 2);
    t.Hour = ReadField(text, pos, 2);
    t.Minute = ReadField(text, pos, 2);
    t.Second = ReadField(text, pos, 2);
    size_t fpos = 0;
    t.MilliSecond = ReadField(fraction, fpos, 3);
    return t;
}

std::string UtcFieldsText(const TUtcTime& t)
{
    return TimeText(t);
}

std::string DerTimeContent(const TUtcTime& t, bool utcTime)
{
    std::string s;
    if (utcTime)
        s = Digits(t.Year % 100, 2);
    else
        s = Digits(t.Year, 4);
    s += Digits(t.Month, 2) + Digits(t.Day, 2) + Digits(t.Hour, 2) + Digits(t.Minute, 2) + Digits(t.Second, 2);
    if (!utcTime && t.MilliSecond != 0) {
        std::string ms = Digits(t.MilliSecond, 3);
        while (!ms.empty() && ms.back() == '0')
            ms.pop_back();
        s += "." + ms;
    }
    return s + "Z";
}



std::string UtcToLocalText(const TUtcTime& utc)
{
    struct tm tm = ToTm(utc);
    tm.tm_isdst = 0;
    const time_t t = timegm(&tm);
    RefreshZone();
    return TimeText(FromTimeT(t, true, utc.MilliSecond));
}

TUtcTime TextToUtc(std::string_view text, bool zulu)
{
    TUtcTime t;
    size_t pos = 0;
    auto skip = [&] {
        while (pos < text.size() && (text[pos] < '0' || text[pos] > '9') && text[pos] != 'Z')
            ++pos;
    };
    skip();
    t.Year = ReadField(text, pos, 4);
    skip();
    t.Month = ReadField(text, pos, 2);
    skip();
    t.Day = ReadField(text, pos, 2);
    skip();
    t.Hour = ReadField(text, pos, 2);
    skip();
    t.Minute = ReadField(text, pos, 2);
    skip();
    t.Second = ReadField(text, pos, 2);
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        std::string fraction;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && fraction.size() < 3)
            fraction += text[pos++];
        fraction.resize(3, '0');
        size_t fpos = 0;
        t.MilliSecond = ReadField(fraction, fpos, 3);
    }
    if (zulu || text.find('Z') != std::string_view::npos)
        return t;
    struct tm tm = ToTm(t);
    const time_t utc = mktime(&tm);
    return FromTimeT(utc, false, t.MilliSecond);
}

}  // namespace UnitAsn1
