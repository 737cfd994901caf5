#include "encoding/UnitCodecs.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace UnitCodecs {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kBase64LineGroups = 19;  // 76 characters

// The digit values with non-digits as 0: for decoders that count them as 0.
struct THexValuesOrZero {
    std::array<uint8_t, 256> value{};
    constexpr THexValuesOrZero()
    {
        for (size_t i = 0; i < 256; ++i)
            value[i] = kHex.values[i] == kNotHexDigit ? 0 : kHex.values[i];
    }
};
constexpr THexValuesOrZero kHexOrZero;

// Two characters at once (first character in the low byte of the index): the byte they give,
// non-digits counted as 0, and kPairNotDigits when either is not a hex digit. 128 KiB, built on
// first use.
constexpr uint16_t kPairNotDigits = 0x100;
const uint16_t* HexPairTable()
{
    static const std::vector<uint16_t> table = [] {
        std::vector<uint16_t> t(65536);
        for (size_t i = 0; i < 65536; ++i) {
            const uint8_t first = uint8_t(i), second = uint8_t(i >> 8);
            uint16_t v = uint16_t((kHexOrZero.value[first] << 4) | kHexOrZero.value[second]);
            if (kHex.values[first] == kNotHexDigit || kHex.values[second] == kNotHexDigit)
                v |= kPairNotDigits;
            t[i] = v;
        }
        return t;
    }();
    return table.data();
}

inline size_t PairIndex(const uint8_t* p)
{
    return size_t(p[0]) | (size_t(p[1]) << 8);
}

// Base64 values: 0-63 alphabet, kPad for "=", kSkip for everything else.
constexpr uint8_t kPad = 0x40;
constexpr uint8_t kSkip = 0x80;
struct TBase64Values {
    std::array<uint8_t, 256> value{};
    constexpr TBase64Values()
    {
        for (auto& v : value)
            v = kSkip;
        for (int i = 0; i < 64; ++i)
            value[uint8_t(kBase64Alphabet[i])] = uint8_t(i);
        value[uint8_t('=')] = kPad;
    }
};
constexpr TBase64Values kBase64Values;

// Bytes that XML references leave as they are.
struct TXmlPassThrough {
    std::array<bool, 256> pass{};
    constexpr TXmlPassThrough()
    {
        for (char c : std::string_view("!#$()*,-.;=@_"))
            pass[uint8_t(c)] = true;
        for (int c = '0'; c <= '9'; ++c)
            pass[size_t(c)] = true;
        for (int c = 'A'; c <= 'Z'; ++c) {
            pass[size_t(c)] = true;
            pass[size_t(c - 'A' + 'a')] = true;
        }
    }
};
constexpr TXmlPassThrough kXmlPass;

constexpr bool IsHexbin2Escaped(uint8_t b)
{
    return b == 0 || b == 9 || b == 10 || b == 13 || b == '"' || b == '#';
}

inline char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

// Every occurrence of `pattern` (ASCII case ignored), scanning left to right without
// rescanning what was put in, replaced by `with`.
std::string ReplaceAllNoCase(std::string_view text, std::string_view pattern, std::string_view with)
{
    std::string out;
    if (pattern.empty() || text.size() < pattern.size())
        return std::string(text);
    out.reserve(text.size());
    const char first = AsciiLower(pattern[0]);
    size_t i = 0;
    while (i < text.size()) {
        if (AsciiLower(text[i]) == first && text.size() - i >= pattern.size()
            && EqualsNoCase(text.substr(i, pattern.size()), pattern)) {
            out.append(with);
            i += pattern.size();
        } else {
            out.push_back(text[i]);
            ++i;
        }
    }
    return out;
}

// Finds `pattern` (ASCII case ignored) from `from`; npos when absent.
size_t FindNoCase(std::string_view text, std::string_view pattern, size_t from = 0)
{
    if (pattern.size() > text.size())
        return std::string_view::npos;
    for (size_t i = from; i + pattern.size() <= text.size(); ++i)
        if (EqualsNoCase(text.substr(i, pattern.size()), pattern))
            return i;
    return std::string_view::npos;
}

