// Arbitrary bytes as an expression, evaluated against a small tree (names as paths from it),
// and as a path query with predicates over the same tree.
#include "xmllang/UnitXmlExpression.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    TXmlDoc doc("r", "", nullptr,
                "<r id='1'><Item n='1'><Type>A</Type><Name>one</Name></Item><Item n='2'><Type>B</Type><L>a,b,c</L>"
                "<Item n='3'/></Item><V>12.5</V></r>");
    TXmlPredicateContext context(&doc);
    TXmlExpression x;
    x.AddContext(&context);
    x.Parse(text);
    x.Evaluate();
    (void)x.ResultBool();
    x.Evaluate();  // a second round over the same parse tree (Pop changes variables)

    TXmlDocList list;
    UnitXmlExpression::SelectNodes(doc, text, list);
    TXmlDoc* node = nullptr;
    UnitXmlExpression::SelectNode(doc, text, node);
    return 0;
}
