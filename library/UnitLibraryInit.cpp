// Set-up done when the library is loaded: the encodings implemented above the encoding layer
// are plugged into it, the CMS builder into the ASN.1 encoder, and file names of trees go
// through the path macros.
#include "actions/UnitPlugins.h"
#include "core/UnitLocalUtils.h"
#include "core/UnitXmlDoc.h"
#include "crypto/UnitAsn1.h"
#include "crypto/UnitSignedData.h"
#include "library/UnitGtkDialogs.h"
#include "resources/UnitResourceBag.h"
#include "resources/UnitResources.h"

namespace {

struct TLibraryInit {
    TLibraryInit()
    {
        TXmlDoc::SetFileNameExpander([](const std::string& name) { return UnitLocalUtils::LocalFileName(name); });
        UnitAsn1::RegisterEncodings();
        UnitSignedData::Register();
        // The built-in actions, and number 16 that runs requests through them.
        UnitPlugins::Register();
        // The texts and pictures travel inside the library; its language is Portuguese.
        UnitResources::SetCentre(std::make_unique<TResourceCentre>(UnitResourceBag::BagResource()));
        UnitResources::Centre()->SetLanguage("pt");
        // The desktop windows, only where there is a desktop.
        UnitGtkDialogs::Install();
    }
    ~TLibraryInit() { UnitResources::SetCentre(nullptr); }
};

const TLibraryInit Init;

}  // namespace