// A byte-to-text mapping applied in one pass, sized exactly. `map` gives the replacement, or a
// default-constructed view (null data) to copy the byte as it is.
template <typename TMap>
std::string MapBytes(std::string_view text, TMap map)
{
    size_t size = 0;
    for (char c : text) {
        const std::string_view piece = map(uint8_t(c));
        size += piece.data() ? piece.size() : 1;
    }
    std::string out;
    out.resize(size);
    char* dst = out.data();
    for (char c : text) {
        const std::string_view piece = map(uint8_t(c));
        if (!piece.data()) {
            *dst++ = c;
        } else if (!piece.empty()) {
            std::memcpy(dst, piece.data(), piece.size());
            dst += piece.size();
        }
    }
    return out;
}

[[noreturn]] void RaiseZlib(int code, const z_stream* stream)
{
    const char* message = (stream && stream->msg) ? stream->msg : zError(code);
    throw EZlibError(message ? message : "zlib error");
}

// Resizes without the vector's own doubling, so the memory held stays within the size asked.
void GrowTo(TBytes& out, size_t size)
{
    if (size > out.capacity())
        out.reserve(size);
    out.resize(size);
}

// zlib counts in uInt; larger buffers go in slices.
constexpr size_t kZlibSlice = size_t(1) << 30;

}  // namespace

// ---- hex ----

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string HexEncode(std::span<const uint8_t> bytes, std::string_view prefix)
{
    std::string out;
    out.resize(prefix.size() + bytes.size() * 2);
    prefix.copy(out.data(), prefix.size());
    char* dst = out.data() + prefix.size();
    for (uint8_t b : bytes) {
        std::memcpy(dst, &kHex.pairs[size_t(b) * 2], 2);
        dst += 2;
    }
    return out;
}

TBytes HexDecode(std::string_view text)
{
    TBytes out(text.size() / 2);
    const auto* src = reinterpret_cast<const uint8_t*>(text.data());
    const uint16_t* pairs = HexPairTable();
    uint8_t* dst = out.data();
    const size_t n = out.size();
    for (size_t i = 0; i < n; ++i)
        dst[i] = uint8_t(pairs[PairIndex(src + 2 * i)]);
    return out;
}

bool HexDecodeStrict(std::string_view text, TBytes& out)
{
    out.resize(text.size() / 2);
    const auto* src = reinterpret_cast<const uint8_t*>(text.data());
    // One test at the end: documents of hundreds of megabytes pass here.
    uint8_t bad = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        const uint8_t hi = kHex.values[src[2 * i]];
        const uint8_t lo = kHex.values[src[2 * i + 1]];
        bad |= uint8_t(hi | lo);
        out[i] = uint8_t((hi << 4) | (lo & 0x0F));
    }
    // kNotHexDigit has its high bit set, no digit value has.
    if (text.size() % 2 != 0 || (bad & 0x80) != 0) {
        out.clear();
        return false;
    }
    return true;
}

std::optional<TBytes> HexDecodeStrict(std::string_view text)
{
    TBytes out;
    if (!HexDecodeStrict(text, out))
        return std::nullopt;
    return out;
}

TBytes HexDecodeLenient(std::string_view text)
{
    TBytes out(text.size() / 2);
    const auto* src = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    const uint16_t* pairs = HexPairTable();
    size_t written = 0;
    size_t i = 0;
    while (i < n) {
        // Whole pairs of digits, the usual case.
        while (i + 1 < n) {
            const uint16_t v = pairs[PairIndex(src + i)];
            if (v & kPairNotDigits)
                break;
            out[written++] = uint8_t(v);
            i += 2;
        }
        // Otherwise find the next two digits one character at a time.
        uint8_t hi = kNotHexDigit;
        while (i < n && (hi = kHex.values[src[i]]) == kNotHexDigit)
            ++i;
        if (i >= n)
            break;
        ++i;
        uint8_t lo = kNotHexDigit;
        while (i < n && (lo = kHex.values[src[i]]) == kNotHexDigit)
            ++i;
        if (i >= n)
            break;  // a final odd digit is ignored
        ++i;
        out[written++] = uint8_t((hi << 4) | lo);
    }
    out.resize(written);
    return out;
}

