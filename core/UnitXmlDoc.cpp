#include "core/UnitXmlDoc.h"

#include "core/UnitLocalUtils.h"
#include "core/UnitParser.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <langinfo.h>
#include <limits>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

using namespace UnitXmlDoc;

namespace {

inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

int CompareText(std::string_view A, std::string_view B) noexcept
{
    const size_t n = std::min(A.size(), B.size());
    for (size_t i = 0; i < n; ++i) {
        const auto a = static_cast<unsigned char>(LowerAscii(A[i]));
        const auto b = static_cast<unsigned char>(LowerAscii(B[i]));
        if (a != b)
            return a < b ? -1 : 1;
    }
    return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// 1-based substring, cut at the end of the text.
std::string_view Copy(std::string_view s, size_t pos1, size_t count)
{
    if (pos1 == 0 || pos1 - 1 >= s.size())
        return {};
    return s.substr(pos1 - 1, count);
}

// The integer reading of the platform: leading blanks, a sign, decimal digits or hexadecimal
// after "$" or "0x"; the whole text must be used.
template <class T>
bool ParseInteger(std::string_view s, T& value)
{
    using U = std::make_unsigned_t<T>;
    size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < s.size() && s[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= s.size())
        return false;
    U magnitude = 0;
    const char* first = s.data() + i;
    const char* last = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(first, last, magnitude, hex ? 16 : 10);
    if (ec != std::errc() || ptr != last || *first == '+' || *first == '-')
        return false;
    if (hex) {
        // Hexadecimal covers the whole unsigned range and wraps into the signed one.
        value = static_cast<T>(negative ? U(0) - magnitude : magnitude);
        return true;
    }
    const U limit = static_cast<U>(std::numeric_limits<T>::max()) + (negative ? 1u : 0u);
    if (magnitude > limit)
        return false;
    value = negative ? static_cast<T>(U(0) - magnitude) : static_cast<T>(magnitude);
    return true;
}

// The floating-point reading with "." as separator: optional blanks around, a sign, digits
// with an optional fraction, an optional exponent. No "inf", "nan" or hexadecimal.
bool ParseFloat(std::string_view s, double& value)
{
    s = Trim(s);
    if (s.empty())
        return false;
    size_t i = 0;
    if (s[i] == '+' || s[i] == '-')
        ++i;
    const size_t mantissa = i;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
        ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        size_t expDigits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i, ++expDigits;
        if (expDigits == 0)
            return false;
    }
    if (i != s.size())
        return false;
    double v = 0;
    auto [ptr, ec] = std::from_chars(s.data() + mantissa, s.data() + s.size(), v);
    if (ptr != s.data() + s.size())
        return false;
    if (ec == std::errc::result_out_of_range)
        return false;
    if (ec != std::errc())
        return false;
    value = s[0] == '-' ? -v : v;
    return true;
}

char LocaleDecimalSeparator()
{
    const char* radix = nl_langinfo(RADIXCHAR);
    return (radix && radix[0] && !radix[1]) ? radix[0] : '.';
}

// ---------------------------------------------------------------- calendar

constexpr int64_t kMSecsPerDay = 86400000;

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
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

std::string Pad(int value, int width)
{
    char buffer[16];
    auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value < 0 ? -value : value);
    std::string digits(buffer, ptr);
    std::string result = value < 0 ? "-" : "";
    if (static_cast<int>(digits.size()) < width)
        result.append(static_cast<size_t>(width) - digits.size(), '0');
    return result + digits;
}

std::string IntText(int64_t value)
{
    char buffer[24];
    auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, ptr);
}

int FieldOf(std::string_view s)
{
    int32_t v = 0;
    return ParseInteger(s, v) ? v : 0;
}

// ---------------------------------------------------------------- text forms helpers

constexpr TTokenSet MakeXmlEscapes()
{
    TTokenSet s;
    s.IncludeRange(0, 31).IncludeRange(127, 255);
    for (char c : std::string_view(" \"%&'+/:<>?[]\\^`{|}~"))
        s.Include(static_cast<uint8_t>(c));
    return s;
}
constexpr TTokenSet kXmlEscapes = MakeXmlEscapes();

std::string XmlEncode(std::string_view s)
{
    for (char c : s)
        if (kXmlEscapes.Contains(static_cast<uint8_t>(c)))
            return UnitEncoding::ConvertByName(s, "xml", true);
    return std::string(s);
}

std::string XmlDecode(std::string&& s)
{
    if (s.find('&') == std::string::npos)
        return std::move(s);
    return UnitEncoding::ConvertByName(s, "xml", false);
}

enum class TValueCoding { Xml, Codec, Raw, RawNoAttr, Length };

TValueCoding CodingOf(std::string_view enc)
{
    if (enc.empty() || SameText(enc, "xml"))
        return TValueCoding::Xml;
    for (std::string_view codec : {"hexbin", "zm", "mime64", "tes64", "html", "json"})
        if (SameText(enc, codec))
            return TValueCoding::Codec;
    if (SameText(enc, "none"))
        return TValueCoding::RawNoAttr;
    if (SameText(enc, "length"))
        return TValueCoding::Length;
    return TValueCoding::Raw;
}

int64_t EncodingFactor(std::string_view enc)
{
    if (enc.empty() || SameText(enc, "xml"))
        return 4;
    if (SameText(enc, "hexbin") || SameText(enc, "mime64") || SameText(enc, "tes64"))
        return 2;
    return 1;
}

std::string DecodeValue(std::string&& text, std::string_view enc)
{
    switch (CodingOf(enc)) {
    case TValueCoding::Xml:
        return XmlDecode(std::move(text));
    case TValueCoding::Codec:
        return UnitEncoding::ConvertByName(text, enc, false);
    default:
        return std::move(text);
    }
}

}  // namespace

// ==================================================================== UnitXmlDoc

namespace UnitXmlDoc {

bool SameText(std::string_view A, std::string_view B) noexcept { return A.size() == B.size() && CompareText(A, B) == 0; }

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

bool TextToInt32(std::string_view S, int32_t& AValue) { return ParseInteger(S, AValue); }

bool TextToInt64(std::string_view S, int64_t& AValue) { return ParseInteger(S, AValue); }

bool TextIsNumeric(std::string_view S)
{
    int32_t v = 0;
    return !S.empty() && ParseInteger(S, v);
}

bool TextIsFloat(std::string_view S)
{
    if (S.empty())
        return false;
    const size_t dot = S.find('.');
    if (dot != std::string_view::npos && (dot == 0 || dot == S.size() - 1))
        return false;
    double v = 0;
    return ParseFloat(S, v);
}

double TextToFloat(std::string_view S)
{
    // The text is read by the locale's rules after "." became the locale's separator, so
    // both forms read the same wherever the separator is not ".".
    const char separator = LocaleDecimalSeparator();
    std::string text(S);
    if (separator != '.')
        std::replace(text.begin(), text.end(), separator, '.');
    double v = 0;
    return ParseFloat(text, v) ? v : 0;
}

std::string FloatToText(double AValue)
{
    if (std::isnan(AValue))
        return "NAN";
    if (std::isinf(AValue))
        return AValue > 0 ? "INF" : "-INF";
    if (AValue == 0)
        return "0";
    char buffer[64];
    auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, AValue, std::chars_format::general, 15);
    return std::string(buffer, ptr);
}

