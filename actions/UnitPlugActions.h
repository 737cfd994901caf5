// Actions addressed by OIDs: a request is an XML tree whose root element is named with an
// action identifier; every action registered under that identifier gets the request and fills
// the response. The registry also keeps the responses of requests that came through the entry
// function until their caller fetches them by ticket.
#pragma once

#include "core/UnitXmlDoc.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace UnitPlugActions {

// Every identifier lies under this arc.
inline constexpr std::string_view IdArc = "1.3.6.1.4.1.61524.3.1.2.1.1";
inline constexpr std::string_view IdApiQuery = "1.3.6.1.4.1.61524.3.1.2.1.1.1.1";
// The name of the child each action adds under "API" when asked the API query.
inline constexpr std::string_view IdApiAnswer = "1.3.6.1.4.1.61524.3.1.2.1.1.6";
inline constexpr std::string_view IdCreateCredential = "1.3.6.1.4.1.61524.3.1.2.1.1.6.1";
inline constexpr std::string_view IdDecryptData = "1.3.6.1.4.1.61524.3.1.2.1.1.6.2";
inline constexpr std::string_view IdEncryptData = "1.3.6.1.4.1.61524.3.1.2.1.1.6.3";
inline constexpr std::string_view IdHash = "1.3.6.1.4.1.61524.3.1.2.1.1.6.4";
inline constexpr std::string_view IdSystemInformation = "1.3.6.1.4.1.61524.3.1.2.1.1.6.5";

// Status codes of actions and of the entry protocol.
inline constexpr int32_t StatusNotHandled = 0;
inline constexpr int32_t StatusHandled = -1;
inline constexpr int32_t StatusLowestValid = -1000;  // anything lower is an error code
inline constexpr int32_t FirstTicket = 1001;

// Entry protocol codes; codes from 1000 up fetch a stored response by its ticket.
inline constexpr int32_t CodeLoad = 1;
inline constexpr int32_t CodeUnload = 2;
inline constexpr int32_t CodeRequest = 101;
inline constexpr int32_t CodeFirstFetch = 1000;

// The shape of an entry function: (code, data, length in and out, status out).
using TEntryFunction = void (*)(int32_t code, void* data, int32_t* length, int32_t* status);

class TPlugAction {
public:
    virtual ~TPlugAction() = default;
    // 0 not handled, -1 handled, anything else stops the walk over the identifier's actions.
    virtual int32_t Execute(TXmlDoc& request, TXmlDoc& response);

protected:
    // The answer every action gives to the API query; true when the request was that query.
    static bool AnswerApiQuery(const TXmlDoc& request, TXmlDoc& response);
};

// Sets "Status" (and "Message" when given) on the response unless it already has a "Status".
void RecordStatus(TXmlDoc& response, std::string_view word, std::string_view message = {});

// The value of the request's child `name`; empty when the child is absent.
const std::string& ChildValue(const TXmlDoc& request, std::string_view name);
// Adds a result child whose value is written raw with its length ("_enctype" "length").
TXmlDoc* AddDataChild(TXmlDoc& response, const std::string& name, std::string value);
// Overwrites a text with "0" characters and empties it.
void WipeText(std::string& text) noexcept;
// Wipes every value and property value of a tree (requests and responses carry keys, passwords
// and decrypted content) before it is let go.
void WipeTree(TXmlDoc& tree) noexcept;

struct TRunResult {
    int32_t Status = StatusNotHandled;  // the ticket when a response was stored
    int32_t Length = 0;                 // the stored response's length, when one was stored
    bool Stored = false;
};

class TActionRegistry {
public:
    TActionRegistry() = default;
    ~TActionRegistry();
    TActionRegistry(const TActionRegistry&) = delete;
    TActionRegistry& operator=(const TActionRegistry&) = delete;

    // The registry owns its actions ("Plugs"); registering lists one under an identifier.
    TPlugAction& Adopt(std::unique_ptr<TPlugAction> action);
    void Register(std::string_view identifier, TPlugAction& action);
    void Unregister(std::string_view identifier, TPlugAction& action);
    std::vector<TPlugAction*> ActionsFor(std::string_view identifier) const;
    bool Empty() const noexcept { return FPlugs.empty(); }

    // Runs a request given as XML text and stores its response under a new ticket when an
    // action handled it and the response holds anything.
    TRunResult RunRequest(std::string_view xml);
    // Runs the actions of the request's identifier on the given response (a temporary one when
    // none): true unless an action answered an error code or raised.
    bool RunActions(TXmlDoc& request, TXmlDoc* response);

    // The entry protocol on this registry. Never throws.
    void Entry(int32_t code, void* data, int32_t* length, int32_t* status) noexcept;

    int32_t LastTicket() const noexcept { return FLast; }
    void SetLastTicket(int32_t last) noexcept { FLast = last; }
    size_t StoredCount() const noexcept { return FResponses.size(); }
    bool HasStored(int32_t ticket) const { return FResponses.count(ticket) != 0; }

private:
    int32_t Store(std::string text);
    int32_t Fetch(int32_t ticket, char* buffer, int32_t length);

    std::map<std::string, std::vector<TPlugAction*>, std::less<>> FActions;
    int32_t FLast = 0;
    std::map<int32_t, std::string> FResponses;
    std::vector<std::unique_ptr<TPlugAction>> FPlugs;
};

// The process-wide registry, created on first use and freed when the library unloads.
TActionRegistry& Registry();

// The library's own entry function: the entry protocol on the process-wide registry.
void LibraryEntry(int32_t code, void* data, int32_t* length, int32_t* status) noexcept;

}  // namespace UnitPlugActions
