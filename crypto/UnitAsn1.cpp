#include "crypto/UnitAsn1.h"

#include "core/UnitLocalUtils.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/UnitTrace.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <cstdlib>

namespace UnitAsn1 {

namespace {

using UnitCodecs::HexDecode;
using UnitCodecs::HexEncode;

constexpr std::string_view WorkProperty = "__asn1__";
// Deeper DER nesting is kept as the hex content of one element instead of being followed.
constexpr int MaxDecodeDepth = 256;
// A tree nested deeper than this is not encoded: the XML reader never builds one, and the
// recursion over deeper trees built in code would risk the stack.
constexpr int MaxEncodeDepth = static_cast<int>(TXmlDoc::MaxReadDepth);

enum class TKind {
    Entity, Null, Binary, Boolean, Integer, OctetString, PrintableString, BitString, Utf8String,
    Ia5String, NumericString, UtcTime, GenTime, Oid, Sequence, Set, Context, Object, SignedData, Unknown
};

struct TKindName {
    std::string_view Name;
    TKind Kind;
    uint8_t Tag;
};

constexpr TKindName KindNames[] = {
    {"Entity", TKind::Entity, 0},         {"Null", TKind::Null, 0x05},
    {"Binary", TKind::Binary, 0},         {"Boolean", TKind::Boolean, 0x01},
    {"Integer", TKind::Integer, 0x02},    {"OctetString", TKind::OctetString, 0x04},
    {"PrintableString", TKind::PrintableString, 0x13}, {"BitString", TKind::BitString, 0x03},
    {"Utf8String", TKind::Utf8String, 0x0C}, {"Ia5String", TKind::Ia5String, 0x16},
    {"NumericString", TKind::NumericString, 0x12}, {"UtcTime", TKind::UtcTime, 0x17},
    {"GenTime", TKind::GenTime, 0x18},    {"OID", TKind::Oid, 0x06},
    {"Sequence", TKind::Sequence, 0x30},  {"Set", TKind::Set, 0x31},
    {"Context", TKind::Context, 0xA0},    {"Object", TKind::Object, 0x30},
    {"SignedData", TKind::SignedData, 0},
};

// The kind of an element name, and for decimal names their identifier octet.
TKind KindOf(std::string_view name, uint8_t& tag)
{
    for (const auto& k : KindNames)
        if (UnitXmlDoc::SameText(k.Name, name)) {
            tag = k.Tag;
            return k.Kind;
        }
    if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        unsigned value = 0;
        auto [p, ec] = std::from_chars(name.data(), name.data() + name.size(), value);
        if (ec == std::errc() && p == name.data() + name.size() && value > 0) {
            tag = static_cast<uint8_t>(value);
            return TKind::Entity;
        }
    }
    return TKind::Unknown;
}

std::string Prop(const TXmlDoc& node, std::string_view name)
{
    const TXmlDoc* p = node.FindProperty(name);
    return p ? p->GetValue() : std::string();
}

bool PropBool(const TXmlDoc& node, std::string_view name)
{
    return UnitXmlDoc::TextToBool(Prop(node, name));
}

int64_t PropInt64(const TXmlDoc& node, std::string_view name)
{
    int64_t v = 0;
    return UnitXmlDoc::TextToInt64(Prop(node, name), v) ? v : 0;
}

// ---- times

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

std::string Digits(int value, int width)
{
    char buf[16];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, value < 0 ? 0 : value);
    std::string s(buf, p);
    if (static_cast<int>(s.size()) < width)
        s.insert(0, static_cast<size_t>(width) - s.size(), '0');
    return s;
}

std::string TimeText(const TUtcTime& t)
{
    return Digits(t.Year, 4) + "-" + Digits(t.Month, 2) + "-" + Digits(t.Day, 2) + " " + Digits(t.Hour, 2) + ":"
        + Digits(t.Minute, 2) + ":" + Digits(t.Second, 2) + "." + Digits(t.MilliSecond, 3);
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

// ---- integers and OIDs

TBytes MinimalInteger(int64_t value)
{
    TBytes out;
    for (int i = 7; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)));
    size_t start = 0;
    while (start + 1 < out.size()
           && ((out[start] == 0x00 && !(out[start + 1] & 0x80)) || (out[start] == 0xFF && (out[start + 1] & 0x80))))
        ++start;
    return TBytes(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
}

