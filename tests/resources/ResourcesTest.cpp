// The resource centre: the library's own bag, the language fallback, the picture cache, string
// table entries, providers and external files in their order.
#include "resources/UnitResourceBag.h"
#include "resources/UnitResources.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace fs = std::filesystem;

namespace {

std::string ReadSource(const std::string& relative)
{
    std::ifstream in(std::string(DORVIK_SOURCE_DIR) + "/" + relative, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A bag made here with the tree writer and number 9, independent of the generator.
std::string MakeBag(const std::map<std::string, std::string>& children, std::string_view terminator = "\r\n.\r\n")
{
    TXmlDoc tree("Resources");
    for (const auto& [id, value] : children) {
        TXmlDoc* child = tree.New(id);
        child->SetValue(value);
        child->SetEncType("length");
    }
    return UnitEncoding::EncodeText(tree.GetXML(), 9) + std::string(terminator);
}

// Counts the identifiers it is asked for; answers only those it holds.
class TCountingProvider : public TResourceProvider {
public:
    std::map<std::string, int>& Asked;
    std::map<std::string, std::string> Texts;
    std::map<std::string, TBytes> Streams;
    explicit TCountingProvider(std::map<std::string, int>& asked) : Asked(asked) {}
    bool Text(const std::string& id, std::string& text) override
    {
        ++Asked["T:" + id];
        auto it = Texts.find(id);
        if (it == Texts.end())
            return false;
        text = it->second;
        return true;
    }
    bool Stream(const std::string& id, TBytes& bytes) override
    {
        ++Asked["S:" + id];
        auto it = Streams.find(id);
        if (it == Streams.end())
            return false;
        bytes = it->second;
        return true;
    }
};

struct TScratchFolder {
    fs::path Path;
    TScratchFolder()
    {
        Path = fs::temp_directory_path() / ("dorvik-res-" + std::to_string(::getpid()) + "-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::create_directories(Path);
    }
    ~TScratchFolder() { fs::remove_all(Path); }
    void Write(const std::string& name, std::string_view content) const
    {
        std::ofstream(Path / name, std::ios::binary) << content;
    }
    std::string Folder() const { return Path.string() + "/"; }
};

}  // namespace

TEST(ResourceBag, TheLibrarysBagHoldsTheSelectorTextsInPortuguese)
{
    TResourceCentre centre(UnitResourceBag::BagResource());
    ASSERT_TRUE(centre.BagLoaded());
    centre.SetLanguage("pt");
    std::string id;
    const std::string text = centre.TextIn("DerovArazCertificateSelector", "pt", "", &id);
    EXPECT_EQ(id, "PT_TXT_DEROVARAZCERTIFICATESELECTOR");
    EXPECT_NE(text.find("0001=Seleção de certificados digitais"), std::string::npos);

    TResourceStringTable& table = centre.StringTable("DerovArazCertificateSelector");
    EXPECT_EQ(table.Identifier(), "PT_TXT_DEROVARAZCERTIFICATESELECTOR");
    EXPECT_EQ(table.Entry(1), "Seleção de certificados digitais");
    EXPECT_EQ(table.Entry(2), "Não há certificados digitais disponíveis neste momento.");
    EXPECT_EQ(table.Entry(11), "Aplicar");
    EXPECT_EQ(table.Entry(12), "Cancelar");
    EXPECT_EQ(table.Entry(23), "Meus certificados");
    EXPECT_EQ(table.Entry(24), "Outros certificados digitais");
    const std::string question = table.Entry(3);
    EXPECT_EQ(question.find("{cr}"), std::string::npos);
    EXPECT_NE(question.find("fatores.\r\n\r\nAceitar e utilizar"), std::string::npos);
    EXPECT_TRUE(question.ends_with("mesmo sem completar a verificação?"));
}

TEST(ResourceBag, PicturesComeFromTheNeutralLanguageAndThenFromTheCache)
{
    TResourceCentre centre(UnitResourceBag::BagResource());
    centre.SetLanguage("pt");
    std::map<std::string, int> asked;
    centre.AddProvider(std::make_unique<TCountingProvider>(asked));

    TResourcePicture picture;
    ASSERT_TRUE(centre.Picture("DerovArazCertificateSelectorPrompt", "BMP", picture, "PT"));
    const std::string file = ReadSource("resources/pictures/XX_BMP_DEROVARAZCERTIFICATESELECTORPROMPT.bmp");
    EXPECT_EQ(std::string(picture.Bytes.begin(), picture.Bytes.end()), file);
    EXPECT_EQ(picture.Format, "BMP");
    EXPECT_EQ(picture.Width, 32);
    EXPECT_EQ(picture.Height, 32);
    // Tried under the Portuguese identifier first, found under the neutral one.
    EXPECT_EQ(asked["S:PT_BMP_DEROVARAZCERTIFICATESELECTORPROMPT"], 2);  // given language, then current
    EXPECT_EQ(asked["S:XX_BMP_DEROVARAZCERTIFICATESELECTORPROMPT"], 1);
    EXPECT_EQ(centre.CachedPictures(), 1u);

    TResourcePicture again;
    ASSERT_TRUE(centre.Picture("DerovArazCertificateSelectorPrompt", "BMP", again));
    EXPECT_EQ(again.Bytes, picture.Bytes);
    EXPECT_EQ(asked["S:XX_BMP_DEROVARAZCERTIFICATESELECTORPROMPT"], 1) << "the second request must use the cache";
    EXPECT_EQ(centre.CachedPictures(), 1u);

    TResourcePicture icon;
    ASSERT_TRUE(centre.Picture("DerovArazCertificateSelectorPrompt", "ICO", icon));
    EXPECT_EQ(icon.Format, "ICO");
    EXPECT_EQ(icon.Width, 16);

    TResourcePicture untouched;
    untouched.Format = "keep";
    EXPECT_FALSE(centre.Picture("NoSuchPicture", "BMP", untouched));
    EXPECT_EQ(untouched.Format, "keep");
}

TEST(ResourceBag, TextFallsBackToTheNeutralLanguage)
{
    TResourceCentre centre(MakeBag({{"XX_TXT_ONLYNEUTRAL", "neutral"}, {"PT_TXT_BOTH", "pt"}, {"XX_TXT_BOTH", "xx"}}));
    centre.SetLanguage("pt");
    EXPECT_EQ(centre.Text("OnlyNeutral"), "neutral");
    EXPECT_EQ(centre.TextIn("OnlyNeutral", "pt"), "");
    EXPECT_EQ(centre.Text("Both"), "pt");
    EXPECT_EQ(centre.StringTable("Both", "xx").Identifier(), "XX_TXT_BOTH");
    // A language that has nothing falls back to the current one.
    EXPECT_EQ(centre.StringTable("Both", "de").Identifier(), "PT_TXT_BOTH");
    EXPECT_EQ(centre.StringTable("OnlyNeutral").Identifier(), "XX_TXT_ONLYNEUTRAL");
    EXPECT_EQ(centre.Text("Missing"), "");
}

TEST(ResourceBag, TheTerminatorEndsTheEncodedTextAndDamageEmptiesTheBag)
{
    EXPECT_TRUE(TResourceCentre(MakeBag({{"XX_TXT_A", "a"}})).BagLoaded());
    EXPECT_TRUE(TResourceCentre(MakeBag({{"XX_TXT_A", "a"}}, "\r\n.trailing junk that is not base64 !!")).BagLoaded());
    EXPECT_TRUE(TResourceCentre(MakeBag({{"XX_TXT_A", "a"}}, "")).BagLoaded()) << "no terminator: the whole text";

    std::string damaged = MakeBag({{"XX_TXT_A", "a"}});
    damaged[damaged.size() / 2] = damaged[damaged.size() / 2] == 'A' ? 'B' : 'A';
    TResourceCentre broken(damaged);
    EXPECT_FALSE(broken.BagLoaded());
    EXPECT_FALSE(TResourceCentre("not a bag\r\n.\r\n").BagLoaded());
    EXPECT_FALSE(TResourceCentre(UnitEncoding::EncodeText("<Other><XX_TXT_A>a</XX_TXT_A></Other>", 9)).BagLoaded());

    // The other sources still answer.
    std::map<std::string, int> asked;
    auto provider = std::make_unique<TCountingProvider>(asked);
    provider->Texts["XX_TXT_A"] = "from provider";
    broken.AddProvider(std::move(provider));
    broken.SetLanguage("pt");
    EXPECT_EQ(broken.Text("a"), "from provider");
}

TEST(ResourceBag, AGarbledPictureIsNotFound)
{
    TResourceCentre centre(MakeBag({{"XX_BMP_BROKEN", "mime64:/" + UnitEncoding::EncodeText("BM but not a bitmap", 7)},
                                    {"XX_BMP_EMPTY", "mime64:/"}}));
    TResourcePicture picture;
    EXPECT_FALSE(centre.Picture("Broken", "BMP", picture));
    EXPECT_FALSE(centre.Picture("Empty", "BMP", picture));
    EXPECT_EQ(centre.CachedPictures(), 0u);
}

TEST(ResourceSources, FilesComeBeforeProvidersWhichComeBeforeTheBag)
{
    TScratchFolder folder;
    TResourceCentre centre(MakeBag({{"PT_TXT_GREETING", "bag"}, {"PT_TXT_FAREWELL", "bag"}, {"PT_TXT_NOTE", "bag"}}));
    centre.SetLanguage("pt");
    std::map<std::string, int> asked;
    auto provider = std::make_unique<TCountingProvider>(asked);
    provider->Texts["PT_TXT_GREETING"] = "provider";
    provider->Texts["PT_TXT_FAREWELL"] = "provider";
    centre.AddProvider(std::move(provider));

    folder.Write("PT_TXT_GREETING.txt", "file");
    // Without search folders the files are never consulted.
    EXPECT_EQ(centre.Text("Greeting"), "provider");
    centre.SetSearchFolders(folder.Path.string());
    EXPECT_EQ(centre.Text("Greeting"), "file");
    EXPECT_EQ(centre.Text("Farewell"), "provider");
    EXPECT_EQ(centre.Text("Note"), "bag");
}

TEST(ResourceSources, FileNamesAndTheListingMask)
{
    TScratchFolder folder;
    TScratchFolder second;
    TResourceCentre centre;
    centre.SetLanguage("pt");
    centre.SetSearchFolders(folder.Folder() + "," + second.Folder());

    second.Write("PT_TXT_MEMO.res", "res form");
    EXPECT_EQ(centre.Text("Memo"), "res form") << "every folder of the list is searched";
    folder.Write("PT_TXT_DRAFT-2024.txt", "listed");
    folder.Write("PT_TXT_OTHER-2024.xml", "not this kind");
    EXPECT_EQ(centre.Text("Other"), "");
    EXPECT_EQ(centre.Text("Draft"), "listed") << "the name[*].ext listing";
    folder.Write("PT_LETTER.TXT", "language and name");
    EXPECT_EQ(centre.Text("Letter"), "language and name");
    folder.Write("PT_SQL_QUERY.sql", "select 1");
    EXPECT_EQ(centre.Text("Query"), "select 1") << "the extension list replaces the kind";

    // The bare name is a candidate only for the neutral language.
    folder.Write("Banner.txt", "neutral file");
    EXPECT_EQ(centre.TextIn("Banner", "pt"), "");
    EXPECT_EQ(centre.TextIn("Banner", "xx"), "neutral file");
    EXPECT_EQ(centre.Text("Banner"), "neutral file");

    folder.Write("XX_BMP_LOGO.bmp", ReadSource("resources/pictures/XX_BMP_DEROVARAZCERTIFICATESELECTORCERTIFICATE.bmp"));
    TResourcePicture picture;
    ASSERT_TRUE(centre.Picture("Logo", "BMP", picture));
    EXPECT_EQ(picture.Width, 16);
}

TEST(StringTable, EntriesByNumberAndByName)
{
    EXPECT_EQ(TResourceStringTable::KeyOf(23), "0023");
    EXPECT_EQ(TResourceStringTable::KeyOf(7), "0007");
    EXPECT_EQ(TResourceStringTable::KeyOf(12345), "2345");

    const TResourceStringTable table("PT_TXT_T",
                                     "0023=twenty-three\r\nName=a=b\nlines=one{cr}two{CR}three\r\n"
                                     "marks=a{Tab}b{SPACE}c{crx}\n0001=first\n0001=second\nbare\n");
    EXPECT_EQ(table.Entry(23), "twenty-three");
    EXPECT_EQ(table.Entry("NAME"), "a=b") << "names without regard to case, value after the first =";
    EXPECT_EQ(table.Entry("lines"), "one\r\ntwo\r\nthree");
    EXPECT_EQ(table.Entry("marks"), "a\tb c{crx}");
    EXPECT_EQ(table.Entry(1), "first");
    EXPECT_EQ(table.Entry("bare"), "");
    EXPECT_EQ(table.Entry(99), "");
    EXPECT_EQ(table.Entry("missing"), "");
}

TEST(StringTable, TheCentreKeepsEveryTableItHandsOut)
{
    TResourceCentre centre(MakeBag({{"XX_TXT_T", "0001=x"}}));
    TResourceStringTable& first = centre.StringTable("T");
    TResourceStringTable& second = centre.StringTable("T");
    EXPECT_NE(&first, &second);
    EXPECT_EQ(first.Entry(1), "x");
    EXPECT_EQ(second.Entry(1), "x");
    EXPECT_EQ(centre.StringTable("Absent").Count(), 0u);
}

TEST(Pictures, FormatsAreCheckedBeforeTheyAreHandedOut)
{
    TResourcePicture picture;
    EXPECT_FALSE(UnitResources::LoadPicture({}, picture));
    EXPECT_FALSE(UnitResources::LoadPicture(TBytes(64, 0), picture));
    const std::string bmp = ReadSource("resources/pictures/XX_BMP_DEROVARAZCERTIFICATESELECTORCERTIFICATE.bmp");
    TBytes truncated(bmp.begin(), bmp.begin() + 40);
    EXPECT_FALSE(UnitResources::LoadPicture(truncated, picture)) << "header cut short";
    const std::string ico = ReadSource("resources/pictures/XX_ICO_DEROVARAZCERTIFICATESELECTORPROMPT.ico");
    TBytes cut(ico.begin(), ico.begin() + 100);
    EXPECT_FALSE(UnitResources::LoadPicture(cut, picture)) << "image data past the end";
    ASSERT_TRUE(UnitResources::LoadPicture(TBytes(ico.begin(), ico.end()), picture));
    EXPECT_EQ(picture.Format, "ICO");
    EXPECT_EQ(picture.Height, 16);
}