// ---- hexbin2 ----

std::string Hexbin2Encode(std::span<const uint8_t> bytes, std::string_view prefix)
{
    std::string out;
    out.resize(prefix.size() + bytes.size() * 3);
    prefix.copy(out.data(), prefix.size());
    char* dst = out.data() + prefix.size();
    for (uint8_t b : bytes) {
        if (IsHexbin2Escaped(b)) {
            *dst++ = '#';
            std::memcpy(dst, &kHex.pairs[size_t(b) * 2], 2);
            dst += 2;
        } else {
            *dst++ = char(b);
        }
    }
    out.resize(size_t(dst - out.data()));
    return out;
}

TBytes Hexbin2Decode(std::string_view text)
{
    TBytes out(text.size());
    const auto* src = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t written = 0;
    for (size_t i = 0; i < n;) {
        if (src[i] == '#' && n - i >= 3) {
            out[written++] = uint8_t((kHexOrZero.value[src[i + 1]] << 4) | kHexOrZero.value[src[i + 2]]);
            i += 3;
        } else {
            out[written++] = src[i++];
        }
    }
    out.resize(written);
    return out;
}

// ---- base64 ----

std::string Base64Encode(std::span<const uint8_t> bytes, bool lines, std::string_view prefix)
{
    const size_t n = bytes.size();
    const size_t groups = (n + 2) / 3;
    const size_t breaks = (lines && groups > 0) ? (groups - 1) / kBase64LineGroups : 0;
    std::string out;
    out.resize(prefix.size() + groups * 4 + breaks * 2);
    prefix.copy(out.data(), prefix.size());
    char* dst = out.data() + prefix.size();
    const uint8_t* src = bytes.data();
    const size_t whole = n / 3;
    size_t inLine = 0;
    for (size_t g = 0; g < whole; ++g) {
        const uint32_t v = (uint32_t(src[0]) << 16) | (uint32_t(src[1]) << 8) | src[2];
        dst[0] = kBase64Alphabet[v >> 18];
        dst[1] = kBase64Alphabet[(v >> 12) & 63];
        dst[2] = kBase64Alphabet[(v >> 6) & 63];
        dst[3] = kBase64Alphabet[v & 63];
        dst += 4;
        src += 3;
        if (lines && ++inLine == kBase64LineGroups && g + 1 < groups) {
            dst[0] = '\r';
            dst[1] = '\n';
            dst += 2;
            inLine = 0;
        }
    }
    const size_t rest = n - whole * 3;
    if (rest > 0) {
        uint32_t v = uint32_t(src[0]) << 16;
        if (rest == 2)
            v |= uint32_t(src[1]) << 8;
        dst[0] = kBase64Alphabet[v >> 18];
        dst[1] = kBase64Alphabet[(v >> 12) & 63];
        dst[2] = rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
        dst[3] = '=';
    }
    return out;
}