void AppendBase128(TBytes& out, uint64_t value)
{
    uint8_t groups[10];
    int n = 0;
    do {
        groups[n++] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (n > 0) {
        --n;
        out.push_back(static_cast<uint8_t>(groups[n] | (n > 0 ? 0x80 : 0)));
    }
}

TBytes OidContent(std::string_view dotted)
{
    std::vector<uint64_t> arcs;
    size_t pos = 0;
    while (pos <= dotted.size()) {
        size_t end = dotted.find('.', pos);
        if (end == std::string_view::npos)
            end = dotted.size();
        uint64_t arc = 0;
        std::from_chars(dotted.data() + pos, dotted.data() + end, arc);
        arcs.push_back(arc);
        pos = end + 1;
    }
    TBytes out;
    const uint64_t first = arcs.size() > 0 ? arcs[0] : 0;
    const uint64_t second = arcs.size() > 1 ? arcs[1] : 0;
    AppendBase128(out, first * 40 + second);
    for (size_t i = 2; i < arcs.size(); ++i)
        AppendBase128(out, arcs[i]);
    return out;
}

std::string OidText(std::span<const uint8_t> content)
{
    std::string text;
    uint64_t value = 0;
    bool first = true;
    for (uint8_t b : content) {
        value = (value << 7) | (b & 0x7F);
        if (b & 0x80)
            continue;
        if (first) {
            const uint64_t a = value < 40 ? 0 : value < 80 ? 1 : 2;
            text = std::to_string(a) + "." + std::to_string(value - a * 40);
            first = false;
        } else {
            text += "." + std::to_string(value);
        }
        value = 0;
    }
    return text;
}

// ---- encoding: pass 1 prepares every element, pass 2 writes into one buffer

struct TPrepared {
    bool Verbatim = false;       // BINARY, SIGNEDDATA, OBJECT: Bytes are the whole element
    uint8_t Identifier = 0;
    TBytes Bytes;                // primitive content (after the "Unused" byte), or verbatim bytes
    // Content still in the tree, written straight into the output: a property value as text,
    // or as hex decoded on the way. Saves copying large values (a document being signed).
    std::string_view Source;
    bool SourceIsHex = false;
    bool HasUnused = false;
    uint8_t Unused = 0;
    std::vector<TPrepared> Children;
    size_t ContentLength = 0;
    size_t Total = 0;
};

size_t LengthFieldSize(size_t length)
{
    if (length <= 127)
        return 1;
    size_t n = 0;
    for (size_t l = length; l != 0; l >>= 8)
        ++n;
    return 1 + n;
}

void WriteLength(TBytes& out, size_t length)
{
    if (length <= 127) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    const size_t n = LengthFieldSize(length) - 1;
    out.push_back(static_cast<uint8_t>(0x80 | n));
    for (size_t i = n; i-- > 0;)
        out.push_back(static_cast<uint8_t>(length >> (8 * i)));
}

// The content of a string element: its "Value" as text, or as hex with "Binary" true. Points
// into the tree, which outlives the writing pass.
void ValueSource(const TXmlDoc& node, TPrepared& prep, std::span<const TOuterValue> outer)
{
    const TXmlDoc* value = node.FindProperty("Value");
    prep.Source = value ? std::string_view(value->GetValue()) : std::string_view();
    prep.SourceIsHex = PropBool(node, "Binary");
    for (const TOuterValue& o : outer)
        if (o.Node == &node) {
            prep.Source = o.Value;
            prep.SourceIsHex = prep.SourceIsHex && !o.Bytes;
        }
}

size_t SourceSize(const TPrepared& prep)
{
    return prep.SourceIsHex ? prep.Source.size() / 2 : prep.Source.size();
}

// Appends the source, hex decoded a slice at a time (HexDecode works pair by pair, so slicing
// at even offsets gives the same bytes as decoding the whole).
void WriteSource(const TPrepared& prep, TBytes& out)
{
    if (!prep.SourceIsHex) {
        out.insert(out.end(), prep.Source.begin(), prep.Source.end());
        return;
    }
    constexpr size_t Slice = size_t{1} << 16;
    const std::string_view hex = prep.Source.substr(0, SourceSize(prep) * 2);
    for (size_t pos = 0; pos < hex.size(); pos += Slice) {
        const TBytes part = HexDecode(hex.substr(pos, Slice));
        out.insert(out.end(), part.begin(), part.end());
    }
}

// What one encoding is given besides the tree.
struct TEncodeContext {
    const TEntityBuilder& SignedData;
    std::span<const TOuterValue> Outer;
};

bool Prepare(TXmlDoc& node, TPrepared& prep, int depth, const TEncodeContext& context);

bool PrepareChildren(TXmlDoc& node, TPrepared& prep, int depth, const TEncodeContext& context)
{
    prep.Children.resize(static_cast<size_t>(node.GetNodeCount()));
    for (size_t i = 0; i < prep.Children.size(); ++i)
        if (!Prepare(*node.ChildAt(i), prep.Children[i], depth + 1, context))
            return false;
    return true;
}

TBytes TimeContent(const TXmlDoc& node, bool utcTime)
{
    const std::string value = Prop(node, "Value");
    const bool zulu = PropBool(node, "Zulu") || value.find('Z') != std::string::npos;
    // An unchanged decoded time is written back byte for byte. The comparison is made on the
    // side the value is written in, so the common case needs no local-to-UTC conversion.
    if (const std::string original = Prop(node, "Original"); !original.empty()) {
        const TBytes bytes = HexDecode(original);
        std::string text(bytes.begin(), bytes.end());
        if (!text.empty() && text.back() == 'Z') {
            text.pop_back();
            const TUtcTime kept = ParseDerTime(text, utcTime);
            // The exact text the decoder wrote counts as unchanged even when reading it back
            // would not give the same fields (a year past 9999 after normalising month 99).
            const std::string decoded = zulu ? std::string() : UtcToLocalText(kept);
            const bool same = zulu ? UtcFieldsText(kept) == UtcFieldsText(TextToUtc(value, true))
                                   : value == decoded || decoded == TimeText(TextToUtc(value, true));
            if (same)
                return bytes;
        }
    }
    const TUtcTime utc = TextToUtc(value, PropBool(node, "Zulu"));
    const std::string content = DerTimeContent(utc, utcTime);
    return TBytes(content.begin(), content.end());
}

// OBJECT: its inner SEQUENCE built and encoded on its own. Kept out of Prepare so that the
// recursion's frames stay small.
[[gnu::noinline]] std::optional<TBytes> ObjectBytes(const TXmlDoc& node, const TEntityBuilder& signedData)
{
    TXmlDoc sequence("SEQUENCE");
    sequence.New("OID")->Setp("Value", Prop(node, "ID"));
    if (const std::string type = Prop(node, "Type"); !type.empty()) {
        TXmlDoc* typed = sequence.New(type);
        typed->Setp("Value", Prop(node, "Value"));
        if (const TXmlDoc* binary = node.FindProperty("Binary"))
            typed->Setp("Binary", binary->GetValue());
    }
    return EncodeNode(sequence, signedData);
}

bool Prepare(TXmlDoc& node, TPrepared& prep, int depth, const TEncodeContext& context)
{
    const TEntityBuilder& signedData = context.SignedData;
    node.DeleteProperty(WorkProperty);
    if (depth > MaxEncodeDepth)
        return false;
    uint8_t tag = 0;
    const TKind kind = KindOf(node.GetName(), tag);
    if (kind == TKind::Unknown)
        return false;
    // Children first, as their sizes make the parent's.
    if (kind != TKind::Object && kind != TKind::SignedData && !PrepareChildren(node, prep, depth, context))
        return false;
    prep.Identifier = tag;
    switch (kind) {
    case TKind::Entity: {
        if (node.GetName().empty() || !(node.GetName()[0] >= '0' && node.GetName()[0] <= '9'))
            prep.Identifier = static_cast<uint8_t>(PropInt64(node, "Tag"));
        prep.Bytes = HexDecode(Prop(node, "Value"));
        break;
    }
    case TKind::Null:
        break;
    case TKind::Binary:
        prep.Verbatim = true;
        prep.Bytes = HexDecode(node.GetValue());
        prep.Children.clear();
        break;
    case TKind::Boolean:
        prep.Bytes = {static_cast<uint8_t>(PropBool(node, "Value") ? 0xFF : 0x00)};
        break;
    case TKind::Integer:
        prep.Bytes = PropBool(node, "Binary") ? HexDecode(Prop(node, "Value")) : MinimalInteger(PropInt64(node, "Value"));
        break;
    case TKind::OctetString: case TKind::PrintableString: case TKind::Utf8String:
    case TKind::Ia5String: case TKind::NumericString:
        ValueSource(node, prep, context.Outer);
        break;
    case TKind::BitString:
        prep.HasUnused = true;
        prep.Unused = static_cast<uint8_t>(PropInt64(node, "Unused"));
        ValueSource(node, prep, context.Outer);
        break;
    case TKind::UtcTime:
    case TKind::GenTime:
        prep.Bytes = TimeContent(node, kind == TKind::UtcTime);
        break;
    case TKind::Oid:
        prep.Bytes = OidContent(Prop(node, "Value"));
        break;
    case TKind::Sequence: case TKind::Set: case TKind::Context:
        break;
    case TKind::Object: {
        auto bytes = ObjectBytes(node, signedData);
        if (!bytes)
            return false;
        prep.Verbatim = true;
        prep.Bytes = std::move(*bytes);
        break;
    }
    case TKind::SignedData: {
        if (!signedData) {
            UnitEncoding::SetAsn1ErrorWord(std::string(SignedDataUnavailable));
            return false;
        }
        auto bytes = signedData(node);
        if (!bytes)
            return false;
        prep.Verbatim = true;
        prep.Bytes = std::move(*bytes);
        break;
    }
    case TKind::Unknown:
        return false;
    }
    if (prep.Verbatim) {
        prep.Total = prep.Bytes.size();
        return true;
    }
    size_t content = prep.Bytes.size() + SourceSize(prep) + (prep.HasUnused ? 1 : 0);
    for (const auto& child : prep.Children)
        content += child.Total;
    prep.ContentLength = content;
    prep.Total = 1 + LengthFieldSize(content) + content;
    return true;
}

void Write(const TPrepared& prep, TBytes& out)
{
    if (prep.Verbatim) {
        out.insert(out.end(), prep.Bytes.begin(), prep.Bytes.end());
        return;
    }
    out.push_back(prep.Identifier);
    WriteLength(out, prep.ContentLength);
    if (prep.HasUnused)
        out.push_back(prep.Unused);
    out.insert(out.end(), prep.Bytes.begin(), prep.Bytes.end());
    WriteSource(prep, out);
    for (const auto& child : prep.Children)
        Write(child, out);
}

void RemoveWorkProperties(TXmlDoc& root)
{
    std::vector<TXmlDoc*> pending{&root};
    while (!pending.empty()) {
        TXmlDoc* node = pending.back();
        pending.pop_back();
        if (node->FindProperty(WorkProperty))
            node->DeleteProperty(WorkProperty);
        for (int i = node->GetNodeCount(); i-- > 0;)
            pending.push_back(node->ChildAt(static_cast<size_t>(i)));
    }
}

// ---- decoding

// Decodes one element from the front of `input` into node; advances input past it.
int DecodeElement(TXmlDoc& node, std::span<const uint8_t>& input, int depth)
{
    if (input.size() < 2)
        return 0;
    const uint8_t identifier = input[0];
    size_t pos = 1;
    const uint8_t first = input[pos++];
    bool indefinite = false;
    size_t length = 0;
    if (first == 0x80) {
        indefinite = true;
        length = input.size() - pos;
    } else if (first >= 0x81 && first <= 0x8F) {
        const size_t n = first & 0x0F;
        uint64_t l = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = pos < input.size() ? input[pos] : 0;
            if (pos < input.size())
                ++pos;
            l = l > (UINT64_MAX >> 8) ? UINT64_MAX : (l << 8) | b;
        }
        length = static_cast<size_t>(std::min<uint64_t>(l, input.size() - pos));
    } else {
        length = std::min<size_t>(first, input.size() - pos);
    }
    std::span<const uint8_t> content = input.subspan(pos, length);
    size_t consumed = pos + length;
    int count = 1;

    if (identifier & 0x20) {
        switch (identifier) {
        case 0x30: node.SetName("SEQUENCE"); break;
        case 0x31: node.SetName("SET"); break;
        case 0xA0: node.SetName("CONTEXT"); break;
        default: node.SetName(std::to_string(identifier)); break;
        }
        if (depth >= MaxDecodeDepth) {
            // Too deep to follow: the content stays as the hex of one element.
            node.SetName(std::to_string(identifier));
            node.Setp("Value", HexEncode(content));
        } else {
            std::span<const uint8_t> rest = content;
            while (!rest.empty()) {
                if (indefinite && rest.size() >= 2 && rest[0] == 0 && rest[1] == 0) {
                    rest = rest.subspan(2);
                    break;
                }
                const int n = DecodeElement(*node.New(""), rest, depth + 1);
                if (n == 0) {
                    node.DeleteNode(node.ChildAt(static_cast<size_t>(node.GetNodeCount() - 1)));
                    rest = {};
                    break;
                }
                count += n;
            }
            if (indefinite)
                consumed = pos + (content.size() - rest.size());
        }
        input = input.subspan(std::min(consumed, input.size()));
        return count;
    }

    auto entity = [&] {
        node.SetName("ENTITY");
        node.Setp("Tag", std::to_string(identifier));
        node.Setp("Value", HexEncode(content));
    };
    auto binary = [&](const char* name) {
        node.SetName(name);
        node.Setp("Binary", "1");
        node.Setp("Value", HexEncode(content));
    };
    auto text = [&](const char* name) {
        node.SetName(name);
        node.Setp("Value", std::string(content.begin(), content.end()));
    };
    switch (identifier) {
    case 0x05:
        if (content.empty())
            node.SetName("NULL");
        else
            entity();
        break;
    case 0x01:
        if (content.size() == 1 && (content[0] == 0x00 || content[0] == 0xFF)) {
            node.SetName("BOOLEAN");
            node.Setp("Value", content[0] == 0xFF ? "1" : "0");
        } else {
            entity();
        }
        break;
    case 0x02: {
        // Small integers become numbers, unless that would not give back the same bytes.
        bool number = !content.empty() && content.size() <= 5;
        int64_t value = 0;
        if (number) {
            value = (content[0] & 0x80) ? -1 : 0;
            for (uint8_t b : content)
                value = static_cast<int64_t>((static_cast<uint64_t>(value) << 8) | b);
            number = MinimalInteger(value) == TBytes(content.begin(), content.end());
        }
        if (number) {
            node.SetName("INTEGER");
            node.Setp("Value", std::to_string(value));
        } else {
            binary("INTEGER");
        }
        break;
    }
    case 0x04: binary("OCTETSTRING"); break;
    case 0x13: text("PRINTABLESTRING"); break;
    case 0x03:
        if (content.empty()) {
            entity();
        } else {
            node.SetName("BITSTRING");
            node.Setp("Unused", std::to_string(content[0]));
            node.Setp("Binary", "1");
            node.Setp("Value", HexEncode(content.subspan(1)));
        }
        break;
    case 0x0C: text("UTF8STRING"); break;
    case 0x16: binary("IA5STRING"); break;
    case 0x12: text("NUMERICSTRING"); break;
    case 0x17:
    case 0x18: {
        std::string t(content.begin(), content.end());
        if (t.empty() || t.back() != 'Z') {
            entity();
            break;
        }
        t.pop_back();
        node.SetName(identifier == 0x17 ? "UTCTIME" : "GENTIME");
        node.Setp("Value", UtcToLocalText(ParseDerTime(t, identifier == 0x17)));
        node.Setp("Original", HexEncode(content));
        break;
    }
    case 0x06: {
        const std::string oid = OidText(content);
        // Only a well-formed OID is written as text, so that re-encoding gives the same bytes.
        if (!content.empty() && !(content.back() & 0x80) && OidContent(oid) == TBytes(content.begin(), content.end())) {
            node.SetName("OID");
            node.Setp("Value", oid);
        } else {
            entity();
        }
        break;
    }
    default:
        entity();
        break;
    }
    input = input.subspan(std::min(consumed, input.size()));
    return count;
}

