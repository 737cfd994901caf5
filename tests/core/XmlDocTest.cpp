#include "core/UnitXmlDoc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

using namespace UnitXmlDoc;

namespace {

std::vector<std::string> Names(const TXmlDoc& n)
{
    std::vector<std::string> r;
    for (int i = 0; i < n.GetNodeCount(); ++i)
        r.push_back(n.ChildAt(static_cast<size_t>(i))->GetName());
    return r;
}

}  // namespace

TEST(TXmlDocPaths, CreatesEveryMissingStep)
{
    TXmlDoc root("r");
    TXmlDoc* c = root.GetNode("A\\B\\C");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetName(), "C");
    EXPECT_EQ(root.GetNodeCount(), 1);
    EXPECT_EQ(root.FindNode("C", true), c);
    EXPECT_EQ(root.FindNode("C", false), nullptr);
    EXPECT_EQ(root.GetNode("a\\b\\c"), c);  // names compare without letter case
    EXPECT_EQ(root.GetNode(""), &root);
    EXPECT_EQ(root.GetNode("\\A"), root.GetNode("A"));
    EXPECT_EQ(root.GetNode("A\\\\B\\"), root.GetNode("A\\B"));
    EXPECT_EQ(root.GetNodeCount(), 1);
    // Digits alone are a name, not an index.
    TXmlDoc* five = root.GetNode("5");
    EXPECT_EQ(five->GetName(), "5");
    EXPECT_EQ(root.GetNodeCount(), 2);
}

TEST(TXmlDocPaths, BraceIndexes)
{
    TXmlDoc root;
    root.New("a");
    root.New("Item");
    root.New("c");
    EXPECT_EQ(root.GetNode("{-1}")->GetName(), "c");
    EXPECT_EQ(root.GetNode("{1}")->GetName(), "Item");
    EXPECT_EQ(root.GetNodeByIndex(-1)->GetName(), "c");
    TXmlDoc* appended = root.GetNodeByIndex(3);
    EXPECT_EQ(root.GetNodeCount(), 4);
    EXPECT_EQ(appended->GetName(), "");
    TXmlDoc* outside = root.GetNode("{-9}");  // still out of range: appends
    EXPECT_EQ(outside, root.ChildAt(4));
    EXPECT_EQ(root.GetNode("{0:item}"), root.ChildAt(1));
    TXmlDoc* second = root.GetNode("{1:Item}");
    EXPECT_EQ(root.GetNodeCount(), 6);
    EXPECT_EQ(second->GetName(), "Item");
    EXPECT_EQ(root.GetNode("{1:Item}"), second);
    TXmlDoc* fresh = root.GetNode("{:Item}");
    EXPECT_EQ(root.GetNodeCount(), 7);
    EXPECT_EQ(fresh->GetName(), "Item");
    EXPECT_THROW(root.GetNode("{x}"), EConvertError);
    EXPECT_THROW(root.GetNode("a\\{}"), EConvertError);
    EXPECT_THROW(root.GetNode("{y:Item}"), EConvertError);
    // The conversion error is a runtime_error for callers that catch those.
    EXPECT_THROW(root.GetNode("{x}"), std::runtime_error);
}

TEST(TXmlDocPaths, VariantNodeInfo)
{
    TXmlDoc root;
    root.New("a");
    root.New("b");
    EXPECT_EQ(root.GetNode(TNodeInfo(int16_t(1)))->GetName(), "b");
    EXPECT_EQ(root.GetNode(TNodeInfo(uint8_t(0)))->GetName(), "a");
    EXPECT_EQ(root.GetNode(TNodeInfo(std::string("b"))), root.ChildAt(1));
    EXPECT_EQ(root.GetNode(TNodeInfo(2.5)), nullptr);
    EXPECT_EQ(root.GetNode(TNodeInfo(int64_t(0))), nullptr);
    EXPECT_EQ(root.GetNode(TNodeInfo()), nullptr);
    EXPECT_EQ(root.GetNodeCount(), 2);
}

TEST(TXmlDocPaths, GetPathReachesProperties)
{
    TXmlDoc root;
    TXmlDoc* serial = root.GetPath("Signer\\Certificate.Serial");
    serial->SetValue("42");
    EXPECT_EQ(root.GetNode("Signer\\Certificate")->Getp("serial"), "42");
    EXPECT_EQ(root.GetPath("Signer\\Certificate"), root.GetNode("Signer\\Certificate"));
}