TBytes Base64Decode(std::string_view text)
{
    const size_t n = text.size();
    const auto* src = reinterpret_cast<const uint8_t*>(text.data());
    const auto& table = kBase64Values.value;
    TBytes out((n / 4 + 1) * 3);
    uint8_t* dst = out.data();

    uint8_t quad[4] = {};
    size_t inQuad = 0;
    bool padLast = false, padBeforeLast = false;  // "=" among the last two significant characters
    size_t i = 0;
    while (i < n) {
        if (inQuad == 0) {
            // Whole groups of four alphabet characters, the usual case.
            while (n - i >= 4) {
                const uint8_t a = table[src[i]], b = table[src[i + 1]], c = table[src[i + 2]], d = table[src[i + 3]];
                if ((a | b | c | d) & (kPad | kSkip))
                    break;
                const uint32_t v = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | d;
                dst[0] = uint8_t(v >> 16);
                dst[1] = uint8_t(v >> 8);
                dst[2] = uint8_t(v);
                dst += 3;
                i += 4;
                padLast = padBeforeLast = false;
            }
            if (i >= n)
                break;
        }
        const uint8_t v = table[src[i++]];
        if (v & kSkip)
            continue;
        padBeforeLast = padLast;
        padLast = (v == kPad);
        quad[inQuad++] = (v == kPad) ? 0 : v;
        if (inQuad == 4) {
            const uint32_t w = (uint32_t(quad[0]) << 18) | (uint32_t(quad[1]) << 12) | (uint32_t(quad[2]) << 6) | quad[3];
            dst[0] = uint8_t(w >> 16);
            dst[1] = uint8_t(w >> 8);
            dst[2] = uint8_t(w);
            dst += 3;
            inQuad = 0;
        }
    }
    size_t size = size_t(dst - out.data());
    if (inQuad >= 2) {
        // An unpadded final group: 2 characters carry one byte, 3 carry two.
        for (size_t k = inQuad; k < 4; ++k)
            quad[k] = 0;
        const uint32_t w = (uint32_t(quad[0]) << 18) | (uint32_t(quad[1]) << 12) | (uint32_t(quad[2]) << 6) | quad[3];
        out[size++] = uint8_t(w >> 16);
        if (inQuad == 3)
            out[size++] = uint8_t(w >> 8);
    }
    const size_t pads = size_t(padLast) + size_t(padBeforeLast);
    size = size > pads ? size - pads : 0;
    out.resize(size);
    return out;
}

// ---- tes64 ----

std::string Tes64Encode(std::span<const uint8_t> bytes)
{
    const size_t n = bytes.size();
    if (n == 0)
        return {};
    const size_t groups = (n + 2) / 3;
    const size_t pad = groups * 3 - n;
    std::string out;
    out.resize(8 + groups * 4);
    std::memcpy(out.data(), "tes64:", 6);
    out[6] = char('0' + pad);
    out[7] = '/';
    char* dst = out.data() + 8;
    for (size_t g = 0; g < groups; ++g) {
        uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k) {
            const size_t at = g * 3 + k;
            v = (v << 8) | (at < n ? bytes[at] : 0u);
        }
        dst[0] = char(48 + (v >> 18));
        dst[1] = char(48 + ((v >> 12) & 63));
        dst[2] = char(48 + ((v >> 6) & 63));
        dst[3] = char(48 + (v & 63));
        dst += 4;
    }
    return out;
}

std::optional<TBytes> Tes64Decode(std::string_view body)
{
    if (body.empty())
        return std::nullopt;
    const char digit = body[0];
    if (digit < '0' || digit > '9')
        throw EConvertError("'" + std::string(1, digit) + "' is not a valid integer value");
    size_t pad = size_t(digit - '0');
    if (pad == 3)
        pad = 0;
    const size_t slash = body.find('/');
    if (slash != std::string_view::npos)
        body.remove_prefix(slash + 1);
    if (body.empty())
        return std::nullopt;
    const size_t groups = body.size() / 4;
    const size_t full = groups * 3;
    TBytes out(full);
    const auto* src = reinterpret_cast<const uint8_t*>(body.data());
    for (size_t g = 0; g < groups; ++g) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k)
            v = (v << 6) | (uint32_t(src[g * 4 + k] - 48u) & 63u);
        out[g * 3] = uint8_t(v >> 16);
        out[g * 3 + 1] = uint8_t(v >> 8);
        out[g * 3 + 2] = uint8_t(v);
    }
    out.resize(full > pad ? full - pad : 0);
    return out;
}

// ---- XML references ----