bool StartsWith30(std::string_view hex)
{
    return hex.size() >= 2 && hex[0] == '3' && hex[1] == '0';
}

}  // namespace

std::optional<TBytes> EncodeNode(TXmlDoc& node)
{
    return EncodeNode(node, TEntityBuilder());
}

std::optional<TBytes> EncodeNode(TXmlDoc& node, const TEntityBuilder& signedData)
{
    return EncodeNode(node, signedData, {});
}

std::optional<TBytes> EncodeNode(TXmlDoc& node, const TEntityBuilder& signedData, std::span<const TOuterValue> outer)
{
    TPrepared prep;
    bool ok = false;
    try {
        ok = Prepare(node, prep, 0, TEncodeContext{signedData, outer});
    } catch (...) {
        RemoveWorkProperties(node);
        throw;
    }
    RemoveWorkProperties(node);
    if (!ok)
        return std::nullopt;
    // A verbatim root (SIGNEDDATA, BINARY, OBJECT) is its bytes: handed over, not copied.
    if (prep.Verbatim)
        return std::move(prep.Bytes);
    TBytes out;
    out.reserve(prep.Total);
    Write(prep, out);
    return out;
}

bool EncodeNodeHex(TXmlDoc& node, std::string& hex, const TEntityBuilder& signedData)
{
    hex.clear();
    auto bytes = EncodeNode(node, signedData);
    if (!bytes)
        return false;
    hex = HexEncode(*bytes);
    return true;
}

