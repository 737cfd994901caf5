#include "crypto/UnitSigningRequestText.h"

#include "crypto/UnitSignedData.h"

#include <cstring>

namespace UnitSigningRequestText {

namespace {

// The reader's name characters: "!", "#" to "&", "(" to ".", "0" to ";", "?" to "Z", "_",
// "a" to "z".
bool IsNameChar(char c)
{
    return c == '!' || (c >= '#' && c <= '&') || (c >= '(' && c <= '.') || (c >= '0' && c <= ';') ||
           (c >= '?' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z');
}

}  // namespace

std::optional<TSplitRequest> SplitContent(std::string_view xml)
{
    size_t p = xml.find('<');
    if (p == std::string_view::npos)
        return std::nullopt;
    ++p;
    const size_t nameStart = p;
    while (p < xml.size() && IsNameChar(xml[p]))
        ++p;
    const std::string_view name = xml.substr(nameStart, p - nameStart);
    // "<a/b" is one name to the reader; a name written with references is left to it too.
    if (!UnitXmlDoc::SameText(name, "SIGNEDDATA") || (p < xml.size() && xml[p] == '/' && p + 1 < xml.size() &&
                                                      xml[p + 1] != '>'))
        return std::nullopt;
    // The attributes as the reader walks them: bytes that start no name are skipped, a name
    // takes the value between the next quote or apostrophe and its undoubled partner.
    while (p < xml.size()) {
        const char c = xml[p];
        if (c == '/' || c == '>')
            return std::nullopt;
        if (!IsNameChar(c)) {
            ++p;
            continue;
        }
        const size_t attrStart = p;
        while (p < xml.size() && IsNameChar(xml[p]))
            ++p;
        const std::string_view attr = xml.substr(attrStart, p - attrStart);
        const size_t quote = xml.find_first_of("\"'", p);
        if (quote == std::string_view::npos)
            return std::nullopt;
        const char delimiter = xml[quote];
        const size_t valueStart = quote + 1;
        size_t valueEnd = xml.find(delimiter, valueStart);
        bool doubled = false;
        while (valueEnd != std::string_view::npos && valueEnd + 1 < xml.size() && xml[valueEnd + 1] == delimiter) {
            doubled = true;
            valueEnd = xml.find(delimiter, valueEnd + 2);
        }
        if (valueEnd == std::string_view::npos)
            return std::nullopt;
        // A name with a reference could read as "Content" (or "_length"): the reader decides.
        if (attr.find('&') != std::string_view::npos)
            return std::nullopt;
        if (UnitXmlDoc::SameText(attr, "Content")) {
            const std::string_view value = xml.substr(valueStart, valueEnd - valueStart);
            if (doubled || std::memchr(value.data(), '&', value.size()) != nullptr)
                return std::nullopt;
            TSplitRequest split;
            split.Rest.reserve(xml.size() - value.size());
            split.Rest.append(xml.substr(0, valueStart));
            split.Rest.append(xml.substr(valueEnd));
            split.Content = value;
            return split;
        }
        p = valueEnd + 1;
    }
    return std::nullopt;
}

std::optional<UnitAsn1::TBytes> XmlToDerAsRead(std::string_view xml, UnitHttp::THttpClient& http,
                                               const UnitSignedData::TSignedDataInputs& inputs)
{
    UnitSignedData::TSignedDataInputs nested = inputs;
    nested.Content.reset();
    return UnitAsn1::XmlToDer(xml, [&](TXmlDoc& node) { return UnitSignedData::BuildSignedDataWith(node, http, nested); });
}

std::optional<UnitAsn1::TBytes> XmlToDer(std::string_view xml, UnitHttp::THttpClient& http,
                                         const UnitSignedData::TSignedDataInputs& inputs)
{
    auto split = SplitContent(xml);
    if (!split)
        return XmlToDerAsRead(xml, http, inputs);
    TXmlDoc request;
    request.SetXML(split->Rest);
    UnitSignedData::TSignedDataInputs outer = inputs;
    outer.Content = split->Content;
    outer.ContentIsBytes = false;
    return RequestToDer(request, http, outer);
}

std::optional<UnitAsn1::TBytes> RequestToDer(TXmlDoc& request, UnitHttp::THttpClient& http,
                                             const UnitSignedData::TSignedDataInputs& inputs)
{
    UnitSignedData::TSignedDataInputs nested = inputs;
    nested.Content.reset();
    nested.ContentIsBytes = false;
    // Only the request element itself has its content outside.
    return UnitAsn1::EncodeNode(request, [&](TXmlDoc& node) {
        return UnitSignedData::BuildSignedDataWith(node, http, &node == &request ? inputs : nested);
    });
}

}  // namespace UnitSigningRequestText
