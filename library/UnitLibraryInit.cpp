// Set-up done when the library is loaded: its resource bag and language, and the desktop
// windows. (Nothing else is installed here: the exports convert with the library's table,
// crypto/UnitLibraryEncodings.h, and the file helpers of core expand path macros themselves.
// The process-wide callbacks that remain are listed in platform/UnitCallbacks.h.)
#include "library/UnitGtkDialogs.h"
#include "resources/UnitResourceBag.h"
#include "resources/UnitResources.h"

namespace {

struct TLibraryInit {
    TLibraryInit()
    {
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
