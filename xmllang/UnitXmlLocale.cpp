#include "xmllang/UnitXmlLocale.h"

#include "core/UnitXmlDoc.h"

#include <langinfo.h>
#include <monetary.h>
#include <time.h>
#include <wchar.h>
#include <wctype.h>

#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// Makes the locale current on this thread for calls that have no _l form.
class TUseLocale {
public:
    explicit TUseLocale(locale_t ALocale) : FOld(uselocale(ALocale)) {}
    ~TUseLocale() { uselocale(FOld); }
    TUseLocale(const TUseLocale&) = delete;
    TUseLocale& operator=(const TUseLocale&) = delete;

private:
    locale_t FOld;
};

std::string Info(nl_item AItem, locale_t ALocale)
{
    const char* s = nl_langinfo_l(AItem, ALocale);
    return s ? std::string(s) : std::string();
}

int InfoByte(nl_item AItem, locale_t ALocale)
{
    const char* s = nl_langinfo_l(AItem, ALocale);
    return s ? static_cast<unsigned char>(s[0]) : 127;
}

// The composite conversions spelt out, so separators and fields can be found.
std::string Expand(const std::string& AFormat, locale_t ALocale, int ADepth = 0)
{
    std::string out;
    for (size_t i = 0; i < AFormat.size(); ++i) {
        if (AFormat[i] != '%' || i + 1 >= AFormat.size()) {
            out += AFormat[i];
            continue;
        }
        size_t j = i + 1;
        while (j < AFormat.size() && (AFormat[j] == 'E' || AFormat[j] == 'O' || AFormat[j] == '-' || AFormat[j] == '_' || AFormat[j] == '0'))
            ++j;
        if (j >= AFormat.size())
            break;
        const char c = AFormat[j];
        std::string inner;
        switch (c) {
        case 'T': inner = "%H:%M:%S"; break;
        case 'R': inner = "%H:%M"; break;
        case 'D': inner = "%m/%d/%y"; break;
        case 'F': inner = "%Y-%m-%d"; break;
        case 'r': inner = Info(T_FMT_AMPM, ALocale); if (inner.empty()) inner = "%I:%M:%S %p"; break;
        case 'x': inner = Info(D_FMT, ALocale); break;
        case 'X': inner = Info(T_FMT, ALocale); break;
        case 'c': inner = Info(D_T_FMT, ALocale); break;
        default: break;
        }
        if (!inner.empty() && ADepth < 3)
            out += Expand(inner, ALocale, ADepth + 1);
        else
            out.append(AFormat, i, j - i + 1);
        i = j;
    }
    return out;
}

bool IsField(char c, const char* fields) { return std::strchr(fields, c) != nullptr; }

// The first separator between two fields of the kinds given.
std::string SeparatorOf(const std::string& AFormat, const char* AFields)
{
    for (size_t i = 0; i + 1 < AFormat.size(); ++i) {
        if (AFormat[i] != '%' || !IsField(AFormat[i + 1], AFields))
            continue;
        std::string sep;
        size_t j = i + 2;
        while (j < AFormat.size() && AFormat[j] != '%')
            sep += AFormat[j++];
        if (j + 1 < AFormat.size() && !sep.empty())
            return sep;
        return sep.empty() ? std::string() : sep;
    }
    return {};
}

// The format with every conversion outside `keep` removed together with the text that joins it
// to its neighbour.
std::string KeepFields(const std::string& AFormat, const char* AKeep)
{
    struct TPiece {
        std::string Text;
        bool Field;
        bool Keep;
    };
    std::vector<TPiece> pieces;
    for (size_t i = 0; i < AFormat.size();) {
        if (AFormat[i] == '%' && i + 1 < AFormat.size()) {
            pieces.push_back({AFormat.substr(i, 2), true, IsField(AFormat[i + 1], AKeep)});
            i += 2;
        } else {
            std::string lit;
            while (i < AFormat.size() && !(AFormat[i] == '%' && i + 1 < AFormat.size()))
                lit += AFormat[i++];
            pieces.push_back({lit, false, true});
        }
    }
    std::string out;
    bool lastKept = false;
    for (size_t k = 0; k < pieces.size(); ++k) {
        const TPiece& p = pieces[k];
        if (p.Field) {
            if (p.Keep) {
                out += p.Text;
                lastKept = true;
            } else {
                lastKept = false;
            }
            continue;
        }
        // Literal text stays between two kept fields (or before the first kept one).
        const bool nextKept = k + 1 < pieces.size() && pieces[k + 1].Field && pieces[k + 1].Keep;
        if ((lastKept || out.empty()) && nextKept)
            out += p.Text;
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == ','))
        out.pop_back();
    return out;
}