TEST(TXmlDocIndex, NewestAddedWinsAndRenamesFollow)
{
    TXmlDoc root;
    TXmlDoc* x1 = root.New("X");
    TXmlDoc* x2 = root.New("X");
    EXPECT_EQ(root.FindNode("x"), x2);
    TXmlDoc* inserted = root.Insert(0, "X");
    EXPECT_EQ(root.FindNode("X"), inserted);
    EXPECT_EQ(root.ChildAt(0), inserted);
    TXmlDoc* y = root.Insert(99, "Y");
    EXPECT_EQ(y, root.ChildAt(3));

    // Renaming the indexed child drops its entry; the other X children are no longer found.
    inserted->SetName("Z");
    EXPECT_EQ(root.FindNode("Z"), inserted);
    EXPECT_EQ(root.FindNode("X"), nullptr);
    // Renaming another child to a present name adds nothing.
    x1->SetName("Z");
    EXPECT_EQ(root.FindNode("Z"), inserted);
    root.DeleteNode(inserted);
    EXPECT_EQ(root.FindNode("Z"), nullptr);
    EXPECT_EQ(root.GetNodeCount(), 3);
    EXPECT_EQ(Names(root), (std::vector<std::string>{"Z", "X", "Y"}));
    (void)x2;

    // A rename handler of the caller sees every assignment, before it is stored.
    std::vector<std::string> seen;
    TXmlDoc solo("old");
    solo.OnRename = [&](TXmlDoc& s, const std::string& o, const std::string& n) {
        seen.push_back(o + ">" + n + "@" + s.GetName());
    };
    solo.SetName("new");
    solo.Clear();
    EXPECT_EQ(seen, (std::vector<std::string>{"old>new@old", "new>@new"}));
}

TEST(TXmlDocIndex, DeleteByNameCreatesFirstAndForeignNodesAreLeftAlone)
{
    TXmlDoc root;
    root.New("a");
    root.DeleteNode("missing");  // created by the lookup, then removed
    EXPECT_EQ(root.GetNodeCount(), 1);
    TXmlDoc other;
    TXmlDoc* foreign = other.New("a");
    root.DeleteNode(foreign);
    EXPECT_EQ(root.GetNodeCount(), 1);
    EXPECT_EQ(other.GetNodeCount(), 1);
    root.DeleteNodes();
    EXPECT_FALSE(root.HasChildren());
    EXPECT_FALSE(root.HasNode("a"));
}

TEST(TXmlDocIndex, LookupScalesToManyChildren)
{
    TXmlDoc root;
    for (int i = 0; i < 20000; ++i)
        root.New("n" + std::to_string(i));
    EXPECT_EQ(root.FindNode("N19999")->GetName(), "n19999");
    EXPECT_EQ(root.GetNode("n123"), root.ChildAt(123));
    EXPECT_EQ(root.GetNodeCount(), 20000);
}

TEST(TXmlDocFind, ByPropertyPreOrderAndList)
{
    TXmlDoc root;
    TXmlDoc* a = root.New("a");
    TXmlDoc* a1 = a->New("a1");
    a1->Setp("k", "V");
    TXmlDoc* b = root.New("b");
    b->Setp("k", "v");
    a->Setp("k", "other");
    EXPECT_EQ(root.FindNodeByProp("K", "v", false), b);
    EXPECT_EQ(root.FindNodeByProp("k", "v", true), a1);  // a's subtree comes before b
    TXmlDoc* hit = nullptr;
    EXPECT_FALSE(root.FindNodeByProp("k", "nothing", hit, true));
    EXPECT_EQ(hit, nullptr);
    TXmlDocList list;
    EXPECT_TRUE(root.FindNodeByProp("k", "v", list, true));
    EXPECT_EQ(list, (TXmlDocList{a1, b}));
    // Lookups never create properties.
    EXPECT_EQ(root.ChildAt(1)->GetPropertyCount(), 1);
    TXmlDocList none{a};
    EXPECT_TRUE(root.FindNodeByProp("zz", "v", none, true));  // items already there count
}

