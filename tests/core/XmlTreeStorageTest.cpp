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
