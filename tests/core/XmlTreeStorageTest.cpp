// The storage under the tree: the name index kept by the parent whether it is scanned (few
// children) or hashed (many), through renames, moves and copies; destruction without
// recursion; the pool of a tree given back when the tree or its content goes.
#include "core/UnitXmlDoc.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <memory>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header ships with clang, not with gcc).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

// Bytes the process holds from the allocator now.
size_t AllocatedBytes()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// Pads a parent with unrelated children so that it has few or many in all.
void Pad(TXmlDoc& AParent, int ACount)
{
    for (int i = 0; i < ACount; ++i)
        AParent.New("pad" + std::to_string(i));
}

}  // namespace

// The same history of adds, renames and deletions gives the same lookups below and above
// the size where the parent starts hashing names.
class TXmlIndexBySize : public ::testing::TestWithParam<int> {};

TEST_P(TXmlIndexBySize, RenamesAndDeletionsFollowTheEntry)
{
    TXmlDoc root;
    Pad(root, GetParam());
    TXmlDoc* x1 = root.New("X");
    TXmlDoc* x2 = root.New("x");
    EXPECT_EQ(root.FindNode("X"), x2);  // the newest added wins
    TXmlDoc* inserted = root.Insert(0, "X");
    EXPECT_EQ(root.FindNode("x"), inserted);

    inserted->SetName("Z");  // the entry goes with the indexed child
    EXPECT_EQ(root.FindNode("Z"), inserted);
    EXPECT_EQ(root.FindNode("X"), nullptr);
    x1->SetName("z");  // a present name keeps its entry
    EXPECT_EQ(root.FindNode("Z"), inserted);
    x1->SetName("W");  // renaming a child that holds no entry still drops the one under its old name
    EXPECT_EQ(root.FindNode("Z"), nullptr);
    EXPECT_EQ(root.FindNode("W"), x1);

    root.DeleteNode(x2);  // its name had no entry left; nothing else changes
    EXPECT_EQ(root.FindNode("W"), x1);
    root.DeleteNode(x1);
    EXPECT_EQ(root.FindNode("W"), nullptr);
    // A lookup with creation makes a fresh child that takes the entry.
    TXmlDoc* w = root.GetNode("w");
    EXPECT_EQ(w->GetName(), "w");
    EXPECT_EQ(root.FindNode("W"), w);
    EXPECT_EQ(root.GetNodeCount(), GetParam() + 2);
    // A caller's rename handler replaces the parent's: the child leaves the index.
    bool called = false;
    w->OnRename = [&called](TXmlDoc&, const std::string&, const std::string&) { called = true; };
    w->SetName("v");
    EXPECT_TRUE(called);
    EXPECT_EQ(root.FindNode("w"), nullptr);
    EXPECT_EQ(root.FindNode("v"), nullptr);
}

TEST_P(TXmlIndexBySize, TextReadingFirstWinsEvenWhenSortedBeforeTheFirstLookup)
{
    std::string text = "<r>";
    for (int i = 0; i < GetParam(); ++i)
        text += "<pad" + std::to_string(i) + "/>";
    text += "<b n='1'/><a/><B n='2'/></r>";
    TXmlDoc root;
    root.SetXML(text);
    // Sorting by name puts the second b first; the index still holds the first in the text.
    root.SortNodes(false, "-.n");
    TXmlDoc* b = root.FindNode("b");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->Getp("n"), "1");
    root.ExchangeNodes(0, root.GetNodeCount() - 1);
    EXPECT_EQ(root.FindNode("B"), b);
}

