#include "encoding/UnitEncoding.h"

#include "encoding/UnitCodecs.h"

#include "core/UnitStatusWords.h"

#include <array>
#include <utility>

namespace UnitEncoding {

namespace {

using UnitCodecs::AsBytes;
using UnitCodecs::AsText;
using TTarget = std::optional<TBytes>;
using enum TEncodingNumber;

constexpr int kLastNumber = Number(Octal);

// Compressed forms nest only through the recognition inside numbers 4 and 5; real texts nest
// one or two levels. A text made of thousands of "zip:/" markers must not exhaust the stack.
constexpr int kMaxNesting = 32;

constexpr std::string_view kHexbin = "hexbin:/";
constexpr std::string_view kHexbin2 = "hexbin2:/";
constexpr std::string_view kMime64 = "mime64:/";
constexpr std::string_view kTes64 = "tes64:";
constexpr std::string_view kAsn1 = "asn1:/";
constexpr std::string_view kZip = "zip:/";
constexpr std::string_view kZhb = "zhb:/";
constexpr std::string_view kZm = "zm:/";
constexpr std::string_view kZ113hb = "z113hb:/";
constexpr std::string_view kZh = "zh:/";

// Recognition order for number 0.
constexpr TEncodingNumber kLibraryRecognition[] = {Hexbin, Hexbin2, Mime64, Asn1Marked, Zm, Zh, ZipChunked, Z113hb, ZhbChunked, Tes64};
constexpr TEncodingNumber kHostRecognition[] = {Hexbin, Hexbin2, Mime64, Tes64};

struct TState {
    std::string status;
    std::string errorWord;
};

TState& State()
{
    static TState state;
    return state;
}

bool Knows(const TEncodingTable& table, int number)
{
    if (number < 0 || number > kLastNumber)
        return false;
    if (!table.IsHost())
        return true;
    static constexpr std::array<bool, kLastNumber + 1> kHost = [] {
        std::array<bool, kLastNumber + 1> known{};
        for (TEncodingNumber n : {Automatic, Tes64, Hexbin, Xml, Hexbin2, Base64, Mime64, Hex, HexLenient, Html, Json, Octal})
            known[static_cast<size_t>(n)] = true;
        return known;
    }();
    return kHost[size_t(number)];
}

// The text after `marker`, or nothing when the marker is missing or nothing follows it.
std::optional<std::string_view> AfterMarker(std::string_view text, std::string_view marker)
{
    if (text.size() <= marker.size() || text.substr(0, marker.size()) != marker)
        return std::nullopt;
    return text.substr(marker.size());
}

TBytes ToBytes(std::string_view text)
{
    return TBytes(text.begin(), text.end());
}

std::string Encode(std::span<const uint8_t> bytes, int number, const TEncodingTable& table);
TTarget Decode(std::string_view text, int number, TTarget target, const TEncodingTable& table, int depth);

std::string EncodeDeflated(std::span<const uint8_t> bytes, std::string_view marker, TEncodingNumber inner, const TEncodingTable& table)
{
    const TBytes packed = UnitCodecs::Deflate(bytes);
    if (packed.empty())
        return std::string(marker);
    std::string out(marker);
    out += Encode(packed, Number(inner), table);
    return out;
}

std::string EncodeChunked(std::span<const uint8_t> bytes, std::string_view marker, TEncodingNumber inner, const TEncodingTable& table)
{
    const TBytes records = UnitCodecs::ChunkedDeflate(bytes);
    std::string out(marker);
    if (!records.empty())
        out += Encode(records, Number(inner), table);
    return out;
}

std::string EncodeAsn1(std::span<const uint8_t> bytes, std::string_view marker, const TEncodingTable& table)
{
    std::string out(marker);
    if (bytes.empty())
        return out;
    TState& state = State();
    state.errorWord.clear();
    std::optional<std::string> xml;
    if (const auto& derToXml = table.Upper().DerToXml)
        xml = derToXml(bytes);
    else
        state.errorWord = Words::Asn1NotAvailable;
    if (xml) {
        state.status = Words::OK;
        // The text is taken over, not copied: it can be hundreds of megabytes (a large CRL).
        xml->insert(0, out);
        out = std::move(*xml);
    } else {
        state.status = state.errorWord;
    }
    return out;
}

std::string EncodePlugin(std::span<const uint8_t> bytes, const TEncodingTable& table)
{
    std::string_view request = AsText(bytes);
    if (const size_t nul = request.find('\0'); nul != std::string_view::npos)
        request = request.substr(0, nul);
    const auto& plugin = table.Upper().Plugin;
    if (!plugin)
        return {};
    std::optional<std::string> response = plugin(request);
    return response ? std::move(*response) : std::string();
}

std::string Encode(std::span<const uint8_t> bytes, int number, const TEncodingTable& table)
{
    if (!Knows(table, number))
        return {};
    const std::string_view text = AsText(bytes);
    switch (static_cast<TEncodingNumber>(number)) {
    case Automatic:
    case Hexbin2: return bytes.empty() ? std::string() : UnitCodecs::Hexbin2Encode(bytes, kHexbin2);
    case Tes64: return UnitCodecs::Tes64Encode(bytes);
    case Hexbin: return bytes.empty() ? std::string() : UnitCodecs::HexEncode(bytes, kHexbin);
    case Xml: return UnitCodecs::XmlEncode(text);
    case ZipChunked: return EncodeChunked(bytes, kZip, Hexbin, table);
    case ZhbChunked: return EncodeChunked(bytes, kZhb, Hexbin2, table);
    case Base64: return UnitCodecs::Base64Encode(bytes, true);
    case Mime64: return UnitCodecs::Base64Encode(bytes, false, kMime64);
    case DeflatedBase64: return EncodeDeflated(bytes, {}, Base64, table);
    case Zm: return EncodeDeflated(bytes, kZm, Mime64, table);
    case Z113hb: return EncodeDeflated(bytes, kZ113hb, Hexbin2, table);
    case Hex:
    case HexLenient: return UnitCodecs::HexEncode(bytes);
    case Asn1Marked: return EncodeAsn1(bytes, kAsn1, table);
    case Asn1Xml: return EncodeAsn1(bytes, {}, table);
    case Plugin: return EncodePlugin(bytes, table);
    case Zh: return EncodeDeflated(bytes, kZh, Hexbin, table);
    case DeflatedHex: return EncodeDeflated(bytes, {}, Hex, table);
    case Html: return UnitCodecs::HtmlEncode(text);
    case Json: return UnitCodecs::JsonEncode(text);
    case Octal: return UnitCodecs::OctalEncode(text);
    }
    return {};
}

TTarget Recognise(std::string_view text, TTarget target, const TEncodingTable& table, int depth)
{
    const std::span<const TEncodingNumber> order = table.IsHost() ? std::span<const TEncodingNumber>(kHostRecognition)
                                                                  : std::span<const TEncodingNumber>(kLibraryRecognition);
    for (TEncodingNumber number : order) {
        target = Decode(text, Number(number), std::move(target), table, depth);
        if (target && !target->empty())
            break;
    }
    return target;
}

// Numbers 9, 10, 11, 17, 18: an inner decode that gives no result leaves an empty stream.
TTarget DecodeDeflated(std::string_view text, std::string_view marker, TEncodingNumber inner, const TEncodingTable& table, TTarget target,
                       int depth)
{
    if (!marker.empty()) {
        const auto rest = AfterMarker(text, marker);
        if (!rest)
            return target;
        text = *rest;
    }
    TBytes out;
    const TTarget packed = Decode(text, Number(inner), std::nullopt, table, depth);
    if (packed && !packed->empty())
        UnitCodecs::Inflate(*packed, out);
    return out;
}

// Numbers 4 and 5: the inner form is recognised; no result stays no result.
TTarget DecodeChunked(std::string_view text, std::string_view marker, const TEncodingTable& table, TTarget target, int depth)
{
    const auto rest = AfterMarker(text, marker);
    if (!rest || depth >= kMaxNesting)
        return target;
    const TTarget records = Recognise(*rest, std::nullopt, table, depth + 1);
    if (!records)
        return target;
    return UnitCodecs::ChunkedInflate(*records);
}

TTarget DecodeAsn1(std::string_view text, std::string_view marker, TTarget target, const TEncodingTable& table)
{
    if (!marker.empty()) {
        const auto rest = AfterMarker(text, marker);
        if (!rest)
            return target;
        text = *rest;
    }
    TState& state = State();
    state.errorWord.clear();
    TTarget der;
    if (const auto& xmlToDer = table.Upper().XmlToDer)
        der = xmlToDer(text);
    else
        state.errorWord = Words::Asn1NotAvailable;
    if (!der) {
        state.status = state.errorWord;
        return target;
    }
    state.status = Words::OK;
    return der;
}

TTarget Decode(std::string_view text, int number, TTarget target, const TEncodingTable& table, int depth)
{
    if (!Knows(table, number))
        return std::nullopt;
    switch (static_cast<TEncodingNumber>(number)) {
    case Automatic: return Recognise(text, std::move(target), table, depth);
    case Tes64: {
        const auto rest = AfterMarker(text, kTes64);
        if (!rest)
            return target;
        TTarget out = UnitCodecs::Tes64Decode(*rest);
        return out ? std::move(out) : std::move(target);
    }
    case Hexbin: {
        const auto rest = AfterMarker(text, kHexbin);
        return rest ? UnitCodecs::HexDecode(*rest) : std::move(target);
    }
    case Xml: return ToBytes(UnitCodecs::XmlDecode(text));
    case ZipChunked: return DecodeChunked(text, kZip, table, std::move(target), depth);
    case ZhbChunked: return DecodeChunked(text, kZhb, table, std::move(target), depth);
    case Hexbin2: {
        const auto rest = AfterMarker(text, kHexbin2);
        return rest ? UnitCodecs::Hexbin2Decode(*rest) : std::move(target);
    }
    case Base64: return UnitCodecs::Base64Decode(text);
    case Mime64: {
        const auto rest = AfterMarker(text, kMime64);
        return rest ? UnitCodecs::Base64Decode(*rest) : std::move(target);
    }
    case DeflatedBase64: return DecodeDeflated(text, {}, Base64, table, std::move(target), depth);
    case Zm: return DecodeDeflated(text, kZm, Mime64, table, std::move(target), depth);
    case Z113hb: return DecodeDeflated(text, kZ113hb, Hexbin2, table, std::move(target), depth);
    case Hex: return UnitCodecs::HexDecode(text);
    case Asn1Marked: return DecodeAsn1(text, kAsn1, std::move(target), table);
    case Asn1Xml: return DecodeAsn1(text, {}, std::move(target), table);
    case HexLenient: return UnitCodecs::HexDecodeLenient(text);
    case Zh: return DecodeDeflated(text, kZh, Hexbin, table, std::move(target), depth);
    case DeflatedHex: return DecodeDeflated(text, {}, Hex, table, std::move(target), depth);
    case Html: return ToBytes(UnitCodecs::HtmlDecode(text));
    case Json: return ToBytes(UnitCodecs::JsonDecode(text));
    // Encode only.
    case Plugin:
    case Octal: return std::nullopt;
    }
    return std::nullopt;
}

// Selector names of convert-by-name, in the order they are tried.
struct TSelector {
    std::string_view name;
    TEncodingNumber number;
};
constexpr TSelector kSelectors[] = {{"xml", Xml},     {"hexbin", Hexbin}, {"zm", Zm},  {"mime64", Mime64},
                                    {"tes64", Tes64}, {"html", Html},     {"json", Json}};

bool SameNameNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::optional<TEncodingNumber> SelectorNumber(std::string_view name, const TEncodingTable& table)
{
    for (const TSelector& selector : kSelectors)
        if (SameNameNoCase(name, selector.name)) {
            if (table.IsHost() && selector.number == Zm)
                return Automatic;
            return selector.number;
        }
    return std::nullopt;
}

}  // namespace

// ---- tables ----

const TEncodingTable& TEncodingTable::Codecs()
{
    static const TEncodingTable table;
    return table;
}

const TEncodingTable& TEncodingTable::Host()
{
    static const TEncodingTable table{THostTag{}};
    return table;
}

// ---- operations ----

std::string EncodeBytes(std::span<const uint8_t> bytes, int number, const TEncodingTable& table)
{
    return Encode(bytes, number, table);
}

std::string EncodeBytes(std::span<const uint8_t> bytes, int number)
{
    return Encode(bytes, number, TEncodingTable::Codecs());
}

std::optional<TBytes> DecodeInto(std::string_view text, int number, std::optional<TBytes> target, const TEncodingTable& table)
{
    TTarget out = Decode(text, number, std::move(target), table, 0);
    return out;
}

std::optional<TBytes> DecodeInto(std::string_view text, int number, std::optional<TBytes> target)
{
    return DecodeInto(text, number, std::move(target), TEncodingTable::Codecs());
}

std::optional<TBytes> DecodeText(std::string_view text, int number, const TEncodingTable& table)
{
    return Decode(text, number, std::nullopt, table, 0);
}

std::optional<TBytes> DecodeText(std::string_view text, int number)
{
    return DecodeText(text, number, TEncodingTable::Codecs());
}

std::string EncodeText(std::string_view text, int number)
{
    return EncodeBytes(AsBytes(text), number);
}

std::string DecodeTextToText(std::string_view text, int number)
{
    const std::optional<TBytes> bytes = DecodeText(text, number);
    return bytes ? std::string(AsText(*bytes)) : std::string();
}

std::string Transcode(std::string_view text, int from, int to, const TEncodingTable& table)
{
    if (from == to)
        return std::string(text);
    const std::optional<TBytes> bytes = DecodeText(text, from, table);
    return bytes ? EncodeBytes(*bytes, to, table) : std::string();
}

std::string Transcode(std::string_view text, int from, int to)
{
    return Transcode(text, from, to, TEncodingTable::Codecs());
}

std::string ConvertByName(std::string_view text, std::string_view name, bool encode, const TEncodingTable& table)
{
    const std::optional<TEncodingNumber> number = SelectorNumber(name, table);
    if (!number)
        return std::string(text);
    if (encode)
        return EncodeBytes(AsBytes(text), *number, table);
    try {
        const std::optional<TBytes> bytes = DecodeText(text, *number, table);
        return bytes ? std::string(AsText(*bytes)) : std::string();
    } catch (const std::exception&) {
        return {};
    }
}

std::string ConvertByName(std::string_view text, std::string_view name, bool encode)
{
    return ConvertByName(text, name, encode, TEncodingTable::Codecs());
}

// ---- status ----

const std::string& ConversionStatus()
{
    return State().status;
}

void SetConversionStatus(std::string status)
{
    State().status = std::move(status);
}

const std::string& Asn1ErrorWord()
{
    return State().errorWord;
}

void SetAsn1ErrorWord(std::string word)
{
    State().errorWord = std::move(word);
}

}  // namespace UnitEncoding
