// Reading the XML text form into a tree: one element (XML, file loading) or a run of child
// elements (ChildrenXML), without recursion. Text in memory is read through an inlined
// cursor; a file through the tokenizer.
#include "core/UnitXmlDoc.h"

#include "core/UnitXmlCursor.h"
#include "core/UnitXmlText.h"
#include "encoding/UnitCodecs.h"

#include <algorithm>
#include <charconv>

using namespace UnitXmlText;

namespace {

constexpr TTokenSet MakeNameChars()
{
    TTokenSet s;
    s.Include('!').IncludeRange('#', '&').IncludeRange('(', '.').IncludeRange('0', ';').IncludeRange('?', 'Z');
    s.Include('_').IncludeRange('a', 'z');
    return s;
}
constexpr TTokenSet kNameChars = MakeNameChars();
constexpr TTokenSet kBlanks{'\t', '\n', '\r', ' '};
constexpr TTokenSet kTextStop{'\t', '\n', '\r', '<'};
constexpr TTokenSet kQuotes{'"', '\''};
constexpr TTokenSet kLt{'<'};
constexpr TTokenSet kGt{'>'};
constexpr TTokenSet kSlash{'/'};
constexpr TTokenSet kSlashGt{'/', '>'};
constexpr TTokenSet kDoubleQuote{'"'};
constexpr TTokenSet kApostrophe{'\''};
constexpr TTokenSet MakeAttributeStart()
{
    TTokenSet s = MakeNameChars();
    s.Include('/').Include('>');
    return s;
}
constexpr TTokenSet kAttributeStart = MakeAttributeStart();

// Short texts (most names and values) are looked at here, longer ones at memory speed.
bool NeedsDecoding(std::string_view AText)
{
    if (AText.size() > 32)
        return AText.find('&') != std::string_view::npos;
    for (char c : AText)
        if (c == '&')
            return true;
    return false;
}

// Appends the "xml" decoding of a run of name characters.
void AppendDecoded(std::string& ATarget, std::string_view ARun)
{
    if (!NeedsDecoding(ARun))
        ATarget.append(ARun);
    else if (ATarget.empty())
        ATarget = XmlDecode(std::string(ARun));
    else
        ATarget += XmlDecode(std::string(ARun));
}

}  // namespace

template <class TCursor>
class TXmlReader {
public:
    explicit TXmlReader(TCursor& ACursor) : P(ACursor) {}

    void ReadElement(TXmlDoc& ANode)
    {
        ANode.ResetContent();
        if (!P.ValidPos())
            return;
        std::string name;
        const THead head = ReadHead(ANode, name);
        ANode.SetName(name);
        if (head == THead::Content) {
            P.MoveOffset(1);
            ReadContent(ANode);
        }
        SkipPastGt();
    }

    void ReadChildren(TXmlDoc& ANode)
    {
        ANode.DestroyChildren();
        ReadContent(ANode);
    }

private:
    enum class THead { Closed, Content };

    bool At(const TTokenSet& Tokens) { return P.ValidPos() && P.IsToken(Tokens); }

    void SkipPastGt()
    {
        P.MoveUntilByte('>');
        P.MoveOffset(1);
    }

    // The element name after "<": runs of name characters, joined by a "/" that is not
    // followed by ">" (so "a/b" inside a tag is one name).
    void ReadName(std::string& AName)
    {
        for (;;) {
            P.Mark();
            P.MoveWhile(kNameChars);
            std::string store;
            AppendDecoded(AName, P.Peek(store));
            if (At(kSlash)) {
                P.MoveOffset(1);
                if (P.ValidPos() && !P.IsToken(kGt)) {
                    AName += '/';
                    continue;
                }
                P.MoveOffset(-1);
            }
            return;
        }
    }