TEST(TXmlDocSort, PathsNumbersAndNames)
{
    TXmlDoc root;
    for (const char* size : {"10", "9", "100"})
        root.New("n")->GetNode("Size")->SetValue(size);
    root.SortNodes(false, "-Size");
    std::vector<std::string> order;
    for (int i = 0; i < 3; ++i)
        order.push_back(root.GetNodeByIndex(i)->GetNode("Size")->GetValue());
    EXPECT_EQ(order, (std::vector<std::string>{"100", "10", "9"}));

    TXmlDoc names;
    names.New("b");
    names.New("A")->New("z");
    names.New("c");
    names.ChildAt(1)->New("y");
    names.SortNodes(true, "");
    EXPECT_EQ(Names(names), (std::vector<std::string>{"A", "b", "c"}));
    EXPECT_EQ(Names(*names.ChildAt(0)), (std::vector<std::string>{"y", "z"}));

    TXmlDoc props;
    for (const char* o : {"3", "1.5", "2"})
        props.New("p")->Setp("Order", o);
    props.SortNodes(false, ".Order");
    EXPECT_EQ(props.ChildAt(0)->Getp("Order"), "1.5");
    EXPECT_EQ(props.ChildAt(2)->Getp("Order"), "3");
}

TEST(TXmlDocSort, MixedNumbersAndTextsStayInBounds)
{
    // Numeric and text order together are not transitive; the sort must still finish with
    // every child present.
    TXmlDoc root;
    const char* values[] = {"10", "9", "9a", "1e3", "abc", "-5", "", "0010", "x9", "2", "10a", "1.5"};
    for (int round = 0; round < 50; ++round)
        for (const char* v : values)
            root.New(v)->SetValue(v);
    root.SortNodes(false, ".");
    root.SortNodes(false, "-");
    EXPECT_EQ(root.GetNodeCount(), 600);
}

