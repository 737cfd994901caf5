// Text helpers of the tree: name comparison, value readings and the "xml" coding.
#include "core/UnitXmlText.h"

#include "core/UnitXmlDoc.h"
#include "encoding/UnitEncoding.h"

#include <algorithm>
#include <cmath>
#include <langinfo.h>

using UnitXmlDoc::SameText;

namespace UnitXmlText {

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

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view Copy(std::string_view s, size_t pos1, size_t count)
{
    if (pos1 == 0 || pos1 - 1 >= s.size())
        return {};
    return s.substr(pos1 - 1, count);
}

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

size_t HashText(std::string_view S) noexcept
{
    uint64_t h = 1469598103934665603ull;
    for (char c : S)
        h = (h ^ static_cast<unsigned char>(LowerAscii(c))) * 1099511628211ull;
    return static_cast<size_t>(h);
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

namespace {

constexpr TTokenSet MakeXmlEscapes()
{
    TTokenSet s;
    s.IncludeRange(0, 31).IncludeRange(127, 255);
    for (char c : std::string_view(" \"%&'+/:<>?[]\\^`{|}~"))
        s.Include(static_cast<uint8_t>(c));
    return s;
}
}  // namespace

const TTokenSet kXmlEscapes = MakeXmlEscapes();

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

}  // namespace UnitXmlText

using namespace UnitXmlText;

namespace UnitXmlDoc {

bool SameText(std::string_view A, std::string_view B) noexcept { return A.size() == B.size() && CompareText(A, B) == 0; }

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