bool TextToBool(std::string_view S)
{
    if (Trim(S).empty())
        return false;
    int32_t v = 0;
    if (ParseInteger(S, v) && v == 0)
        return false;
    return !(SameText(S, "FALSE") || SameText(S, "F"));
}

}  // namespace UnitXmlDoc

bool TNameLess::operator()(std::string_view A, std::string_view B) const noexcept { return CompareText(A, B) < 0; }

// ==================================================================== TXmlDoc basics

TXmlDoc::TXmlDoc(std::string AName, std::string AValue, void* AData, std::string_view AXML)
    : varName(std::move(AName)), varValue(std::move(AValue)), varObject(AData)
{
    if (!AXML.empty())
        SetXML(AXML);
}

std::unique_ptr<TXmlDoc> TXmlDoc::CreateFromXML(std::string_view AXML) { return std::make_unique<TXmlDoc>("", "", nullptr, AXML); }

TXmlDoc::~TXmlDoc()
{
    // Destroyed without recursion: a tree may be nested deeper than the stack allows. No
    // rename events are fired while a tree goes away.
    if (varNodes.empty() && varProperties.empty())
        return;
    std::vector<std::unique_ptr<TXmlDoc>> pending;
    auto take = [&pending](TXmlDoc& n) {
        for (auto& p : n.varProperties)
            pending.push_back(std::move(p));
        for (auto& c : n.varNodes)
            pending.push_back(std::move(c));
        n.varProperties.clear();
        n.varNodes.clear();
        n.varNodeIndex.clear();
    };
    take(*this);
    while (!pending.empty()) {
        std::unique_ptr<TXmlDoc> n = std::move(pending.back());
        pending.pop_back();
        if (n)
            take(*n);
    }
}

void TXmlDoc::SetName(const std::string& AName)
{
    if (OnRename) {
        const std::string old = varName;
        const std::string name = AName;
        OnRename(*this, old, name);
        varName = name;
        return;
    }
    varName = AName;
}

void TXmlDoc::ChildRenamed(TXmlDoc& Sender, const std::string& OldName, const std::string& NewName)
{
    DropIndexEntry(OldName);
    if (!NewName.empty())
        varNodeIndex.try_emplace(NewName, &Sender);
}

void TXmlDoc::BindChild(TXmlDoc& Child)
{
    Child.OnRename = [this](TXmlDoc& Sender, const std::string& OldName, const std::string& NewName) {
        ChildRenamed(Sender, OldName, NewName);
    };
}

void TXmlDoc::AddIndexEntry(TXmlDoc& Child, bool Replace)
{
    if (Child.varName.empty())
        return;
    if (Replace)
        varNodeIndex.insert_or_assign(Child.varName, &Child);
    else
        varNodeIndex.try_emplace(Child.varName, &Child);
}

void TXmlDoc::DropIndexEntry(std::string_view Name)
{
    auto it = varNodeIndex.find(Name);
    if (it != varNodeIndex.end())
        varNodeIndex.erase(it);
}

TXmlDoc* TXmlDoc::AppendChild(std::string Name)
{
    varNodes.push_back(std::make_unique<TXmlDoc>(std::move(Name)));
    TXmlDoc& child = *varNodes.back();
    BindChild(child);
    AddIndexEntry(child, true);
    return &child;
}

TXmlDoc* TXmlDoc::New(const std::string& NodeName) { return AppendChild(NodeName); }

TXmlDoc* TXmlDoc::Insert(int AIndex, const std::string& NodeName)
{
    if (AIndex < 0 || AIndex >= GetNodeCount())
        return AppendChild(NodeName);
    auto it = varNodes.insert(varNodes.begin() + AIndex, std::make_unique<TXmlDoc>(NodeName));
    TXmlDoc& child = **it;
    BindChild(child);
    AddIndexEntry(child, true);
    return &child;
}

TXmlDoc* TXmlDoc::NewFromClone(const TXmlDoc& ANode)
{
    std::unique_ptr<TXmlDoc> copy = ANode.Duplicate();
    varNodes.push_back(std::move(copy));
    TXmlDoc& child = *varNodes.back();
    BindChild(child);
    AddIndexEntry(child, true);
    return &child;
}

TXmlDoc* TXmlDoc::NamedChild(std::string_view NodeName)
{
    auto it = varNodeIndex.find(NodeName);
    if (it != varNodeIndex.end())
        return it->second;
    return AppendChild(std::string(NodeName));
}

TXmlDoc* TXmlDoc::GetNode(const TNodeInfo& NodeInfo)
{
    return std::visit(
        [this](const auto& v) -> TXmlDoc* {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::string>)
                return GetNode(std::string_view(v));
            else if constexpr (std::is_same_v<V, bool>)
                return GetNodeByIndex(v ? -1 : 0);  // a Boolean variant reads -1 or 0 as an integer
            else if constexpr (std::is_same_v<V, int8_t> || std::is_same_v<V, uint8_t> || std::is_same_v<V, int16_t> ||
                               std::is_same_v<V, uint16_t> || std::is_same_v<V, int32_t> || std::is_same_v<V, uint32_t>)
                return GetNodeByIndex(static_cast<int>(v));
            else
                return nullptr;
        },
        NodeInfo);
}

TXmlDoc* TXmlDoc::GetNode(std::string_view APath)
{
    TXmlDoc* current = this;
    std::string_view rest = APath;
    for (;;) {
        const size_t sep = rest.find('\\');
        const std::string_view head = rest.substr(0, sep);
        if (!head.empty()) {
            if (head.size() >= 2 && head.front() == '{' && head.back() == '}') {
                const std::string_view inner = head.substr(1, head.size() - 2);
                const size_t colon = inner.find(':');
                if (colon == 0) {
                    current = current->AppendChild(std::string(inner.substr(1)));
                } else {
                    const std::string_view number = inner.substr(0, colon);
                    int32_t index = 0;
                    if (!ParseInteger(number, index))
                        throw EConvertError("'" + std::string(number) + "' is not a valid integer value");
                    if (colon == std::string_view::npos)
                        current = current->GetNodeByIndex(index);
                    else
                        current = current->GetNamedNodeByIndex(index, std::string(inner.substr(colon + 1)));
                }
            } else {
                current = current->NamedChild(head);
            }
        }
        if (sep == std::string_view::npos)
            return current;
        rest = rest.substr(sep + 1);
        if (rest.empty())
            return current;
    }
}

