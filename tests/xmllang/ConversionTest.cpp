#include "xmllang/UnitXmlConversion.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

const char* kInput =
    "<r><Item><Type>A</Type><Name>one</Name></Item><Item><Type>B</Type><Name>two</Name></Item>"
    "<Item><Type>A</Type><Name>three</Name></Item><Count>3</Count></r>";

// A template whose root template holds body.
std::string T(const std::string& body, const std::string& rootAttrs = " xc:Encode='none'")
{
    return "<xc:Conversion" + rootAttrs + "><xc:Template Match='\\'>" + body + "</xc:Template></xc:Conversion>";
}

std::string Convert(const std::string& templ, const std::string& input = kInput, bool* ok = nullptr)
{
    TXmlConversion c;
    std::string out;
    const bool r = c.Convert(input, templ, out);
    if (ok)
        *ok = r;
    else
        EXPECT_TRUE(r) << c.LastFailure();
    return out;
}

TEST(Conversion, TextAndTheDefaultEncoding)
{
    EXPECT_EQ(Convert(T("<xc:Text>Hi</xc:Text>", "")), "Hi");
    EXPECT_EQ(Convert(T("<xc:Text>Hi there</xc:Text>", "")), "Hi&#x20;there");
    EXPECT_EQ(Convert(T("<xc:Text>a b</xc:Text>")), "a b");
    EXPECT_EQ(Convert(T("<xc:Text Encode='hexbin'>AB</xc:Text>")), "hexbin:/4142");
    EXPECT_EQ(Convert(T("<xc:Text>x</xc:Text>", " xc:Encode='json'") + ""), "x");
    // Another prefix, named by the root element or by xc:Namespace.
    EXPECT_EQ(Convert("<t:Conversion xc:Encode='none'><t:Template Match='\\'><t:Text>ok</t:Text><xc:Text>no</xc:Text>"
                  "</t:Template></t:Conversion>"),
              "ok<xc&#x3A;Text>no</xc&#x3A;Text>\r\n");  // element names are written "xml"-encoded
    EXPECT_EQ(Convert("<Conv xc:Namespace='q' xc:Encode='none'><q:Template Match='\\'><q:Text>ok</q:Text></q:Template></Conv>"), "ok");
}

TEST(Conversion, NoRootTemplateReportsFalse)
{
    bool ok = true;
    TXmlConversion c;
    std::string out = "stale";
    EXPECT_FALSE(c.Convert(kInput, "<xc:Conversion><xc:Template Match='Item'/></xc:Conversion>", out));
    EXPECT_EQ(out, "");
    EXPECT_EQ(c.LastFailure(), "NoRootTemplate");
    Convert("", kInput, &ok);
    EXPECT_FALSE(ok);
    Convert("<<<garbage", kInput, &ok);
    EXPECT_FALSE(ok);
}

TEST(Conversion, LiteralElementsAndAttributes)
{
    EXPECT_EQ(Convert(T("<p class='c' xc:n='1 + 1'>v<xc:Text>!</xc:Text></p>")), "<p class=\"c\" n=\"2\">v!</p>\r\n");
    EXPECT_EQ(Convert(T("<ul><li>a</li><li/></ul>")), "<ul>\r\n\t<li>a</li>\r\n\t<li/>\r\n</ul>\r\n");
    const std::string id = Convert(T("<xc:ID/>"));
    EXPECT_EQ(id.size(), 32u + 5u) << id;  // "<" + 32 digits + "/>\r\n"
}

TEST(Conversion, ForEachValueAndCounter)
{
    EXPECT_EQ(Convert(T("<xc:ForEach Select='Item'><xc:Resolve Expression='$_i'/><xc:Value Select='Name'/>;</xc:ForEach>")),
              "1one2two3three");
    EXPECT_EQ(Convert(T("<xc:ForEach Select=\"Item[Type = 'A']\"><xc:Value Select='Name'/></xc:ForEach>")), "onethree");
    EXPECT_EQ(Convert(T("<xc:ForEach Select='Item[0] || Item[2] || \\Count'><xc:Value/></xc:ForEach>")), "3");
    EXPECT_EQ(Convert(T("<xc:Value Select='Item\\Name'/>")), "onetwothree");
    EXPECT_EQ(Convert(T("<xc:With Select='Item[1]'><xc:Value Select='Name'/></xc:With>")), "two");
    EXPECT_EQ(Convert(T("<xc:ForEach Select='Missing'><xc:Text>x</xc:Text></xc:ForEach><xc:Resolve Expression='$_i'/>")), "0");
}