TEST_P(TXmlIndexBySize, CopiesPointAtTheCopiesOfTheIndexedChildren)
{
    TXmlDoc source("s");
    Pad(source, GetParam());
    source.New("X")->SetValue("first");
    source.New("X")->SetValue("second");
    TXmlDoc* read = source.New("R");
    read->SetChildrenXML("<y>one</y><y>two</y>");

    auto check = [](TXmlDoc& copy) {
        ASSERT_NE(copy.FindNode("x"), nullptr);
        EXPECT_EQ(copy.FindNode("x")->GetValue(), "second");
        ASSERT_NE(copy.GetNode("R")->FindNode("y"), nullptr);
        EXPECT_EQ(copy.GetNode("R")->FindNode("y")->GetValue(), "one");
        // The copy's index follows renames of its own children.
        copy.FindNode("x")->SetName("gone");
        EXPECT_EQ(copy.FindNode("x"), nullptr);
        EXPECT_NE(copy.FindNode("gone"), nullptr);
    };
    auto duplicate = source.Duplicate();
    check(*duplicate);
    TXmlDoc holder;
    check(*holder.NewFromClone(source));
    TXmlDoc target;
    target.Clone(source);
    check(target);
    // The source is unchanged by all of it.
    EXPECT_EQ(source.FindNode("X")->GetValue(), "second");

    // Children copied onto children already there take the entry of their name.
    TXmlDoc base;
    TXmlDoc* old = base.New("X");
    base.Clone(source, cfAvoidReset | cfAvoidResetNodes);
    EXPECT_EQ(base.ChildAt(0), old);
    EXPECT_NE(base.FindNode("X"), old);
    EXPECT_EQ(base.FindNode("X")->GetValue(), "second");
    // A node copying its own children onto itself reads them before they are replaced.
    source.Clone(source, cfAvoidReset | cfAvoidResetNodes);
    EXPECT_EQ(source.GetNodeCount(), 2 * (GetParam() + 3));
    EXPECT_EQ(source.FindNode("X"), source.ChildAt(static_cast<size_t>(2 * GetParam() + 4)));
}

INSTANTIATE_TEST_SUITE_P(FewAndMany, TXmlIndexBySize,
                         ::testing::Values(0, static_cast<int>(TXmlDoc::IndexThreshold) + 5, 3000));

TEST(TXmlStorage, PropertiesStayPutWhileMoreAreAdded)
{
    TXmlDoc node;
    TXmlDoc* first = node.GetProperty("first");
    first->SetValue("1");
    for (int i = 0; i < 1000; ++i)
        node.Setp("p" + std::to_string(i), "v");
    EXPECT_EQ(node.GetPropertyByIndex(0), first);
    EXPECT_EQ(first->GetValue(), "1");
    node.DeleteProperty("first");
    EXPECT_EQ(node.GetPropertyCount(), 1000);
    EXPECT_EQ(node.GetPropertyByIndex(0)->GetName(), "p0");
    // The read-only lookup creates nothing.
    EXPECT_EQ(node.Prop("missing"), "");
    EXPECT_EQ(node.Prop("P999"), "v");
    EXPECT_EQ(node.GetPropertyCount(), 1000);
    EXPECT_EQ(UnitXmlDoc::Prop(static_cast<const TXmlDoc*>(nullptr), "x"), "");
    // Data is kept aside and reads back.
    int marker = 0;
    node.SetData(&marker);
    EXPECT_EQ(node.GetData(), &marker);
    auto copy = node.Duplicate();
    EXPECT_EQ(copy->GetData(), &marker);
}

TEST(TXmlStorage, EmptyTextsWithoutStorageReadAsNothing)
{
    // A default view holds no pointer (a request with no text): read, not searched.
    TXmlDoc node("keep");
    node.SetXML(std::string_view());
    EXPECT_EQ(node.GetNodeCount(), 0);
    node.SetXML("<a><b/></a>");
    EXPECT_EQ(node.GetName(), "a");
    EXPECT_EQ(node.GetNodeCount(), 1);
    node.SetChildrenXML(std::string_view());
    EXPECT_EQ(node.GetName(), "a");
}

TEST(TXmlStorage, MillionLevelsGoWithoutRecursion)
{
    // Built, copied, cleared and destroyed: each of these would overflow the stack if it
    // recursed (also under the sanitizers' larger frames).
    auto root = std::make_unique<TXmlDoc>("root");
    TXmlDoc* cur = root.get();
    for (int i = 0; i < 1000000; ++i) {
        cur = cur->New("n");
        cur->Setp("p", "1");
    }
    auto copy = root->Duplicate();
    TXmlDoc* second = copy->ChildAt(0);
    second->Clear();
    EXPECT_FALSE(second->HasChildren());
    root->DeleteNode(root->ChildAt(0));
    EXPECT_FALSE(root->HasChildren());
    copy.reset();
    root.reset();
}