    // A quoted attribute value from its opening delimiter; a doubled delimiter stands for one.
    // The usual value (no doubled delimiter) is a view of the text; others are put together
    // in AStore.
    std::string_view ReadQuoted(std::string& AStore)
    {
        const bool doubleQuote = P.IsToken(kDoubleQuote);
        const uint8_t delimiter = doubleQuote ? '"' : '\'';
        const TTokenSet& delimiters = doubleQuote ? kDoubleQuote : kApostrophe;
        P.MoveOffset(1);
        P.Mark();
        P.MoveUntilByte(delimiter);
        const std::string_view first = P.Peek(AStore);
        if (!P.ValidPos())
            return first;
        P.MoveOffset(1);
        if (!At(delimiters))
            return first;
        std::string value(first);
        value += static_cast<char>(delimiter);
        P.MoveOffset(1);
        for (;;) {
            P.Mark();
            P.MoveUntilByte(delimiter);
            P.ReadAppend(value);
            if (!P.ValidPos())
                break;
            P.MoveOffset(1);
            if (At(delimiters)) {
                value += static_cast<char>(delimiter);
                P.MoveOffset(1);
                continue;
            }
            break;
        }
        AStore = std::move(value);
        return AStore;
    }

    // The attributes up to "/" or ">"; returns the raw value length "_length" asked for.
    int64_t ReadAttributes(TXmlDoc& ANode)
    {
        int64_t length = 0;
        while (P.ValidPos()) {
            if (P.IsToken(kSlashGt))
                break;
            if (!P.IsToken(kNameChars)) {
                P.MoveUntil(kAttributeStart);
                continue;
            }
            P.Mark();
            P.MoveWhile(kNameChars);
            std::string nameStore, valueStore;
            const std::string_view attrName = P.Peek(nameStore);
            P.MoveUntil(kQuotes);
            if (!P.ValidPos())
                break;
            const std::string_view value = ReadQuoted(valueStore);
            if (attrName == "_length") {
                int64_t n = 0;
                auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
                length = (ec == std::errc() && n > 0) ? std::min<int64_t>(n, int64_t(1) << 48) : 0;
                continue;
            }
            if (!NeedsDecoding(attrName) && !NeedsDecoding(value)) {
                if (attrName.empty() && value.empty())
                    continue;
                // A value the reader holds already (the tokenizer's copy, or one put together)
                // is taken over rather than copied again.
                if (value.data() == valueStore.data())
                    ANode.AddProperty(std::string(attrName), std::move(valueStore));
                else
                    ANode.AddPropertyCopy(attrName, value);
                continue;
            }
            std::string name = XmlDecode(std::string(attrName));
            std::string decoded = XmlDecode(std::string(value));
            if (!name.empty() || !decoded.empty())
                ANode.AddProperty(std::move(name), std::move(decoded));
        }
        return length;
    }

    // Steps over "<", the name and the attributes; for an empty element or a raw value
    // sized by "_length" it reads the whole element but the closing ">".
    THead ReadHead(TXmlDoc& ANode, std::string& AName)
    {
        P.MoveUntilByte('<');
        P.MoveOffset(1);
        ReadName(AName);
        const int64_t length = ReadAttributes(ANode);
        if (At(kSlash)) {
            P.MoveOffset(1);
            return THead::Closed;
        }
        if (length >= 1) {
            P.MoveOffset(1);
            P.Mark();
            P.MoveOffset(length);
            ANode.varValue = P.Read();
            return THead::Closed;
        }
        return THead::Content;
    }

    void ReadText(TXmlDoc& ANode)
    {
        P.Mark();
        P.MoveUntil(kTextStop);
        std::string store;
        const std::string_view text = P.Peek(store);
        // An element with text has an "_enctype" property: the attribute, or an empty one
        // that stays deferred until the properties are reached as nodes.
        const size_t enc = ANode.FindStored("_enctype");
        if (enc == TXmlDoc::kNoProperty)
            ANode.Flags() |= TXmlDoc::kDeferredEncType;
        const std::string_view encName = enc == TXmlDoc::kNoProperty ? std::string_view() : std::string_view(ANode.StoredValue(enc));
        if (CodingOf(encName) == TValueCoding::Xml && !NeedsDecoding(text)) {
            if (text.data() == store.data())
                ANode.varValue = std::move(store);
            else
                ANode.varValue.assign(text);
        }
        else
            ANode.varValue = DecodeValue(std::string(text), encName);
    }

