// The JSON rendering of a tree (GetJSON).
#include "core/UnitXmlDoc.h"

#include "core/UnitXmlText.h"
#include "encoding/UnitEncoding.h"

#include <algorithm>

using namespace UnitXmlDoc;
using namespace UnitXmlText;

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
        for (size_t i = 0; i < n.varProperties.size(); ++i)
            if (const std::string& name = n.StoredName(i); name.empty() || name.front() != '_')
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
    // A property kept as a record renders as a property node would: it has neither
    // properties nor children, so only its name and value count.
    auto renderRecord = [&](const std::string& AName, const std::string& AValue) {
        if (!AName.empty() && AName.front() == '_')
            return;
        const std::string key = AName.empty() ? std::string() : JsonKey(AName);
        separate();
        if (IsAsn1Primitive(AName))
            out += key + JsonString({});
        else
            out += key + (TextIsNumeric(AValue) ? JsonNumber(AValue) : JsonString(AValue));
    };

    render(*this);
    while (!open.empty()) {
        TFrame& top = open.back();
        TXmlDoc& n = *top.node;
        n.StoreDeferred();
        const size_t props = top.array ? 0 : n.varProperties.size();
        if (top.next < props + n.varNodes.size()) {
            if (top.next < props && !n.PropsAreNodes()) {
                const size_t i = top.next++;
                renderRecord(n.StoredName(i), n.StoredValue(i));
                continue;
            }
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
