#define DORVIK_BUILDING
#include "library/UnitCertificateSelector.h"

#include "library/dorvik.h"
#include "platform/UnitTrace.h"

#if DORVIK_HAVE_CERTIFICATE_STORES
#include "crypto/UnitCertificates.h"
#endif

#include <cstdlib>
#include <cstring>
#include <set>

using UnitTrace::Trace;

namespace UnitCertificateSelector {

namespace {

bool StoreLister(TXmlDoc& list, bool signers)
{
#if DORVIK_HAVE_CERTIFICATE_STORES
    return UnitCertificates::ListCertificates(list, signers);
#else
    (void)list;
    (void)signers;
    Trace("Certificate stores are not available in this build");
    return false;
#endif
}

bool StoreChainMounter(TXmlDoc& entry, TXmlDoc& target)
{
#if DORVIK_HAVE_CERTIFICATE_STORES
    return UnitCertificates::MountCertificateChain(entry, &target);
#else
    (void)entry;
    (void)target;
    return false;
#endif
}

TCertificateLister& Lister()
{
    static TCertificateLister lister = StoreLister;
    return lister;
}

TChainMounter& Mounter()
{
    static TChainMounter mounter = StoreChainMounter;
    return mounter;
}

TDialogRunner& Runner()
{
    static TDialogRunner runner;
    return runner;
}

}  // namespace

bool DisplayAvailable()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

void SetCertificateLister(TCertificateLister lister)
{
    Lister() = lister ? std::move(lister) : TCertificateLister(StoreLister);
}

void SetChainMounter(TChainMounter mounter)
{
    Mounter() = mounter ? std::move(mounter) : TChainMounter(StoreChainMounter);
}

void SetDialogRunner(TDialogRunner runner)
{
    Runner() = std::move(runner);
}

}  // namespace UnitCertificateSelector

TCertificatePrompter::TCertificatePrompter() : FLanguage("pt")
{
}

TCertificatePrompter::TCertificatePrompter(std::string origin) : FLanguage("pt"), FOrigin(std::move(origin))
{
}

void TCertificatePrompter::FillList()
{
    using namespace UnitCertificateSelector;
    std::set<std::string, TNameLess> codes;
    for (bool signers : {true, false}) {
        TXmlDoc group("Certificates");
        // A store that fails still gives the entries found before the failure.
        Lister()(group, signers);
        for (int i = 0; i < group.GetNodeCount(); ++i) {
            const TXmlDoc* entry = group.ChildAt(static_cast<size_t>(i));
            const TXmlDoc* code = entry->FindProperty("Code");
            if (!code || code->GetValue().empty() || !codes.insert(code->GetValue()).second)
                continue;
            TXmlDoc* copy = FList.NewFromClone(*entry);
            copy->Setp("Signer", signers ? "1" : "0");
        }
    }
}

int TCertificatePrompter::Choose()
{
    if (const char* rule = std::getenv("DORVIK_SELECT"); rule && *rule) {
        const std::string_view choice(rule);
        if (UnitXmlDoc::SameText(choice, "cancel"))
            return -1;
        if (UnitXmlDoc::SameText(choice, "first"))
            return 0;
        for (int i = 0; i < FList.GetNodeCount(); ++i)
            if (UnitXmlDoc::SameText(FList.ChildAt(static_cast<size_t>(i))->Getp("Code"), choice))
                return i;
        Trace("DORVIK_SELECT names no listed certificate");
        return -1;
    }
    auto& runner = UnitCertificateSelector::Runner();
    if (!runner || !UnitCertificateSelector::DisplayAvailable()) {
        Trace("No display for the certificate dialog");
        return -1;
    }
    const int chosen = runner(FList);
    return chosen >= 0 && chosen < FList.GetNodeCount() ? chosen : -1;
}

void TCertificatePrompter::Accept(int index)
{
    const TXmlDoc* focused = FList.ChildAt(static_cast<size_t>(index));
    TXmlDoc selection("Certificates");
    TXmlDoc* entry = selection.NewFromClone(*focused);
    entry->DeleteProperty("Signer");
    if (!entry->HasNode("Chain")) {
        TXmlDoc* chain = entry->New("Chain");
        if (!UnitCertificateSelector::Mounter()(*entry, *chain))
            Trace("The chain of " + entry->Getp("Code") + " could not be mounted");
        entry->DeleteProperty("Chain");
        entry->DeleteProperty("Store");
    }
    selection.SortNodes(false, "Name");
    FSelection = selection.GetXML();
}

void TCertificatePrompter::Execute()
{
    FillList();
    if (!FOrigin.empty())
        FList.Setp("Origin", FOrigin);
    if (FList.GetNodeCount() == 0) {
        Trace("No certificates available");
        // The person at the desktop is told there is nothing to choose.
        const char* rule = std::getenv("DORVIK_SELECT");
        auto& runner = UnitCertificateSelector::Runner();
        if ((!rule || !*rule) && runner && UnitCertificateSelector::DisplayAvailable())
            runner(FList);
        return;
    }
    const int chosen = Choose();
    if (chosen >= 0)
        Accept(chosen);
}

namespace {

int32_t SelectFor(std::string origin, char* buffer, int32_t size)
{
    try {
        Trace("Prompting certificate selector");
        TCertificatePrompter prompter(std::move(origin));
        prompter.Execute();
        const auto selection = TXmlDoc::CreateFromXML(prompter.Selection());
        std::string code;
        if (selection && selection->GetNodeCount() == 1)
            code = selection->ChildAt(0)->Getp("Code");
        Trace("Selected " + code);
        if (code.empty() || !buffer || size < 0 || code.size() > static_cast<size_t>(size))
            return 0;
        Trace("Moving " + code);
        std::memcpy(buffer, code.c_str(), code.size() + 1);
        Trace("Moved");
        return 1;
    } catch (...) {
        Trace("SelectSignerCertificate: the selection failed");
        return 0;
    }
}

}  // namespace

extern "C" DORVIK_API int32_t SelectSignerCertificate(char* buffer, int32_t size) noexcept
{
    return SelectFor({}, buffer, size);
}

extern "C" DORVIK_API int32_t SelectSignerCertificateFor(const char* origin, char* buffer, int32_t size) noexcept
{
    try {
        return SelectFor(origin ? std::string(origin) : std::string(), buffer, size);
    } catch (...) {
        return 0;
    }
}
