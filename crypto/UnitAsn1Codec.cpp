#include "crypto/UnitAsn1.h"

#include "core/UnitXmlWalk.h"
#include "crypto/UnitTimeZones.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitPlatformMemory.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <memory>

namespace UnitAsn1 {

namespace {

using UnitXmlDoc::Prop;

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


bool PropBool(const TXmlDoc& node, std::string_view name)
{
    return UnitXmlDoc::TextToBool(Prop(node, name));
}

int64_t PropInt64(const TXmlDoc& node, std::string_view name)
{
    int64_t v = 0;
    return UnitXmlDoc::TextToInt64(Prop(node, name), v) ? v : 0;
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
    // The first two arcs share the first subidentifier; a lone arc stands with a second of 0.
    TBytes out;
    uint64_t first = 0;
    size_t index = 0;
    for (size_t pos = 0; pos <= dotted.size(); ++index) {
        size_t end = dotted.find('.', pos);
        if (end == std::string_view::npos)
            end = dotted.size();
        uint64_t arc = 0;
        std::from_chars(dotted.data() + pos, dotted.data() + end, arc);
        if (index == 0)
            first = arc;
        else
            AppendBase128(out, index == 1 ? first * 40 + arc : arc);
        pos = end + 1;
    }
    if (index == 1)
        AppendBase128(out, first * 40);
    return out;
}

void AppendNumber(std::string& text, uint64_t value)
{
    char buf[24];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    text.append(buf, end);
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
            AppendNumber(text, a);
            text += '.';
            AppendNumber(text, value - a * 40);
            first = false;
        } else {
            text += '.';
            AppendNumber(text, value);
        }
        value = 0;
    }
    return text;
}

// ---- encoding: pass 1 prepares every element, pass 2 writes them into one buffer

// One element as prepared, kept in document order in a flat list so that a large tree costs
// no allocation per element. Its own content (the "Unused" byte and the primitive content) is
// kept in the encoding's content store, or for large and verbatim contents in a block of its
// own in Whole.
struct TPiece {
    // Content still in the tree, written straight into the output: a property value as text,
    // or as hex decoded on the way. Saves copying large values (a document being signed).
    std::string_view Source;
    size_t ContentLength = 0;  // own content, source and children
    const uint8_t* Own = nullptr;
    size_t OwnSize = 0;
    uint8_t Identifier = 0;
    uint8_t Flags = 0;
};

enum : uint8_t {
    kVerbatim = 1,     // BINARY, SIGNEDDATA, OBJECT: the own bytes are the whole element
    kSourceIsHex = 2,
};

// Copies of small contents, in blocks that never move: growing from a few KiB (most encodings
// are small) to kMaxBlock, the large ones offered for huge pages.
class TContentStore {
public:
    const uint8_t* Keep(std::span<const uint8_t> bytes)
    {
        if (bytes.size() > FRoom)
            Grow(bytes.size());
        uint8_t* at = FNext;
        std::copy(bytes.begin(), bytes.end(), at);
        FNext += bytes.size();
        FRoom -= bytes.size();
        return at;
    }

private:
    static constexpr size_t kFirstBlock = size_t{4} << 10;
    static constexpr size_t kMaxBlock = size_t{4} << 20;

    void Grow(size_t atLeast)
    {
        const size_t size = std::max(FBlockSize, atLeast);
        FBlocks.push_back(std::make_unique_for_overwrite<uint8_t[]>(size));
        FNext = FBlocks.back().get();
        FRoom = size;
        if (size >= kMaxBlock)
            UnitPlatformMemory::AdviseHugePages(FNext, size);
        FBlockSize = std::min(FBlockSize * 4, kMaxBlock);
    }

    std::vector<std::unique_ptr<uint8_t[]>> FBlocks;
    uint8_t* FNext = nullptr;
    size_t FRoom = 0;
    size_t FBlockSize = kFirstBlock;
};