int DecodeIntoNode(TXmlDoc& node, std::span<const uint8_t> der)
{
    if (der.size() < 2)
        return 0;
    try {
        // Whatever the node held would otherwise be written again by a re-encoding.
        node.SetValue({});
        node.DeleteProperties();
        node.DeleteNodes();
        return DecodeElement(node, der, 0);
    } catch (...) {
        return 0;
    }
}

int DecodeHexIntoNode(TXmlDoc& node, std::string_view hex)
{
    const TBytes bytes = HexDecode(hex);
    return DecodeIntoNode(node, bytes);
}

bool SaveToDerHex(TXmlDoc& node, std::string& hex, bool children)
{
    if (!children)
        return EncodeNodeHex(node, hex);
    hex.clear();
    for (int i = 0; i < node.GetNodeCount(); ++i) {
        std::string part;
        if (!EncodeNodeHex(*node.ChildAt(static_cast<size_t>(i)), part)) {
            hex.clear();
            return false;
        }
        hex += part;
    }
    return true;
}

int LoadFromDerHex(TXmlDoc& node, std::string_view hex)
{
    return DecodeHexIntoNode(node, hex);
}

std::string PemToHex(std::string_view pem)
{
    size_t p = pem.find("-----");
    if (p == std::string_view::npos)
        return {};
    p = pem.find("BEGIN", p + 5);
    if (p == std::string_view::npos)
        return {};
    p = pem.find("-----", p + 5);
    if (p == std::string_view::npos)
        return {};
    p += 5;
    size_t end = pem.find("-----", p);
    if (end == std::string_view::npos)
        end = pem.size();
    auto bytes = UnitEncoding::DecodeText(pem.substr(p, end - p), 7);
    return bytes ? HexEncode(*bytes) : std::string();
}

