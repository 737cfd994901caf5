#include "core/UnitParser.h"
#include "core/UnitXmlDoc.h"
#include "encoding/UnitCodecs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::unique_ptr<TXmlDoc> Parse(std::string_view text) { return TXmlDoc::CreateFromXML(text); }

std::string ReadFile(const fs::path& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Two trees are equal when names, values, properties (in order) and children match.
void ExpectSameTree(const TXmlDoc& a, const TXmlDoc& b)
{
    std::vector<std::pair<const TXmlDoc*, const TXmlDoc*>> work{{&a, &b}};
    while (!work.empty()) {
        auto [x, y] = work.back();
        work.pop_back();
        ASSERT_EQ(x->GetName(), y->GetName());
        ASSERT_EQ(x->GetValue(), y->GetValue()) << x->GetName();
        // Properties in order; an empty one is the same as an absent one.
        auto properties = [](const TXmlDoc* n) {
            std::vector<std::pair<std::string, std::string>> list;
            for (int i = 0; i < n->GetPropertyCount(); ++i) {
                const TXmlDoc* p = const_cast<TXmlDoc*>(n)->GetPropertyByIndex(i);
                if (!p->GetValue().empty())
                    list.emplace_back(p->GetName(), p->GetValue());
            }
            return list;
        };
        ASSERT_EQ(properties(x), properties(y)) << x->GetName();
        ASSERT_EQ(x->GetNodeCount(), y->GetNodeCount()) << x->GetName();
        for (int i = 0; i < x->GetNodeCount(); ++i)
            work.emplace_back(x->ChildAt(static_cast<size_t>(i)), y->ChildAt(static_cast<size_t>(i)));
    }
}

class TempDir {
public:
    TempDir()
    {
        FPath = fs::temp_directory_path() / ("xmltext_" + std::to_string(::getpid()));
        fs::create_directories(FPath);
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::permissions(FPath, fs::perms::owner_all, ec);
        fs::remove_all(FPath, ec);
    }
    fs::path operator/(const std::string& name) const { return FPath / name; }

private:
    fs::path FPath;
};

}  // namespace

TEST(XmlText, WrittenForm)
{
    TXmlDoc root("root");
    root.Setp("a", "x y");
    root.Setp("empty", "");
    TXmlDoc* child = root.New("child");
    child->SetValue("1<2");
    child->New("leaf");
    root.New("solo")->SetValue("v");
    EXPECT_EQ(root.GetXML(),
              "<root a=\"x&#x20;y\">\r\n"
              "\t<child>1&#x3C;2\t\t<leaf/>\r\n\t</child>\r\n"
              "\t<solo>v</solo>\r\n"
              "</root>\r\n");
    TXmlDoc kids;
    kids.New("x");
    kids.New("y");
    EXPECT_EQ(kids.GetChildrenXML(), "<x/>\r\n<y/>\r\n");
}

TEST(XmlText, ReadsAttributesAndQuotes)
{
    auto a = Parse("<a x='1' y=\"2\"/>");
    EXPECT_EQ(a->GetName(), "a");
    EXPECT_EQ(a->Getp("x"), "1");
    EXPECT_EQ(a->Getp("y"), "2");
    EXPECT_EQ(Parse("<a t='say ''hi'''/>")->Getp("t"), "say 'hi'");
    EXPECT_EQ(Parse("<a t=\"say \"\"hi\"\"\"/>")->Getp("t"), "say \"hi\"");
    EXPECT_EQ(Parse("<a t='x>y' u='&lt;&amp;&&'/>")->Getp("u"), "<&&");
    // Duplicates stay in order.
    auto d = Parse("<a k='1' k='2'/>");
    EXPECT_EQ(d->GetPropertyCount(), 2);
    EXPECT_EQ(d->GetPropertyByIndex(1)->GetValue(), "2");
    EXPECT_EQ(Parse("<a/b c='1'/>")->GetName(), "a/b");
    EXPECT_EQ(Parse("junk <r>text</r> trailing <x/>")->GetXML(), "<r>text</r>\r\n");
}

