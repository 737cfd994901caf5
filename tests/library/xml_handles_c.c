/* The XML handle exports from a C program: build a tree, query it, transform it. */
#include "library/dorvik.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

int main(void)
{
    char buffer[256];
    int32_t h = CreateXml();
    CHECK(h == 1); /* a fresh process numbers from 1 */
    CHECK(CreateXml() == 2);
    DestroyXml(2);
    CHECK(GetNodeCount(2, "", "") == 0);
    CHECK(NewNode(2, "", "x") == -1);

    SetNodeName(h, "", "orders");
    CHECK(NewNode(h, "", "Order") == 0);
    CHECK(NewNode(h, "", "Order") == 1);
    SetNodePropertyValue(h, "{0}", "id", "A1");
    SetNodePropertyValue(h, "{1}", "id", "B2");
    SetNodeValue(h, "{0}\\Total", "10.5");
    SetNodeValue(h, "{1}\\Total", "4");
    CHECK(GetNodeCount(h, "", "Order") == 2);
    CHECK(GetNodeCount(h, "", "order") == 0);

    memset(buffer, 'x', sizeof buffer);
    CHECK(GetNodePropertyValue(h, "{1}", "id", buffer, 1) == 2);
    CHECK(buffer[0] == 'x');
    CHECK(GetNodePropertyValue(h, "{1}", "id", buffer, 2) == 2);
    CHECK(strcmp(buffer, "B2") == 0);

    const char* templateText =
        "<xc:Conversion xc:Encode='none'><xc:Template Match='\\'>"
        "<xc:ForEach Select='Order[Total &gt; 5]'><xc:Value Select='.id'/></xc:ForEach>"
        "<xc:Text>;</xc:Text><xc:Resolve Expression='Count(\\)'/>"
        "</xc:Template></xc:Conversion>";
    int32_t n = TransformXml(h, "", templateText);
    CHECK(n == 4);
    CHECK(GetXml(h, buffer, sizeof buffer - 1) == 4);
    CHECK(strcmp(buffer, "A1;2") == 0);
    CHECK(GetXml(h, buffer, 2) == 2);
    CHECK(strcmp(buffer, "A1") == 0);

    n = PrepareXml(h, "{0}");
    CHECK(n > 0 && n < (int32_t)sizeof buffer);
    CHECK(GetXml(h, buffer, n) == n);
    CHECK(strcmp(buffer, "<Order id=\"A1\">\r\n\t<Total>10.5</Total>\r\n</Order>\r\n") == 0);

    DestroyXml(h);
    CHECK(CreateXml() == 3);
    if (failures == 0)
        printf("xml handles: all checks passed\n");
    return failures ? 1 : 0;
}