TEST(TXmlStorage, APoolIsGivenBackWithItsTree)
{
    const std::string text = [] {
        TXmlDoc t("r");
        for (int i = 0; i < 20000; ++i)
            t.New("item")->Setp("id", "a value long enough to live on the heap " + std::to_string(i));
        return t.GetXML();
    }();
    const size_t before = AllocatedBytes();
    {
        TXmlDoc doc;
        doc.SetXML(text);
        EXPECT_GT(AllocatedBytes(), before + 20000 * 100);
        // Reading again into the same root releases the old content first.
        const size_t one = AllocatedBytes();
        for (int round = 0; round < 5; ++round)
            doc.SetXML(text);
        EXPECT_LT(AllocatedBytes(), one + (one - before) / 4);
        // Deleted children go back to the pool, which serves the next ones.
        const size_t full = AllocatedBytes();
        for (int round = 0; round < 5; ++round) {
            while (doc.HasChildren())
                doc.DeleteNode(doc.ChildAt(static_cast<size_t>(doc.GetNodeCount() - 1)));
            doc.SetChildrenXML(text.substr(text.find('>') + 1));
        }
        EXPECT_LT(AllocatedBytes(), full + full / 4);
    }
    // Everything the tree held is given back.
    EXPECT_LT(AllocatedBytes(), before + 64 * 1024);
}

TEST(TXmlStorage, LargeChunksServeTheNextTree)
{
    const auto build = [](int ACount, const std::string& AName) {
        auto tree = std::make_unique<TXmlDoc>("r");
        for (int i = 0; i < ACount; ++i)
            tree->New(AName)->Setp("i", std::to_string(i));
        return tree;
    };
    const auto check = [](const TXmlDoc& ATree, int ACount, const std::string& AName) {
        ASSERT_GE(ATree.GetNodeCount(), ACount);
        for (int i = 0; i < ACount; i += 997) {
            const TXmlDoc* n = ATree.ChildAt(static_cast<size_t>(i));
            ASSERT_EQ(n->GetName(), AName);
            ASSERT_EQ(n->Prop("i"), std::to_string(i));
        }
    };
    build(200000, "a").reset();
    const size_t before = AllocatedBytes();
    {
        // The first tree's chunks (about 40 MB) are taken again: what grows is the child list.
        auto tree = build(200000, "b");
        EXPECT_LT(AllocatedBytes(), before + (8u << 20));
        check(*tree, 200000, "b");
    }
    // Trees of other sizes, alive together, mix the chunks of both streams.
    auto large = build(400000, "c");
    auto small = build(30000, "d");
    large->New("e")->NewFromClone(*small);
    check(*large->ChildAt(400000)->ChildAt(0), 30000, "d");
    small.reset();
    check(*large, 400000, "c");
    // What is kept can be given back to the system.
    large.reset();
    const size_t kept = AllocatedBytes();
    TXmlDoc::ReleaseCachedMemory();
    EXPECT_LT(AllocatedBytes() + (40u << 20), kept);
}

namespace {

// The properties of a node in order, as "name=value" joined by commas (reached by index).
std::string PropertyList(TXmlDoc& ANode)
{
    std::string out;
    for (int i = 0; i < ANode.GetPropertyCount(); ++i) {
        const TXmlDoc* p = ANode.GetPropertyByIndex(i);
        out += (i ? "," : "") + p->GetName() + "=" + p->GetValue();
    }
    return out;
}

// Text read into elements, and the same tree built by hand with the empty "_enctype" that
// reading gives every element with text.
const char* const kReadText = "<r><a x='1'>text</a><b>t<i/>u</b><c y='2'/><d _EncType='hex'>4142</d></r>";

std::unique_ptr<TXmlDoc> BuiltLikeRead()
{
    auto r = std::make_unique<TXmlDoc>("r");
    TXmlDoc* a = r->New("a");
    a->Setp("x", "1");
    a->Setp("_enctype", "");
    a->SetValue("text");
    TXmlDoc* b = r->New("b");
    b->Setp("_enctype", "");
    b->SetValue("u");  // the last run of text is the value
    b->New("i");
    r->New("c")->Setp("y", "2");
    TXmlDoc* d = r->New("d");
    d->Setp("_EncType", "hex");
    d->SetValue("4142");
    return r;
}

}  // namespace

