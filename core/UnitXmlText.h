// The text helpers under the tree: case-folded comparison and hashing of names, the integer
// and float readings of values, and the "xml" coding of names and values in the text form.
// The typed-value conversions callers use are declared in UnitXmlDoc.h (namespace UnitXmlDoc).
#pragma once

#include "core/UnitParser.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace UnitXmlText {

inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Case-insensitive order: ASCII letters folded, other bytes by value.
int CompareText(std::string_view A, std::string_view B) noexcept;
// A hash that agrees with CompareText's equality.
size_t HashText(std::string_view S) noexcept;

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
std::string_view Trim(std::string_view s);
// 1-based substring, cut at the end of the text.
std::string_view Copy(std::string_view s, size_t pos1, size_t count);

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
bool ParseFloat(std::string_view s, double& value);
char LocaleDecimalSeparator();

// Decimal text of a number, left-padded with zeros to a width (the sign stays in front).
std::string Pad(int value, int width);
std::string IntText(int64_t value);
// The integer reading of a date or time field, 0 when it does not read.
int FieldOf(std::string_view s);

// ---- the "xml" coding of names and values in the text form

extern const TTokenSet kXmlEscapes;
std::string XmlEncode(std::string_view s);
std::string XmlDecode(std::string&& s);

enum class TValueCoding { Xml, Codec, Raw, RawNoAttr, Length };
TValueCoding CodingOf(std::string_view enc);
// How many bytes of text one byte of the value may become in the coding named.
int64_t EncodingFactor(std::string_view enc);
std::string DecodeValue(std::string&& text, std::string_view enc);

}  // namespace UnitXmlText
