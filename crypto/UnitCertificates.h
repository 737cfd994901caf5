// Certificates and private keys of the user: found by code in the certificate stores (the NSS
// database and its tokens) or loaded from PKCS#12, listed for the selector, chained, exported,
// added to and removed from stores, and used to sign. Every operation reports success as its
// result and never throws; what went wrong is appended to the diagnostic text.
#pragma once

#include "core/UnitXmlDoc.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace UnitCertificates {

// The diagnostic text: messages joined with ", ". For diagnosis only; callers do not read it.
const std::string& Diagnostic();

// Resolves the reference (attributes "Code"/"Store", "FileName"/"FilePwd", "Data"/"Pwd"/"Local")
// and copies "Name", "Code", "Store" of the signing certificate listed under its "Code".
bool LocateSignerCertificate(TXmlDoc& reference);
// Fills `list` with one "Certificate" child ("Name", "Code", "Store") per certificate of the
// current user's "MY" store that has a key (signers) or of its "Other People" store; "User"
// receives the count listed; children sorted by "Name", duplicates removed.
bool ListCertificates(TXmlDoc& list, bool signers);
// The chain, end-entity first, as "Certificate" children ("Name", "Data" base64) of target, or,
// without target, as the XML text of a "Chain" node in the reference's "Chain" attribute.
bool MountCertificateChain(TXmlDoc& reference, TXmlDoc* target = nullptr);
// Sets the reference's "Data" to the certificate in base64.
bool ExportCertificate(TXmlDoc& reference);
// Shows the certificate in a window (through the display hook).
bool DisplayCertificate(TXmlDoc& reference);
bool DisplayCertificateData(std::string_view data);
bool IsCertificateInStore(std::string_view code, bool localMachine, bool root);
// True only when the call changed the store.
bool SetCertificateInStore(TXmlDoc& reference, bool localMachine, bool root, bool remove);
bool DecryptEnvelopedData(std::string_view message, std::string& content, TXmlDoc* recipients);
// PKCS#1 v1.5 signature (big-endian hex) with the key of the referenced certificate: token keys
// sign the digest, keys loaded from PKCS#12 hash the content themselves.
bool SignWithCertificateKey(TXmlDoc& reference, std::span<const uint8_t> content, std::string_view digestHex,
                            std::string_view digestOid, std::string& signatureHex);

// How a certificate is shown to the user (a window once the dialogs are in place). Receives
// the certificate's DER; returns whether it could be shown.
using TDisplayHook = std::function<bool(std::span<const uint8_t> der)>;
void SetDisplayHook(TDisplayHook hook);

}  // namespace UnitCertificates