TEST(TXmlStorage, TheEncodingPropertyOfReadTextIsSeenByEveryAccessor)
{
    // Each accessor on a fresh read tree against the tree built by hand.
    auto check = [](const char* what, auto&& AProbe) {
        auto read = TXmlDoc::CreateFromXML(kReadText);
        auto built = BuiltLikeRead();
        EXPECT_EQ(AProbe(*read), AProbe(*built)) << what;
        EXPECT_EQ(read->GetXML(), built->GetXML()) << what;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(PropertyList(*read->ChildAt(static_cast<size_t>(i))),
                      PropertyList(*built->ChildAt(static_cast<size_t>(i))))
                << what << " child " << i;
    };
    using S = std::string;
    check("count", [](TXmlDoc& r) { return S() + char('0' + r.GetNode("a")->GetPropertyCount()) + char('0' + r.GetNode("b")->GetPropertyCount()); });
    check("by index", [](TXmlDoc& r) { return r.GetNode("a")->GetPropertyByIndex(1)->GetName(); });
    check("find", [](TXmlDoc& r) {
        const TXmlDoc* p = static_cast<const TXmlDoc&>(*r.GetNode("b")).FindProperty("_ENCTYPE");
        return p ? p->GetName() : S("none");
    });
    check("find then index", [](TXmlDoc& r) {
        TXmlDoc* a = r.GetNode("a");
        const TXmlDoc* p = a->FindProperty("_enctype");
        return S(p == a->GetPropertyByIndex(1) ? "same" : "other");
    });
    check("read-only value", [](TXmlDoc& r) { return S(r.GetNode("a")->Prop("_enctype")) + "|" + S(r.GetNode("d")->Prop("_enctype")) + "|" + char('0' + r.GetNode("a")->GetPropertyCount()); });
    check("encoding", [](TXmlDoc& r) { return r.GetNode("a")->GetEncType() + "|" + r.GetNode("d")->GetEncType(); });
    check("by name without creating", [](TXmlDoc& r) { return S(r.GetNode("b")->GetPropertyByName("_enctype", false) ? "yes" : "no"); });
    check("added after", [](TXmlDoc& r) {
        r.GetNode("a")->Setp("z", "3");
        r.GetNode("b")->SetEncType("hex");
        return PropertyList(*r.GetNode("a")) + ";" + PropertyList(*r.GetNode("b"));
    });
    check("deleted", [](TXmlDoc& r) {
        r.GetNode("a")->DeleteProperty("_enctype");
        r.GetNode("b")->DeleteProperties();
        return PropertyList(*r.GetNode("a")) + ";" + PropertyList(*r.GetNode("b")) + ";" + char('0' + r.GetNode("a")->GetPropertyCount());
    });
    check("by property", [](TXmlDoc& r) {
        TXmlDocList list;
        r.FindNodeByProp("_enctype", "", list);
        S names;
        for (TXmlDoc* n : list)
            names += n->GetName();
        return names + "|" + r.FindNodeByProp("_enctype", "hex")->GetName();
    });
    check("json", [](TXmlDoc& r) { return r.GetJSON(); });
    check("sorted and exchanged", [](TXmlDoc& r) {
        r.SortNodes(false, "-");
        r.ExchangeNodes(0, 3);
        S out;
        for (int i = 0; i < r.GetNodeCount(); ++i)
            out += r.ChildAt(static_cast<size_t>(i))->GetName() + ":" + PropertyList(*r.ChildAt(static_cast<size_t>(i))) + ";";
        r.SortNodes(false, "");
        return out;
    });
    check("copies", [](TXmlDoc& r) {
        // Copies carry the properties with a value only, whether the source's are stored or not.
        auto dup = r.GetNode("a")->Duplicate();
        TXmlDoc cloned;
        cloned.Clone(*r.GetNode("b"));
        TXmlDoc* inTree = r.NewFromClone(*r.GetNode("a"));
        S out = PropertyList(*dup) + ";" + PropertyList(cloned) + ";" + PropertyList(*inTree);
        r.DeleteNode(inTree);
        return out;
    });
    check("copied onto", [](TXmlDoc& r) {
        // Kept properties stay before the copied ones.
        TXmlDoc* a = r.GetNode("a");
        a->Clone(*r.GetNode("c"), cfAvoidReset | cfAvoidName | cfAvoidNodes);
        TXmlDoc* b = r.GetNode("b");
        b->Clone(*r.GetNode("c"));
        return PropertyList(*a) + ";" + PropertyList(*b);
    });
    check("read again", [](TXmlDoc& r) {
        r.GetNode("a")->SetXML("<a/>");
        r.GetNode("b")->SetChildrenXML("<j>v</j>");
        return PropertyList(*r.GetNode("a")) + ";" + PropertyList(*r.GetNode("b")) + ";" + PropertyList(*r.GetNode("b")->ChildAt(0));
    });
}

