// The library's desktop windows, drawn with GTK 3: the certificate selector, the token PIN
// prompt and the certificate viewer. GTK is initialised only when one of them is first needed
// and only when a display is present; without DISPLAY or WAYLAND_DISPLAY nothing here touches it.
#pragma once

#include "core/UnitXmlDoc.h"

namespace UnitGtkDialogs {

// Plugs the windows into the selector, the PIN prompt and the certificate display. Called when
// the library is loaded; does nothing without a display.
void Install();

// Whether GTK has been initialised in this process.
bool Initialised();

// Handles the window system's pending events (closing windows, repaints) without waiting;
// a no-op while GTK was never initialised.
void DispatchPending();

// Runs the certificate selector over the "Certificates" list (entries carry "Signer" "1" for
// the user's own certificates). Returns the index of the accepted entry or -1. An empty list
// shows the information message instead.
int RunCertificateDialog(TXmlDoc& list);

// The line the selector shows above the list for a request made on behalf of origin (the list's
// "Origin" property): text 0025 of the selector's table with the origin in place of "%s", the
// origin without control characters and cut to 100 characters. Empty for an empty origin.
std::string OriginLine(const std::string& origin);

}  // namespace UnitGtkDialogs
