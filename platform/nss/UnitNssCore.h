// The NSS session behind the certificate stores: one process-wide initialisation of the
// current user's database, the local machine's database opened beside it on demand, the
// token PIN callback, and the owners and error helpers the other NSS units share.
#pragma once

#include "platform/UnitSecrets.h"

#include <cert.h>
#include <cms.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <secitem.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace UnitNssCore {

// Every failure of the certificate and key layer; what() is a clean message, the NSS or
// OpenSSL detail goes to the trace.
class ENssError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TNssFree {
    void operator()(CERTCertificate* p) const noexcept { CERT_DestroyCertificate(p); }
    void operator()(CERTCertList* p) const noexcept { CERT_DestroyCertList(p); }
    void operator()(CERTCertificateList* p) const noexcept { CERT_DestroyCertificateList(p); }
    void operator()(SECKEYPrivateKey* p) const noexcept { SECKEY_DestroyPrivateKey(p); }
    void operator()(SECKEYPublicKey* p) const noexcept { SECKEY_DestroyPublicKey(p); }
    void operator()(PK11SlotInfo* p) const noexcept { PK11_FreeSlot(p); }
    void operator()(PK11SlotList* p) const noexcept { PK11_FreeSlotList(p); }
    void operator()(SECItem* p) const noexcept { SECITEM_FreeItem(p, PR_TRUE); }
    void operator()(PLArenaPool* p) const noexcept { PORT_FreeArena(p, PR_FALSE); }
    void operator()(NSSCMSMessage* p) const noexcept { NSS_CMSMessage_Destroy(p); }
    void operator()(char* p) const noexcept { PORT_Free(p); }
};
template <class T> using TNssPtr = std::unique_ptr<T, TNssFree>;

// PINs and passwords (platform/UnitSecrets.h).
using UnitSecrets::TSecretString;

// Asked for a token's PIN; `retry` is true when the previous answer was refused. No value
// means the user cancelled.
using TPinPrompt = std::function<std::optional<TSecretString>(std::string_view tokenName, bool retry)>;

// Installs the prompt (the desktop dialog) and returns the previous one. Without a prompt,
// and whenever DORVIK_PIN is set, the PIN comes from DORVIK_PIN (unattended use).
TPinPrompt SetPinPrompt(TPinPrompt prompt);

// Traces "<operation>: <NSS error name>" and throws ENssError(message).
[[noreturn]] void ThrowNss(std::string_view operation, std::string_view message);
// Traces the OpenSSL error queue (leaving it empty) and throws ENssError(message).
// Traces the operation with the errors OpenSSL queued for it (the queue is emptied).
void TraceOpenSslErrors(std::string_view operation);
[[noreturn]] void ThrowOpenSsl(std::string_view operation, std::string_view message);

// Opens the current user's database ($HOME/.pki/nssdb, created empty without a password
// when missing) unless that is done already. Throws when NSS cannot start.
void EnsureInitialized();
// Whether the token layer is (or now becomes) usable; never throws.
bool IsTokenLayerReady() noexcept;
// Closes every database; false when objects still hold NSS references (NSS stays up then).
bool Shutdown() noexcept;

std::string UserDatabaseDirectory();
std::string MachineDatabaseDirectory();

// The current user's software token (borrowed; valid until Shutdown).
PK11SlotInfo* UserSlot();
// The local machine's database as an extra token, opened on first use (borrowed).
PK11SlotInfo* MachineSlot();
// Whether the machine slot is open already (listing the user's store must not open it).
PK11SlotInfo* MachineSlotIfOpen() noexcept;


// Base64 with whitespace and "-----" armour lines ignored; nullopt when it is not Base64.
std::optional<std::vector<uint8_t>> DecodeBase64Text(std::string_view text);

}  // namespace UnitNssCore