TEST(XmlText, ValuesTextRunsAndLengths)
{
    EXPECT_EQ(Parse("<a>one\r\ntwo</a>")->GetValue(), "two");
    TXmlDoc n("a", "one\r\ntwo");
    EXPECT_EQ(Parse(n.GetXML())->GetValue(), "one\r\ntwo");
    auto raw = Parse("<a _enctype='length' _length='3'>a<b</a>");
    EXPECT_EQ(raw->GetValue(), "a<b");
    EXPECT_EQ(raw->GetPropertyCount(), 1);  // "_length" is never a property
    auto text = Parse("<a>  hello  <b/>tail</a>");
    EXPECT_EQ(text->GetValue(), "tail");
    EXPECT_EQ(text->FindProperty("_enctype")->GetValue(), "");  // added by the text reading

    TXmlDoc none("a", "  lead\tcut");
    none.SetEncType("none");
    EXPECT_EQ(none.GetXML(), "<a>  lead\tcut</a>\r\n");
    EXPECT_EQ(Parse(none.GetXML())->GetValue(), "cut");
    TXmlDoc length("a", " a<b>\r\n\t</a> ");
    length.SetEncType("LENGTH");
    EXPECT_EQ(Parse(length.GetXML())->GetValue(), " a<b>\r\n\t</a> ");
    TXmlDoc stray("a", "v");
    stray.Setp("_length", "1");
    EXPECT_EQ(Parse(stray.GetXML())->GetValue(), "v");

    TXmlDoc hex("a", "bin\x01\xff");
    hex.SetEncType("hexbin");
    const std::string written = hex.GetXML();
    EXPECT_NE(written.find("_enctype=\"hexbin\""), std::string::npos);
    EXPECT_EQ(Parse(written)->GetValue(), "bin\x01\xff");
    TXmlDoc other("a", "x&y");
    other.SetEncType("mine");
    EXPECT_EQ(other.GetXML(), "<a _enctype=\"mine\">x&y</a>\r\n");
}

TEST(XmlText, IndexFirstReadChildWins)
{
    auto a = Parse("<a><b>1</b><b>2</b><c></c><></></a>");
    EXPECT_EQ(a->GetNodeCount(), 3);  // the nameless, empty element is dropped
    EXPECT_EQ(a->FindNode("b")->GetValue(), "1");
    a->FindNode("b")->SetName("z");
    EXPECT_EQ(a->FindNode("z")->GetValue(), "1");
    EXPECT_EQ(a->FindNode("b"), nullptr);
}

TEST(XmlText, RoundTripLosesOnlyWhatIsDocumented)
{
    TXmlDoc tree("Root");
    tree.Setp("attr", "quote\" apos' amp& lt< tab\t");
    tree.Setp("dropped", "");
    TXmlDoc* a = tree.New("A");
    a->SetValue("value with\r\nbreaks and <tags> & \xc3\xa9");
    a->New("Empty");
    a->New("");  // completely empty: dropped on reading
    TXmlDoc* b = tree.New("B");
    b->Setp("k", "v");
    b->New("C")->SetValue(" leading blank");
    tree.New("name with blank/and:colon")->SetValue("x");
    auto back = Parse(tree.GetXML());
    EXPECT_EQ(back->Getp("attr"), "quote\" apos' amp& lt< tab\t");
    EXPECT_EQ(back->FindProperty("dropped"), nullptr);
    EXPECT_EQ(back->FindNode("A")->GetValue(), a->GetValue());
    EXPECT_EQ(back->FindNode("A")->GetNodeCount(), 1);
    EXPECT_EQ(back->GetNode("B\\C")->GetValue(), " leading blank");
    EXPECT_EQ(back->FindNode("name with blank/and:colon")->GetValue(), "x");
    a->DeleteNode(a->ChildAt(1));
    tree.DeleteProperty("dropped");
    ExpectSameTree(tree, *back);
    EXPECT_EQ(back->GetXML(), Parse(back->GetXML())->GetXML());
}