TEST(Conversion, BranchesAndLoops)
{
    EXPECT_EQ(Convert(T("<xc:If Test='Count = 3'><xc:Text>yes</xc:Text><xc:Else><xc:Text>no</xc:Text></xc:Else></xc:If>")), "yes");
    EXPECT_EQ(Convert(T("<xc:If Test='Count = 4'><xc:Text>yes</xc:Text><xc:Else><xc:Text>no</xc:Text></xc:Else></xc:If>")), "no");
    EXPECT_EQ(Convert(T("<xc:While Test='$_i &lt; 4'><xc:Resolve Expression='$_i'/></xc:While>")), "1234");
    EXPECT_EQ(Convert(T("<xc:Choose><xc:When Test='0'><xc:Text>a</xc:Text></xc:When><xc:When Test='1'><xc:Text>b</xc:Text></xc:When>"
                    "<xc:Otherwise><xc:Text>c</xc:Text></xc:Otherwise></xc:Choose>")),
              "b");
    EXPECT_EQ(Convert(T("<xc:Choose><xc:When Test='0'><xc:Text>a</xc:Text></xc:When><xc:Otherwise><xc:Text>c</xc:Text></xc:Otherwise>"
                    "</xc:Choose>")),
              "c");
    EXPECT_EQ(Convert(T("<xc:Select Expression='1'><xc:Case><xc:Text>0</xc:Text></xc:Case><xc:Case><xc:Text>1</xc:Text></xc:Case>"
                    "<xc:Default><xc:Text>d</xc:Text></xc:Default></xc:Select>")),
              "1");
    EXPECT_EQ(Convert(T("<xc:Select Expression='7'><xc:Case><xc:Text>0</xc:Text></xc:Case><xc:Default><xc:Text>d</xc:Text>"
                    "</xc:Default></xc:Select>")),
              "d");
    EXPECT_EQ(Convert(T("<xc:Select Expression='7'><xc:Case><xc:Text>0</xc:Text></xc:Case></xc:Select><xc:Text>after</xc:Text>")), "after");
}

TEST(Conversion, VariablesResolveAndCopy)
{
    EXPECT_EQ(Convert(T("<xc:Resolve Expression=\"'v'\" Set='$x'/><xc:Resolve Expression='$x + $x'/>")), "vv");
    EXPECT_EQ(Convert(T("<xc:Resolve Expression=\"'AB'\" Set='$x' Encode='hexbin'/><xc:Resolve Expression='@x'/>")), "hexbin:/4142");
    EXPECT_EQ(Convert(T("<xc:Resolve Expression=\"'&lt;a&gt;&lt;b&gt;1&lt;/b&gt;&lt;/a&gt;'\" Set='@t'/>"
                    "<xc:Value Select='@t\\a\\b'/>")),
              "1");
    EXPECT_EQ(Convert(T("<xc:Resolve Expression='Count' Set='$n.p'/><xc:Resolve Expression='$n\\.p'/>")), "3");
    EXPECT_EQ(Convert(T("<o><xc:Resolve Expression=\"'v'\" Attr='a'/></o>")), "<o a=\"v\"/>\r\n");
    EXPECT_EQ(Convert(T("<xc:Copy Select='Item[1]'/>")), "<Item>\r\n\t<Type>B</Type>\r\n\t<Name>two</Name>\r\n</Item>\r\n");
    EXPECT_EQ(Convert(T("<xc:Copy Select='Item[1]\\Name' Encode='hexbin'/>")), "hexbin:/3C4E616D653E74776F3C2F4E616D653E0D0A");
    EXPECT_EQ(Convert(T("<xc:Copy><k>1</k></xc:Copy>")), "<k>1</k>\r\n");
    EXPECT_EQ(Convert(T("<xc:Copy Set='@m'><z/></xc:Copy><xc:Resolve Expression='Count(@m)'/>")), "1");
    EXPECT_EQ(Convert(T("<xc:Clear Select='Item'/><xc:Resolve Expression='Count(Item)'/>")), "0");
    EXPECT_EQ(Convert(T("<xc:Sort Select='Name' Order='Descending'/><xc:Value Select='Item\\Name'/>")), "twothreeone");
    EXPECT_EQ(Convert(T("<xc:Sort Select='Name'/><xc:Value Select='Item\\Name'/>")), "onethreetwo");
}

TEST(Conversion, ApplyTemplates)
{
    const std::string templ =
        "<xc:Conversion xc:Encode='none'><xc:Template Match='\\'><xc:ApplyTemplates Select='Item'/></xc:Template>"
        "<xc:Template Match='item'><xc:Text>[</xc:Text><xc:Value Select='Name'/><xc:Text>]</xc:Text></xc:Template>"
        "<xc:Template Match='item' Mode='short'><xc:Value Select='Type'/></xc:Template></xc:Conversion>";
    EXPECT_EQ(Convert(templ), "[one][two][three]");
    std::string moded = templ;
    moded.replace(moded.find("Select='Item'"), 13, "Select='Item' Mode='short'");
    EXPECT_EQ(Convert(moded), "ABA");
    // Into a memory variable, with the children of the instruction as the body.
    EXPECT_EQ(Convert(T("<xc:ApplyTemplates Select='Item' Output='@o'><xc:Value Select='Type'/></xc:ApplyTemplates>"
                    "<xc:Resolve Expression='@o'/>")),
              "ABA");
}

TEST(Conversion, EndStopsButKeepsOutput)
{
    EXPECT_EQ(Convert(T("<xc:ForEach Select='Item'><xc:Value Select='Name'/><xc:If Test='$_i = 2'><xc:End/></xc:If></xc:ForEach>"
                    "<xc:Text>late</xc:Text>")),
              "onetwo");
}

