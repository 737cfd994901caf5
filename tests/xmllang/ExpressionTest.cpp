#include "xmllang/UnitXmlExpression.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

std::string E(std::string_view text) { return TXmlExpression::Eval(text); }

// Resolves names as paths from one node (as path predicates do).
std::string On(TXmlDoc& node, std::string_view text)
{
    TXmlPredicateContext context(&node);
    return TXmlExpression::Eval(text, {&context});
}

TEST(Expression, LeftToRightWithoutPrecedence)
{
    EXPECT_EQ(E("1 + 2 * 3"), "9");
    EXPECT_EQ(E("1 + (2 * 3)"), "7");
    EXPECT_EQ(E("((2))"), "2");
    EXPECT_EQ(E("2 * -3"), "-6");
    EXPECT_EQ(E("-5 + 2"), "-3");
    EXPECT_EQ(E("10 - - 4"), "14");
    EXPECT_EQ(E("1 =-1"), "0");       // "=-" is "=" with a sign on its right operand
    EXPECT_EQ(E("-1 =-1"), "1");
    EXPECT_EQ(E("1 2 3"), "3");       // a sequence of operands keeps the last
    EXPECT_EQ(E(""), "");
    EXPECT_EQ(E("1.5 + 1"), "2.5");
    EXPECT_EQ(E("1e3 + 0"), "1000");
}

TEST(Expression, OperatorsOnMixedTextAndNumbers)
{
    EXPECT_EQ(E("'abc' - 'b'"), "ac");
    EXPECT_EQ(E("'aBcb' - 'B'"), "ac");
    EXPECT_EQ(E("'a' + 1"), "a1");
    EXPECT_EQ(E("+ 4"), "4");
    EXPECT_EQ(E("- 4"), "-4");
    EXPECT_EQ(E("'x' * 2"), "0");
    EXPECT_EQ(E("5 / 0"), "0");
    EXPECT_EQ(E("'a' / 2"), "0");
    EXPECT_EQ(E("7 / 2"), "3.5");
    EXPECT_EQ(E("7 div 2"), "3");
    EXPECT_EQ(E("-7 div 2"), "-3");
    EXPECT_EQ(E("-7 mod 2"), "-1");
    EXPECT_EQ(E("7 div 0"), "0");
    EXPECT_EQ(E("7.5 div 2"), "0");   // not an integer
    EXPECT_EQ(E("'$10' div 2"), "8"); // hexadecimal integers count
    EXPECT_EQ(E("3 and 1"), "1");
    EXPECT_EQ(E("4 or 1"), "5");
    EXPECT_EQ(E("6 xor 3"), "5");
    EXPECT_EQ(E("1 shl 33"), "2");
    EXPECT_EQ(E("-1 shr 28"), "15");
    EXPECT_EQ(E("not 0"), "1");
    EXPECT_EQ(E("not 'x'"), "0");
    EXPECT_EQ(E("1 and not 0"), "1");
    EXPECT_EQ(E("'PDF' = 'pdf'"), "1");
    EXPECT_EQ(E("'10' = '10.0'"), "1");
    EXPECT_EQ(E("2 < 10"), "1");
    EXPECT_EQ(E("'2' < 'b10'"), "1");
    EXPECT_EQ(E("'b' > 'A'"), "1");
    EXPECT_EQ(E("'a' <> 'A'"), "0");
    EXPECT_EQ(E("3 >= 3"), "1");
    EXPECT_EQ(E("3 <= 2"), "0");
    EXPECT_EQ(E("'b' in ('a' 'B')"), "1");
    EXPECT_EQ(E("'c' in ('a' 'b')"), "0");
    EXPECT_EQ(E("'b' in ('a', 'b')"), "1");
}

