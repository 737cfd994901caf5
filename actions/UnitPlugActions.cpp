#include "actions/UnitPlugActions.h"

#include "core/UnitStatusWords.h"
#include "platform/UnitTrace.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>

namespace UnitPlugActions {

namespace {

std::string ExceptionText(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

bool HasContent(const TXmlDoc& node)
{
    return node.GetPropertyCount() > 0 || node.HasChildren() || node.HasValue();
}

}  // namespace

int32_t TPlugAction::Execute(TXmlDoc& /*request*/, TXmlDoc& /*response*/)
{
    return StatusNotHandled;
}

bool TPlugAction::AnswerApiQuery(const TXmlDoc& request, TXmlDoc& response)
{
    if (request.GetName() != IdApiQuery)
        return false;
    response.GetNode("API")->New(std::string(IdApiAnswer));
    response.Setp("Status", std::string(Words::OK));
    return true;
}

void RecordStatus(TXmlDoc& response, std::string_view word, std::string_view message)
{
    if (response.FindProperty("Status") != nullptr)
        return;
    response.Setp("Status", std::string(word));
    if (!message.empty())
        response.Setp("Message", std::string(message));
}

const std::string& ChildValue(const TXmlDoc& request, std::string_view name)
{
    static const std::string empty;
    const TXmlDoc* child = request.FindNode(name);
    return child ? child->GetValue() : empty;
}

TXmlDoc* AddDataChild(TXmlDoc& response, const std::string& name, std::string value)
{
    TXmlDoc* child = response.GetNode(name);
    child->SetValue(std::move(value));
    child->SetEncType("length");
    return child;
}

void WipeText(std::string& text) noexcept
{
    std::fill(text.begin(), text.end(), '0');
    // The stores must happen although the text is let go right after.
    asm volatile("" : : "r"(text.data()) : "memory");
    text.clear();
}

void WipeTree(TXmlDoc& tree) noexcept
{
    WipeText(const_cast<std::string&>(tree.GetValue()));
    for (int i = 0; i < tree.GetPropertyCount(); ++i)
        WipeText(const_cast<std::string&>(tree.GetPropertyByIndex(i)->GetValue()));
    for (size_t i = 0; TXmlDoc* child = tree.ChildAt(i); ++i)
        WipeTree(*child);
}

TActionRegistry::~TActionRegistry()
{
    // Stored responses may carry keys and decrypted content.
    for (auto& [ticket, text] : FResponses)
        WipeText(text);
}

TPlugAction& TActionRegistry::Adopt(std::unique_ptr<TPlugAction> action)
{
    FPlugs.push_back(std::move(action));
    return *FPlugs.back();
}

void TActionRegistry::Register(std::string_view identifier, TPlugAction& action)
{
    auto it = FActions.find(identifier);
    if (it == FActions.end())
        it = FActions.emplace(std::string(identifier), std::vector<TPlugAction*>()).first;
    it->second.push_back(&action);
}

void TActionRegistry::Unregister(std::string_view identifier, TPlugAction& action)
{
    const auto it = FActions.find(identifier);
    if (it == FActions.end())
        return;
    std::erase(it->second, &action);
    if (it->second.empty())
        FActions.erase(it);
}

std::vector<TPlugAction*> TActionRegistry::ActionsFor(std::string_view identifier) const
{
    const auto it = FActions.find(identifier);
    return it == FActions.end() ? std::vector<TPlugAction*>() : it->second;
}

TRunResult TActionRegistry::RunRequest(std::string_view xml)
{
    TXmlDoc request;
    request.SetXML(xml);
    TXmlDoc response("Response");
    TRunResult result;
    try {
        if (!request.GetName().empty()) {
            bool handled = false;
            bool stopped = false;
            // A copy: an action may register or unregister others while it runs.
            for (TPlugAction* action : ActionsFor(request.GetName())) {
                const int32_t status = action->Execute(request, response);
                if (status == StatusNotHandled)
                    continue;
                if (status == StatusHandled) {
                    handled = true;
                    continue;
                }
                result.Status = status;
                stopped = true;
                break;
            }
            if (!stopped)
                result.Status = handled ? StatusHandled : StatusNotHandled;
        }
    } catch (...) {
        const std::string message = ExceptionText(std::current_exception());
        UnitTrace::Trace("action " + request.GetName() + " raised: " + message);
        response.Setp("Status", std::string(Words::Error));
        response.Setp("Message", message);
        result.Status = StatusHandled;
    }
    if (result.Status == StatusHandled && HasContent(response)) {
        std::string text = response.GetXML();
        if (text.size() > static_cast<size_t>(INT32_MAX)) {
            // A length the protocol cannot carry: the response cannot be fetched.
            WipeText(text);
        } else {
            result.Length = static_cast<int32_t>(text.size());
            result.Status = Store(std::move(text));
            result.Stored = true;
        }
    }
    WipeTree(request);
    WipeTree(response);
    return result;
}

bool TActionRegistry::RunActions(TXmlDoc& request, TXmlDoc* response)
{
    TXmlDoc temporary("Response");
    TXmlDoc& target = response ? *response : temporary;
    bool outcome = true;
    try {
        for (TPlugAction* action : ActionsFor(request.GetName())) {
            const int32_t status = action->Execute(request, target);
            if (status == StatusNotHandled)
                continue;
            outcome = status == StatusHandled;
            if (!outcome)
                break;
        }
    } catch (...) {
        const std::string message = ExceptionText(std::current_exception());
        UnitTrace::Trace("action " + request.GetName() + " raised: " + message);
        target.Setp("Status", std::string(Words::Error));
        target.Setp("Message", message);
        return false;
    }
    return outcome;
}

int32_t TActionRegistry::Store(std::string text)
{
    if (FLast < CodeFirstFetch || FLast == INT32_MAX)
        FLast = CodeFirstFetch;
    ++FLast;
    auto [it, inserted] = FResponses.try_emplace(FLast);
    if (!inserted)
        WipeText(it->second);  // a ticket issued again after the wrap
    it->second = std::move(text);
    return FLast;
}

int32_t TActionRegistry::Fetch(int32_t ticket, char* buffer, int32_t length)
{
    const auto it = FResponses.find(ticket);
    if (it == FResponses.end() || buffer == nullptr || length < 0 ||
        it->second.size() != static_cast<size_t>(length))
        return StatusNotHandled;
    std::memcpy(buffer, it->second.data(), it->second.size());
    buffer[it->second.size()] = '\0';
    WipeText(it->second);
    FResponses.erase(it);
    return StatusHandled;
}

void TActionRegistry::Entry(int32_t code, void* data, int32_t* length, int32_t* status) noexcept
{
    int32_t result = StatusNotHandled;
    try {
        if (code == CodeLoad || code == CodeUnload) {
            result = StatusHandled;
        } else if (code == CodeRequest) {
            if (data != nullptr) {
                const char* text = static_cast<const char*>(data);
                // The text ends at its zero byte; a caller that gives its length is not read past it.
                const size_t size = (length != nullptr && *length > 0) ? strnlen(text, static_cast<size_t>(*length))
                                                                      : std::strlen(text);
                const TRunResult run = RunRequest(std::string_view(text, size));
                result = run.Status;
                if (run.Stored && length != nullptr)
                    *length = run.Length;
            }
        } else if (code >= CodeFirstFetch) {
            if (length != nullptr)
                result = Fetch(code, static_cast<char*>(data), *length);
        }
    } catch (...) {
        result = StatusNotHandled;
        try {
            UnitTrace::Trace("plugin entry " + std::to_string(code) + ": " + ExceptionText(std::current_exception()));
        } catch (...) {
        }
    }
    if (status != nullptr)
        *status = result;
}

TActionRegistry& Registry()
{
    static TActionRegistry registry;
    return registry;
}

void LibraryEntry(int32_t code, void* data, int32_t* length, int32_t* status) noexcept
{
    Registry().Entry(code, data, length, status);
}

}  // namespace UnitPlugActions