TXmlDoc* TXmlDoc::GetNodeByIndex(int NodeIndex)
{
    int64_t index = NodeIndex;
    if (index < 0)
        index += GetNodeCount();
    if (index < 0 || index >= GetNodeCount())
        return AppendChild({});
    return varNodes[static_cast<size_t>(index)].get();
}

TXmlDoc* TXmlDoc::GetNamedNodeByIndex(int NodeIndex, const std::string& NodeName)
{
    if (NodeIndex >= 0) {
        int seen = 0;
        for (auto& child : varNodes)
            if (SameText(child->varName, NodeName) && seen++ == NodeIndex)
                return child.get();
    }
    return AppendChild(NodeName);
}

TXmlDoc* TXmlDoc::FindNode(std::string_view NodeName, bool Hierarchy) const
{
    auto lookup = [NodeName](const TXmlDoc& n) -> TXmlDoc* {
        auto it = n.varNodeIndex.find(NodeName);
        return it == n.varNodeIndex.end() ? nullptr : it->second;
    };
    if (TXmlDoc* hit = lookup(*this))
        return hit;
    if (!Hierarchy)
        return nullptr;
    std::vector<std::pair<const TXmlDoc*, size_t>> stack{{this, 0}};
    while (!stack.empty()) {
        auto& [node, next] = stack.back();
        if (next >= node->varNodes.size()) {
            stack.pop_back();
            continue;
        }
        const TXmlDoc* child = node->varNodes[next++].get();
        if (TXmlDoc* hit = lookup(*child))
            return hit;
        stack.emplace_back(child, 0);
    }
    return nullptr;
}

TXmlDoc* TXmlDoc::FindNode(std::string_view NodeName, TXmlDoc*& Node, bool Hierarchy) const
{
    Node = FindNode(NodeName, Hierarchy);
    return Node;
}

bool TXmlDoc::FindNodeB(std::string_view NodeName, TXmlDoc*& Node, bool Hierarchy) const
{
    Node = FindNode(NodeName, Hierarchy);
    return Node != nullptr;
}

namespace {

// Visits the descendants of a node in pre-order; AVisit returns false to stop, and says
// through ADescend whether to go below the node it was given.
template <class F>
void PreOrder(const std::vector<std::unique_ptr<TXmlDoc>>& roots, bool Hierarchy, F&& AVisit,
              const std::vector<std::unique_ptr<TXmlDoc>>& (*childrenOf)(const TXmlDoc&))
{
    std::vector<std::pair<const std::vector<std::unique_ptr<TXmlDoc>>*, size_t>> stack{{&roots, 0}};
    while (!stack.empty()) {
        auto& [list, next] = stack.back();
        if (next >= list->size()) {
            stack.pop_back();
            continue;
        }
        TXmlDoc* child = (*list)[next++].get();
        bool descend = Hierarchy;
        if (!AVisit(child, descend))
            return;
        if (descend)
            stack.emplace_back(&childrenOf(*child), 0);
    }
}

}  // namespace

TXmlDoc* TXmlDoc::FindNodeByProp(std::string_view PropName, std::string_view PropValue, bool Hierarchy) const
{
    TXmlDoc* found = nullptr;
    PreOrder(
        varNodes, Hierarchy,
        [&](TXmlDoc* child, bool&) {
            const TXmlDoc* prop = child->FindProperty(PropName);
            if (prop && SameText(prop->varValue, PropValue)) {
                found = child;
                return false;
            }
            return true;
        },
        [](const TXmlDoc& n) -> const std::vector<std::unique_ptr<TXmlDoc>>& { return n.varNodes; });
    return found;
}

bool TXmlDoc::FindNodeByProp(std::string_view PropName, std::string_view PropValue, TXmlDoc*& Node, bool Hierarchy) const
{
    Node = FindNodeByProp(PropName, PropValue, Hierarchy);
    return Node != nullptr;
}

bool TXmlDoc::FindNodeByProp(std::string_view PropName, std::string_view PropValue, TXmlDocList& AList, bool Hierarchy) const
{
    PreOrder(
        varNodes, Hierarchy,
        [&](TXmlDoc* child, bool&) {
            const TXmlDoc* prop = child->FindProperty(PropName);
            if (prop && SameText(prop->varValue, PropValue))
                AList.push_back(child);
            return true;
        },
        [](const TXmlDoc& n) -> const std::vector<std::unique_ptr<TXmlDoc>>& { return n.varNodes; });
    return !AList.empty();
}

TXmlDoc* TXmlDoc::GetPath(std::string_view APath)
{
    const size_t dot = APath.find('.');
    TXmlDoc* node = GetNode(APath.substr(0, dot));
    if (dot == std::string_view::npos || dot + 1 == APath.size())
        return node;
    return node->GetProperty(APath.substr(dot + 1));
}

namespace {

int CompareChildren(TXmlDoc* A, TXmlDoc* B, std::string_view path)
{
    if (!path.empty() && path.front() == '-') {
        path.remove_prefix(1);
        std::swap(A, B);
    }
    if (path.empty())
        return CompareText(A->GetName(), B->GetName());
    const size_t dot = path.find('.');
    const std::string_view nodePart = path.substr(0, dot);
    const std::string_view propPart = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
    if (!nodePart.empty()) {
        A = A->GetNode(nodePart);
        B = B->GetNode(nodePart);
    }
    if (!propPart.empty()) {
        A = A->GetProperty(propPart);
        B = B->GetProperty(propPart);
    }
    double a = 0, b = 0;
    if (TextIsFloat(A->GetValue()) && TextIsFloat(B->GetValue()) && ParseFloat(A->GetValue(), a) &&
        ParseFloat(B->GetValue(), b))
        return a == b ? 0 : (a > b ? 1 : -1);
    return CompareText(A->GetValue(), B->GetValue());
}

// Quicksort whose scans are bounded by the range: the comparison mixes numeric and text
// order, which is not transitive, and must not lead the scans out of the list.
void QuickSort(std::vector<std::unique_ptr<TXmlDoc>>& list, ptrdiff_t L, ptrdiff_t R, std::string_view path)
{
    while (L < R) {
        ptrdiff_t i = L, j = R, p = L + (R - L) / 2;
        do {
            while (i <= R && CompareChildren(list[static_cast<size_t>(i)].get(), list[static_cast<size_t>(p)].get(), path) < 0)
                ++i;
            while (j >= L && CompareChildren(list[static_cast<size_t>(j)].get(), list[static_cast<size_t>(p)].get(), path) > 0)
                --j;
            if (i <= j) {
                if (i != j)
                    std::swap(list[static_cast<size_t>(i)], list[static_cast<size_t>(j)]);
                if (p == i)
                    p = j;
                else if (p == j)
                    p = i;
                ++i;
                --j;
            }
        } while (i <= j);
        // Recurse into the smaller side so the stack stays logarithmic.
        if (j - L < R - i) {
            if (L < j)
                QuickSort(list, L, j, path);
            L = i;
        } else {
            if (i < R)
                QuickSort(list, i, R, path);
            R = j;
        }
    }
}

}  // namespace

