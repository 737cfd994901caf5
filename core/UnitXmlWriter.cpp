// Writing a tree in the XML text form: an estimate of the size first, then one pass into
// a text reserved for it (a string in memory, or a file through the tokenizer).
#include "core/UnitXmlDoc.h"

#include "core/UnitXmlText.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitPlatformMemory.h"

#include <algorithm>

using namespace UnitXmlText;

namespace {

// Indentation stops growing at this depth, so the text of a very deep tree stays linear in
// its size; the reader skips blanks between elements either way.
constexpr size_t kMaxIndent = 128;

const std::string kTabs(kMaxIndent, '\t');

// Writing into a string in memory.
class TStringSink {
public:
    explicit TStringSink(std::string& AText) : FText(AText) {}
    void Reserve(int64_t ASize)
    {
        FText.reserve(static_cast<size_t>(std::max<int64_t>(ASize, 0)));
        UnitPlatformMemory::AdviseHugePages(FText.data() + FText.size(), FText.capacity() - FText.size());
    }
    void Write(std::string_view AText) { FText.append(AText); }
    void Write(char AChar) { FText.push_back(AChar); }

private:
    std::string& FText;
};

// Writing through a tokenizer set up for writing.
class TParserSink {
public:
    explicit TParserSink(TGenericParser& AParser) : FParser(AParser) {}
    void Write(std::string_view AText) { FParser.Write(AText); }
    void Write(char AChar) { FParser.Write(std::string_view(&AChar, 1)); }

private:
    TGenericParser& FParser;
};

}  // namespace

template <class TSink>
class TXmlWriter {
public:
    explicit TXmlWriter(TSink& ASink) : P(ASink) {}

    static int64_t EstimateTree(const TXmlDoc& ARoot)
    {
        int64_t total = 0;
        std::vector<std::pair<const TXmlDoc*, size_t>> work{{&ARoot, 0}};
        while (!work.empty()) {
            auto [node, level] = work.back();
            work.pop_back();
            total += EstimateNode(*node, level);
            for (TXmlDoc* c : node->varNodes)
                work.emplace_back(c, level + 1);
        }
        return total;
    }

    void WriteTree(const TXmlDoc& ARoot)
    {
        struct TFrame {
            const TXmlDoc* node;
            size_t level;
            size_t next;
        };
        std::vector<TFrame> open;
        if (WriteOpen(ARoot, 0))
            open.push_back({&ARoot, 0, 0});
        while (!open.empty()) {
            TFrame& top = open.back();
            if (top.next < top.node->varNodes.size()) {
                const TXmlDoc* child = top.node->varNodes[top.next++];
                if (Blank(*child))
                    continue;
                const size_t level = top.level + 1;
                if (WriteOpen(*child, level))
                    open.push_back({child, level, 0});
                continue;
            }
            Indent(top.level);
            WriteClose(*top.node);
            open.pop_back();
        }
    }

    // A child without name, value, written properties or children would be written as
    // "</>", which reads as the parent's closing tag; it is left out (reading drops it anyway).
    static bool Blank(const TXmlDoc& ANode)
    {
        if (!ANode.varName.empty() || !ANode.varValue.empty() || !ANode.varNodes.empty())
            return false;
        for (size_t i = 0; i < ANode.varProperties.size(); ++i)
            if (!ANode.StoredValue(i).empty())
                return false;
        return true;
    }

private:
    // The deferred "_enctype" has no value, so it is neither written nor changes the coding.
    static size_t EncTypeOf(const TXmlDoc& ANode) { return ANode.FindStored("_enctype"); }
    static std::string_view EncNameOf(const TXmlDoc& ANode, size_t AEnc)
    {
        return AEnc == TXmlDoc::kNoProperty ? std::string_view() : std::string_view(ANode.StoredValue(AEnc));
    }

    static int64_t EstimateNode(const TXmlDoc& ANode, size_t ALevel)
    {
        const auto L = static_cast<int64_t>(std::min(ALevel, kMaxIndent));
        const bool value = !ANode.varValue.empty();
        const bool children = !ANode.varNodes.empty();
        int64_t size = L;
        if (!value && !children)
            size += 4;
        else if (!value)
            size += 8;
        else if (children)
            size += L + 6;
        else
            size += 6;
        size += 4 * static_cast<int64_t>(ANode.varName.size());
        for (size_t i = 0; i < ANode.varProperties.size(); ++i)
            if (const std::string& v = ANode.StoredValue(i); !v.empty())
                size += 4 + 4 * static_cast<int64_t>(ANode.StoredName(i).size() + v.size());
        const std::string_view encName = EncNameOf(ANode, EncTypeOf(ANode));
        if (CodingOf(encName) == TValueCoding::Length)
            size += 11 + static_cast<int64_t>(IntText(static_cast<int64_t>(ANode.varValue.size())).size());
        size += static_cast<int64_t>(ANode.varValue.size()) * EncodingFactor(encName);
        return size;
    }