TEST(Conversion, ImportAndCallHooks)
{
    bool ok = true;
    // Without hooks Import and Call stop their sequence: the root template writes nothing.
    EXPECT_EQ(Convert(T("<xc:Text>a</xc:Text><xc:Call/><xc:Text>b</xc:Text>"), kInput, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(Convert(T("<xc:Template><xc:Text>a</xc:Text><xc:Import From='x'/></xc:Template><xc:Text>b</xc:Text>")), "b");

    TXmlConversion c;
    std::string seen;
    c.SetImportHook([](const std::string& from, std::string& text) {
        if (from != "part")
            return false;
        text = "<w><xc:Text>imported</xc:Text></w>";
        return true;
    });
    c.SetCallHook([&seen](TXmlDoc* node) {
        seen = node ? node->GetValue() : "none";
        return true;
    });
    std::string out;
    ASSERT_TRUE(c.Convert(kInput, T("<xc:Import From='part'/><xc:Resolve Expression=\"'v'\" Set='$m'/><xc:Call Context='@m'/>"
                                    "<xc:Import From='part' Set='$s'/><xc:Resolve Expression='Length($s)'/>"),
                          out));
    EXPECT_EQ(out, "imported34");
    EXPECT_EQ(seen, "v");
    EXPECT_FALSE(c.Convert(kInput, T("<xc:Import From='other'/>"), out));
}

TEST(Conversion, LimitsStopRunawayTemplates)
{
    TXmlConversionLimits limits;
    limits.MaxLoopRounds = 1000;
    limits.MaxSteps = 100000;
    TXmlConversion c({}, limits);
    std::string out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.Convert(kInput, T("<xc:While Test='1'><xc:Text>x</xc:Text></xc:While>"), out));
    EXPECT_EQ(c.LastFailure(), "LimitExceeded");
    // Templates that apply themselves without end.
    EXPECT_FALSE(c.Convert(kInput,
                           "<xc:Conversion><xc:Template Match='\\'><xc:ApplyTemplates Select='.'/></xc:Template>"
                           "<xc:Template Match='r'><xc:ApplyTemplates Select='.'/></xc:Template></xc:Conversion>",
                           out));
    EXPECT_EQ(c.LastFailure(), "LimitExceeded");
    // Output that doubles each round.
    TXmlConversionLimits small;
    small.MaxOutputSize = 1 << 20;
    small.MaxCreatedNodes = 200000;
    TXmlConversion d({}, small);
    EXPECT_FALSE(d.Convert(kInput, T("<xc:Resolve Expression=\"'ab'\" Set='$x'/><xc:While Test='1'>"
                                     "<xc:Resolve Expression='$x + $x' Set='$x'/></xc:While>"),
                           out));
    EXPECT_EQ(d.LastFailure(), "LimitExceeded");
    // Copies of the output into itself.
    EXPECT_FALSE(d.Convert(kInput, T("<xc:Copy Select='\\' Set='@a'/><xc:While Test='1'><xc:Copy Select='@a' Set='@a'>"
                                     "<xc:Copy Select='@a'/></xc:Copy></xc:While>"),
                           out));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(Conversion, EmptyInputReadsAsInput)
{
    EXPECT_EQ(Convert(T("<xc:Resolve Expression='Name(\\)'/>"), ""), "INPUT");
}

}  // namespace

namespace {

TEST(Conversion, DestroyingNodesInUseStopsTheRun)
{
    TXmlConversion c;
    std::string out;
    // The current node's own tree cleared from inside its loop.
    EXPECT_FALSE(c.Convert(kInput, T("<xc:ForEach Select='Item'><xc:Clear Select='\\'/><xc:Value Select='Name'/></xc:ForEach>"), out));
    EXPECT_EQ(c.LastFailure(), "LiveNodeDestroyed");
    // An output node inside a memory variable replaced while it is written.
    EXPECT_FALSE(c.Convert(kInput, T("<xc:Copy Set='@a'><lit><xc:Resolve Expression=\"'x'\" Set='@a'/><xc:Text>t</xc:Text></lit>"
                                     "</xc:Copy>"),
                           out));
    EXPECT_EQ(c.LastFailure(), "LiveNodeDestroyed");
    // Templates applied to the template's own children that clear them.
    EXPECT_FALSE(c.Convert(kInput, T("<xc:ApplyTemplates Output='@o'><k><xc:Clear Select='.'/></k></xc:ApplyTemplates>"), out));
    // Clearing what nobody works on is fine.
    EXPECT_TRUE(c.Convert(kInput, T("<xc:ForEach Select='Item'><xc:Clear Select='Name'/></xc:ForEach><xc:Resolve Expression='Count(Item)'/>"),
                          out));
    EXPECT_EQ(out, "2");
    // Overlapping selections are cleared once.
    EXPECT_TRUE(c.Convert(kInput, T("<xc:Clear Select='Item\\Name || Item || Item\\.*'/><xc:Resolve Expression='Count(Item)'/>"), out));
    EXPECT_EQ(out, "0");
}

}  // namespace