void TXmlDoc::SortNodes(bool Hierarchy, const std::string& ASortPath)
{
    std::vector<TXmlDoc*> work{this};
    while (!work.empty()) {
        TXmlDoc* node = work.back();
        work.pop_back();
        for (auto& child : node->varNodes)
            child->varSortPath = &ASortPath;
        if (node->varNodes.size() > 1)
            QuickSort(node->varNodes, 0, static_cast<ptrdiff_t>(node->varNodes.size()) - 1, ASortPath);
        for (auto& child : node->varNodes) {
            child->varSortPath = nullptr;
            if (Hierarchy)
                work.push_back(child.get());
        }
    }
}

void TXmlDoc::ExchangeNodes(TXmlDoc* NodeA, TXmlDoc* NodeB)
{
    auto find = [this](TXmlDoc* n) -> int {
        for (size_t i = 0; i < varNodes.size(); ++i)
            if (varNodes[i].get() == n)
                return static_cast<int>(i);
        return -1;
    };
    if (!NodeA || !NodeB)
        return;
    ExchangeNodes(find(NodeA), find(NodeB));
}

void TXmlDoc::ExchangeNodes(int IdxA, int IdxB)
{
    const int count = GetNodeCount();
    if (IdxA < 0 || IdxA >= count || IdxB < 0 || IdxB >= count)
        return;
    std::swap(varNodes[static_cast<size_t>(IdxA)], varNodes[static_cast<size_t>(IdxB)]);
}

void TXmlDoc::DeleteNode(std::string_view NodeName) { DeleteNode(GetNode(NodeName)); }

void TXmlDoc::DeleteNode(TXmlDoc* Node)
{
    if (!Node)
        return;
    // Only a child of this node is removed; anything else is not ours to destroy.
    for (auto it = varNodes.rbegin(); it != varNodes.rend(); ++it) {
        if (it->get() != Node)
            continue;
        std::unique_ptr<TXmlDoc> doomed = std::move(*it);
        varNodes.erase(std::next(it).base());
        DropIndexEntry(doomed->varName);
        doomed->OnRename = nullptr;
        return;
    }
}

void TXmlDoc::DestroyChildren()
{
    std::vector<std::unique_ptr<TXmlDoc>> doomed = std::move(varNodes);
    varNodes.clear();
    varNodeIndex.clear();
    for (auto& c : doomed)
        c->OnRename = nullptr;
}

void TXmlDoc::DeleteNodes() { DestroyChildren(); }

void TXmlDoc::ResetContent()
{
    SetName({});
    varValue.clear();
    DeleteProperties();
    DestroyChildren();
}

void TXmlDoc::Clear() { ResetContent(); }

// ==================================================================== properties

TXmlDoc* TXmlDoc::GetPropertyByName(std::string_view PropertyName, bool CreateIfNotExists)
{
    for (auto& p : varProperties)
        if (SameText(p->varName, PropertyName))
            return p.get();
    if (!CreateIfNotExists)
        return nullptr;
    varProperties.push_back(std::make_unique<TXmlDoc>(std::string(PropertyName)));
    return varProperties.back().get();
}

const TXmlDoc* TXmlDoc::FindProperty(std::string_view PropertyName) const
{
    for (auto& p : varProperties)
        if (SameText(p->varName, PropertyName))
            return p.get();
    return nullptr;
}

TXmlDoc* TXmlDoc::GetPropertyByIndex(int PropertyIndex)
{
    if (PropertyIndex < 0 || PropertyIndex >= GetPropertyCount()) {
        varProperties.push_back(std::make_unique<TXmlDoc>());
        return varProperties.back().get();
    }
    return varProperties[static_cast<size_t>(PropertyIndex)].get();
}

void TXmlDoc::DeleteProperty(std::string_view PropertyName)
{
    for (auto it = varProperties.begin(); it != varProperties.end(); ++it)
        if (SameText((*it)->varName, PropertyName)) {
            varProperties.erase(it);
            return;
        }
}

void TXmlDoc::DeleteProperties()
{
    std::vector<std::unique_ptr<TXmlDoc>> doomed = std::move(varProperties);
    varProperties.clear();
}

// ==================================================================== values

bool TXmlDoc::IsNumeric() const { return TextIsNumeric(varValue); }

bool TXmlDoc::IsFloat() const { return TextIsFloat(varValue); }

bool TXmlDoc::IsDateTime() const
{
    if (varValue.empty())
        return false;
    for (char c : varValue)
        if (c != '0' && c != '-' && c != ':' && c != '.' && c != ' ' && c != 'Z' && c != 'z' && c != '+')
            return true;
    return false;
}