TEST(TXmlDocExchange, SwapsOnlyValidPairs)
{
    TXmlDoc root;
    TXmlDoc* a = root.New("a");
    TXmlDoc* b = root.New("b");
    root.ExchangeNodes(a, b);
    EXPECT_EQ(Names(root), (std::vector<std::string>{"b", "a"}));
    root.ExchangeNodes(0, 5);
    TXmlDoc other;
    root.ExchangeNodes(a, other.New("c"));
    EXPECT_EQ(Names(root), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(root.FindNode("a"), a);
}

TEST(TXmlDocProperties, CreatingReadsAndDeletion)
{
    TXmlDoc n("n");
    EXPECT_EQ(n.Getp("Missing"), "");
    EXPECT_EQ(n.GetPropertyCount(), 1);
    EXPECT_EQ(n.GetXML(), "<n/>\r\n");
    n.Setp("a", "1");
    n.Seti("i", -7);
    n.Setb("b", true);
    EXPECT_EQ(n.Geti("I"), -7);
    EXPECT_TRUE(n.Getb("b"));
    EXPECT_EQ(n.GetPropertyByName("A", false)->GetValue(), "1");
    EXPECT_EQ(n.GetPropertyByName("zz", false), nullptr);
    TXmlDoc* extra = n.GetPropertyByIndex(-1);
    EXPECT_EQ(extra->GetName(), "");
    EXPECT_EQ(n.GetPropertyCount(), 5);
    n.DeleteProperty("A");
    n.DeleteProperty("nothing");
    EXPECT_EQ(n.GetPropertyCount(), 4);
    n.Setv("text", "hexbin");
    EXPECT_EQ(n.GetEncType(), "hexbin");
    n.DeleteProperties();
    EXPECT_EQ(n.GetPropertyCount(), 0);
}

TEST(TXmlDocValues, BooleanReading)
{
    TXmlDoc n;
    for (const char* f : {"f", "false", "FALSE", "0", "", "   ", " 0", "$0", "0x0"}) {
        n.SetValue(f);
        EXPECT_FALSE(n.GetAsBool()) << '"' << f << '"';
    }
    for (const char* t : {"no", "2", "1", "-5", "yes", "true", "0.0", "FALSE ", "0 "}) {
        n.SetValue(t);
        EXPECT_TRUE(n.GetAsBool()) << '"' << t << '"';
    }
    n.SetAsBool(false);
    EXPECT_EQ(n.GetValue(), "0");
}

TEST(TXmlDocValues, NumbersReadAndWrite)
{
    TXmlDoc n;
    const std::pair<const char*, int32_t> ints[] = {{"2.5", 2},  {"3.5", 4},   {"-2.5", -2}, {"abc", 0}, {"", 0},
                                                    {"$1F", 31}, {"0x10", 16}, {" 12", 12},  {"1e3", 1000},
                                                    {"9999999999", 2147483647}};
    for (auto [text, expected] : ints) {
        n.SetValue(text);
        EXPECT_EQ(n.GetAsInt(), expected) << text;
    }
    n.SetValue("123456789012.4");
    EXPECT_EQ(n.GetAsInt64(), 123456789012);
    n.SetAsInt64(-9000000000);
    EXPECT_EQ(n.GetValue(), "-9000000000");
    n.SetAsInt(-12);
    EXPECT_EQ(n.GetValue(), "-12");

    n.SetAsFloat(0.1 + 0.2);
    EXPECT_EQ(n.GetValue(), "0.3");
    n.SetAsFloat(1.0 / 3);
    EXPECT_EQ(n.GetValue(), "0.333333333333333");
    n.SetAsFloat(1e20);
    EXPECT_DOUBLE_EQ(n.GetAsFloat(), 1e20);
    n.SetAsFloat(-2.5);
    EXPECT_EQ(n.GetValue(), "-2.5");
    n.SetValue("1,5");
    EXPECT_EQ(n.GetAsFloat(), 0);  // the C locale's separator is "."
    n.SetValue("bad");
    EXPECT_EQ(n.GetAsFloat(), 0);

    EXPECT_TRUE(TextIsFloat("12"));
    EXPECT_TRUE(TextIsFloat("1.5"));
    EXPECT_TRUE(TextIsFloat("1e3"));
    EXPECT_FALSE(TextIsFloat(".5"));
    EXPECT_FALSE(TextIsFloat("5."));
    EXPECT_FALSE(TextIsFloat("nan"));
    EXPECT_FALSE(TextIsFloat("inf"));
    EXPECT_FALSE(TextIsFloat(""));
    EXPECT_TRUE(TextIsNumeric(" -12"));
    EXPECT_TRUE(TextIsNumeric("$ff"));
    EXPECT_FALSE(TextIsNumeric("12 "));
    EXPECT_FALSE(TextIsNumeric("2147483648"));
    EXPECT_TRUE(TextIsNumeric("-2147483648"));
}

TEST(TXmlDocValues, PushPopAndLists)
{
    TXmlDoc n;
    n.Push("a", ";");
    n.Push("b", ";");
    n.Push("", ";");
    EXPECT_EQ(n.GetValue(), "a;b");
    n.SetValue("x;");
    n.Push("y", ";");
    EXPECT_EQ(n.GetValue(), "x;y");
    EXPECT_EQ(n.Pop(";"), "x");
    EXPECT_EQ(n.GetValue(), "y");
    EXPECT_EQ(n.Pop(";"), "y");
    EXPECT_EQ(n.GetValue(), "");

    TXmlDoc list;
    list.ParseStringList("A\\B=1\r\nC=2\nbad\r=3\nD=\nE={x}", "");
    EXPECT_EQ(list.GetNode("A\\B")->GetValue(), "1");
    EXPECT_EQ(list.FindNode("C")->GetValue(), "2");
    EXPECT_FALSE(list.HasNode("D"));
    EXPECT_EQ(list.FindNode("E")->GetValue(), "{x}");
    TXmlDoc tokens;
    tokens.ParseStringList("a=1;;b=2", ";");
    EXPECT_EQ(tokens.GetCommaNames(), "a,b");
    std::vector<std::string> lines;
    tokens.New("c=")->SetValue("3");
    tokens.New("");
    tokens.New("empty");
    tokens.GetStrings(lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"a=1", "b=2", "c=3"}));
    EXPECT_EQ(tokens.GetCommaNames(), "a,b,c=,empty");
    TXmlDoc commas;
    commas.New("x,");
    commas.New("y");
    EXPECT_EQ(commas.GetCommaNames(), "x,y");
}

