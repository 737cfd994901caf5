#include "core/UnitXmlDoc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

using namespace UnitXmlDoc;

namespace {

// Sets TZ for the test and puts the previous zone back afterwards.
class TZone {
public:
    explicit TZone(const char* zone)
    {
        const char* old = std::getenv("TZ");
        FHad = old != nullptr;
        if (old)
            FOld = old;
        setenv("TZ", zone, 1);
        RefreshLocalBias();
    }
    ~TZone()
    {
        if (FHad)
            setenv("TZ", FOld.c_str(), 1);
        else
            unsetenv("TZ");
        RefreshLocalBias();
    }

private:
    bool FHad = false;
    std::string FOld;
};

double DaysOf(const struct tm& t)
{
    return EncodeDateTime(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 0);
}

// The bias as the C library's broken-down UTC and local times of this moment give it.
int ReferenceBias()
{
    const time_t now = time(nullptr);
    struct tm utc {}, local {};
    gmtime_r(&now, &utc);
    localtime_r(&now, &local);
    const double utcDays = DaysOf(utc);
    const double localDays = DaysOf(local);
    return static_cast<int>(std::lround((utcDays - localDays) * 1440));
}

}  // namespace


TEST(DateTime, CalendarAgainstKnownDayNumbers)
{
    EXPECT_EQ(EncodeDateTime(1899, 12, 30, 0, 0, 0, 0), 0);
    EXPECT_EQ(EncodeDateTime(1900, 1, 1, 0, 0, 0, 0), 2);
    // 1970-01-01 is day 25569, the offset between the two epochs.
    EXPECT_EQ(EncodeDateTime(1970, 1, 1, 0, 0, 0, 0), 25569);
    EXPECT_DOUBLE_EQ(EncodeDateTime(2024, 1, 31, 12, 0, 0, 0), 45322.5);
    int y, m, d, h, n, s, ms;
    ASSERT_TRUE(DecodeDateTime(EncodeDateTime(1, 1, 1, 23, 59, 59, 999), y, m, d, h, n, s, ms));
    EXPECT_EQ((std::vector<int>{y, m, d, h, n, s, ms}), (std::vector<int>{1, 1, 1, 23, 59, 59, 999}));
    EXPECT_FALSE(DecodeDateTime(1e9, y, m, d, h, n, s, ms));
}

TEST(DateTime, WritingForms)
{
    const double t = EncodeDateTime(2024, 1, 31, 10, 0, 0, 0);
    EXPECT_EQ(DateTimeToText(t), "2024-01-31 10:00:00.000");
    EXPECT_EQ(DateTimeToText(EncodeDateTime(7, 2, 3, 4, 5, 6, 7)), "0007-02-03 04:05:06.007");
    EXPECT_EQ(DateTimeToText(t, TDateTimeKind::Date), "2024-01-31");
    EXPECT_EQ(DateTimeToText(t, TDateTimeKind::Time), "10:00:00.000");
    EXPECT_EQ(DateTimeToText(0), "");
    EXPECT_EQ(DateTimeToText(EncodeDateTime(100, 1, 1, 0, 0, 0, 0)), "");
    EXPECT_EQ(DateTimeToText(1e12), "");
    EXPECT_EQ(DateTimeToText(std::nan("")), "");
    // Milliseconds are rounded, and a round-up carries into the next day.
    EXPECT_EQ(DateTimeToText(EncodeDateTime(2024, 12, 31, 23, 59, 59, 999) + 0.0009 / 86400),
              "2025-01-01 00:00:00.000");
    TXmlDoc n;
    n.SetAsDateTime(t);
    EXPECT_EQ(n.GetValue(), "2024-01-31 10:00:00.000");
    EXPECT_DOUBLE_EQ(n.GetAsDateTime(), t);
    n.Setd("When", t);
    EXPECT_DOUBLE_EQ(n.Getd("when"), t);
}