// What one encoding is given besides the tree, and what it has prepared so far. A TBytes
// keeps its buffer when Whole grows, so pieces point into the blocks there.
struct TEncoding {
    const TEntityBuilder& SignedData;
    std::span<const TOuterValue> Outer;
    std::vector<TPiece> Pieces;
    TContentStore Content;
    std::vector<TBytes> Whole;
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

// Every element has at most one own content; small ones are copied into the store, larger
// ones kept as they are.
void AddOwn(TEncoding& enc, TPiece& piece, std::span<const uint8_t> bytes)
{
    piece.Own = enc.Content.Keep(bytes);
    piece.OwnSize = bytes.size();
}

// The bytes become a block of their own in Whole, moved there rather than copied.
void KeepWhole(TEncoding& enc, TPiece& piece, TBytes&& bytes)
{
    enc.Whole.push_back(std::move(bytes));
    piece.Own = enc.Whole.back().data();
    piece.OwnSize = enc.Whole.back().size();
}

void AddOwn(TEncoding& enc, TPiece& piece, TBytes&& bytes)
{
    constexpr size_t kKeptAsIs = size_t{64} << 10;
    if (bytes.size() < kKeptAsIs)
        AddOwn(enc, piece, std::span<const uint8_t>(bytes));
    else
        KeepWhole(enc, piece, std::move(bytes));
}

// The content of a string element: its "Value" as text, or as hex with "Binary" true. Points
// into the tree, which outlives the writing pass.
void ValueSource(const TXmlDoc& node, TPiece& piece, std::span<const TOuterValue> outer)
{
    piece.Source = node.Prop("Value");
    bool hex = PropBool(node, "Binary");
    for (const TOuterValue& o : outer)
        if (o.Node == &node) {
            piece.Source = o.Value;
            hex = hex && !o.Bytes;
        }
    if (hex)
        piece.Flags |= kSourceIsHex;
}

size_t SourceSize(const TPiece& piece)
{
    return (piece.Flags & kSourceIsHex) ? piece.Source.size() / 2 : piece.Source.size();
}

// Appends the source, hex decoded a slice at a time (HexDecode works pair by pair, so slicing
// at even offsets gives the same bytes as decoding the whole).
void WriteSource(const TPiece& piece, TBytes& out)
{
    if (!(piece.Flags & kSourceIsHex)) {
        out.insert(out.end(), piece.Source.begin(), piece.Source.end());
        return;
    }
    constexpr size_t Slice = size_t{1} << 16;
    const std::string_view hex = piece.Source.substr(0, SourceSize(piece) * 2);
    for (size_t pos = 0; pos < hex.size(); pos += Slice) {
        const TBytes part = HexDecode(hex.substr(pos, Slice));
        out.insert(out.end(), part.begin(), part.end());
    }
}

bool Prepare(TXmlDoc& node, int depth, TEncoding& enc, size_t& total);

// Prepares the children after the element's own piece; adds up their encoded sizes.
bool PrepareChildren(TXmlDoc& node, int depth, TEncoding& enc, size_t& sum)
{
    const auto count = static_cast<size_t>(node.GetNodeCount());
    for (size_t i = 0; i < count; ++i) {
        size_t total = 0;
        if (!Prepare(*node.ChildAt(i), depth + 1, enc, total))
            return false;
        sum += total;
    }
    return true;
}

TBytes TimeContent(const TXmlDoc& node, bool utcTime)
{
    const std::string& value = node.Prop("Value");
    const bool zulu = PropBool(node, "Zulu") || value.find('Z') != std::string::npos;
    // An unchanged decoded time is written back byte for byte. The comparison is made on the
    // side the value is written in, so the common case needs no local-to-UTC conversion.
    if (const std::string& original = node.Prop("Original"); !original.empty()) {
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
    sequence.New("OID")->Setp("Value", std::string(Prop(node, "ID")));
    if (const std::string type(Prop(node, "Type")); !type.empty()) {
        TXmlDoc* typed = sequence.New(type);
        typed->Setp("Value", std::string(Prop(node, "Value")));
        if (const TXmlDoc* binary = node.FindProperty("Binary"))
            typed->Setp("Binary", binary->GetValue());
    }
    return EncodeNode(sequence, signedData);
}

// The bytes of an element made whole elsewhere (OBJECT, SIGNEDDATA, BINARY), written as they are.
bool PrepareWhole(std::optional<TBytes> bytes, TEncoding& enc, TPiece& piece)
{
    if (!bytes)
        return false;
    // Always a block of its own: a verbatim root is handed over as it is.
    piece.Flags = kVerbatim;
    KeepWhole(enc, piece, std::move(*bytes));
    return true;
}

// The element's own content, by its kind; the children are prepared already.
bool PrepareContent(TXmlDoc& node, TKind kind, TEncoding& enc, TPiece& piece)
{
    switch (kind) {
    case TKind::Entity: {
        if (node.GetName().empty() || !(node.GetName()[0] >= '0' && node.GetName()[0] <= '9'))
            piece.Identifier = static_cast<uint8_t>(PropInt64(node, "Tag"));
        AddOwn(enc, piece, HexDecode(Prop(node, "Value")));
        break;
    }
    case TKind::Null:
        break;
    case TKind::Binary:
        return PrepareWhole(HexDecode(node.GetValue()), enc, piece);
    case TKind::Boolean: {
        const uint8_t value = PropBool(node, "Value") ? 0xFF : 0x00;
        AddOwn(enc, piece, {&value, 1});
        break;
    }
    case TKind::Integer:
        AddOwn(enc, piece, PropBool(node, "Binary") ? HexDecode(Prop(node, "Value")) : MinimalInteger(PropInt64(node, "Value")));
        break;
    case TKind::OctetString: case TKind::PrintableString: case TKind::Utf8String:
    case TKind::Ia5String: case TKind::NumericString:
        ValueSource(node, piece, enc.Outer);
        break;
    case TKind::BitString: {
        const auto unused = static_cast<uint8_t>(PropInt64(node, "Unused"));
        AddOwn(enc, piece, {&unused, 1});
        ValueSource(node, piece, enc.Outer);
        break;
    }
    case TKind::UtcTime:
    case TKind::GenTime:
        AddOwn(enc, piece, TimeContent(node, kind == TKind::UtcTime));
        break;
    case TKind::Oid:
        AddOwn(enc, piece, OidContent(Prop(node, "Value")));
        break;
    case TKind::Sequence: case TKind::Set: case TKind::Context:
        break;
    case TKind::Object:
        return PrepareWhole(ObjectBytes(node, enc.SignedData), enc, piece);
    case TKind::SignedData:
        if (!enc.SignedData) {
            UnitEncoding::SetAsn1ErrorWord(std::string(SignedDataUnavailable));
            return false;
        }
        return PrepareWhole(enc.SignedData(node), enc, piece);
    case TKind::Unknown:
        return false;
    }
    return true;
}

// Appends the element's piece, then its children's; `total` is its encoded size.
bool Prepare(TXmlDoc& node, int depth, TEncoding& enc, size_t& total)
{
    node.DeleteProperty(WorkProperty);
    if (depth > MaxEncodeDepth)
        return false;
    uint8_t tag = 0;
    const TKind kind = KindOf(node.GetName(), tag);
    if (kind == TKind::Unknown)
        return false;
    const size_t index = enc.Pieces.size();
    enc.Pieces.emplace_back();
    // Children first, as their sizes make the parent's. A BINARY's children are checked, as
    // any other's, but its own bytes stand for them.
    size_t content = 0;
    if (kind != TKind::Object && kind != TKind::SignedData) {
        const size_t wholeMark = enc.Whole.size();
        if (!PrepareChildren(node, depth, enc, content))
            return false;
        if (kind == TKind::Binary) {
            enc.Pieces.resize(index + 1);
            enc.Whole.resize(wholeMark);
        }
    }
    TPiece& piece = enc.Pieces[index];
    piece.Identifier = tag;
    if (!PrepareContent(node, kind, enc, piece))
        return false;
    if (piece.Flags & kVerbatim) {
        total = piece.OwnSize;
        return true;
    }
    content += piece.OwnSize + SourceSize(piece);
    piece.ContentLength = content;
    total = 1 + LengthFieldSize(content) + content;
    return true;
}

// The pieces in document order make the DER: each header and own content is followed by
// the pieces of its children.
void Write(const TEncoding& enc, TBytes& out)
{
    for (const TPiece& piece : enc.Pieces) {
        const std::span<const uint8_t> own(piece.Own, piece.OwnSize);
        if (!(piece.Flags & kVerbatim)) {
            out.push_back(piece.Identifier);
            WriteLength(out, piece.ContentLength);
        }
        out.insert(out.end(), own.begin(), own.end());
        if (!piece.Source.empty())
            WriteSource(piece, out);
    }
}

void RemoveWorkProperties(TXmlDoc& root)
{
    std::vector<TXmlDoc*> pending{&root};
    while (!pending.empty()) {
        TXmlDoc* node = pending.back();
        pending.pop_back();
        node->DeleteProperty(WorkProperty);  // nothing when absent; the properties stay as stored
        for (int i = node->GetNodeCount(); i-- > 0;)
            pending.push_back(node->ChildAt(static_cast<size_t>(i)));
    }
}

// ---- decoding

struct TElementHeader {
    uint8_t Identifier = 0;
    size_t Size = 0;    // identifier and length octets
    size_t Length = 0;  // content octets, cut to what the input holds
    bool Indefinite = false;
};

// The identifier and length of the element at the front of input (at least two bytes). A
// length past the end of the input is cut to the input; an indefinite length takes the rest.
TElementHeader ReadHeader(std::span<const uint8_t> input)
{
    TElementHeader header;
    header.Identifier = input[0];
    size_t pos = 1;
    const uint8_t first = input[pos++];
    if (first == 0x80) {
        header.Indefinite = true;
        header.Length = input.size() - pos;
    } else if (first >= 0x81 && first <= 0x8F) {
        const size_t n = first & 0x0F;
        uint64_t l = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = pos < input.size() ? input[pos] : 0;
            if (pos < input.size())
                ++pos;
            l = l > (UINT64_MAX >> 8) ? UINT64_MAX : (l << 8) | b;
        }
        header.Length = static_cast<size_t>(std::min<uint64_t>(l, input.size() - pos));
    } else {
        header.Length = std::min<size_t>(first, input.size() - pos);
    }
    header.Size = pos;
    return header;
}

int DecodeElement(TXmlDoc& node, std::span<const uint8_t>& input, int depth);

// A constructed element: its children one after another, up to the end of the content or
// the end-of-contents mark of an indefinite length (which sets `consumed`). Returns the
// number of elements created, the node included.
int DecodeConstructed(TXmlDoc& node, const TElementHeader& header, std::span<const uint8_t> content,
                      size_t& consumed, int depth)
{
    const uint8_t identifier = header.Identifier;
    int count = 1;
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
        return count;
    }
    std::span<const uint8_t> rest = content;
    while (!rest.empty()) {
        if (header.Indefinite && rest.size() >= 2 && rest[0] == 0 && rest[1] == 0) {
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
    if (header.Indefinite)
        consumed = header.Size + (content.size() - rest.size());
    return count;
}

// An element of unknown or unusable content: its identifier and the content as hex.
void DecodeAsEntity(TXmlDoc& node, uint8_t identifier, std::span<const uint8_t> content)
{
    node.SetName("ENTITY");
    node.Setp("Tag", std::to_string(identifier));
    node.Setp("Value", HexEncode(content));
}

void DecodeAsBinary(TXmlDoc& node, const char* name, std::span<const uint8_t> content)
{
    node.SetName(name);
    node.Setp("Binary", "1");
    node.Setp("Value", HexEncode(content));
}

void DecodeAsText(TXmlDoc& node, const char* name, std::span<const uint8_t> content)
{
    node.SetName(name);
    node.Setp("Value", std::string(content.begin(), content.end()));
}

// Small integers become numbers, unless that would not give back the same bytes.
void DecodeInteger(TXmlDoc& node, std::span<const uint8_t> content)
{
    bool number = !content.empty() && content.size() <= 5;
    int64_t value = 0;
    if (number) {
        value = (content[0] & 0x80) ? -1 : 0;
        for (uint8_t b : content)
            value = static_cast<int64_t>((static_cast<uint64_t>(value) << 8) | b);
        number = std::ranges::equal(MinimalInteger(value), content);
    }
    if (number) {
        node.SetName("INTEGER");
        node.Setp("Value", std::to_string(value));
    } else {
        DecodeAsBinary(node, "INTEGER", content);
    }
}

void DecodeTime(TXmlDoc& node, uint8_t identifier, std::span<const uint8_t> content)
{
    std::string t(content.begin(), content.end());
    if (t.empty() || t.back() != 'Z') {
        DecodeAsEntity(node, identifier, content);
        return;
    }
    t.pop_back();
    node.SetName(identifier == 0x17 ? "UTCTIME" : "GENTIME");
    node.Setp("Value", UtcToLocalText(ParseDerTime(t, identifier == 0x17)));
    node.Setp("Original", HexEncode(content));
}

void DecodeOid(TXmlDoc& node, std::span<const uint8_t> content)
{
    std::string oid = OidText(content);
    // Only a well-formed OID is written as text, so that re-encoding gives the same bytes.
    if (!content.empty() && !(content.back() & 0x80) && std::ranges::equal(OidContent(oid), content)) {
        node.SetName("OID");
        node.Setp("Value", std::move(oid));
    } else {
        DecodeAsEntity(node, 0x06, content);
    }
}

// A primitive element by its identifier. Kept out of DecodeElement so that the recursion's
// frames stay small.
[[gnu::noinline]] void DecodePrimitive(TXmlDoc& node, uint8_t identifier, std::span<const uint8_t> content)
{
    switch (identifier) {
    case 0x05:
        if (content.empty())
            node.SetName("NULL");
        else
            DecodeAsEntity(node, identifier, content);
        break;
    case 0x01:
        if (content.size() == 1 && (content[0] == 0x00 || content[0] == 0xFF)) {
            node.SetName("BOOLEAN");
            node.Setp("Value", content[0] == 0xFF ? "1" : "0");
        } else {
            DecodeAsEntity(node, identifier, content);
        }
        break;
    case 0x02: DecodeInteger(node, content); break;
    case 0x04: DecodeAsBinary(node, "OCTETSTRING", content); break;
    case 0x13: DecodeAsText(node, "PRINTABLESTRING", content); break;
    case 0x03:
        if (content.empty()) {
            DecodeAsEntity(node, identifier, content);
        } else {
            node.SetName("BITSTRING");
            node.Setp("Unused", std::to_string(content[0]));
            node.Setp("Binary", "1");
            node.Setp("Value", HexEncode(content.subspan(1)));
        }
        break;
    case 0x0C: DecodeAsText(node, "UTF8STRING", content); break;
    case 0x16: DecodeAsBinary(node, "IA5STRING", content); break;
    case 0x12: DecodeAsText(node, "NUMERICSTRING", content); break;
    case 0x17:
    case 0x18: DecodeTime(node, identifier, content); break;
    case 0x06: DecodeOid(node, content); break;
    default: DecodeAsEntity(node, identifier, content); break;
    }
}

// Decodes one element from the front of `input` into node; advances input past it.
int DecodeElement(TXmlDoc& node, std::span<const uint8_t>& input, int depth)
{
    if (input.size() < 2)
        return 0;
    const TElementHeader header = ReadHeader(input);
    const std::span<const uint8_t> content = input.subspan(header.Size, header.Length);
    size_t consumed = header.Size + header.Length;
    int count = 1;
    if (header.Identifier & 0x20)
        count = DecodeConstructed(node, header, content, consumed, depth);
    else
        DecodePrimitive(node, header.Identifier, content);
    input = input.subspan(std::min(consumed, input.size()));
    return count;
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
    TEncoding enc{signedData, outer, {}, {}, {}};
    size_t total = 0;
    bool ok = false;
    try {
        enc.Pieces.reserve(UnitXmlWalk::CountNodes(node));  // allocated once
        UnitPlatformMemory::AdviseHugePages(enc.Pieces.data(), enc.Pieces.capacity() * sizeof(TPiece));
        ok = Prepare(node, 0, enc, total);
    } catch (...) {
        RemoveWorkProperties(node);
        throw;
    }
    RemoveWorkProperties(node);
    if (!ok)
        return std::nullopt;
    // A verbatim root (SIGNEDDATA, BINARY, OBJECT) is its bytes: handed over, not copied.
    if (enc.Pieces.front().Flags & kVerbatim)
        return std::move(enc.Whole.back());
    TBytes out;
    out.reserve(total);
    UnitPlatformMemory::AdviseHugePages(out.data(), out.capacity());
    Write(enc, out);
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
    // The decoder writes the value as whole hex pairs.
    std::vector<bool> flags;
    for (uint8_t byte : HexDecode(Prop(bits, "Value")))
        for (int b = 7; b >= 0; --b)
            flags.push_back((byte >> b) & 1);
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