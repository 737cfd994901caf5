// The process-wide callbacks of both deliverables, in one place. Everything else is wired by
// explicit dependencies: the file helpers of core expand path macros themselves
// (UnitLocalUtils::LocalFileName), each program converts with the table it names
// (UnitEncoding::TEncodingTable::Host() in kelvane, UnitLibraryEncodings::Table() in
// libdorvik.so), the ASN.1 encoder is handed its SIGNEDDATA builder by its caller, the CMS
// builder its HTTP client (platform/UnitHttp.h), and a TPDF gets its CMS maker through its
// constructor.
//
// What remains is a callback only because what it reaches is optional (a desktop, a trace
// file) or lives in the program above. Each one has a safe default, so a program that does
// not install it still behaves as documented, only without that optional part:
//
// | Callback                                  | Declared in                         | Installed by                                        | Without it                                  |
// |-------------------------------------------|-------------------------------------|-----------------------------------------------------|---------------------------------------------|
// | UnitTrace::SetHook                        | platform/UnitTrace.h                | kelvane's main() when KELVANE_TRACE_FILE is set     | trace lines are discarded                   |
// | UnitNssCore::SetPinPrompt                 | platform/nss/UnitNssCore.h          | UnitGtkDialogs::Install() (libdorvik.so load, desktop only) | DORVIK_PIN, else the token is not logged in |
// | UnitCertificateSelector::SetDialogRunner  | library/UnitCertificateSelector.h   | UnitGtkDialogs::Install() (desktop only)            | DORVIK_SELECT, else nothing is selected     |
// | UnitCertificateSelector::SetCertificateLister, SetChainMounter | library/UnitCertificateSelector.h | tests only (scripted stores) | the certificate stores                      |
// | UnitCertificates::SetDisplayHook          | crypto/UnitCertificates.h           | UnitGtkDialogs::Install() (desktop only)            | the certificate viewer is not shown         |
// | UnitResources::SetCentre                  | resources/UnitResources.h           | libdorvik.so load (library/UnitLibraryInit.cpp)     | no texts or pictures                        |
// | UnitMain::SetMessageDispatcher            | host/UnitMain.h                     | kelvane's main() (the library's DispatchPendingEvents) | no window events served between requests |
// | UnitMain::InstallSignalHandlers           | host/UnitMain.h                     | kelvane's main()                                    | default signal handling                     |
//
// The conversion status and the ASN.1 error word (encoding/UnitEncoding.h) are process-wide
// state, not callbacks.
#pragma once