namespace {
template <class T>
T RoundToInteger(double v)
{
    const double r = std::nearbyint(v);  // the default rounding mode: ties to even
    if (!(r >= static_cast<double>(std::numeric_limits<T>::min())))
        return std::numeric_limits<T>::min();
    if (r >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(r);
}
}  // namespace

int32_t TXmlDoc::GetAsInt() const
{
    if (IsFloat())
        return RoundToInteger<int32_t>(TextToFloat(varValue));
    int32_t v = 0;
    return ParseInteger(varValue, v) ? v : 0;
}

void TXmlDoc::SetAsInt(int32_t AValue) { varValue = IntText(AValue); }

int64_t TXmlDoc::GetAsInt64() const
{
    if (IsFloat())
        return RoundToInteger<int64_t>(TextToFloat(varValue));
    int64_t v = 0;
    return ParseInteger(varValue, v) ? v : 0;
}

void TXmlDoc::SetAsInt64(int64_t AValue) { varValue = IntText(AValue); }

double TXmlDoc::GetAsFloat() const { return TextToFloat(varValue); }

void TXmlDoc::SetAsFloat(double AValue) { varValue = FloatToText(AValue); }

bool TXmlDoc::GetAsBool() const { return TextToBool(varValue); }

double TXmlDoc::GetAsDateTime() const { return TextToDateTime(varValue); }

void TXmlDoc::SetAsDateTime(double AValue) { varValue = DateTimeToText(AValue); }

void TXmlDoc::Push(std::string_view S, std::string_view AToken)
{
    if (S.empty())
        return;
    const bool endsWithToken = varValue.size() >= AToken.size() &&
                               std::string_view(varValue).substr(varValue.size() - AToken.size()) == AToken;
    if (!varValue.empty() && !endsWithToken)
        varValue.append(AToken);
    varValue.append(S);
}

std::string TXmlDoc::Pop(std::string_view AToken)
{
    const size_t at = AToken.empty() ? std::string::npos : varValue.find(AToken);
    if (at == std::string::npos) {
        std::string all = std::move(varValue);
        varValue.clear();
        return all;
    }
    std::string head = varValue.substr(0, at);
    varValue.erase(0, at + AToken.size());
    return head;
}

void TXmlDoc::Setv(std::string AValue, std::string AEncode)
{
    varValue = std::move(AValue);
    if (!AEncode.empty())
        SetEncType(std::move(AEncode));
}

// ==================================================================== lists of text

void TXmlDoc::ParseStringList(std::string_view S, std::string_view AToken)
{
    std::vector<std::string> lines;
    if (!AToken.empty()) {
        TXmlDoc rest("", std::string(S));
        while (!rest.varValue.empty())
            lines.push_back(rest.Pop(AToken));
    } else {
        size_t i = 0;
        while (i < S.size()) {
            const size_t stop = S.find_first_of("\r\n", i);
            if (stop == std::string_view::npos) {
                lines.emplace_back(S.substr(i));
                break;
            }
            lines.emplace_back(S.substr(i, stop - i));
            i = stop + ((S[stop] == '\r' && stop + 1 < S.size() && S[stop + 1] == '\n') ? 2 : 1);
        }
    }
    ParseStrings(lines);
}

void TXmlDoc::ParseStrings(const std::vector<std::string>& L)
{
    for (const std::string& line : L) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == line.size())
            continue;
        GetNode(std::string_view(line).substr(0, eq))->Setv(line.substr(eq + 1));
    }
}

void TXmlDoc::GetStrings(std::vector<std::string>& L) const
{
    for (auto& child : varNodes) {
        if (child->varName.empty() || child->varValue.empty())
            continue;
        if (child->varName.back() == '=')
            L.push_back(child->varName + child->varValue);
        else
            L.push_back(child->varName + "=" + child->varValue);
    }
}

std::string TXmlDoc::GetCommaNames() const
{
    std::string result;
    for (auto& child : varNodes) {
        if (child->varName.empty())
            continue;
        if (!result.empty() && result.back() != ',')
            result += ',';
        result += child->varName;
    }
    return result;
}

// ==================================================================== copying

void TXmlDoc::AppendCopiesOf(const std::vector<std::unique_ptr<TXmlDoc>>& ANodes, const TNameIndex& AIndex)
{
    // Iterative deep copy: each pair is a source node and its fresh copy whose properties
    // and children are still to be filled. The name index of every copied node points at
    // the copies of the children the source's index points at.
    std::vector<std::pair<const TXmlDoc*, TXmlDoc*>> work;
    auto copyChildren = [&work](const std::vector<std::unique_ptr<TXmlDoc>>& from, const TNameIndex& index,
                                TXmlDoc& to) {
        to.varNodes.reserve(to.varNodes.size() + from.size());
        for (auto& child : from) {
            auto copy = std::make_unique<TXmlDoc>(child->varName, child->varValue, child->varObject);
            to.BindChild(*copy);
            auto it = index.find(child->varName);
            if (it != index.end() && it->second == child.get())
                to.varNodeIndex.insert_or_assign(child->varName, copy.get());
            work.emplace_back(child.get(), copy.get());
            to.varNodes.push_back(std::move(copy));
        }
    };
    // Copies go to a holder first, so a node may append copies of its own children.
    TXmlDoc holder;
    copyChildren(ANodes, AIndex, holder);
    while (!work.empty()) {
        auto [from, to] = work.back();
        work.pop_back();
        for (auto& p : from->varProperties)
            if (!p->varValue.empty())
                to->varProperties.push_back(std::make_unique<TXmlDoc>(p->varName, p->varValue));
        copyChildren(from->varNodes, from->varNodeIndex, *to);
    }
    varNodes.reserve(varNodes.size() + holder.varNodes.size());
    for (auto& c : holder.varNodes) {
        TXmlDoc& child = *c;
        varNodes.push_back(std::move(c));
        BindChild(child);
        auto it = holder.varNodeIndex.find(child.varName);
        if (it != holder.varNodeIndex.end() && it->second == &child)
            varNodeIndex.insert_or_assign(child.varName, &child);
    }
    holder.varNodes.clear();
}

void TXmlDoc::Clone(const TXmlDoc& ANode, TCloneFlags ACloneFlags)
{
    // ANode may be this node or lie below it: whatever the reset steps remove is kept alive
    // until the copy is done, and the copy reads ANode's children from where they went.
    std::vector<std::unique_ptr<TXmlDoc>> keepProps, keepNodes;
    TNameIndex keepIndex;
    const std::string name = ANode.varName;
    const std::string value = ANode.varValue;
    void* const data = ANode.varObject;
    std::vector<const TXmlDoc*> props;
    for (auto& p : ANode.varProperties)
        props.push_back(p.get());
    const std::vector<std::unique_ptr<TXmlDoc>>* sourceNodes = &ANode.varNodes;
    const TNameIndex* sourceIndex = &ANode.varNodeIndex;

    auto detachNodes = [&] {
        if (varNodes.empty())
            return;
        for (auto& c : varNodes)
            keepNodes.push_back(std::move(c));
        varNodes.clear();
        if (keepIndex.empty())
            keepIndex = std::move(varNodeIndex);
        varNodeIndex.clear();
        if (&ANode == this) {
            sourceNodes = &keepNodes;
            sourceIndex = &keepIndex;
        }
    };

    if (!(ACloneFlags & cfAvoidReset)) {
        SetName({});
        varValue.clear();
        keepProps = std::move(varProperties);
        varProperties.clear();
        detachNodes();
    }
    if (!(ACloneFlags & cfAvoidName))
        SetName(name);
    if (!(ACloneFlags & cfAvoidValue))
        varValue = value;
    if (!(ACloneFlags & cfAvoidData))
        varObject = data;
    if (!(ACloneFlags & cfAvoidProps))
        for (const TXmlDoc* p : props)
            if (!p->varValue.empty())
                varProperties.push_back(std::make_unique<TXmlDoc>(p->varName, p->varValue));
    if (ACloneFlags & cfAvoidNodes)
        return;
    if (!(ACloneFlags & cfAvoidResetNodes))
        detachNodes();
    AppendCopiesOf(*sourceNodes, *sourceIndex);
    for (auto& c : keepNodes)
        c->OnRename = nullptr;
}

std::unique_ptr<TXmlDoc> TXmlDoc::Duplicate() const
{
    auto copy = std::make_unique<TXmlDoc>();
    copy->Clone(*this);
    return copy;
}