TEST(XmlText, ChildrenXmlReplacesOnlyChildren)
{
    TXmlDoc n("keep", "value");
    n.Setp("p", "1");
    n.New("old");
    n.SetChildrenXML("<x/>\r\n<y>2</y>");
    EXPECT_EQ(n.GetName(), "keep");
    EXPECT_EQ(n.GetValue(), "value");
    EXPECT_EQ(n.GetCommaNames(), "x,y");
    EXPECT_EQ(n.FindNode("y")->GetValue(), "2");
    n.SetChildrenXML("");
    EXPECT_EQ(n.GetNodeCount(), 0);
}

TEST(XmlText, TruncatedAndHostileInputNeverFails)
{
    const std::string full = "<r a='1'><b x=\"2\">text<c/></b><d _enctype='length' _length='5'>12345</d></r>";
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        TXmlDoc n;
        n.SetXML(full.substr(0, cut));
        (void)n.GetXML();
        (void)n.Duplicate();
    }
    for (const char* bad : {"<", "<<<<", "</>", "<a _length='99999999999999999999'>x", "<a x='", "<?xml?><!-- c --><a/>",
                            "<a _length='-5'>x</a>"}) {
        TXmlDoc n;
        n.SetXML(bad);
        (void)n.GetXML();
    }
    // A zero byte ends the readable text (a std::string: as a C string it would be empty).
    TXmlDoc zero;
    zero.SetXML(std::string("\0<a/>", 5));
    EXPECT_EQ(zero.GetName(), "");
    EXPECT_EQ(zero.GetNodeCount(), 0);
    zero.SetXML(std::string("<b x='1'/>\0<a/>", 15));
    EXPECT_EQ(zero.GetName(), "b");
    EXPECT_EQ(zero.Getp("x"), "1");
    auto pi = Parse("<?xml version='1.0'?><a/>");
    EXPECT_EQ(pi->GetName(), "?xml");
}

TEST(XmlText, DeepNestingIsCappedWithoutRecursion)
{
    const size_t levels = 1000000;
    std::string text;
    text.reserve(levels * 7 + 16);
    for (size_t i = 0; i < levels; ++i)
        text += "<a>";
    text += "x";
    for (size_t i = 0; i < levels; ++i)
        text += "</a>";
    text += "<tail/>";
    auto doc = Parse("<root>" + text + "<after/></root>");
    size_t depth = 0;
    const TXmlDoc* walk = doc.get();
    while (walk->HasChildren()) {
        walk = walk->ChildAt(0);
        ++depth;
    }
    EXPECT_EQ(depth, TXmlDoc::MaxReadDepth - 1);
    // The skipped part ends where it should: later siblings are still read.
    EXPECT_EQ(doc->GetNodeCount(), 3);
    EXPECT_TRUE(doc->HasNode("tail"));
    EXPECT_TRUE(doc->HasNode("after"));
    // Unclosed, a million levels deep: reads what it can.
    TXmlDoc open;
    open.SetXML(std::string(levels, '<') + "b>");
    (void)open.GetXML();
    const std::string written = doc->GetXML();
    EXPECT_LT(written.size(), 8u * 1024 * 1024);
    EXPECT_EQ(Parse(written)->GetXML(), written);
}

TEST(XmlText, WritingAVeryDeepTreeStaysLinear)
{
    TXmlDoc root("r");
    TXmlDoc* cur = &root;
    for (int i = 0; i < 200000; ++i)
        cur = cur->New("n");
    const std::string text = root.GetXML();
    EXPECT_LT(text.size(), 200000u * 300);
    EXPECT_EQ(text.substr(text.size() - 6), "</r>\r\n");
}