int PositiveIndex(int precedes, int space)
{
    if (precedes > 1 || space > 2)
        return -1;
    if (precedes)
        return space ? 2 : 0;
    return space ? 3 : 1;
}

int NegativeIndex(int precedes, int space, int sign)
{
    if (precedes > 1 || space > 2 || sign > 4)
        return -1;
    const bool sp = space != 0;
    if (precedes) {
        static const int tight[5] = {0, 1, 3, 1, 2};
        static const int spaced[5] = {14, 9, 11, 9, 12};
        return sp ? spaced[sign] : tight[sign];
    }
    static const int tight[5] = {4, 5, 7, 6, 7};
    static const int spaced[5] = {15, 8, 10, 13, 10};
    return sp ? spaced[sign] : tight[sign];
}

bool ToTm(double AValue, std::tm& t)
{
    int y, m, d, h, n, s, ms;
    if (!UnitXmlDoc::DecodeDateTime(AValue, y, m, d, h, n, s, ms))
        return false;
    t = {};
    t.tm_year = y - 1900;
    t.tm_mon = m - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = n;
    t.tm_sec = s;
    t.tm_isdst = -1;
    // Week and year day from the calendar (timegm normalises a copy without touching the zone).
    std::tm copy = t;
    if (timegm(&copy) == static_cast<time_t>(-1) && !(y == 1969 && m == 12 && d == 31))
        return false;
    t.tm_wday = copy.tm_wday;
    t.tm_yday = copy.tm_yday;
    return true;
}

}  // namespace

TUserLocale::TUserLocale(const std::string& AName)
{
    FLocale = newlocale(LC_ALL_MASK, AName.c_str(), static_cast<locale_t>(nullptr));
    FValid = FLocale != nullptr;
    if (!FLocale && AName.empty())
        FLocale = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (!FLocale)
        FLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (!FLocale)
        return;

    const std::string dateFormat = Expand(Info(D_FMT, FLocale), FLocale);
    const std::string timeFormat = Expand(Info(T_FMT, FLocale), FLocale);
    const std::string fullFormat = Expand(Info(D_T_FMT, FLocale), FLocale);
    DateSep = SeparatorOf(dateFormat, "dmyYeCbBhaA");
    TimeSep = SeparatorOf(timeFormat, "HIMSkl");
    ThousandSep = Info(THOUSEP, FLocale);
    DecimalSep = Info(RADIXCHAR, FLocale);
    CurrencySymbol = Info(CURRENCY_SYMBOL, FLocale);
    const int decimals = InfoByte(FRAC_DIGITS, FLocale);
    CurrencyDecimals = decimals == 127 || decimals == 255 ? 0 : decimals;
    ShortDateFormat = dateFormat;
    LongDateFormat = KeepFields(fullFormat, "aAbBhdeYyCmjU");
    if (LongDateFormat.empty())
        LongDateFormat = dateFormat;
    LongTimeFormat = timeFormat;
    ShortTimeFormat = KeepFields(timeFormat, "HIMklpP");
    const int pPrecedes = InfoByte(P_CS_PRECEDES, FLocale), pSpace = InfoByte(P_SEP_BY_SPACE, FLocale);
    const int nPrecedes = InfoByte(N_CS_PRECEDES, FLocale), nSpace = InfoByte(N_SEP_BY_SPACE, FLocale);
    const int nSign = InfoByte(N_SIGN_POSN, FLocale);
    if (!CurrencySymbol.empty()) {
        PositiveCurrencyIndex = PositiveIndex(pPrecedes, pSpace);
        NegativeCurrencyIndex = NegativeIndex(nPrecedes, nSpace, nSign);
    }
}

TUserLocale::~TUserLocale()
{
    if (FLocale)
        freelocale(FLocale);
}

const TUserLocale& TUserLocale::User()
{
    static const TUserLocale user;
    return user;
}

std::string TUserLocale::FormatDateTime(double AValue, std::string_view APattern) const
{
    std::tm t;
    if (!FLocale || !ToTm(AValue, t))
        return {};
    const std::string pattern = APattern.empty() ? ShortDateFormat + " " + LongTimeFormat : std::string(APattern);
    std::vector<char> buffer(256 + pattern.size() * 16);
    const size_t n = strftime_l(buffer.data(), buffer.size(), pattern.c_str(), &t, FLocale);
    return std::string(buffer.data(), n);
}