void TXmlDoc::LoadFromNode(const TXmlDoc* ANode)
{
    const std::string text = (ANode ? ANode : this)->varValue;
    SetXML(text);
}

void TXmlDoc::SaveToNode(TXmlDoc* ANode, const std::string& AEncode)
{
    if (ANode && ANode != this) {
        ANode->Setv(GetXML(), AEncode);
        return;
    }
    std::string text = GetXML();
    DeleteProperties();
    DestroyChildren();
    // The encoding asked for stays, so the text keeps travelling in that form.
    Setv(std::move(text), AEncode);
}

std::string TXmlDoc::ExpandFileName(const std::string& FileName) { return UnitLocalUtils::LocalFileName(FileName); }

// ==================================================================== XML text form

namespace {

constexpr TTokenSet MakeNameChars()
{
    TTokenSet s;
    s.Include('!').IncludeRange('#', '&').IncludeRange('(', '.').IncludeRange('0', ';').IncludeRange('?', 'Z');
    s.Include('_').IncludeRange('a', 'z');
    return s;
}
constexpr TTokenSet kNameChars = MakeNameChars();
constexpr TTokenSet kBlanks{'\t', '\n', '\r', ' '};
constexpr TTokenSet kTextStop{'\t', '\n', '\r', '<'};
constexpr TTokenSet kQuotes{'"', '\''};
constexpr TTokenSet kLt{'<'};
constexpr TTokenSet kGt{'>'};
constexpr TTokenSet kSlash{'/'};
constexpr TTokenSet kSlashGt{'/', '>'};
constexpr TTokenSet kDoubleQuote{'"'};
constexpr TTokenSet kApostrophe{'\''};
constexpr TTokenSet MakeAttributeStart()
{
    TTokenSet s = MakeNameChars();
    s.Include('/').Include('>');
    return s;
}
constexpr TTokenSet kAttributeStart = MakeAttributeStart();

// Indentation stops growing at this depth, so the text of a very deep tree stays linear in
// its size; the reader skips blanks between elements either way.
constexpr size_t kMaxIndent = 128;

const std::string kTabs(kMaxIndent, '\t');

}  // namespace

class TXmlReader {
public:
    explicit TXmlReader(TGenericParser& AParser) : P(AParser) {}

    void ReadElement(TXmlDoc& ANode)
    {
        ANode.ResetContent();
        if (!P.ValidPos())
            return;
        std::string name;
        const THead head = ReadHead(ANode, name);
        ANode.SetName(name);
        if (head == THead::Content) {
            P.MoveOffset(1);
            ReadContent(ANode);
        }
        SkipPastGt();
    }

    void ReadChildren(TXmlDoc& ANode)
    {
        ANode.DestroyChildren();
        ReadContent(ANode);
    }

private:
    enum class THead { Closed, Content };

    bool At(const TTokenSet& Tokens) { return P.ValidPos() && P.IsToken(Tokens); }

    void SkipPastGt()
    {
        P.MoveUntil(kGt);
        P.MoveOffset(1);
    }

    // Steps over "<", the name and the attributes; for an empty element or a raw value
    // sized by "_length" it reads the whole element but the closing ">".
    THead ReadHead(TXmlDoc& ANode, std::string& AName)
    {
        P.MoveUntil(kLt);
        P.MoveOffset(1);
        for (;;) {
            P.Mark();
            P.MoveWhile(kNameChars);
            AName += XmlDecode(P.Read());
            if (At(kSlash)) {
                P.MoveOffset(1);
                if (P.ValidPos() && !P.IsToken(kGt)) {
                    AName += '/';
                    continue;
                }
                P.MoveOffset(-1);
            }
            break;
        }
        int64_t length = 0;
        while (P.ValidPos()) {
            if (P.IsToken(kSlashGt))
                break;
            if (!P.IsToken(kNameChars)) {
                P.MoveUntil(kAttributeStart);
                continue;
            }
            P.Mark();
            P.MoveWhile(kNameChars);
            std::string attrName = P.Read();
            P.MoveUntil(kQuotes);
            if (!P.ValidPos())
                break;
            const bool doubleQuote = P.IsToken(kDoubleQuote);
            const TTokenSet& delimiter = doubleQuote ? kDoubleQuote : kApostrophe;
            P.MoveOffset(1);
            std::string value;
            for (;;) {
                P.Mark();
                P.MoveUntil(delimiter);
                if (value.empty())
                    value = P.Read();  // the usual case: one copy of the whole value
                else
                    value += P.Read();
                if (!P.ValidPos())
                    break;
                P.MoveOffset(1);
                if (At(delimiter)) {  // a doubled delimiter stands for one
                    value += doubleQuote ? '"' : '\'';
                    P.MoveOffset(1);
                    continue;
                }
                break;
            }
            if (attrName == "_length") {
                int64_t n = 0;
                auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
                length = (ec == std::errc() && n > 0) ? std::min<int64_t>(n, int64_t(1) << 48) : 0;
                continue;
            }
            attrName = XmlDecode(std::move(attrName));
            value = XmlDecode(std::move(value));
            if (!attrName.empty() || !value.empty())
                ANode.varProperties.push_back(std::make_unique<TXmlDoc>(std::move(attrName), std::move(value)));
        }
        if (At(kSlash)) {
            P.MoveOffset(1);
            return THead::Closed;
        }
        if (length >= 1) {
            P.MoveOffset(1);
            P.Mark();
            P.MoveOffset(length);
            ANode.varValue = P.Read();
            return THead::Closed;
        }
        return THead::Content;
    }

    void ReadText(TXmlDoc& ANode)
    {
        P.Mark();
        P.MoveUntil(kTextStop);
        std::string text = P.Read();
        const std::string enc = ANode.GetProperty("_enctype")->varValue;
        ANode.varValue = DecodeValue(std::move(text), enc);
    }

    // A finished child stays when it holds anything, and then enters the parent's index
    // unless its name is there already (the first child of a name wins).
    static void Adopt(TXmlDoc& AParent)
    {
        TXmlDoc& child = *AParent.varNodes.back();
        if (child.varName.empty() && child.varValue.empty() && child.varProperties.empty() && child.varNodes.empty()) {
            AParent.varNodes.pop_back();
            return;
        }
        AParent.AddIndexEntry(child, false);
        AParent.BindChild(child);
    }

    // Skips one element whose head has been read, nesting counted but nothing kept.
    void SkipElement()
    {
        size_t depth = 1;
        TXmlDoc scratch;
        while (depth > 0 && P.ValidPos()) {
            P.MoveUntil(kLt);
            if (!P.ValidPos())
                break;
            P.MoveOffset(1);
            if (At(kSlash)) {
                SkipPastGt();
                --depth;
                continue;
            }
            P.MoveOffset(-1);
            scratch.varProperties.clear();
            std::string name;
            if (ReadHead(scratch, name) == THead::Content) {
                P.MoveOffset(1);
                ++depth;
            } else {
                SkipPastGt();
            }
        }
    }