    void Indent(size_t ALevel) { P.Write(std::string_view(kTabs).substr(0, std::min(ALevel, kMaxIndent))); }

    // Names and attribute values in the "xml" coding; most need no escape and go out as they are.
    void WriteXmlText(std::string_view AText)
    {
        for (char c : AText)
            if (kXmlEscapes.Contains(static_cast<uint8_t>(c))) {
                P.Write(UnitEncoding::ConvertByName(AText, "xml", true));
                return;
            }
        P.Write(AText);
    }

    void WriteClose(const TXmlDoc& ANode)
    {
        P.Write(std::string_view("</"));
        WriteXmlText(ANode.varName);
        P.Write(std::string_view(">\r\n"));
    }

    void WriteAttributes(const TXmlDoc& ANode, size_t AEnc, TValueCoding ACoding)
    {
        for (size_t i = 0; i < ANode.varProperties.size(); ++i) {
            const std::string& value = ANode.StoredValue(i);
            if (value.empty())
                continue;
            const std::string& name = ANode.StoredName(i);
            // "_length" belongs to the writer: a stray property of that name would make the
            // reader take the wrong number of raw bytes.
            if (name == "_length")
                continue;
            if (i == AEnc && ACoding == TValueCoding::RawNoAttr)
                continue;
            P.Write(' ');
            WriteXmlText(name);
            P.Write(std::string_view("=\""));
            WriteXmlText(value);
            P.Write('"');
            if (i == AEnc && ACoding == TValueCoding::Length) {
                P.Write(std::string_view(" _length=\""));
                P.Write(IntText(static_cast<int64_t>(ANode.varValue.size())));
                P.Write('"');
            }
        }
    }

    // Writes the node's start; true when its children and closing tag are still to come.
    bool WriteOpen(const TXmlDoc& ANode, size_t ALevel)
    {
        Indent(ALevel);
        P.Write('<');
        WriteXmlText(ANode.varName);
        const size_t enc = EncTypeOf(ANode);
        const std::string_view encName = EncNameOf(ANode, enc);
        const TValueCoding coding = CodingOf(encName);
        WriteAttributes(ANode, enc, coding);
        const bool children = !ANode.varNodes.empty();
        if (ANode.varValue.empty()) {
            P.Write(std::string_view(children ? ">\r\n" : "/>\r\n"));
            return children;
        }
        P.Write('>');
        switch (coding) {
        case TValueCoding::Xml:
            WriteXmlText(ANode.varValue);
            break;
        case TValueCoding::Codec:
            P.Write(UnitEncoding::ConvertByName(ANode.varValue, encName, true));
            break;
        default:
            P.Write(ANode.varValue);
            break;
        }
        if (children)
            return true;
        WriteClose(ANode);
        return false;
    }

    TSink& P;
};

void TXmlDoc::WriteXML(TGenericParser& AParser) const
{
    AParser.Estimate(TXmlWriter<TParserSink>::EstimateTree(*this));
    AParser.Allocate();
    TParserSink sink(AParser);
    TXmlWriter<TParserSink>(sink).WriteTree(*this);
    AParser.Finish();
}

std::string TXmlDoc::GetXML() const
{
    std::string text;
    TStringSink sink(text);
    sink.Reserve(TXmlWriter<TStringSink>::EstimateTree(*this));
    TXmlWriter<TStringSink>(sink).WriteTree(*this);
    return text;
}

std::string TXmlDoc::GetChildrenXML() const
{
    std::string text;
    TStringSink sink(text);
    int64_t estimate = 0;
    for (TXmlDoc* c : varNodes)
        estimate += TXmlWriter<TStringSink>::EstimateTree(*c);
    sink.Reserve(estimate);
    TXmlWriter<TStringSink> writer(sink);
    for (TXmlDoc* c : varNodes)
        if (!TXmlWriter<TStringSink>::Blank(*c))
            writer.WriteTree(*c);
    return text;
}