bool TUserLocale::ParseDateTime(std::string_view AText, double& AValue) const
{
    if (!FLocale)
        return false;
    const std::string text(AText);
    const std::string date = Info(D_FMT, FLocale);
    const std::string time = Info(T_FMT, FLocale);
    const std::string forms[] = {date + " " + time, date + " %H:%M", Info(D_T_FMT, FLocale), date, time, "%H:%M"};
    for (size_t k = 0; k < std::size(forms); ++k) {
        std::tm t{};
        t.tm_mday = 0;
        const char* end = strptime_l(text.c_str(), forms[k].c_str(), &t, FLocale);
        if (!end)
            continue;
        while (*end == ' ')
            ++end;
        if (*end)
            continue;
        const bool timeOnly = k >= 4;
        const double day = timeOnly ? 0 : UnitXmlDoc::EncodeDateTime(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, 0, 0, 0, 0);
        if (!timeOnly) {
            // strptime takes 31/02 as well: the date must be a real one.
            int y, m, d, h, n, sec, ms;
            if (day == 0 || !UnitXmlDoc::DecodeDateTime(day, y, m, d, h, n, sec, ms) || y != t.tm_year + 1900
                || m != t.tm_mon + 1 || d != t.tm_mday)
                continue;
        }
        AValue = day + (t.tm_hour * 3600.0 + t.tm_min * 60.0 + t.tm_sec) / 86400.0;
        return AValue != 0;
    }
    return false;
}

std::string TUserLocale::FormatMoney(double AValue) const
{
    if (!FLocale || !std::isfinite(AValue))
        return {};
    char buffer[512];
    const ssize_t n = strfmon_l(buffer, sizeof buffer, FLocale, "%n", AValue);
    return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}

int TUserLocale::CompareText(std::string_view A, std::string_view B) const
{
    auto wide = [this](std::string_view s, std::wstring& out) {
        TUseLocale use(FLocale);
        std::mbstate_t state{};
        out.clear();
        for (size_t i = 0; i < s.size();) {
            wchar_t w = 0;
            const size_t n = mbrtowc(&w, s.data() + i, s.size() - i, &state);
            if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2))
                return false;
            if (n == 0) {
                out += L'\0';
                ++i;
                continue;
            }
            out += static_cast<wchar_t>(towlower_l(static_cast<wint_t>(w), FLocale));
            i += n;
        }
        return true;
    };
    std::wstring wa, wb;
    if (FLocale && A.find('\0') == std::string_view::npos && B.find('\0') == std::string_view::npos && wide(A, wa) && wide(B, wb)) {
        const int r = wcscoll_l(wa.c_str(), wb.c_str(), FLocale);
        if (r != 0)
            return r;
        return wa.compare(wb);
    }
    // Not text of the locale's character set: bytes, ASCII letters folded.
    const size_t n = std::min(A.size(), B.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char a = static_cast<unsigned char>(A[i]), b = static_cast<unsigned char>(B[i]);
        if (a >= 'A' && a <= 'Z')
            a = static_cast<unsigned char>(a + 32);
        if (b >= 'A' && b <= 'Z')
            b = static_cast<unsigned char>(b + 32);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return A.size() < B.size() ? -1 : (A.size() > B.size() ? 1 : 0);
}

namespace UnitXmlLocale {

namespace {

struct TSection {
    std::string Prefix, Suffix;
    int IntZeros = 0;      // "0" before the decimal point
    int DecZeros = 0;      // "0" after it
    int DecPlaces = 0;     // "0" and "#" after it
    bool Point = false, Grouping = false;
    bool Scientific = false;
    char ExpChar = 'E';
    bool ExpPlus = false;
    int ExpDigits = 0;
    bool Any = false;      // has digit places at all
};

TSection ReadSection(std::string_view s)
{
    TSection r;
    bool seenDigit = false, afterPoint = false, done = false;
    std::string* literal = &r.Prefix;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\'' || c == '"') {
            size_t j = s.find(c, i + 1);
            if (j == std::string_view::npos)
                j = s.size();
            literal->append(s.substr(i + 1, j - i - 1));
            i = j;
            continue;
        }
        if (!done && (c == '0' || c == '#')) {
            seenDigit = true;
            r.Any = true;
            literal = &r.Suffix;
            if (afterPoint) {
                ++r.DecPlaces;
                if (c == '0')
                    r.DecZeros = r.DecPlaces;
            } else if (c == '0') {
                ++r.IntZeros;
            }
            continue;
        }
        if (!done && c == '.' && !afterPoint) {
            afterPoint = true;
            r.Point = true;
            r.Any = true;
            literal = &r.Suffix;
            continue;
        }
        if (!done && c == ',' ) {
            if (!afterPoint)
                r.Grouping = true;
            continue;
        }
        if (!done && seenDigit && (c == 'E' || c == 'e') && i + 1 < s.size() && (s[i + 1] == '+' || s[i + 1] == '-')) {
            r.Scientific = true;
            r.ExpChar = c;
            r.ExpPlus = s[i + 1] == '+';
            i += 2;
            while (i < s.size() && s[i] == '0')
                ++r.ExpDigits, ++i;
            --i;
            done = true;
            literal = &r.Suffix;
            continue;
        }
        literal->push_back(c);
    }
    return r;
}

