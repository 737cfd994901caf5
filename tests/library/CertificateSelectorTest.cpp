// The selector's rules over scripted stores and a scripted dialog: the real stores and the GTK
// dialog plug into the same seams.
#include "library/UnitCertificateSelector.h"

#include "library/dorvik.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

const std::string CodeA(40, 'A');
const std::string CodeB(40, 'B');
const std::string CodeC(40, 'C');

void AddEntry(TXmlDoc& list, const std::string& name, const std::string& code)
{
    TXmlDoc* entry = list.New("Tag");
    entry->SetName("Certificate");
    entry->Setp("Name", name);
    entry->Setp("Code", code);
    entry->Setp("Store", "2");
}

class Selector : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {"DORVIK_SELECT", "DISPLAY", "WAYLAND_DISPLAY"})
            ::unsetenv(name);
        using namespace UnitCertificateSelector;
        SetCertificateLister([this](TXmlDoc& list, bool signers) {
            ++Listings;
            if (signers) {
                AddEntry(list, "Zed Signer", CodeB);
                AddEntry(list, "Ana Signer", CodeA);
            } else {
                AddEntry(list, "Ana Signer again", CodeA);  // also a signer: listed once, as signer
                AddEntry(list, "Other Person", CodeC);
            }
            return !signers || !FailSigners;
        });
        SetChainMounter([this](TXmlDoc& entry, TXmlDoc& target) {
            MountedFor = entry.Getp("Code");
            MountedStore = entry.Getp("Store");
            TXmlDoc* cert = target.New("Tag");
            cert->SetName("Certificate");
            cert->Setp("Name", entry.Getp("Name"));
            return true;
        });
        SetDialogRunner([this](TXmlDoc& list) {
            Shown = list.GetNodeCount();
            ShownOrigin = list.Getp("Origin");
            return DialogChoice;
        });
    }
    void TearDown() override
    {
        using namespace UnitCertificateSelector;
        SetCertificateLister(nullptr);
        SetChainMounter(nullptr);
        SetDialogRunner(nullptr);
        for (const char* name : {"DORVIK_SELECT", "DISPLAY", "WAYLAND_DISPLAY"})
            ::unsetenv(name);
    }

    std::string Select(int32_t size = 100)
    {
        std::string buffer(static_cast<size_t>(size) + 1, '#');
        Result = SelectSignerCertificate(buffer.data(), size);
        return buffer;
    }

    int Listings = 0;
    bool FailSigners = false;
    int DialogChoice = -1;
    int Shown = -1;
    std::string ShownOrigin = "(not shown)";
    int32_t Result = -1;
    std::string MountedFor, MountedStore;
};

}  // namespace

TEST_F(Selector, ListsSignersThenOthersEachCodeOnce)
{
    TCertificatePrompter prompter;
    prompter.Execute();
    TXmlDoc& list = prompter.List();
    ASSERT_EQ(list.GetNodeCount(), 3);
    EXPECT_EQ(list.ChildAt(0)->Getp("Code"), CodeB);
    EXPECT_EQ(list.ChildAt(1)->Getp("Name"), "Ana Signer");
    EXPECT_EQ(list.ChildAt(2)->Getp("Code"), CodeC);
    EXPECT_EQ(prompter.Selection(), "<Certificates/>");
}

TEST_F(Selector, UnattendedRule)
{
    ::setenv("DORVIK_SELECT", "first", 1);
    EXPECT_EQ(Select().substr(0, 41), CodeB + '\0');
    EXPECT_EQ(Result, 1);
    ::setenv("DORVIK_SELECT", std::string(40, 'c').c_str(), 1);  // codes compare without case
    EXPECT_EQ(Select().substr(0, 41), CodeC + '\0');
    ::setenv("DORVIK_SELECT", "cancel", 1);
    EXPECT_EQ(Select(), std::string(101, '#'));
    EXPECT_EQ(Result, 0);
    ::setenv("DORVIK_SELECT", std::string(40, 'D').c_str(), 1);
    Select();
    EXPECT_EQ(Result, 0);
    EXPECT_EQ(Shown, -1);  // the rule never falls back to the dialog
}

