// The signing certificate selection: the user's certificates (signers first, then other
// people's, each code once), chosen in the dialog or, unattended, by DORVIK_SELECT.
#pragma once

#include "core/UnitXmlDoc.h"

#include <functional>
#include <string>

namespace UnitCertificateSelector {

// Lists the "Certificate" entries of the signers' (true) or other people's (false) store.
using TCertificateLister = std::function<bool(TXmlDoc& list, bool signers)>;
// Builds the entry's chain as "Certificate" children of target.
using TChainMounter = std::function<bool(TXmlDoc& entry, TXmlDoc& target)>;
// Runs the interactive dialog over the "Certificates" list (headings are not in it); the index of
// the accepted entry, or -1 when cancelled. Installed by the dialog layer. The list's "Origin"
// property, when not empty, names who asked for the signature (display text).
using TDialogRunner = std::function<int(TXmlDoc& list)>;

void SetCertificateLister(TCertificateLister lister);
void SetChainMounter(TChainMounter mounter);
void SetDialogRunner(TDialogRunner runner);
// Whether a dialog can be shown at all (DISPLAY or WAYLAND_DISPLAY set).
bool DisplayAvailable();

}  // namespace UnitCertificateSelector

class TCertificatePrompter {
public:
    TCertificatePrompter();
    // For a request made on behalf of origin (a web page's origin), shown in the dialog.
    explicit TCertificatePrompter(std::string origin);
    // Lists, lets the user (or DORVIK_SELECT) choose, and leaves the outcome in Selection.
    void Execute();
    const std::string& Selection() const { return FSelection; }
    // The listed entries, for inspection after Execute.
    TXmlDoc& List() { return FList; }

private:
    void FillList();
    int Choose();
    void Accept(int index);

    std::string FLanguage;
    std::string FOrigin;
    int FWidth = 780;
    int FHeight = 500;
    std::string FSelection = "<Certificates/>";
    std::string FLastPreviewed;
    TXmlDoc FList{"Certificates"};
};