TEST(DateTime, ReadingRules)
{
    EXPECT_DOUBLE_EQ(TextToDateTime("2024-02-29"), EncodeDateTime(2024, 2, 29, 0, 0, 0, 0));
    EXPECT_DOUBLE_EQ(TextToDateTime("10:20:30.400"), EncodeDateTime(1899, 12, 30, 10, 20, 30, 400));
    EXPECT_EQ(TextToDateTime("2024-02-30 00:00:00.000"), 0);
    EXPECT_EQ(TextToDateTime("2023-02-29"), 0);
    EXPECT_EQ(TextToDateTime("2024-01-01 24:00:00.000"), 0);
    EXPECT_EQ(TextToDateTime("0000-00-05"), 5);  // a duration of days
    EXPECT_DOUBLE_EQ(TextToDateTime("0001-00-03 12:00:00.000"), 365 + 3 + 0.5);
    EXPECT_DOUBLE_EQ(TextToDateTime("0001-02-03"), EncodeDateTime(1, 2, 3, 0, 0, 0, 0));
    EXPECT_EQ(TextToDateTime("garbage"), 0);
    EXPECT_EQ(TextToDateTime(""), 0);
    // Truncated texts read their missing fields as 0.
    EXPECT_DOUBLE_EQ(TextToDateTime("2024-01-31 10:3"), EncodeDateTime(2024, 1, 31, 10, 3, 0, 0));
    const double fallback = EncodeDateTime(2020, 5, 6, 7, 8, 9, 0);
    EXPECT_DOUBLE_EQ(TextToDateTime("x", TDateTimeKind::DateTime, fallback), fallback);
    EXPECT_DOUBLE_EQ(TextToDateTime("x", TDateTimeKind::Date, fallback), EncodeDateTime(2020, 5, 6, 0, 0, 0, 0));
    EXPECT_NEAR(TextToDateTime("x", TDateTimeKind::Time, fallback), EncodeDateTime(1899, 12, 30, 7, 8, 9, 0), 1e-9);
    EXPECT_DOUBLE_EQ(TextToDateTime("2024-01-31 10:20:30.400", TDateTimeKind::Date),
                     EncodeDateTime(2024, 1, 31, 0, 0, 0, 0));

    TXmlDoc n;
    for (const char* yes : {"2024-01-31 10:00:00.000", "5", "Z+1"}) {
        n.SetValue(yes);
        EXPECT_TRUE(n.IsDateTime()) << yes;
    }
    for (const char* no : {"0000-00-00 00:00:00.000", "", "0 z+0"}) {
        n.SetValue(no);
        EXPECT_FALSE(n.IsDateTime()) << no;
    }
}

TEST(DateTime, ZonesInUtc)
{
    TZone zone("UTC");
    EXPECT_EQ(LocalBias(), 0);
    const double t = EncodeDateTime(2024, 7, 1, 12, 0, 0, 0);
    EXPECT_EQ(DateTimeToText(t, TDateTimeKind::LocalZone), "2024-07-01 12:00:00.000 Z");
    EXPECT_EQ(DateTimeToText(t, TDateTimeKind::Utc), "2024-07-01 12:00:00.000 Z");
    EXPECT_DOUBLE_EQ(TextToDateTime("2024-07-01 12:00:00.000 Z+60"), t + 60 / 1440.0);
    EXPECT_DOUBLE_EQ(TextToDateTime("2024-07-01 12:00:00.000 z-90"), t - 90 / 1440.0);
    EXPECT_DOUBLE_EQ(TextToDateTime("2024-07-01 12:00:00.000  Z"), t);
}

TEST(DateTime, ZonesWithDaylightSaving)
{
    for (const char* name : {"America/New_York", "Europe/Berlin"}) {
        TZone zone(name);
        const int bias = LocalBias();
        EXPECT_EQ(bias, ReferenceBias()) << name;
        EXPECT_NE(bias, 0) << name;
        const double t = EncodeDateTime(2024, 7, 1, 12, 0, 0, 0);
        const std::string local = DateTimeToText(t, TDateTimeKind::LocalZone);
        const std::string suffix = bias > 0 ? " Z+" + std::to_string(bias) : " Z" + std::to_string(bias);
        EXPECT_EQ(local, "2024-07-01 12:00:00.000" + suffix) << name;
        // Both zone forms read back as the same local time.
        EXPECT_NEAR(TextToDateTime(local), t, 1e-9) << name;
        const std::string utc = DateTimeToText(t, TDateTimeKind::Utc);
        EXPECT_NEAR(TextToDateTime(utc), t, 1e-9) << name;
        EXPECT_NE(utc, "2024-07-01 12:00:00.000 Z") << name;
        // A UTC text is moved by the bias.
        EXPECT_NEAR(TextToDateTime("2024-07-01 12:00:00.000 Z"), t - bias / 1440.0, 1e-9) << name;
    }
}

TEST(DateTime, RunsUnderTheProcessZone)
{
    // Registered a second time with TZ set in the environment: the bias read at start-up
    // follows it.
    const char* tz = std::getenv("TZ");
    if (!tz)
        GTEST_SKIP() << "TZ not set";
    EXPECT_EQ(LocalBias(), ReferenceBias());
    const double t = EncodeDateTime(2024, 1, 15, 8, 30, 0, 0);
    EXPECT_NEAR(TextToDateTime(DateTimeToText(t, TDateTimeKind::Utc)), t, 1e-9);
    EXPECT_NEAR(TextToDateTime(DateTimeToText(t, TDateTimeKind::LocalZone)), t, 1e-9);
    const double now = Now();
    const double utcNow = 25569 + static_cast<double>(time(nullptr)) / 86400;
    EXPECT_NEAR(now + LocalBias() / 1440.0, utcNow, 2.0 / 86400);
}