    // The content of ARoot (after its ">"), with every element below it, without
    // recursion. Open elements are finished even when the parser fails halfway.
    void ReadContent(TXmlDoc& ARoot)
    {
        std::vector<TXmlDoc*> open{&ARoot};
        try {
            while (!open.empty()) {
                TXmlDoc& node = *open.back();
                P.MoveWhile(kBlanks);
                if (!P.ValidPos())
                    break;
                if (!P.IsToken(kLt)) {
                    ReadText(node);
                    continue;
                }
                P.MoveOffset(1);
                if (At(kSlash)) {
                    if (open.size() == 1)
                        return;  // the caller closes the root
                    SkipPastGt();
                    open.pop_back();
                    Adopt(*open.back());
                    continue;
                }
                P.MoveOffset(-1);
                if (open.size() >= TXmlDoc::MaxReadDepth) {
                    TXmlDoc scratch;
                    std::string name;
                    if (ReadHead(scratch, name) == THead::Content) {
                        P.MoveOffset(1);
                        SkipElement();
                    } else {
                        SkipPastGt();
                    }
                    continue;
                }
                node.varNodes.push_back(std::make_unique<TXmlDoc>());
                TXmlDoc& child = *node.varNodes.back();
                if (ReadHead(child, child.varName) == THead::Content) {
                    P.MoveOffset(1);
                    open.push_back(&child);
                } else {
                    SkipPastGt();
                    Adopt(node);
                }
            }
        } catch (...) {
            Unwind(open);
            throw;
        }
        Unwind(open);
    }

    static void Unwind(std::vector<TXmlDoc*>& open)
    {
        while (open.size() > 1) {
            open.pop_back();
            Adopt(*open.back());
        }
    }

    TGenericParser& P;
};

class TXmlWriter {
public:
    explicit TXmlWriter(TGenericParser& AParser) : P(AParser) {}

    static int64_t EstimateTree(const TXmlDoc& ARoot)
    {
        int64_t total = 0;
        std::vector<std::pair<const TXmlDoc*, size_t>> work{{&ARoot, 0}};
        while (!work.empty()) {
            auto [node, level] = work.back();
            work.pop_back();
            total += EstimateNode(*node, level);
            for (auto& c : node->varNodes)
                work.emplace_back(c.get(), level + 1);
        }
        return total;
    }

    void WriteTree(const TXmlDoc& ARoot)
    {
        struct TFrame {
            const TXmlDoc* node;
            size_t level;
            size_t next;
        };
        std::vector<TFrame> open;
        if (WriteOpen(ARoot, 0))
            open.push_back({&ARoot, 0, 0});
        while (!open.empty()) {
            TFrame& top = open.back();
            if (top.next < top.node->varNodes.size()) {
                const TXmlDoc* child = top.node->varNodes[top.next++].get();
                if (Blank(*child))
                    continue;
                const size_t level = top.level + 1;
                if (WriteOpen(*child, level))
                    open.push_back({child, level, 0});
                continue;
            }
            Indent(top.level);
            P.Write("</");
            P.Write(XmlEncode(top.node->varName));
            P.Write(">\r\n");
            open.pop_back();
        }
    }

    // A child without name, value, written properties or children would be written as
    // "</>", which reads as the parent's closing tag; it is left out (reading drops it anyway).
    static bool Blank(const TXmlDoc& ANode)
    {
        if (!ANode.varName.empty() || !ANode.varValue.empty() || !ANode.varNodes.empty())
            return false;
        for (auto& p : ANode.varProperties)
            if (!p->varValue.empty())
                return false;
        return true;
    }

private:
    static const TXmlDoc* EncTypeOf(const TXmlDoc& ANode) { return ANode.FindProperty("_enctype"); }

    static int64_t EstimateNode(const TXmlDoc& ANode, size_t ALevel)
    {
        const auto L = static_cast<int64_t>(std::min(ALevel, kMaxIndent));
        const bool value = !ANode.varValue.empty();
        const bool children = !ANode.varNodes.empty();
        int64_t size = L;
        if (!value && !children)
            size += 4;
        else if (!value)
            size += 8;
        else if (children)
            size += L + 6;
        else
            size += 6;
        size += 4 * static_cast<int64_t>(ANode.varName.size());
        for (auto& p : ANode.varProperties)
            if (!p->varValue.empty())
                size += 4 + 4 * static_cast<int64_t>(p->varName.size() + p->varValue.size());
        const TXmlDoc* enc = EncTypeOf(ANode);
        const std::string_view encName = enc ? std::string_view(enc->varValue) : std::string_view();
        if (CodingOf(encName) == TValueCoding::Length)
            size += 11 + static_cast<int64_t>(IntText(static_cast<int64_t>(ANode.varValue.size())).size());
        size += static_cast<int64_t>(ANode.varValue.size()) * EncodingFactor(encName);
        return size;
    }

    void Indent(size_t ALevel) { P.Write(std::string_view(kTabs).substr(0, std::min(ALevel, kMaxIndent))); }

    // Writes the node's start; true when its children and closing tag are still to come.
    bool WriteOpen(const TXmlDoc& ANode, size_t ALevel)
    {
        Indent(ALevel);
        P.Write("<");
        P.Write(XmlEncode(ANode.varName));
        const TXmlDoc* enc = EncTypeOf(ANode);
        const std::string_view encName = enc ? std::string_view(enc->varValue) : std::string_view();
        const TValueCoding coding = CodingOf(encName);
        for (auto& p : ANode.varProperties) {
            if (p->varValue.empty())
                continue;
            // "_length" belongs to the writer: a stray property of that name would make the
            // reader take the wrong number of raw bytes.
            if (p->varName == "_length")
                continue;
            if (p.get() == enc && coding == TValueCoding::RawNoAttr)
                continue;
            P.Write(" ");
            P.Write(XmlEncode(p->varName));
            P.Write("=\"");
            P.Write(XmlEncode(p->varValue));
            P.Write("\"");
            if (p.get() == enc && coding == TValueCoding::Length) {
                P.Write(" _length=\"");
                P.Write(IntText(static_cast<int64_t>(ANode.varValue.size())));
                P.Write("\"");
            }
        }
        const bool children = !ANode.varNodes.empty();
        if (ANode.varValue.empty()) {
            P.Write(children ? ">\r\n" : "/>\r\n");
            return children;
        }
        P.Write(">");
        switch (coding) {
        case TValueCoding::Xml:
            P.Write(XmlEncode(ANode.varValue));
            break;
        case TValueCoding::Codec:
            P.Write(UnitEncoding::ConvertByName(ANode.varValue, encName, true));
            break;
        default:
            P.Write(ANode.varValue);
            break;
        }
        if (children)
            return true;
        P.Write("</");
        P.Write(XmlEncode(ANode.varName));
        P.Write(">\r\n");
        return false;
    }