TEST(Expression, ParseTreeAndVariables)
{
    TXmlExpression x;
    x.Parse("Kind in ('a' 'b') and Sum(1, 2)");
    TXmlDoc* parser = x.FindNode("Parser");
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(x.FindNode("Original")->GetValue(), "Kind in ('a' 'b') and Sum(1, 2)");
    ASSERT_EQ(parser->GetNodeCount(), 4);
    EXPECT_EQ(parser->ChildAt(0)->GetName(), "Variable");
    EXPECT_EQ(parser->ChildAt(1)->GetName(), "Reserved");
    EXPECT_EQ(parser->ChildAt(1)->GetNodeCount(), 2);
    EXPECT_EQ(parser->ChildAt(3)->GetName(), "Function");
    EXPECT_EQ(parser->ChildAt(3)->GetNodeCount(), 2);
    // A name followed by "(" is a function: it leaves the variable table for the function list.
    EXPECT_TRUE(x.FindNode("Variables")->HasNode("Kind"));
    EXPECT_FALSE(x.FindNode("Variables")->HasNode("Sum"));
    EXPECT_TRUE(x.FindNode("Functions")->HasNode("Sum"));
    x.Evaluate();
    EXPECT_EQ(x.ResultText(), "0");  // ("" in the list) and (unknown function: empty)
    // Names keep their bracket groups; reserved words are words in any letter case.
    x.Parse("Item[Type = 'A']\\Name AND 1");
    EXPECT_EQ(x.FindNode("Parser")->ChildAt(0)->Getp("Name"), "Item[Type = 'A']\\Name");
    EXPECT_EQ(x.FindNode("Parser")->ChildAt(1)->Getp("Name"), "and");
    // "$" names are never numbers.
    x.Parse("$1");
    EXPECT_EQ(x.FindNode("Parser")->ChildAt(0)->GetName(), "Variable");
    EXPECT_EQ(E("'it''s'"), "it's");
    EXPECT_EQ(E("\"say \"\"hi\"\"\""), "say \"hi\"");
}

TEST(Expression, BuiltinVariablesAndResolution)
{
    EXPECT_EQ(E("TRUE"), "1");
    EXPECT_EQ(E("false"), "0");
    EXPECT_EQ(E("CRLF"), "\r\n");
    EXPECT_EQ(E("$_lf + $_cr"), "\n\r");
    TXmlDoc doc("r", "", nullptr, "<r><A x='1'>v</A><B><C>c</C></B><N>3</N></r>");
    EXPECT_EQ(On(doc, "A"), "v");
    EXPECT_EQ(On(doc, "A\\.x"), "1");
    EXPECT_EQ(On(doc, "N * 2"), "6");
    EXPECT_EQ(On(doc, "B"), "<C>c</C>\r\n");  // value and children's text
    EXPECT_EQ(On(doc, "Name(B)"), "B");
    EXPECT_EQ(On(doc, "Count(B)"), "1");
    EXPECT_EQ(On(doc, "XML(B\\C)"), "<C>c</C>\r\n");
    EXPECT_EQ(On(doc, "Missing"), "");
    TXmlDoc* a = doc.FindNode("A");
    EXPECT_EQ(On(*a, "Prop('x')"), "1");
}

TEST(Expression, ListAndTextFunctions)
{
    EXPECT_EQ(E("Include('a,b', 'B')"), "a,b");
    EXPECT_EQ(E("Include('a,b', 'c')"), "a,b,c");
    EXPECT_EQ(E("Include('', 'c')"), "c");
    EXPECT_EQ(E("Include('a;', 'c', ';')"), "a;c");
    EXPECT_EQ(E("Push('a,b', 'a')"), "a,b,a");
    EXPECT_EQ(E("Push('a', 'b', '|')"), "a|b");
    EXPECT_EQ(E("Pop(' a , b,c')"), "a");
    EXPECT_EQ(E("Pop('abc')"), "abc");
    EXPECT_EQ(E("Subst('aXbx', 'x', '-')"), "a-b-");
    EXPECT_EQ(E("Sub('abcdef', 2, 3)"), "bcd");
    EXPECT_EQ(E("Sub('abcdef', 0, 2)"), "ab");
    EXPECT_EQ(E("Sub('abcdef', -2, 0)"), "ef");
    EXPECT_EQ(E("Sub('abcdef', 4, -2)"), "cd");
    EXPECT_EQ(E("Sub('abcdef', 3)"), "cdef");
    EXPECT_EQ(E("Sub('abc', 9, 2)"), "");
    EXPECT_EQ(E("Trim(' a ', ' b ')"), "ab");
    EXPECT_EQ(E("Lcase('AbC')"), "abc");
    EXPECT_EQ(E("Ucase('AbC')"), "ABC");
    EXPECT_EQ(E("Concat('a', 1, 'b')"), "a1b");
    EXPECT_EQ(E("Length('abcd')"), "4");
    EXPECT_EQ(E("Length()"), "0");
    EXPECT_EQ(E("If(1, 'y', 'n')"), "y");
    EXPECT_EQ(E("If('F', 'y', 'n')"), "n");
    EXPECT_EQ(E("If(0, 'y')"), "");
    EXPECT_EQ(E("Choose(1, 'a', 'b')"), "b");
    EXPECT_EQ(E("Choose(5, 'a', 'b')"), "");
    EXPECT_EQ(E("Choose(-1, 'a')"), "");
    EXPECT_EQ(E("Split('a,b,c', ',', 1)"), "b");
    EXPECT_EQ(E("Split('a,b,c', ',', 1, 1)"), "b,c");
    EXPECT_EQ(E("Split('a;b', '', 0)"), "a;b");
    EXPECT_EQ(E("Split('a,b', ',', 5)"), "");
    EXPECT_EQ(E("Split('a b', ' ')"), "a");
}