TEST(XmlText, LargeContentAttributeIsReadWhole)
{
    std::string hex(8 * 1024 * 1024, 'A');
    for (size_t i = 0; i < hex.size(); i += 7)
        hex[i] = "0123456789ABCDEF"[i % 16];
    auto doc = Parse("<SIGNEDDATA CertificateCode='AB' Content='" + hex + "' Binary='1'/>");
    EXPECT_EQ(doc->Getp("Content"), hex);
    EXPECT_EQ(doc->Getp("Binary"), "1");
}

TEST(XmlText, Json)
{
    EXPECT_EQ(TXmlDoc("_x", "1").GetJSON(), "");
    EXPECT_EQ(TXmlDoc("n", "12").GetJSON(), "\"n\":12");
    EXPECT_EQ(TXmlDoc("n", "12a").GetJSON(), "\"n\":\"12a\"");
    // Numeric forms that are no JSON numbers keep their text, as a string.
    EXPECT_EQ(TXmlDoc("n", "$1F").GetJSON(), "\"n\":\"$1F\"");
    EXPECT_EQ(TXmlDoc("n", "0x10").GetJSON(), "\"n\":\"0x10\"");
    EXPECT_EQ(TXmlDoc("n", "-7").GetJSON(), "\"n\":-7");
    TXmlDoc r("R");
    r.Setp("A", "1");
    r.New("B")->SetValue("x");
    EXPECT_EQ(r.GetJSON(), "\"r\":{\"a\":1,\"b\":\"x\"}");
    r.Setp("_object", "1");
    EXPECT_EQ(r.GetJSON(), "{\"a\":1,\"b\":\"x\"}");
    EXPECT_EQ(r.GetXML(), "<R A=\"1\" _object=\"1\">\r\n\t<B>x</B>\r\n</R>\r\n");

    TXmlDoc list("List");
    list.Setp("_array", "1");
    list.New("item")->Setp("v", "a\"b");
    list.New("item")->Setp("v", "2");
    list.New("_hidden")->SetValue("1");
    EXPECT_EQ(list.GetJSON(), "\"list\":[{\"v\":\"a\\\"b\"},{\"v\":2}]");
    TXmlDoc prim("INTEGER");
    prim.Setp("Value", "5");
    EXPECT_EQ(prim.GetJSON(), "\"integer\":\"5\"");
    TXmlDoc hashed("h");
    hashed.Setp("_hash", "1");
    EXPECT_EQ(hashed.GetJSON(), "\"h\":{}");

    TXmlDoc deep("d");
    TXmlDoc* cur = &deep;
    for (int i = 0; i < 100000; ++i)
        cur = cur->New("n");
    cur->SetValue("1");
    const std::string json = deep.GetJSON();
    EXPECT_EQ(json.substr(0, 10), "\"d\":{\"n\":{");
    EXPECT_EQ(json.substr(json.size() - 100005, 8), "\"n\":1}}}");
    EXPECT_EQ(json.size(), 5u * 100001 + 100000);  // a key per level, a brace per object
}

TEST(XmlFiles, SaveLoadAndSafeReplace)
{
    TempDir dir;
    const std::string target = (dir / "tree.xml").string();
    TXmlDoc tree("t");
    tree.New("c")->SetValue("1");
    ASSERT_TRUE(tree.SaveToFile(target));
    EXPECT_FALSE(fs::exists(target + ".~tmp"));
    EXPECT_EQ(ReadFile(target), tree.GetXML());
    tree.FindNode("c")->SetValue("2");
    ASSERT_TRUE(tree.SaveToFile(target));
    EXPECT_EQ(ReadFile(target), tree.GetXML());
    EXPECT_FALSE(fs::exists(target + ".~tmp"));

    TXmlDoc back;
    ASSERT_TRUE(back.LoadFromFile(target));
    EXPECT_EQ(back.GetXML(), tree.GetXML());
    EXPECT_FALSE(back.LoadFromFile((dir / "missing.xml").string()));
    EXPECT_FALSE(back.LoadFromFile(""));
    EXPECT_FALSE(back.LoadFromFile((dir / "").string()));  // a folder is not a file

    // A large tree goes through the stream in pieces.
    TXmlDoc big("big");
    for (int i = 0; i < 30000; ++i)
        big.New("item")->Seti("i", i);
    ASSERT_TRUE(big.SaveToFile(target));
    TXmlDoc bigBack;
    ASSERT_TRUE(bigBack.LoadFromFile(target));
    EXPECT_EQ(bigBack.GetXML(), big.GetXML());
}

