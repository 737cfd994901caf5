#include "platform/nss/UnitNssCore.h"

#include "platform/UnitTrace.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <prerror.h>
#include <secmod.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>
#include <unistd.h>

namespace UnitNssCore {

namespace {

struct TSession {
    std::mutex FLock;
    std::mutex FPromptLock;
    bool FInitialized = false;
    bool FFailed = false;
    TNssPtr<PK11SlotInfo> FUserSlot;
    TNssPtr<PK11SlotInfo> FMachineSlot;
    SECMODModule* FRootsModule = nullptr;
    TPinPrompt FPrompt;
};

TSession& Session()
{
    static TSession session;
    return session;
}

std::string ErrorName()
{
    const PRErrorCode code = PORT_GetError();
    const char* name = PORT_ErrorToName(code);
    return name ? std::string(name) : "error " + std::to_string(code);
}

bool IsWritableDirectory(const std::string& dir)
{
    return ::access(dir.c_str(), W_OK | X_OK) == 0;
}

// NSS hands us the slot whose login it needs; what we return it wipes and frees itself.
char* PasswordCallback(PK11SlotInfo* slot, PRBool retry, void*) noexcept
try {
    const char* tokenName = slot ? PK11_GetTokenName(slot) : "";
    if (const char* fromEnvironment = std::getenv("DORVIK_PIN")) {
        // A refused unattended PIN is not offered again: tokens lock after a few failures.
        if (retry)
            return nullptr;
        return PORT_Strdup(fromEnvironment);
    }
    TPinPrompt prompt;
    {
        std::lock_guard guard(Session().FPromptLock);
        prompt = Session().FPrompt;
    }
    if (!prompt)
        return nullptr;
    std::optional<TSecretString> pin = prompt(tokenName ? tokenName : "", retry == PR_TRUE);
    if (!pin)
        return nullptr;
    return PORT_Strdup(pin->Text().c_str());
} catch (...) {
    UnitTrace::Trace("NSS password callback: the PIN prompt failed");
    return nullptr;
}

bool HasRootsModule()
{
    TNssPtr<PK11SlotList> slots(PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr));
    if (!slots)
        return false;
    for (PK11SlotListElement* element = slots->head; element; element = element->next)
        if (PK11_HasRootCerts(element->slot))
            return true;
    return false;
}

void InitializeLocked(TSession& session)
{
    const std::string dir = UserDatabaseDirectory();
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!error)
        std::filesystem::permissions(
            dir, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace, error);
    const std::string config = "sql:" + dir;
    // The system's trust anchors are loaded below as a session module, so that opening the
    // user's database never registers anything in it.
    PRUint32 flags = NSS_INIT_NOROOTINIT | NSS_INIT_OPTIMIZESPACE;
    if (!IsWritableDirectory(dir))
        flags |= NSS_INIT_READONLY;
    if (NSS_Initialize(config.c_str(), "", "", SECMOD_DB, flags) != SECSuccess) {
        session.FFailed = true;
        ThrowNss("NSS_Initialize " + config, "The certificate database cannot be opened");
    }
    PK11_SetPasswordFunc(PasswordCallback);
    session.FUserSlot.reset(PK11_GetInternalKeySlot());
    if (session.FUserSlot && PK11_NeedUserInit(session.FUserSlot.get())
        && !PK11_IsReadOnly(session.FUserSlot.get())) {
        // A fresh database gets an empty password, as `certutil -N --empty-password` does.
        if (PK11_InitPin(session.FUserSlot.get(), nullptr, "") != SECSuccess)
            UnitTrace::Trace("PK11_InitPin: " + ErrorName());
    }
    if (!HasRootsModule()) {
        char moduleConfig[] = "name=\"System trust anchors\" library=\"libnssckbi.so\"";
        SECMODModule* roots = SECMOD_LoadUserModule(moduleConfig, nullptr, PR_FALSE);
        if (roots && roots->loaded)
            session.FRootsModule = roots;
        else {
            UnitTrace::Trace("libnssckbi.so: system trust anchors not loaded");
            if (roots)
                SECMOD_DestroyModule(roots);
        }
    }
    session.FInitialized = true;
    session.FFailed = false;
}

}  // namespace

TPinPrompt SetPinPrompt(TPinPrompt prompt)
{
    std::lock_guard guard(Session().FPromptLock);
    return std::exchange(Session().FPrompt, std::move(prompt));
}

void ThrowNss(std::string_view operation, std::string_view message)
{
    UnitTrace::Trace(std::string(operation) + ": " + ErrorName());
    throw ENssError(std::string(message));
}

