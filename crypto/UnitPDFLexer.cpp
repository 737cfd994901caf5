#include "crypto/UnitPDFLexer.h"

#include "core/UnitStatusWords.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace UnitPDFLexer {

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\0';
}

bool IsDelimiter(char c)
{
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '/' || c == '%';
}

std::string_view Trim(std::string_view s, std::string_view chars)
{
    const size_t b = s.find_first_not_of(chars);
    if (b == std::string_view::npos)
        return {};
    const size_t e = s.find_last_not_of(chars);
    return s.substr(b, e - b + 1);
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y))
            return false;
    }
    return true;
}

bool StartsNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

// Whole text as a non-negative decimal number.
bool ParseUnsigned(std::string_view s, long long& value)
{
    if (s.empty() || s.size() > 18)
        return false;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && ptr == s.data() + s.size() && value >= 0;
}

long long LeadingInt(std::string_view s)
{
    s = Trim(s);
    long long value = 0;
    std::from_chars(s.data(), s.data() + s.size(), value);
    return value;
}

std::string_view FirstWord(std::string_view s)
{
    s = Trim(s);
    size_t e = 0;
    while (e < s.size() && !IsWhite(s[e]) && (e == 0 || !IsDelimiter(s[e])))
        ++e;
    return s.substr(0, e);
}

std::string Padded(long long value, int width)
{
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
    return digits;
}

[[noreturn]] void Fail(std::string_view word, const std::string& message)
{
    throw EPdfError(word, message);
}

// Replaces `length` bytes at `position` with the text; only what follows moves.
void ReplaceBytes(TPDF::TBytes& data, size_t position, size_t length, std::string_view text)
{
    const auto* from = reinterpret_cast<const uint8_t*>(text.data());
    const size_t common = std::min(length, text.size());
    std::copy(from, from + common, data.begin() + static_cast<std::ptrdiff_t>(position));
    const auto rest = data.begin() + static_cast<std::ptrdiff_t>(position + common);
    if (text.size() > length)
        data.insert(rest, from + common, from + text.size());
    else if (length > text.size())
        data.erase(rest, rest + static_cast<std::ptrdiff_t>(length - common));
}

// Top-level entries of the dictionary the text begins with; throws when it has none.
TDict ParseDict(std::string_view text)
{
    TLexer lexer(text);
    if (!lexer.Next("<<"))
        Fail(Words::PdfStructureInvalid, "dictionary expected");
    TDict dict;
    const size_t base = lexer.Pos() + 2;
    TLexer entries(text.substr(base));
    while (true) {
        if (entries.AtEnd())
            Fail(Words::PdfStructureInvalid, "unterminated dictionary");
        if (entries.Next(">>")) {
            dict.Close = base + entries.Pos();
            break;
        }
        entries.SkipSpace();
        const size_t keyStart = base + entries.Pos();
        const std::string_view key = entries.Name();
        const size_t valueStart = base + entries.Pos();
        entries.Object(1);
        dict.Entries.push_back({key, keyStart, valueStart, base + entries.Pos()});
    }
    return dict;
}

const TDictEntry* FindEntry(const TDict& dict, std::string_view key)
{
    for (const TDictEntry& entry : dict.Entries)
        if (entry.Key == key)
            return &entry;
    return nullptr;
}

}  // namespace UnitPDFLexer