std::string Group(const std::string& digits, const std::string& sep)
{
    if (sep.empty() || digits.size() <= 3)
        return digits;
    std::string out;
    const size_t first = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
    out = digits.substr(0, first);
    for (size_t i = first; i < digits.size(); i += 3)
        out += sep + digits.substr(i, 3);
    return out;
}

std::string Fixed(const TSection& r, double v, const TUserLocale& loc)
{
    char buffer[400];
    const int places = std::min(r.DecPlaces, 18);
    std::snprintf(buffer, sizeof buffer, "%.*f", places, v);
    std::string text(buffer);
    std::string ip = text, fp;
    const size_t dot = text.find('.');
    if (dot != std::string::npos) {
        ip = text.substr(0, dot);
        fp = text.substr(dot + 1);
    }
    while (static_cast<int>(fp.size()) > r.DecZeros && !fp.empty() && fp.back() == '0')
        fp.pop_back();
    if (ip == "0" && r.IntZeros == 0)
        ip.clear();
    while (static_cast<int>(ip.size()) < r.IntZeros)
        ip.insert(ip.begin(), '0');
    if (r.Grouping)
        ip = Group(ip, loc.ThousandSep);
    std::string out = ip;
    if (!fp.empty())
        out += (loc.DecimalSep.empty() ? std::string(".") : loc.DecimalSep) + fp;
    return out;
}

std::string Scientific(const TSection& r, double v, const TUserLocale& loc)
{
    int exponent = 0;
    if (v != 0) {
        const int intDigits = std::max(1, r.IntZeros);
        exponent = static_cast<int>(std::floor(std::log10(v))) - (intDigits - 1);
        double m = v / std::pow(10.0, exponent);
        // Rounding may carry into another digit.
        const double limit = std::pow(10.0, intDigits);
        const double rounded = std::round(m * std::pow(10.0, r.DecPlaces)) / std::pow(10.0, r.DecPlaces);
        if (rounded >= limit) {
            ++exponent;
            m = v / std::pow(10.0, exponent);
        }
        v = m;
    }
    TSection mant = r;
    mant.Grouping = false;
    std::string out = Fixed(mant, v, loc);
    std::string e = std::to_string(std::abs(exponent));
    while (static_cast<int>(e.size()) < r.ExpDigits)
        e.insert(e.begin(), '0');
    out += r.ExpChar;
    if (exponent < 0)
        out += '-';
    else if (r.ExpPlus)
        out += '+';
    return out + e;
}

}  // namespace

std::string FormatFloat(std::string_view APattern, double AValue, const TUserLocale& ALocale)
{
    if (!std::isfinite(AValue))
        return UnitXmlDoc::FloatToText(AValue);
    if (APattern.empty()) {
        std::string text = UnitXmlDoc::FloatToText(AValue);
        const size_t dot = text.find('.');
        if (dot != std::string::npos && !ALocale.DecimalSep.empty())
            text.replace(dot, 1, ALocale.DecimalSep);
        return text;
    }
    std::vector<std::string_view> sections;
    size_t start = 0;
    char quote = 0;
    for (size_t i = 0; i <= APattern.size(); ++i) {
        if (i < APattern.size() && quote) {
            if (APattern[i] == quote)
                quote = 0;
            continue;
        }
        if (i < APattern.size() && (APattern[i] == '\'' || APattern[i] == '"')) {
            quote = APattern[i];
            continue;
        }
        if (i == APattern.size() || APattern[i] == ';') {
            if (sections.size() < 3)
                sections.push_back(APattern.substr(start, i - start));
            start = i + 1;
        }
    }
    std::string_view chosen = sections[0];
    bool sign = AValue < 0;
    if (AValue == 0 && sections.size() >= 3 && !sections[2].empty()) {
        chosen = sections[2];
        sign = false;
    } else if (AValue < 0 && sections.size() >= 2 && !sections[1].empty()) {
        chosen = sections[1];
        sign = false;
    }
    const TSection r = ReadSection(chosen);
    const double v = std::fabs(AValue);
    std::string number;
    if (r.Any)
        number = r.Scientific ? Scientific(r, v, ALocale) : Fixed(r, v, ALocale);
    // A negative number that rounds to zero shows no sign.
    if (sign && number.find_first_of("123456789") == std::string::npos)
        sign = false;
    return (sign ? "-" : "") + r.Prefix + number + r.Suffix;
}

}  // namespace UnitXmlLocale