void TraceOpenSslErrors(std::string_view operation)
{
    std::string line(operation);
    while (const unsigned long code = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        line += "; ";
        line += text;
    }
    UnitTrace::Trace(line);
}

void ThrowOpenSsl(std::string_view operation, std::string_view message)
{
    TraceOpenSslErrors(operation);
    throw ENssError(std::string(message));
}

void EnsureInitialized()
{
    TSession& session = Session();
    std::lock_guard guard(session.FLock);
    if (!session.FInitialized)
        InitializeLocked(session);
}

bool IsTokenLayerReady() noexcept
try {
    EnsureInitialized();
    return true;
} catch (...) {
    return false;
}

bool Shutdown() noexcept
{
    TSession& session = Session();
    std::lock_guard guard(session.FLock);
    if (!session.FInitialized)
        return true;
    session.FUserSlot.reset();
    session.FMachineSlot.reset();
    if (session.FRootsModule) {
        SECMOD_UnloadUserModule(session.FRootsModule);
        SECMOD_DestroyModule(session.FRootsModule);
        session.FRootsModule = nullptr;
    }
    if (NSS_Shutdown() != SECSuccess) {
        UnitTrace::Trace("NSS_Shutdown: " + ErrorName());
        return false;
    }
    session.FInitialized = false;
    return true;
}

std::string UserDatabaseDirectory()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        throw ENssError("The home folder is not known");
    return std::string(home) + "/.pki/nssdb";
}

std::string MachineDatabaseDirectory()
{
    // Tests point this elsewhere; a real installation keeps the shared database here.
    if (const char* dir = std::getenv("DORVIK_MACHINE_NSSDB"); dir && *dir)
        return dir;
    return "/etc/pki/nssdb";
}

PK11SlotInfo* UserSlot()
{
    EnsureInitialized();
    std::lock_guard guard(Session().FLock);
    if (!Session().FUserSlot)
        throw ENssError("The certificate database has no software token");
    return Session().FUserSlot.get();
}

PK11SlotInfo* MachineSlot()
{
    EnsureInitialized();
    TSession& session = Session();
    std::lock_guard guard(session.FLock);
    if (session.FMachineSlot)
        return session.FMachineSlot.get();
    const std::string dir = MachineDatabaseDirectory();
    if (dir.find('\'') != std::string::npos || dir.find('"') != std::string::npos)
        throw ENssError("The local machine certificate database path is not usable");
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!std::filesystem::is_directory(dir, error))
        throw ENssError("The local machine certificate database is not available");
    std::string moduleConfig = "configdir='sql:" + dir + "' tokenDescription='Local machine certificates'";
    if (!IsWritableDirectory(dir))
        moduleConfig += " flags=readOnly";
    TNssPtr<PK11SlotInfo> slot(SECMOD_OpenUserDB(moduleConfig.c_str()));
    if (!slot)
        ThrowNss("SECMOD_OpenUserDB " + dir, "The local machine certificate database cannot be opened");
    if (PK11_NeedUserInit(slot.get()) && !PK11_IsReadOnly(slot.get()))
        if (PK11_InitPin(slot.get(), nullptr, "") != SECSuccess)
            UnitTrace::Trace("PK11_InitPin (local machine): " + ErrorName());
    session.FMachineSlot = std::move(slot);
    return session.FMachineSlot.get();
}

PK11SlotInfo* MachineSlotIfOpen() noexcept
{
    std::lock_guard guard(Session().FLock);
    return Session().FMachineSlot.get();
}

std::optional<std::vector<uint8_t>> DecodeBase64Text(std::string_view text)
{
    std::string compact;
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(position, end - position);
        position = end + 1;
        if (line.substr(0, 5) == "-----")
            continue;
        for (char c : line) {
            if (c == ' ' || c == '\t' || c == '\r')
                continue;
            const bool valid = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
                || c == '+' || c == '/' || c == '=';
            if (!valid)
                return std::nullopt;
            compact.push_back(c);
        }
    }
    if (compact.empty() || compact.size() % 4 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes(compact.size() / 4 * 3);
    const int size = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(compact.data()),
        static_cast<int>(compact.size()));
    if (size < 0)
        return std::nullopt;
    size_t padding = 0;
    while (padding < 2 && compact[compact.size() - 1 - padding] == '=')
        ++padding;
    bytes.resize(static_cast<size_t>(size) - padding);
    return bytes;
}

}  // namespace UnitNssCore
