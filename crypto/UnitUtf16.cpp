#include "crypto/UnitAsn1.h"

#include "encoding/UnitCodecs.h"

namespace UnitAsn1 {

namespace {

using UnitCodecs::HexDecode;
using UnitCodecs::HexEncode;

}  // namespace

std::string TextToUtf16Hex(std::string_view text)
{
    TBytes out;
    out.reserve(text.size() * 2);
    auto put = [&](uint32_t unit) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    };
    for (size_t i = 0; i < text.size();) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            bool ok = i + len <= text.size();
            uint32_t v = c & (0x7F >> len);
            for (size_t k = 1; ok && k < len; ++k) {
                const uint8_t cc = static_cast<uint8_t>(text[i + k]);
                ok = (cc & 0xC0) == 0x80;
                v = (v << 6) | (cc & 0x3F);
            }
            const uint32_t minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
            if (ok && v >= minimum && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
                cp = v;
            } else {
                // Not UTF-8: the byte stands for itself (Latin-1), so nothing is lost.
                cp = c;
                len = 1;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 | (cp >> 10));
            put(0xDC00 | (cp & 0x3FF));
        } else {
            put(cp);
        }
        i += len;
    }
    return HexEncode(out);
}

std::string Utf16HexToText(std::string_view hex)
{
    const TBytes bytes = HexDecode(hex);
    size_t i = 0;
    bool little = false;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        little = true;
        i = 2;
    } else if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        i = 2;
    }
    std::string out;
    auto unitAt = [&](size_t k) -> uint32_t {
        const uint32_t first = bytes[k], second = bytes[k + 1];
        return little ? first | (second << 8) : (first << 8) | second;
    };
    auto emit = [&](uint32_t cp) {
        if (cp != 0)
            UnitCodecs::AppendUtf8(out, cp);
    };
    for (; i + 1 < bytes.size(); i += 2) {
        uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
            const uint32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                emit(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        emit(unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
    }
    return out;
}

}  // namespace UnitAsn1