TEST(Expression, PopWritesTheRestBack)
{
    TXmlDoc vars("v", "", nullptr, "<v><L>x, y ,z</L></v>");
    TXmlPredicateContext context(&vars);
    TXmlExpression x;
    x.AddContext(&context);
    x.Parse("Pop(L)");
    x.Evaluate();
    EXPECT_EQ(x.ResultText(), "x");
    EXPECT_EQ(vars.FindNode("L")->GetValue(), "y ,z");
    x.Evaluate();
    EXPECT_EQ(x.ResultText(), "y");
    EXPECT_EQ(vars.FindNode("L")->GetValue(), "z");
}

TEST(Expression, AnyRandomAndIdentifiers)
{
    EXPECT_EQ(E("Any('ab') + Concat(abc, '')"), "1");
    EXPECT_EQ(E("Any('zz') + Concat(abc, '')"), "0");
    for (int i = 0; i < 50; ++i) {
        const int r = std::stoi(E("Random(3)"));
        EXPECT_GE(r, 0);
        EXPECT_LT(r, 3);
    }
    EXPECT_EQ(E("Random(0)"), "0");
    const std::string id = E("RandomID()");
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-F]{32}"))) << id;
    EXPECT_NE(id, E("RandomID"));
    const std::string a = E("SyncID(35)"), b = E("SyncID(35)");
    EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-Z]+Z"))) << a;
    EXPECT_NE(a, b);  // the counter stepped
}

TEST(Expression, Encodings)
{
    EXPECT_EQ(E("Encode('AB', 12)"), "4142");
    EXPECT_EQ(E("Encode('AB', 2)"), "hexbin:/4142");
    EXPECT_EQ(E("Decode('4142', 12)"), "AB");
    EXPECT_EQ(E("Decode('zip:/garbage', 4)"), "");
    EXPECT_EQ(E("Recode('QUI=', 7, 12)"), "4142");
    EXPECT_EQ(E("Recode('x', 3, 3)"), "x");
    EXPECT_EQ(E("Encode('a b', 3)"), "a&#x20;b");
}

TEST(Expression, DateFunctionsInTheTextForm)
{
    EXPECT_TRUE(std::regex_match(E("Date()"), std::regex(R"(\d{4}-\d\d-\d\d)")));
    EXPECT_TRUE(std::regex_match(E("Now()"), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})")));
    EXPECT_TRUE(std::regex_match(E("ZuluNow()"), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})")));
    EXPECT_EQ(E("UserToLayerDate('2024-02-29 10:20:30.000', 2)"), "2024-02-29");
    EXPECT_EQ(E("UserToLayerDate('2024-02-29 10:20:30.000', 3)"), "10:20:30.000");
    EXPECT_EQ(E("UserToLayerDate('2024-02-30', 0)"), "");
    EXPECT_EQ(E("LayerToUserDate('2024-03-05 07:08:09.000', '%Y/%m/%d %H.%M')"), "2024/03/05 07.08");
    EXPECT_EQ(E("LayerToUserDate('', '%Y')"), "");
    EXPECT_EQ(E("LayerToUserDate('garbage', '%Y')"), "");
}

TEST(Expression, NestingIsBounded)
{
    std::string deep(20000, '(');
    deep += "1";
    deep += std::string(20000, ')');
    EXPECT_EQ(E(deep), "");
    std::string signs(50000, '-');
    EXPECT_EQ(E("1 +" + signs + "1"), "2");      // one run: "+" then the signs of its operand
    std::string spaced;
    for (int i = 0; i < 5000; ++i)
        spaced += "- ";
    E("1 + " + spaced + "1");  // a chain of separate signs deeper than the limit stops there
    std::string calls;
    for (int i = 0; i < 5000; ++i)
        calls += "Trim(";
    EXPECT_EQ(E(calls), "");
    std::string brackets = "a";
    for (int i = 0; i < 3000; ++i)
        brackets += "[a";
    TXmlDoc doc("r", "", nullptr, "<r><a><a/></a></r>");
    On(doc, brackets);  // no crash
    // Ordinary nesting is well inside the limit.
    std::string fine(100, '(');
    EXPECT_EQ(E(fine + "2" + std::string(100, ')')), "2");
}

// ------------------------------------------------------------ path queries