namespace {

// Position of the first byte that needs a reference, from `from`; n when there is none.
size_t NextXmlEscapeScalar(const uint8_t* p, size_t from, size_t n)
{
    while (from < n && kXmlPass.pass[p[from]])
        ++from;
    return from;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Sixteen bytes at a time: a byte passes when the bit for its high nibble (0-7) is set in the
// mask that its low nibble selects.
struct TXmlNibbleMasks {
    alignas(16) uint8_t low[16]{};
    alignas(16) uint8_t high[16]{};
    constexpr TXmlNibbleMasks()
    {
        for (int b = 0; b < 128; ++b)
            if (kXmlPass.pass[size_t(b)])
                low[b & 15] = uint8_t(low[b & 15] | (1u << (b >> 4)));
        for (int h = 0; h < 8; ++h)
            high[h] = uint8_t(1u << h);
    }
};
constexpr TXmlNibbleMasks kXmlNibbles;

__attribute__((target("ssse3"))) size_t NextXmlEscapeSsse3(const uint8_t* p, size_t from, size_t n)
{
    const __m128i low = _mm_load_si128(reinterpret_cast<const __m128i*>(kXmlNibbles.low));
    const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(kXmlNibbles.high));
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i zero = _mm_setzero_si128();
    while (n - from >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from));
        const __m128i lo = _mm_shuffle_epi8(low, _mm_and_si128(x, nibble));
        // Bytes from 0x80 up shuffle in zero, so they never pass.
        const __m128i hi = _mm_shuffle_epi8(high, _mm_and_si128(_mm_srli_epi16(x, 4), nibble));
        const __m128i stop = _mm_cmpeq_epi8(_mm_and_si128(lo, hi), zero);
        const unsigned mask = unsigned(_mm_movemask_epi8(stop));
        if (mask)
            return from + size_t(__builtin_ctz(mask));
        from += 16;
    }
    return NextXmlEscapeScalar(p, from, n);
}

size_t NextXmlEscape(const uint8_t* p, size_t from, size_t n)
{
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    return ssse3 ? NextXmlEscapeSsse3(p, from, n) : NextXmlEscapeScalar(p, from, n);
}
#else
size_t NextXmlEscape(const uint8_t* p, size_t from, size_t n)
{
    return NextXmlEscapeScalar(p, from, n);
}
#endif

}  // namespace

std::string XmlEncode(std::string_view text)
{
    const auto* src = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    const size_t first = NextXmlEscape(src, 0, n);
    if (first == n)
        return std::string(text);
    size_t escapes = 0;
    for (size_t at = first; at < n; at = NextXmlEscape(src, at + 1, n))
        ++escapes;
    std::string out;
    out.resize(n + escapes * 5);
    char* dst = out.data();
    size_t i = 0;
    while (i < n) {
        const size_t run = NextXmlEscape(src, i, n);
        std::memcpy(dst, src + i, run - i);
        dst += run - i;
        i = run;
        while (i < n && !kXmlPass.pass[src[i]]) {
            std::memcpy(dst, "&#x", 3);
            std::memcpy(dst + 3, &kHex.pairs[size_t(src[i]) * 2], 2);
            dst[5] = ';';
            dst += 6;
            ++i;
        }
    }
    return out;
}

