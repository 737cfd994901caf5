// Path queries with predicates over the children of a large document: reads the file, then
// runs each query given and prints "seconds matches" per query (the reading is not timed).
#include "xmllang/UnitXmlExpression.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE.xml QUERY...\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    TXmlDoc doc;
    doc.SetXML(s.str());
    for (int i = 2; i < argc; ++i) {
        const auto a = std::chrono::steady_clock::now();
        TXmlDocList list;
        UnitXmlExpression::SelectNodes(doc, argv[i], list);
        const auto b = std::chrono::steady_clock::now();
        std::printf("%.4f %zu\n", std::chrono::duration<double>(b - a).count(), list.size());
    }
    return 0;
}
