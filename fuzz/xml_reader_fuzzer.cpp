// Arbitrary bytes as XML text: read them (from a string and from a stream), write the tree
// back, read that again, copy it and render it as JSON.
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