TEST_F(Selector, DialogOnlyWithADisplay)
{
    DialogChoice = 2;
    Select();
    EXPECT_EQ(Result, 0);
    EXPECT_EQ(Shown, -1);
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    EXPECT_EQ(Select().substr(0, 41), CodeC + '\0');
    EXPECT_EQ(Shown, 3);
    DialogChoice = -1;  // cancelled
    Select();
    EXPECT_EQ(Result, 0);
    DialogChoice = 7;  // out of range
    Select();
    EXPECT_EQ(Result, 0);
}

TEST_F(Selector, CodeMustFitTheCallersSize)
{
    ::setenv("DORVIK_SELECT", "first", 1);
    EXPECT_EQ(Select(40), CodeB + '\0');
    EXPECT_EQ(Result, 1);
    EXPECT_EQ(Select(39), std::string(40, '#'));
    EXPECT_EQ(Result, 0);
    EXPECT_EQ(SelectSignerCertificate(nullptr, 100), 0);
}

TEST_F(Selector, AcceptedEntryCarriesItsChain)
{
    ::setenv("DORVIK_SELECT", CodeA.c_str(), 1);
    TCertificatePrompter prompter;
    prompter.Execute();
    EXPECT_EQ(MountedFor, CodeA);
    EXPECT_EQ(MountedStore, "2");  // the chain is built while the entry still names its store
    auto selection = TXmlDoc::CreateFromXML(prompter.Selection());
    ASSERT_TRUE(selection);
    ASSERT_EQ(selection->GetNodeCount(), 1);
    TXmlDoc* entry = selection->ChildAt(0);
    EXPECT_EQ(entry->Getp("Code"), CodeA);
    EXPECT_EQ(entry->FindProperty("Store"), nullptr);
    EXPECT_EQ(entry->FindProperty("Signer"), nullptr);
    ASSERT_TRUE(entry->HasNode("Chain"));
    EXPECT_EQ(entry->FindNode("Chain")->GetNodeCount(), 1);
}

TEST_F(Selector, FailingStoreStillOffersWhatWasFound)
{
    FailSigners = true;
    ::setenv("DORVIK_SELECT", "first", 1);
    EXPECT_EQ(Select().substr(0, 40), CodeB);
    EXPECT_EQ(Listings, 2);
}

TEST_F(Selector, NothingListedNothingChosen)
{
    UnitCertificateSelector::SetCertificateLister([](TXmlDoc&, bool) { return true; });
    ::setenv("DORVIK_SELECT", "first", 1);
    Select();
    EXPECT_EQ(Result, 0);
}

TEST_F(Selector, TheOriginOfARequestReachesTheDialogAndChangesNothingElse)
{
    ::setenv("DISPLAY", ":999", 1);
    DialogChoice = 0;
    std::string buffer(101, '#');
    Result = SelectSignerCertificateFor("https://example.gov.br", buffer.data(), 100);
    EXPECT_EQ(Result, 1);
    EXPECT_EQ(ShownOrigin, "https://example.gov.br");
    EXPECT_EQ(buffer.substr(0, 41), CodeB + '\0');  // the first entry listed, as without an origin

    // Without one (or a null one) the dialog is shown as before: no "Origin" on the list.
    const std::string plain = Select();
    EXPECT_EQ(Result, 1);
    EXPECT_EQ(plain.substr(0, 41), CodeB + '\0');
    EXPECT_EQ(ShownOrigin, "");
    ShownOrigin = "(not shown)";
    EXPECT_EQ(SelectSignerCertificateFor(nullptr, buffer.data(), 100), 1);
    EXPECT_EQ(ShownOrigin, "");
}