    // A finished child stays when it holds anything, and then is to enter the parent's
    // index unless its name is there already (the first child of a name wins); the parent
    // settles that when its index is first asked.
    static void Adopt(TXmlDoc& AParent)
    {
        TXmlDoc* child = AParent.varNodes.back();
        if (child->varName.empty() && child->varValue.empty() && child->NoProperties() && child->varNodes.empty()) {
            AParent.ListErase(AParent.varNodes, AParent.varNodes.size() - 1);
            AParent.FreeNode(child);
            return;
        }
        AParent.BindChild(*child);
        if (!child->varName.empty()) {
            child->Flags() |= TXmlDoc::kCandidate;
            AParent.Flags() |= TXmlDoc::kPending;
        }
    }

    // Skips one element whose head has been read, nesting counted but nothing kept.
    void SkipElement()
    {
        size_t depth = 1;
        TXmlDoc scratch;
        while (depth > 0 && P.ValidPos()) {
            P.MoveUntilByte('<');
            if (!P.ValidPos())
                break;
            P.MoveOffset(1);
            if (At(kSlash)) {
                SkipPastGt();
                --depth;
                continue;
            }
            P.MoveOffset(-1);
            scratch.DeleteProperties();
            std::string name;
            if (ReadHead(scratch, name) == THead::Content) {
                P.MoveOffset(1);
                ++depth;
            } else {
                SkipPastGt();
            }
        }
    }

    // An element nested deeper than the reader follows: read and dropped.
    void SkipTooDeep()
    {
        TXmlDoc scratch;
        std::string name;
        if (ReadHead(scratch, name) == THead::Content) {
            P.MoveOffset(1);
            SkipElement();
        } else {
            SkipPastGt();
        }
    }

    // One step inside the open element: text, its closing tag (false), or a child.
    bool ReadContentStep(std::vector<TXmlDoc*>& open)
    {
        TXmlDoc& node = *open.back();
        if (!P.IsToken(kLt)) {
            ReadText(node);
            return true;
        }
        P.MoveOffset(1);
        if (At(kSlash)) {
            if (open.size() == 1)
                return false;  // the caller closes the root
            SkipPastGt();
            open.pop_back();
            Adopt(*open.back());
            return true;
        }
        P.MoveOffset(-1);
        if (open.size() >= TXmlDoc::MaxReadDepth) {
            SkipTooDeep();
            return true;
        }
        TXmlDoc* child = node.MakeNode({});
        child->FParent = &node;
        node.ListInsert(node.varNodes, node.varNodes.size(), child);
        if (ReadHead(*child, child->varName) == THead::Content) {
            P.MoveOffset(1);
            open.push_back(child);
        } else {
            SkipPastGt();
            Adopt(node);
        }
        return true;
    }

    // The content of ARoot (after its ">"), with every element below it, without
    // recursion. Open elements are finished even when the parser fails halfway.
    void ReadContent(TXmlDoc& ARoot)
    {
        std::vector<TXmlDoc*> open{&ARoot};
        try {
            while (!open.empty()) {
                P.MoveWhile(kBlanks);
                if (!P.ValidPos() || !ReadContentStep(open))
                    break;
            }
        } catch (...) {
            Unwind(open);
            throw;
        }
        Unwind(open);
    }

    static void Unwind(std::vector<TXmlDoc*>& open)
    {
        while (open.size() > 1) {
            open.pop_back();
            Adopt(*open.back());
        }
    }

    TCursor& P;
};

template <class TCursor>
static void ReadInto(TXmlDoc& ANode, TCursor& ACursor, bool AChildren)
{
    // Compressed values ("_enctype" "zm") of one document inflate within one budget together.
    const UnitCodecs::TInflateBudget budget;
    TXmlReader<TCursor> reader(ACursor);
    if (AChildren)
        reader.ReadChildren(ANode);
    else
        reader.ReadElement(ANode);
}

void TXmlDoc::ReadXML(TGenericParser& AParser, bool AChildren)
{
    TParserCursor cursor(AParser);
    ReadInto(*this, cursor, AChildren);
}

void TXmlDoc::SetXML(std::string_view AXML)
{
    TTextCursor cursor(AXML);
    try {
        ReadInto(*this, cursor, false);
    } catch (...) {
        // What was read up to the error stays.
    }
}

void TXmlDoc::SetChildrenXML(std::string_view AXML)
{
    TTextCursor cursor(AXML);
    try {
        ReadInto(*this, cursor, true);
    } catch (...) {
    }
}