std::string CertificateFromBase64(std::string_view base64)
{
    // The decoded bytes are the certificate: DER, or the text of a PEM file.
    auto bytes = UnitEncoding::DecodeText(base64, 7);
    if (!bytes)
        return {};
    std::string hex = HexEncode(*bytes);
    if (StartsWith30(hex))
        return hex;
    return PemToHex(UnitCodecs::AsText(*bytes));
}

std::optional<std::string> CertificateFromFile(const std::string& fileName)
{
    const std::string path = UnitLocalUtils::LocalFileName(fileName);
    auto read = UnitPlatformFiles::ReadRegularFile(path, MaxCertificateFile);
    if (!read.Bytes) {
        UnitTrace::Trace("certificate file " + std::string(read.Word) + ": " + path);
        return std::nullopt;
    }
    std::string hex = HexEncode(*read.Bytes);
    if (StartsWith30(hex))
        return hex;
    return PemToHex(UnitCodecs::AsText(*read.Bytes));
}

std::string CertificateFromText(std::string_view text)
{
    if (StartsWith30(text))
        return std::string(text);
    return PemToHex(text);
}

const std::vector<std::string>& KeyUsageNames()
{
    static const std::vector<std::string> names = {"DigitalSignature", "NonRepudiation", "KeyEncipherment",
                                                   "DataEncipherment", "KeyAgreement", "KeyCertSign",
                                                   "CRLSign", "EncipherOnly", "DecipherOnly"};
    return names;
}