std::string XmlDecode(std::string_view text)
{
    const size_t nul = text.find('\0');
    if (nul != std::string_view::npos)
        text = text.substr(0, nul);
    static constexpr std::string_view kNames[] = {"lt", "gt", "amp", "apos", "quot"};
    static constexpr char kChars[] = {'<', '>', '&', '\'', '"'};
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    // The next ";" at or after the current position, found once and reused by every "&" before
    // it: searching again for each "&" would read the rest of the text once per "&".
    size_t nextSemi = 0;
    while (i < text.size()) {
        const size_t amp = text.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        out.append(text.substr(i, amp - i));
        i = amp;
        if (i + 1 < text.size() && text[i + 1] == '&') {
            out.push_back('&');
            i += 2;
            continue;
        }
        if (nextSemi != std::string_view::npos && nextSemi <= i)
            nextSemi = text.find(';', i + 1);
        const size_t semi = nextSemi;
        if (semi == std::string_view::npos) {
            out.push_back('&');
            ++i;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '#') {
            uint32_t value = 0;
            bool hex = false;
            for (size_t k = i + 2; k < semi; ++k) {
                const char c = text[k];
                if (!hex && (c == 'x' || c == 'X')) {
                    hex = true;
                    continue;
                }
                if (hex)
                    value = value * 16 + kHexOrZero.value[uint8_t(c)];
                else
                    value = value * 10 + ((c >= '0' && c <= '9') ? uint32_t(c - '0') : 0u);
            }
            out.push_back(char(uint8_t(value)));
        } else {
            const std::string_view name = text.substr(i + 1, semi - i - 1);
            char c = ' ';
            for (size_t k = 0; k < std::size(kNames); ++k)
                if (EqualsNoCase(name, kNames[k])) {
                    c = kChars[k];
                    break;
                }
            out.push_back(c);
        }
        i = semi + 1;
    }
    return out;
}

// ---- HTML ----

namespace {

struct THtmlRow {
    char byte;
    std::string_view text;
};
constexpr THtmlRow kHtmlRows[] = {
    {'\xE0', "&agrave;"}, {'\xE8', "&egrave;"}, {'\xEC', "&igrave;"}, {'\xF2', "&ograve;"},
    {'\xF9', "&ugrave;"}, {'\xE1', "&aacute;"}, {'\xE9', "&eacute;"}, {'\xED', "&iacute;"},
    {'\xF3', "&oacute;"}, {'\xFA', "&uacute;"}, {'\xFD', "&yacute;"}, {'\xE2', "&acirc;"},
    {'\xEA', "&ecirc;"},  {'\xEE', "&icirc;"},  {'\xF4', "&ocirc;"},  {'\xFB', "&ucirc;"},
    {'\xE3', "&atilde;"}, {'\xF5', "&otilde;"}, {'\xF1', "&ntilde;"}, {'\xE4', "&auml;"},
    {'\xEB', "&euml;"},   {'\xEF', "&iuml;"},   {'\xF6', "&ouml;"},   {'\xFC', "&uuml;"},
    {'\xFF', "&yuml;"},   {'\xE7', "&ccedil;"}, {'\r', ""},           {'\n', "<br/>"},
};

struct THtmlMap {
    std::array<std::string_view, 256> text{};
    std::array<bool, 256> mapped{};
    constexpr THtmlMap()
    {
        for (const auto& row : kHtmlRows) {
            text[uint8_t(row.byte)] = row.text;
            mapped[uint8_t(row.byte)] = true;
        }
    }
};
constexpr THtmlMap kHtmlMap;

}  // namespace

std::string HtmlEncode(std::string_view text)
{
    // The replacement texts are plain ASCII, so one pass gives what row-by-row replacement would.
    return MapBytes(text, [](uint8_t b) -> std::string_view {
        return kHtmlMap.mapped[b] ? kHtmlMap.text[b] : std::string_view();
    });
}

std::string HtmlDecode(std::string_view text)
{
    std::string out(text);
    for (const auto& row : kHtmlRows) {
        if (row.text.empty() || out.find(row.text[0]) == std::string::npos)
            continue;
        out = ReplaceAllNoCase(out, row.text, std::string_view(&row.byte, 1));
    }
    return out;
}

// ---- JSON ----

std::string JsonEncode(std::string_view text)
{
    size_t size = text.size();
    for (char c : text)
        size += (c == '\\' || c == '"' || c == '/' || c == '\t' || c == '\n' || c == '\r');
    std::string out;
    out.resize(size);
    char* dst = out.data();
    for (char c : text) {
        char escape = 0;
        switch (c) {
        case '\\': escape = '\\'; break;
        case '"': escape = '"'; break;
        case '/': escape = '/'; break;
        case '\t': escape = 't'; break;
        case '\n': escape = 'n'; break;
        case '\r': escape = 'r'; break;
        default: break;
        }
        if (escape) {
            *dst++ = '\\';
            *dst++ = escape;
        } else {
            *dst++ = c;
        }
    }
    return out;
}

