// Arbitrary bytes as XML text: read them (from a string and from a stream), write the tree
// back, read that again, copy it and render it as JSON. The inlined reader over text in
// memory must give the tree the tokenizer's reader gives, and the name index of what was
// read must point at the first child of each name.
#include "core/UnitParser.h"
#include "core/UnitXmlDoc.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    TXmlDoc doc;
    doc.SetXML(text);
    const std::string written = doc.GetXML();
    TXmlDoc again;
    again.SetXML(written);
    (void)again.GetXML();
    auto copy = doc.Duplicate();
    copy->CloneChildren(doc);
    (void)copy->GetChildrenXML();
    (void)copy->GetJSON();
    copy->SortNodes(true, "-.a");

    TStringParser viaTokenizer;
    viaTokenizer.SetData(std::string_view(text));
    TXmlDoc generic;
    try {
        generic.ReadXML(viaTokenizer);
    } catch (...) {
    }
    if (generic.GetXML() != written)
        __builtin_trap();
    for (int i = 0; i < doc.GetNodeCount(); ++i) {
        const TXmlDoc* child = doc.ChildAt(static_cast<size_t>(i));
        if (child->GetName().empty())
            continue;
        const TXmlDoc* first = child;
        for (int j = 0; j < i; ++j)
            if (UnitXmlDoc::SameText(doc.ChildAt(static_cast<size_t>(j))->GetName(), child->GetName())) {
                first = doc.ChildAt(static_cast<size_t>(j));
                break;
            }
        if (doc.FindNode(child->GetName()) != first)
            __builtin_trap();
    }

    TXmlDoc children("keep");
    children.SetChildrenXML(text);
    (void)children.GetChildrenXML();

    TMemoryStream stream(text);
    TStreamParser parser;
    parser.SetData(stream);
    TXmlDoc fromStream;
    try {
        fromStream.ReadXML(parser);
    } catch (const EStreamError&) {
    }
    TMemoryStream out;
    TStreamParser writer;
    writer.SetData(out);
    fromStream.WriteXML(writer);
    if (out.DataString() != fromStream.GetXML())
        __builtin_trap();
    return 0;
}