TEST(TXmlDocCopy, CloneFlagsAndDuplicate)
{
    int tag = 0;
    TXmlDoc src("src", "v", &tag);
    src.Setp("p", "1");
    src.Setp("empty", "");
    src.New("x")->New("deep")->SetValue("d");
    src.New("x");
    src.New("y");

    auto dup = src.Duplicate();
    EXPECT_EQ(dup->GetName(), "src");
    EXPECT_EQ(dup->GetData(), &tag);
    EXPECT_EQ(dup->GetPropertyCount(), 1);  // the empty property is dropped
    EXPECT_EQ(dup->ChildAt(0)->FindNode("deep")->GetValue(), "d");
    EXPECT_EQ(dup->FindNode("x"), dup->ChildAt(1));  // the index is copied as it was
    EXPECT_EQ(dup->GetNodeCount(), 3);

    TXmlDoc target("t", "tv");
    target.Setp("p", "0");
    target.New("keep");
    target.Clone(src, cfAvoidReset | cfAvoidName | cfAvoidResetNodes);
    EXPECT_EQ(target.GetName(), "t");
    EXPECT_EQ(target.GetValue(), "v");
    EXPECT_EQ(target.GetPropertyCount(), 2);  // no merge: two properties p
    EXPECT_EQ(target.GetNodeCount(), 4);
    EXPECT_EQ(target.FindNode("keep"), target.ChildAt(0));

    TXmlDoc kids("k", "kv");
    kids.New("old");
    kids.CloneChildren(src);
    EXPECT_EQ(kids.GetName(), "k");
    EXPECT_EQ(Names(kids), (std::vector<std::string>{"old", "x", "x", "y"}));

    TXmlDoc reset("r", "rv");
    reset.New("gone");
    reset.Clone(src, cfAvoidNodes);
    EXPECT_EQ(reset.GetNodeCount(), 0);
    EXPECT_EQ(reset.GetValue(), "v");

    // Cloning from itself or from its own descendant reads the source before it goes.
    src.CloneChildren(src);
    EXPECT_EQ(src.GetNodeCount(), 6);
    TXmlDoc* inner = src.ChildAt(3)->ChildAt(0);
    src.Clone(*inner);
    EXPECT_EQ(src.GetName(), "deep");
    EXPECT_EQ(src.GetValue(), "d");
    EXPECT_EQ(src.GetNodeCount(), 0);
}

TEST(TXmlDocCopy, LoadAndSaveThroughNodes)
{
    TXmlDoc tree("t");
    tree.Setp("a", "1");
    tree.New("c")->SetValue("x");
    TXmlDoc holder("h");
    tree.SaveToNode(&holder, "hexbin");
    EXPECT_EQ(holder.GetValue(), tree.GetXML());
    EXPECT_EQ(holder.GetEncType(), "hexbin");
    TXmlDoc back;
    back.LoadFromNode(&holder);
    EXPECT_EQ(back.GetXML(), tree.GetXML());

    const std::string before = tree.GetXML();
    tree.SaveToNode(nullptr);
    EXPECT_EQ(tree.GetValue(), before);
    EXPECT_EQ(tree.GetNodeCount(), 0);
    EXPECT_EQ(tree.GetPropertyCount(), 0);
    tree.LoadFromNode();
    EXPECT_EQ(tree.GetXML(), before);
}

TEST(TXmlDocDeep, MillionLevelsCopyAndDestroy)
{
    auto root = std::make_unique<TXmlDoc>("root");
    TXmlDoc* cur = root.get();
    for (int i = 0; i < 1000000; ++i)
        cur = cur->New("n");
    cur->SetValue("bottom");
    auto copy = root->Duplicate();
    const TXmlDoc* walk = copy.get();
    int depth = 0;
    while (walk->HasChildren()) {
        walk = walk->ChildAt(0);
        ++depth;
    }
    EXPECT_EQ(depth, 1000000);
    EXPECT_EQ(walk->GetValue(), "bottom");
    EXPECT_EQ(copy->FindNode("nothing", true), nullptr);
    copy->SortNodes(true, "");
    TXmlDocList list;
    EXPECT_FALSE(copy->FindNodeByProp("p", "v", list, true));
    root.reset();
    copy.reset();
}