std::string JsonDecode(std::string_view text)
{
    std::string out(text);
    if (out.find('\\') == std::string::npos)
        return out;
    out = ReplaceAllNoCase(out, "\\r", "\r");
    out = ReplaceAllNoCase(out, "\\n", "\n");
    out = ReplaceAllNoCase(out, "\\t", "\t");
    out = ReplaceAllNoCase(out, "\\/", "/");
    out = ReplaceAllNoCase(out, "\\\"", "\"");
    out = ReplaceAllNoCase(out, "\\\\", "\\");
    // Each round removes at least the first "\u" and shortens the text, so this ends.
    size_t at;
    while ((at = FindNoCase(out, "\\u")) != std::string::npos) {
        const std::string digits = out.substr(at + 2, 4);
        uint32_t value = 0;
        bool isNumber = !digits.empty();
        for (char c : digits) {
            const uint8_t v = kHex.values[uint8_t(c)];
            if (v == kNotHexDigit) {
                isNumber = false;
                break;
            }
            value = value * 16 + v;
        }
        const uint8_t byte = isNumber ? uint8_t(value) : 0;
        const std::string with = byte ? std::string(1, char(byte)) : std::string();
        out = ReplaceAllNoCase(out, "\\u" + digits, with);
    }
    return out;
}

// ---- octal ----

std::string OctalEncode(std::string_view text)
{
    return MapBytes(text, [](uint8_t b) -> std::string_view {
        switch (b) {
        case 0: return "\\000";
        case 9: return "\\011";
        case 10: return "\\012";
        case 13: return "\\015";
        case '\'': return "\\047";
        case '\\': return "\\134";
        default: return {};
        }
    });
}

// ---- zlib ----

TBytes Deflate(std::span<const uint8_t> bytes, int level)
{
    z_stream stream{};
    int rc = deflateInit(&stream, level);
    if (rc != Z_OK)
        RaiseZlib(rc, &stream);
    struct TEnd {
        z_stream* s;
        ~TEnd() { deflateEnd(s); }
    } end{&stream};

    TBytes out(deflateBound(&stream, uLong(std::min(bytes.size(), size_t(std::numeric_limits<uLong>::max())))));
    size_t consumed = 0;
    size_t produced = 0;
    for (;;) {
        const size_t inSlice = std::min(bytes.size() - consumed, kZlibSlice);
        stream.next_in = const_cast<Bytef*>(bytes.data() + consumed);
        stream.avail_in = uInt(inSlice);
        if (out.size() - produced < 64)
            out.resize(out.size() + 4096 + out.size() / 4);
        const size_t outSlice = std::min(out.size() - produced, kZlibSlice);
        stream.next_out = out.data() + produced;
        stream.avail_out = uInt(outSlice);
        const bool last = consumed + inSlice == bytes.size();
        rc = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
        consumed += inSlice - stream.avail_in;
        produced += outSlice - stream.avail_out;
        if (rc == Z_STREAM_END)
            break;
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            RaiseZlib(rc, &stream);
    }
    out.resize(produced);
    return out;
}

namespace {

struct TBudgetState {
    bool Open = false;
    size_t Left = 0;
};

TBudgetState& Budget()
{
    thread_local TBudgetState state;
    return state;
}

}  // namespace

TInflateBudget::TInflateBudget(size_t bytes)
{
    TBudgetState& state = Budget();
    if (state.Open)
        return;
    state.Open = true;
    state.Left = bytes;
    FActive = true;
}

TInflateBudget::~TInflateBudget()
{
    if (FActive)
        Budget() = TBudgetState{};
}