    TGenericParser& P;
};

void TXmlDoc::WriteXML(TGenericParser& AParser) const
{
    AParser.Estimate(TXmlWriter::EstimateTree(*this));
    AParser.Allocate();
    TXmlWriter(AParser).WriteTree(*this);
    AParser.Finish();
}

void TXmlDoc::ReadXML(TGenericParser& AParser, bool AChildren)
{
    // Compressed values ("_enctype" "zm") of one document inflate within one budget together.
    const UnitCodecs::TInflateBudget budget;
    TXmlReader reader(AParser);
    if (AChildren)
        reader.ReadChildren(*this);
    else
        reader.ReadElement(*this);
}

std::string TXmlDoc::GetXML() const
{
    std::string text;
    TStringParser parser;
    parser.SetData(text);
    WriteXML(parser);
    return text;
}

std::string TXmlDoc::GetChildrenXML() const
{
    std::string text;
    TStringParser parser;
    parser.SetData(text);
    int64_t estimate = 0;
    for (auto& c : varNodes)
        estimate += TXmlWriter::EstimateTree(*c);
    parser.Estimate(estimate);
    parser.Allocate();
    TXmlWriter writer(parser);
    for (auto& c : varNodes)
        if (!TXmlWriter::Blank(*c))
            writer.WriteTree(*c);
    parser.Finish();
    return text;
}

void TXmlDoc::SetXML(std::string_view AXML)
{
    TStringParser parser;
    parser.SetData(AXML);
    try {
        ReadXML(parser, false);
    } catch (...) {
        // What was read up to the error stays.
    }
}

void TXmlDoc::SetChildrenXML(std::string_view AXML)
{
    TStringParser parser;
    parser.SetData(AXML);
    try {
        ReadXML(parser, true);
    } catch (...) {
    }
}

// ==================================================================== JSON

namespace {

bool IsAsn1Primitive(std::string_view name)
{
    for (std::string_view n : {"boolean", "integer", "octetstring", "printablestring", "bitstring", "utf8string",
                               "ia5string", "numericstring", "utctime", "gentime", "oid"})
        if (SameText(name, n))
            return true;
    return false;
}

std::string JsonString(std::string_view s) { return "\"" + UnitEncoding::ConvertByName(s, "json", true) + "\""; }

std::string JsonKey(std::string_view name)
{
    std::string lower(name);
    for (char& c : lower)
        c = LowerAscii(c);
    return JsonString(lower) + ":";
}

// A value that passes the integer reading, as a JSON number: the text itself when it is
// already one, otherwise its decimal value ("$1F", "+5" and "007" are not JSON numbers).
std::string JsonNumber(std::string_view s)
{
    std::string_view t = s;
    while (!t.empty() && t.front() == ' ')
        t.remove_prefix(1);
    std::string_view digits = t;
    if (!digits.empty() && digits.front() == '-')
        digits.remove_prefix(1);
    const bool plain = !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                       (digits.size() == 1 || digits.front() != '0');
    if (plain)
        return std::string(t);
    // Other numeric forms ("$1F", "0x10", "012") are no JSON numbers; rewriting them as
    // decimal would change the value's text, so they stay text.
    return JsonString(s);
}

}  // namespace

std::string TXmlDoc::GetJSON()
{
    // Rendered without recursion into one growing text. Objects and arrays are never empty
    // renderings, so a separator can be written as soon as a member starts.
    struct TFrame {
        TXmlDoc* node;
        bool array;
        size_t next;     // properties first, then children
        size_t members;  // members written so far
    };
    std::vector<TFrame> open;
    std::string out;

    auto separate = [&open, &out] {
        if (!open.empty() && open.back().members++ > 0)
            out += ',';
    };
    auto render = [&](TXmlDoc& n) {
        if (!n.varName.empty() && n.varName.front() == '_')
            return;
        int count = 0;
        for (auto& p : n.varProperties)
            if (p->varName.empty() || p->varName.front() != '_')
                ++count;
        if (n.Getb("_hash"))
            count = 1;
        const std::string key = n.varName.empty() ? std::string() : JsonKey(n.varName);
        if (IsAsn1Primitive(n.varName) && n.varNodes.empty()) {
            separate();
            out += key + JsonString(n.Getp("Value"));
            return;
        }
        if (n.Getb("_array")) {
            separate();
            out += key + "[";
            open.push_back({&n, true, 0, 0});
            return;
        }
        if (count > 0 || !n.varNodes.empty()) {
            separate();
            if (!n.Getb("_object"))
                out += key;
            out += "{";
            open.push_back({&n, false, 0, 0});
            return;
        }
        separate();
        out += key + (n.IsNumeric() ? JsonNumber(n.varValue) : JsonString(n.varValue));
    };

    render(*this);
    while (!open.empty()) {
        TFrame& top = open.back();
        TXmlDoc& n = *top.node;
        const size_t props = top.array ? 0 : n.varProperties.size();
        if (top.next < props + n.varNodes.size()) {
            TXmlDoc& member = top.next < props ? *n.varProperties[top.next] : *n.varNodes[top.next - props];
            ++top.next;
            if (top.array)
                member.Setb("_object", true);
            render(member);
            continue;
        }
        out += top.array ? "]" : "}";
        open.pop_back();
    }
    return out;
}

// ==================================================================== files

bool TXmlDoc::LoadFromFile(const std::string& FileName)
{
    try {
        const std::string name = ExpandFileName(FileName);
        struct stat st {};
        if (name.empty() || ::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        TFileStream stream(name, TFileStream::TMode::ReadShared);
        TStreamParser parser;
        parser.SetData(stream);
        ReadXML(parser, false);
        return true;
    } catch (...) {
        return false;
    }
}

bool TXmlDoc::SaveToFile(const std::string& FileName) const
{
    std::string name;
    try {
        name = ExpandFileName(FileName);
    } catch (...) {
        return false;
    }
    if (name.empty())
        return false;
    const std::string temporary = name + ".~tmp";
    try {
        TFileStream stream(temporary, TFileStream::TMode::CreateExclusive);
        TStreamParser parser;
        parser.SetData(stream);
        WriteXML(parser);
        stream.Sync();
    } catch (...) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The old file is replaced by one atomic rename, so it is never lost halfway. A target
    // that is read-only (or not a file) is not replaced; the new text stays in the
    // temporary file beside it.
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 &&
        (!S_ISREG(st.st_mode) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0))
        return false;
    for (int attempt = 0; attempt < 1000; ++attempt)
        if (::rename(temporary.c_str(), name.c_str()) == 0)
            return true;
    return false;
}