TEST(TXmlStorage, NodesGiveBackWhatTheyHoldOutsideThePool)
{
    // Short texts live in the nodes, long ones on the heap; data and a caller's rename
    // callback are kept aside. Whether the pool goes whole (tree destroyed or cleared) or
    // part by part (nodes deleted), all of it is given back, and the callbacks (each holding
    // the token) are destroyed.
    auto token = std::make_shared<int>(0);
    auto fill = [&token](TXmlDoc& root) {
        int marker = 0;
        for (int i = 0; i < 3000; ++i) {
            TXmlDoc* n = root.New(i % 2 ? std::string("short") : std::string(100, 'n'));
            n->SetValue(i % 3 ? std::string("v") : std::string(200, 'v'));
            n->Setp(i % 5 ? std::string("p") : std::string(50, 'p'), i % 7 ? std::string("1") : std::string(80, 'x'));
            if (i % 11 == 0)
                n->OnRename = [token](TXmlDoc&, const std::string&, const std::string&) {};
            if (i % 13 == 0)
                n->SetData(&marker);
            TXmlDoc* deep = n;
            for (int level = 0; level < i % 4; ++level)
                deep = deep->New("leaf");
            deep->SetValue(i % 2 ? std::string(64, 'l') : std::string("l"));
        }
        EXPECT_GT(token.use_count(), 200);
    };
    const size_t before = AllocatedBytes();
    {
        TXmlDoc root("root");
        fill(root);
    }
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_LT(AllocatedBytes(), before + 64 * 1024);
    {
        // Some nodes given back to the pool before it goes whole: each node is let go once.
        TXmlDoc root("root");
        fill(root);
        for (int i = root.GetNodeCount(); i-- > 0;)
            if (i % 3 == 0)
                root.DeleteNode(root.ChildAt(static_cast<size_t>(i)));
        root.New("after")->SetValue(std::string(70, 'a'));
    }
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_LT(AllocatedBytes(), before + 64 * 1024);
    {
        TXmlDoc root("root");
        fill(root);
        root.Clear();
        EXPECT_EQ(token.use_count(), 1);
        EXPECT_LT(AllocatedBytes(), before + 64 * 1024);
        fill(root);
        while (root.HasChildren())
            root.DeleteNode(root.ChildAt(0));
        EXPECT_EQ(token.use_count(), 1);
        const std::string text = [] {
            TXmlDoc t("r");
            for (int i = 0; i < 3000; ++i)
                t.New(i % 2 ? std::string("e") : std::string(40, 'e'))->SetValue(i % 3 ? std::string("v") : std::string(90, 'v'));
            return t.GetXML();
        }();
        root.SetXML(text);
        EXPECT_EQ(root.GetNodeCount(), 3000);
    }
    EXPECT_LT(AllocatedBytes(), before + 64 * 1024);
}