size_t TInflateBudget::Left()
{
    const TBudgetState& state = Budget();
    return state.Open ? state.Left : std::numeric_limits<size_t>::max();
}

void TInflateBudget::Spend(size_t bytes)
{
    TBudgetState& state = Budget();
    if (state.Open)
        state.Left -= std::min(bytes, state.Left);
}

void Inflate(std::span<const uint8_t> data, TBytes& out, size_t limit)
{
    const size_t before = out.size();
    // The open document budget caps this inflation too (what this call may still add).
    if (const size_t left = TInflateBudget::Left(); left != std::numeric_limits<size_t>::max())
        limit = std::min(limit, before + std::min(left, std::numeric_limits<size_t>::max() - before - 1));
    z_stream stream{};
    int rc = inflateInit(&stream);
    if (rc != Z_OK)
        RaiseZlib(rc, &stream);
    struct TEnd {
        z_stream* s;
        ~TEnd() { inflateEnd(s); }
    } end{&stream};

    // The buffer grows with the output rather than trusting any size the data claims; one byte
    // beyond the limit tells a stream of exactly `limit` bytes from a longer one.
    const size_t cap = limit == std::numeric_limits<size_t>::max() ? limit : limit + 1;
    size_t produced = out.size();
    if (produced >= cap)
        throw EZlibError("inflated data exceeds limit");
    GrowTo(out, std::min(cap, produced + std::max<size_t>(data.size() * 4, 4096)));
    size_t consumed = 0;
    for (;;) {
        if (produced == out.size()) {
            if (out.size() >= cap)
                throw EZlibError("inflated data exceeds limit");
            GrowTo(out, std::min(cap, out.size() + std::max<size_t>(out.size(), 4096)));
        }
        const size_t inSlice = std::min(data.size() - consumed, kZlibSlice);
        stream.next_in = const_cast<Bytef*>(data.data() + consumed);
        stream.avail_in = uInt(inSlice);
        const size_t outSlice = std::min(out.size() - produced, kZlibSlice);
        stream.next_out = out.data() + produced;
        stream.avail_out = uInt(outSlice);
        rc = inflate(&stream, Z_NO_FLUSH);
        consumed += inSlice - stream.avail_in;
        produced += outSlice - stream.avail_out;
        if (rc == Z_STREAM_END)
            break;
        if (rc == Z_BUF_ERROR && consumed == data.size() && produced < out.size())
            RaiseZlib(Z_BUF_ERROR, nullptr);  // the data ends inside the stream
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            RaiseZlib(rc, &stream);
    }
    if (produced > limit)
        throw EZlibError("inflated data exceeds limit");
    out.resize(produced);
    TInflateBudget::Spend(produced - before);
}

TBytes ChunkedDeflate(std::span<const uint8_t> bytes)
{
    TBytes out;
    for (size_t at = 0; at < bytes.size(); at += kChunkSize) {
        const TBytes piece = Deflate(bytes.subspan(at, std::min(kChunkSize, bytes.size() - at)), 9);
        const uint32_t length = uint32_t(piece.size());
        const uint8_t header[4] = {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)};
        out.insert(out.end(), header, header + 4);
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

TBytes ChunkedInflate(std::span<const uint8_t> records, size_t limit)
{
    TBytes out;
    size_t at = 0;
    while (at < records.size()) {
        if (records.size() - at < 4)
            RaiseZlib(Z_BUF_ERROR, nullptr);
        const int32_t length = int32_t(uint32_t(records[at]) | (uint32_t(records[at + 1]) << 8)
                                       | (uint32_t(records[at + 2]) << 16) | (uint32_t(records[at + 3]) << 24));
        at += 4;
        if (length < 0 || size_t(length) > records.size() - at)
            RaiseZlib(Z_BUF_ERROR, nullptr);
        Inflate(records.subspan(at, size_t(length)), out, limit);
        at += size_t(length);
    }
    return out;
}

}  // namespace UnitCodecs