TEST(XmlFiles, AFileReadsAsTheSameTextInMemory)
{
    // The reader over the file tokenizer and over text in memory: quotes doubled, entities
    // in names, values and text, raw values by length, text runs around children, values
    // longer than a string keeps in place, and the "_enctype" every text gives its element.
    const std::string longValue(300, 'v');
    const std::string text = "<r a='it''s' b=\"&lt;&amp;\" c='" + longValue + "' &#x41;='n'>" +
                             "<t>one &amp; two</t><u _enctype='length' _length='4'>a<b>" +
                             "</u><m>x<i k=''/>" + longValue + "</m><e/><h _enctype='hexbin'>hexbin:/4142</h></r>";
    TempDir dir;
    const std::string target = (dir / "same.xml").string();
    {
        std::ofstream out(target, std::ios::binary);
        out << text;
    }
    auto memory = Parse(text);
    TXmlDoc file;
    ASSERT_TRUE(file.LoadFromFile(target));
    ExpectSameTree(*memory, file);
    EXPECT_EQ(memory->GetXML(), file.GetXML());
    std::vector<std::pair<TXmlDoc*, TXmlDoc*>> work{{memory.get(), &file}};
    while (!work.empty()) {
        auto [x, y] = work.back();
        work.pop_back();
        ASSERT_EQ(x->GetPropertyCount(), y->GetPropertyCount()) << x->GetName();
        for (int i = 0; i < x->GetPropertyCount(); ++i)
            EXPECT_EQ(x->GetPropertyByIndex(i)->GetName(), y->GetPropertyByIndex(i)->GetName()) << x->GetName();
        for (int i = 0; i < x->GetNodeCount(); ++i)
            work.emplace_back(x->ChildAt(static_cast<size_t>(i)), y->ChildAt(static_cast<size_t>(i)));
    }
    EXPECT_EQ(file.Getp("a"), "it's");
    EXPECT_EQ(file.Getp("c"), longValue);
    EXPECT_EQ(file.FindNode("m")->GetValue(), longValue);
    EXPECT_EQ(file.FindNode("t")->GetValue(), "one & two");
    EXPECT_EQ(file.FindNode("u")->GetValue(), "a<b>");
    EXPECT_EQ(file.FindNode("h")->GetValue(), "AB");
    EXPECT_EQ(file.FindNode("t")->GetPropertyByIndex(0)->GetName(), "_enctype");
}

TEST(XmlFiles, ReadOnlyTargetIsKeptAndTemporaryStays)
{
    TempDir dir;
    const std::string target = (dir / "ro.xml").string();
    TXmlDoc first("first");
    ASSERT_TRUE(first.SaveToFile(target));
    ::chmod(target.c_str(), 0444);
    TXmlDoc second("second");
    EXPECT_FALSE(second.SaveToFile(target));
    EXPECT_EQ(ReadFile(target), first.GetXML());
    EXPECT_EQ(ReadFile(target + ".~tmp"), second.GetXML());

    // A target that is a folder is never replaced either.
    const fs::path folder = dir / "folder.xml";
    fs::create_directories(folder / "inside");
    EXPECT_FALSE(second.SaveToFile(folder.string()));
    EXPECT_TRUE(fs::exists(folder / "inside"));

    // The temporary file cannot be created: false, the old file untouched.
    const fs::path locked = dir / "locked";
    fs::create_directories(locked);
    TXmlDoc third("third");
    ASSERT_TRUE(third.SaveToFile((locked / "x.xml").string()));
    fs::create_directories(locked / "x.xml.~tmp");
    EXPECT_FALSE(first.SaveToFile((locked / "x.xml").string()));
    EXPECT_EQ(ReadFile(locked / "x.xml"), third.GetXML());
}