TEST(TXmlStorage, ListsGoFromOneNodeInPlaceToStorageAndBack)
{
    // A list of one is kept in the node; adding, inserting before, deleting, exchanging,
    // sorting and copying across that size keep the order.
    TXmlDoc root("r");
    TXmlDoc* b = root.New("b");
    EXPECT_EQ(root.GetCommaNames(), "b");
    root.SortNodes(false, "");
    root.ExchangeNodes(0, 0);
    EXPECT_EQ(root.ChildAt(0), b);
    root.Insert(0, "a");
    EXPECT_EQ(root.GetCommaNames(), "a,b");
    root.ExchangeNodes(0, 1);
    EXPECT_EQ(root.GetCommaNames(), "b,a");
    root.SortNodes(false, "");
    EXPECT_EQ(root.GetCommaNames(), "a,b");
    root.DeleteNode(root.ChildAt(0));
    EXPECT_EQ(root.GetCommaNames(), "b");
    EXPECT_EQ(root.FindNode("b"), b);
    root.Insert(0, "a");
    root.New("c");
    EXPECT_EQ(root.GetCommaNames(), "a,b,c");
    root.DeleteNode(b);
    root.DeleteNode(root.FindNode("c"));
    EXPECT_EQ(root.GetCommaNames(), "a");
    root.DeleteNodes();
    EXPECT_FALSE(root.HasChildren());
    EXPECT_EQ(root.ChildAt(0), nullptr);

    // Properties: the node of the first stays put while the list grows past one and shrinks.
    TXmlDoc* first = root.GetProperty("p1");
    first->SetValue("1");
    root.Setp("p2", "2");
    EXPECT_EQ(root.GetPropertyByIndex(0), first);
    root.DeleteProperty("p2");
    EXPECT_EQ(root.GetPropertyCount(), 1);
    EXPECT_EQ(root.GetPropertyByIndex(0), first);
    root.DeleteProperty("p1");
    root.Setp("p3", "3");
    EXPECT_EQ(root.GetPropertyByIndex(0)->GetName(), "p3");

    // Copies of nodes with one child and one property, also onto themselves.
    TXmlDoc* one = root.New("one");
    one->Setp("k", "v");
    one->New("only")->SetValue("x");
    auto dup = root.Duplicate();
    EXPECT_EQ(dup->GetXML(), root.GetXML());
    one->Clone(*one);
    EXPECT_EQ(one->GetXML(), "<one k=\"v\">\r\n\t<only>x</only>\r\n</one>\r\n");
    one->Clone(*one->ChildAt(0));
    EXPECT_EQ(one->GetXML(), "<only>x</only>\r\n");
    TXmlDoc* copy = root.NewFromClone(*dup->FindNode("one"));
    EXPECT_EQ(copy->GetXML(), "<one k=\"v\">\r\n\t<only>x</only>\r\n</one>\r\n");
    EXPECT_EQ(root.GetCommaNames(), "only,one");
}

namespace {

// Text whose elements have several properties (long and short values, an empty one, names
// differing in case only from the lookups) and text of their own.
const char* const kRecordText =
    "<r><e id='7' Kind='k' note='a note long enough to be kept outside the node itself' empty=''>v</e>"
    "<e id='8' kind='12'><f x='1.5'/></e><g _enctype='hex' at='2020-01-02T03:04:05'>4142</g></r>";

// Reaches every property of the tree as a node, turning the records into nodes.
void HandOutEveryProperty(TXmlDoc& ARoot)
{
    std::vector<TXmlDoc*> work{&ARoot};
    while (!work.empty()) {
        TXmlDoc* n = work.back();
        work.pop_back();
        if (n->GetPropertyCount() > 0)
            n->GetPropertyByIndex(0);
        for (int i = 0; i < n->GetNodeCount(); ++i)
            work.push_back(n->ChildAt(static_cast<size_t>(i)));
    }
}

// Every element's properties in order, read by index.
std::string TreeProperties(TXmlDoc& ARoot)
{
    std::string out = ARoot.GetName() + "[" + PropertyList(ARoot) + "]";
    for (int i = 0; i < ARoot.GetNodeCount(); ++i)
        out += TreeProperties(*ARoot.ChildAt(static_cast<size_t>(i)));
    return out;
}

}  // namespace