class Select : public ::testing::Test {
protected:
    TXmlDoc Doc{"r", "", nullptr,
                "<r><Item id='1'><Type>A</Type><Name>one</Name></Item><Item id='2'><Type>B</Type><Name>two</Name></Item>"
                "<Other/><Item id='3'><Type>A</Type><Name>three</Name><Item id='4'><Type>A</Type></Item></Item></r>"};
    std::string Ids(std::string_view path, const TXmlVariables* vars = nullptr)
    {
        TXmlDocList list;
        UnitXmlExpression::SelectNodes(Doc, path, list, vars);
        std::string out;
        for (TXmlDoc* n : list)
            out += (out.empty() ? "" : ",") + (n->FindProperty("id") ? n->FindProperty("id")->GetValue() : n->GetName() + "=" + n->GetValue());
        return out;
    }
};

TEST_F(Select, NamesPositionsAndRanges)
{
    EXPECT_EQ(Ids("Item"), "1,2,3");
    EXPECT_EQ(Ids("item"), "1,2,3");
    EXPECT_EQ(Ids("*"), "1,2,Other=,3");
    EXPECT_EQ(Ids("Item[1]"), "2");
    EXPECT_EQ(Ids("Item[2]"), "");   // position 2 is Other
    EXPECT_EQ(Ids("Item[3]"), "3");
    EXPECT_EQ(Ids("*[1..2]"), "2,Other=");
    EXPECT_EQ(Ids("Item[..1]"), "1,2");
    EXPECT_EQ(Ids("Item[2..]"), "3");
    EXPECT_EQ(Ids("Item\\Name"), "Name=one,Name=two,Name=three");
    EXPECT_EQ(Ids("  Item \\ Name  "), "Name=one,Name=two,Name=three");
    EXPECT_EQ(Ids("\\\\Item[0]\\"), "1");
    EXPECT_EQ(Ids("Missing"), "");
    EXPECT_EQ(Ids(""), "");
}

TEST_F(Select, SelfPropertiesAndDescendants)
{
    EXPECT_EQ(Ids("."), "r=");
    EXPECT_EQ(Ids("Item[0]\\.id"), "id=1");
    EXPECT_EQ(Ids("Item[0]\\.*"), "id=1");
    EXPECT_EQ(Ids("Item[0]\\.0"), "id=1");
    EXPECT_EQ(Ids("Item[0]\\.5"), "");
    EXPECT_EQ(Ids("Item[0]\\.new"), "new=");  // created
    EXPECT_EQ(Doc.FindNode("Item")->GetPropertyCount(), 2);
    EXPECT_EQ(Ids(".\\Item[1]"), "2");
    // ".." matches any child and the path again from every child.
    EXPECT_EQ(Ids("..\\Item"), "4");
    EXPECT_EQ(Ids("..\\Type"), "Type=A,Type=B,Type=A,Type=A");
}

TEST_F(Select, ExpressionPredicates)
{
    EXPECT_EQ(Ids("Item[Type = 'A']"), "1,3");
    EXPECT_EQ(Ids("Item[Type = 'a']\\Name"), "Name=one,Name=three");
    EXPECT_EQ(Ids("Item[.id > 1]"), "2,3");
    EXPECT_EQ(Ids("Item[not (Type = 'A')]"), "2");
    EXPECT_EQ(Ids("Item[Count(Item) > 0]"), "3");
    EXPECT_EQ(Ids("Item[Item[.id = 4]]"), "3");  // a predicate inside a predicate
    // A "\" inside a predicate belongs to it.
    EXPECT_EQ(Ids("Item[Item\\Type = 'A']"), "3");
    EXPECT_EQ(Ids("Item[Item\\Type = 'A']\\Name"), "Name=three");
    EXPECT_EQ(Ids("Item[Name = 'a\\b']"), "");
    TXmlDoc* node = nullptr;
    EXPECT_TRUE(UnitXmlExpression::SelectNode(Doc, "Item[Type = 'A']", node));
    EXPECT_EQ(node->Getp("id"), "1");
    EXPECT_FALSE(UnitXmlExpression::SelectNode(Doc, "Item[Type = 'C']", node));
    EXPECT_EQ(node, nullptr);
}

TEST_F(Select, VariablesAreVisibleInPredicates)
{
    TXmlDoc vars("v", "", nullptr, "<v><Wanted>B</Wanted></v>");
    struct TDollar : TXmlContextObject {
        TXmlDoc* Vars;
        bool Resolve(const std::string& Name, TXmlDoc*& Node, TXmlExpression&, bool) override
        {
            if (Name.empty() || Name[0] != '$')
                return false;
            return UnitXmlExpression::SelectNode(*Vars, Name.substr(1), Node);
        }
    } dollar;
    dollar.Vars = &vars;
    TXmlVariables v;
    v.Contexts = {&dollar};
    EXPECT_EQ(Ids("Item[Type = $Wanted]", &v), "2");
}

}  // namespace