TEST(XmlFiles, TemporaryFileNeverFollowsALinkOrReusesAnother)
{
    TempDir dir;
    const std::string target = (dir / "doc.xml").string();
    const fs::path victim = dir / "victim.txt";
    std::ofstream(victim) << "keep me";
    // A link planted at the temporary name is removed, not followed: its target stays whole.
    fs::create_symlink(victim, target + ".~tmp");
    TXmlDoc tree("t");
    ASSERT_TRUE(tree.SaveToFile(target));
    EXPECT_EQ(ReadFile(victim), "keep me");
    EXPECT_EQ(ReadFile(target), tree.GetXML());
    EXPECT_FALSE(fs::exists(fs::symlink_status(target + ".~tmp")));
    // A dangling link (to a file the save would create) is not followed either.
    fs::create_symlink(dir / "created-elsewhere", target + ".~tmp");
    ASSERT_TRUE(tree.SaveToFile(target));
    EXPECT_FALSE(fs::exists(dir / "created-elsewhere"));
    // A file left by an earlier save is replaced; a hard link to another file is not written
    // through.
    fs::create_hard_link(victim, target + ".~tmp");
    ASSERT_TRUE(tree.SaveToFile(target));
    EXPECT_EQ(ReadFile(victim), "keep me");
    EXPECT_EQ(ReadFile(target), tree.GetXML());
}

TEST(XmlFiles, OnlyRegularFilesAreRead)
{
    TempDir dir;
    const std::string fifo = (dir / "pipe.xml").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    TXmlDoc tree;
    EXPECT_FALSE(tree.LoadFromFile(fifo));  // no writer: would wait for ever if opened blocking
    EXPECT_FALSE(tree.LoadFromFile("/dev/zero"));
    EXPECT_FALSE(tree.LoadFromFile((dir / "").string()));
}

TEST(XmlText, CompressedValuesShareOneInflationBudgetPerDocument)
{
    // Three values, each inflating to 40000 bytes from a few hundred.
    TXmlDoc tree("t");
    for (int i = 0; i < 3; ++i) {
        TXmlDoc* v = tree.New("v" + std::to_string(i));
        v->SetValue(std::string(40000, char('a' + i)));
        v->SetEncType("zm");
    }
    const std::string xml = tree.GetXML();
    ASSERT_LT(xml.size(), 3000u);
    // Read whole, the document's budget (1 GiB) holds them all.
    auto whole = Parse(xml);
    EXPECT_EQ(whole->FindNode("v2")->GetValue(), std::string(40000, 'c'));
    EXPECT_EQ(UnitCodecs::TInflateBudget::Left(), std::numeric_limits<size_t>::max());  // closed again
    // With a smaller budget around the reading, the values past it are refused: the budget is
    // spent across values, not granted anew to each.
    {
        const UnitCodecs::TInflateBudget budget(100000);
        auto capped = Parse(xml);
        EXPECT_EQ(capped->FindNode("v0")->GetValue(), std::string(40000, 'a'));
        EXPECT_EQ(capped->FindNode("v1")->GetValue(), std::string(40000, 'b'));
        EXPECT_EQ(capped->FindNode("v2")->GetValue(), "");
        EXPECT_EQ(UnitCodecs::TInflateBudget::Left(), 20000u);
    }
}