void BitStringToFlagNames(std::string_view derHex, const std::vector<std::string>& names, int highest,
                          TXmlDoc& target)
{
    TXmlDoc bits;
    if (DecodeHexIntoNode(bits, derHex) == 0)
        return;
    const std::string value = Prop(bits, "Value");
    std::vector<bool> flags;
    for (char c : value) {
        int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 0;
        for (int b = 3; b >= 0; --b)
            flags.push_back((nibble >> b) & 1);
    }
    const size_t unused = static_cast<size_t>(std::clamp<int64_t>(PropInt64(bits, "Unused"), 0, 7));
    flags.resize(flags.size() > unused ? flags.size() - unused : 0);
    for (int i = 0; i <= highest && static_cast<size_t>(i) < flags.size() && static_cast<size_t>(i) < names.size(); ++i)
        if (flags[static_cast<size_t>(i)])
            target.New(names[static_cast<size_t>(i)]);
}

std::string FlagNamesToBitString(const std::vector<std::string>& names, TXmlDoc& source, int highest)
{
    std::vector<bool> bits;
    for (int i = 0; i <= highest; ++i)
        // Presence is tested without creating: a lookup that created the child would set every bit.
        bits.push_back(static_cast<size_t>(i) < names.size() && source.FindNode(names[static_cast<size_t>(i)]) != nullptr);
    const size_t unused = (8 - bits.size() % 8) % 8;
    bits.resize(bits.size() + unused, false);
    TBytes bytes(bits.size() / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i])
            bytes[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    TXmlDoc node("BITSTRING");
    node.Setp("Unused", std::to_string(unused));
    node.Setp("Binary", "1");
    node.Setp("Value", HexEncode(bytes));
    std::string hex;
    EncodeNodeHex(node, hex);
    return hex;
}

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
        return little ? bytes[k] | (bytes[k + 1] << 8) : (bytes[k] << 8) | bytes[k + 1];
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

namespace {

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

std::optional<std::string> DerToXml(std::span<const uint8_t> der)
{
    TXmlDoc node;
    if (DecodeIntoNode(node, der) == 0)
        return std::nullopt;
    return node.GetXML();
}

std::optional<TBytes> XmlToDer(std::string_view xml, const TEntityBuilder& signedData)
{
    TXmlDoc node;
    node.SetXML(xml);
    return EncodeNode(node, signedData);
}

}  // namespace UnitAsn1