TEST(TXmlStorage, PropertyRecordsAndPropertyNodesAnswerAlike)
{
    // The same probe on a tree whose properties are records and on the same tree with its
    // properties handed out as nodes: every accessor answers the same, and the probe leaves
    // the same tree behind. So for the tree as read, for its copies (which leave out empty
    // properties) made from either form, and for its text read again from either form.
    auto check = [](const char* what, auto&& AProbe) {
        auto asNodes = [](std::unique_ptr<TXmlDoc> ATree) {
            HandOutEveryProperty(*ATree);
            return ATree;
        };
        auto cloneOf = [](const TXmlDoc& ASource) {
            auto t = std::make_unique<TXmlDoc>();
            t->Clone(ASource);
            return t;
        };
        auto read = TXmlDoc::CreateFromXML(kRecordText);
        auto readNodes = asNodes(TXmlDoc::CreateFromXML(kRecordText));
        std::vector<std::vector<std::unique_ptr<TXmlDoc>>> groups(3);
        groups[1].push_back(read->Duplicate());
        groups[1].push_back(readNodes->Duplicate());
        groups[1].push_back(cloneOf(*read));
        groups[1].push_back(cloneOf(*readNodes));
        groups[1].push_back(asNodes(read->Duplicate()));
        groups[2].push_back(TXmlDoc::CreateFromXML(read->GetXML()));
        groups[2].push_back(TXmlDoc::CreateFromXML(readNodes->GetXML()));
        groups[2].push_back(asNodes(TXmlDoc::CreateFromXML(read->GetXML())));
        groups[0].push_back(std::move(read));
        groups[0].push_back(std::move(readNodes));
        for (size_t g = 0; g < groups.size(); ++g) {
            std::vector<std::string> answers;
            for (auto& t : groups[g])
                answers.push_back(AProbe(*t) + " => " + t->GetXML());
            for (size_t i = 1; i < answers.size(); ++i) {
                EXPECT_EQ(answers[i], answers[0]) << what << " in group " << g << " on tree " << i;
                EXPECT_EQ(TreeProperties(*groups[g][i]), TreeProperties(*groups[g][0])) << what << " in group " << g << " on tree " << i;
            }
        }
    };
    using S = std::string;
    auto e = [](TXmlDoc& r, size_t i) { return r.ChildAt(i); };
    check("read-only", [&](TXmlDoc& r) {
        return S(e(r, 0)->Prop("ID")) + "|" + e(r, 0)->Prop("note") + "|" + e(r, 1)->Prop("kind") + "|" + e(r, 2)->Prop("_enctype") +
               "|" + char('0' + e(r, 0)->GetPropertyCount()) + char('0' + e(r, 1)->GetPropertyCount());
    });
    check("typed", [&](TXmlDoc& r) {
        return std::to_string(e(r, 0)->Geti("id")) + "|" + std::to_string(e(r, 1)->Geti("KIND")) + "|" +
               std::to_string(e(r, 1)->ChildAt(0)->Geti("x")) + "|" + (e(r, 0)->Getb("id") ? "t" : "f") + "|" +
               std::to_string(e(r, 2)->Getd("at")) + "|" + e(r, 0)->Getp("missing") + char('0' + e(r, 0)->GetPropertyCount());
    });
    check("set", [&](TXmlDoc& r) {
        e(r, 0)->Setp("ID", "9");
        e(r, 0)->Setp("note", std::string(100, 'n'));
        e(r, 1)->Seti("new", -3);
        e(r, 1)->Setb("flag", true);
        e(r, 2)->Setd("at", 1.5);
        e(r, 2)->SetEncType("");
        return S(e(r, 0)->Prop("id")) + e(r, 1)->Prop("new") + e(r, 2)->GetEncType();
    });
    check("by property", [&](TXmlDoc& r) {
        TXmlDocList list;
        r.FindNodeByProp("ID", "7", list, true);
        r.FindNodeByProp("x", "1.5", list, true);
        r.FindNodeByProp("empty", "", list, true);
        S names;
        for (TXmlDoc* n : list)
            names += n->GetName() + n->Prop("id") + ",";
        return names;
    });
    check("as nodes", [&](TXmlDoc& r) {
        // The node handed out is the one every later accessor sees, also after more are added.
        TXmlDoc* note = e(r, 0)->GetPropertyByName("NOTE", false);
        e(r, 0)->Setp("more", "m");
        const S same = note == e(r, 0)->FindProperty("note") && note == e(r, 0)->GetPropertyByIndex(2) ? "same" : "other";
        note->SetValue("changed");
        return same + "|" + e(r, 0)->Prop("note") + "|" + e(r, 1)->GetProperty("added")->GetName() + "|" +
               e(r, 2)->GetPropertyByIndex(9)->GetName() + char('0' + e(r, 2)->GetPropertyCount());
    });
    check("deleted", [&](TXmlDoc& r) {
        e(r, 0)->DeleteProperty("KIND");
        e(r, 0)->DeleteProperty("absent");
        e(r, 1)->DeleteProperties();
        e(r, 1)->Setp("after", "1");
        e(r, 2)->DeleteProperty("_enctype");
        return PropertyList(*e(r, 0)) + ";" + PropertyList(*e(r, 1)) + ";" + PropertyList(*e(r, 2));
    });
    check("json", [](TXmlDoc& r) { return r.GetJSON(); });
    check("renamed and moved", [&](TXmlDoc& r) {
        e(r, 0)->SetName("renamed");
        r.ExchangeNodes(0, 2);
        r.SortNodes(true, "");
        TXmlDoc* moved = r.NewFromClone(*r.FindNode("renamed"));
        return PropertyList(*moved) + "|" + r.FindNodeByProp("id", "7")->GetName();
    });
    check("copied onto itself and below", [&](TXmlDoc& r) {
        e(r, 1)->Clone(*e(r, 1));
        e(r, 0)->Clone(*e(r, 1), cfAvoidReset | cfAvoidName | cfAvoidNodes);
        e(r, 1)->Clone(*e(r, 1)->ChildAt(0));
        return PropertyList(*e(r, 0)) + ";" + PropertyList(*e(r, 1));
    });
    check("read again", [&](TXmlDoc& r) {
        e(r, 0)->SetXML("<e a='1' b='2'/>");
        e(r, 1)->SetChildrenXML("<k z='long enough to be kept outside the node, once more'>w</k>");
        return PropertyList(*e(r, 0)) + ";" + PropertyList(*e(r, 1)->ChildAt(0));
    });
}

TEST(TXmlStorage, PropertyRecordsGiveBackTheirTexts)
{
    // Long and short property texts, kept as records or handed out as nodes, go back whether
    // the tree goes whole, is cleared, read again, or loses properties one by one.
    const std::string text = [] {
        TXmlDoc t("r");
        for (int i = 0; i < 5000; ++i) {
            TXmlDoc* n = t.New("e");
            n->Setp("s", "1");
            n->Setp(i % 2 ? std::string("n") : std::string(40, 'n'), std::string(static_cast<size_t>(i % 90), 'v'));
            n->SetValue("t");
        }
        return t.GetXML();
    }();
    const size_t before = AllocatedBytes();
    {
        TXmlDoc doc;
        doc.SetXML(text);
        EXPECT_EQ(doc.ChildAt(4999)->Prop("n"), std::string(4999 % 90, 'v'));
        doc.SetXML(text);
        for (int i = 0; i < doc.GetNodeCount(); i += 3)
            doc.ChildAt(static_cast<size_t>(i))->GetPropertyByIndex(1)->SetValue(std::string(70, 'w'));
        for (int i = 1; i < doc.GetNodeCount(); i += 3)
            doc.ChildAt(static_cast<size_t>(i))->Setp("s", std::string(60, 'x'));
        for (int i = 2; i < doc.GetNodeCount(); i += 6)
            doc.ChildAt(static_cast<size_t>(i))->DeleteProperties();
        {
            auto dup = doc.Duplicate();
            EXPECT_EQ(dup->GetXML(), doc.GetXML());
            doc.ChildAt(0)->Clone(*dup->ChildAt(1));
            EXPECT_EQ(doc.ChildAt(0)->GetXML(), dup->ChildAt(1)->GetXML());
        }
        while (doc.GetNodeCount() > 2500)
            doc.DeleteNode(doc.ChildAt(static_cast<size_t>(doc.GetNodeCount() - 1)));
        doc.Clear();
        EXPECT_LT(AllocatedBytes(), before + 20000 * 100);
        doc.SetXML(text);
    }
    EXPECT_LT(AllocatedBytes(), before + 64 * 1024);
}
