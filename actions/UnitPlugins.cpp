#include "actions/UnitPlugins.h"

#include "core/UnitStatusWords.h"
#include "actions/UnitCryptActions.h"
#include "actions/UnitSysInfo.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitTrace.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <exception>
#include <mutex>

namespace UnitPlugins {

using namespace UnitPlugActions;

namespace {

// Date and time to the millisecond, and a sequence number for plugins made in the same one.
std::string UniqueName()
{
    static std::atomic<unsigned> sequence{0};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    UnitXmlDoc::DecodeDateTime(UnitXmlDoc::Now(), year, month, day, hour, minute, second, milli);
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%03d-%u", year, month, day, hour, minute, second, milli,
                  ++sequence);
    return text;
}

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

}  // namespace

void CreateBuiltinActions(TActionRegistry& registry)
{
    const auto add = [&](std::unique_ptr<TPlugAction> action, std::string_view identifier) {
        TPlugAction& adopted = registry.Adopt(std::move(action));
        registry.Register(IdApiQuery, adopted);
        registry.Register(identifier, adopted);
    };
    add(std::make_unique<UnitCryptActions::TCryptActionCreateCredential>(), IdCreateCredential);
    add(std::make_unique<UnitCryptActions::TCryptActionDecryptData>(), IdDecryptData);
    add(std::make_unique<UnitCryptActions::TCryptActionEncryptData>(), IdEncryptData);
    add(std::make_unique<UnitCryptActions::TCryptActionHash>(), IdHash);
    add(std::make_unique<UnitCryptActions::TCapicomActionDecryptData>(), IdDecryptData);
    add(std::make_unique<UnitSysInfo::TSysInfoAction>(), IdSystemInformation);
}

TPlugin::TPlugin() : FName(UniqueName()) {}

bool TPlugin::Call(int32_t code, void* data, int32_t* length, int32_t* status, TXmlDoc* response)
{
    TXmlDoc temporary("Response");
    TXmlDoc& target = response ? *response : temporary;
    if (FEntry == nullptr) {
        RecordStatus(target, Words::PluginProcError, "no entry function");
        return false;
    }
    *status = StatusNotHandled;
    try {
        FEntry(code, data, length, status);
    } catch (...) {
        // An entry function of this process written in C++ may still raise.
        const std::string message = ExceptionText(std::current_exception());
        FErrors.New("E")->Setp("Message", message);
        RecordStatus(target, Words::PluginProcError, message);
        return false;
    }
    if (*status == StatusNotHandled || *status < StatusLowestValid) {
        const std::string negated = std::to_string(-static_cast<int64_t>(*status));
        FErrors.New("E")->Setp("Code", negated);
        RecordStatus(target, Words::PluginProcInvalidResponse, negated);
        return false;
    }
    return true;
}

bool TPlugin::Connect(TPlugins& owner, TEntryFunction entry)
{
    FOwner = &owner;
    FEntry = entry;
    int32_t length = 0;
    int32_t status = 0;
    if (!Call(CodeLoad, nullptr, &length, &status, nullptr) || status != StatusHandled)
        return false;
    TXmlDoc request{std::string(IdApiQuery)};
    TXmlDoc response("Response");
    if (!Execute(request, &response))
        return false;
    if (TXmlDoc* api = response.FindNode("API"))
        for (int i = 0; i < api->GetNodeCount(); ++i)
            owner.RegisterApi(api->ChildAt(static_cast<size_t>(i))->GetName(), *this);
    return true;
}

void TPlugin::Disconnect()
{
    if (FEntry != nullptr) {
        int32_t length = 0;
        int32_t status = 0;
        Call(CodeUnload, nullptr, &length, &status, nullptr);
    }
    FOwner = nullptr;
    FEntry = nullptr;
}

bool TPlugin::Execute(TXmlDoc& request, TXmlDoc* response)
{
    TXmlDoc temporary("Response");
    TXmlDoc& target = response ? *response : temporary;
    std::string text = request.GetXML();
    if (text.size() >= static_cast<size_t>(INT32_MAX)) {
        RecordStatus(target, Words::FailedToCallPlugin);
        return false;
    }
    int32_t length = static_cast<int32_t>(text.size());
    int32_t status = 0;
    const bool called = Call(CodeRequest, text.data(), &length, &status, &target);
    WipeText(text);
    if (!called) {
        RecordStatus(target, Words::FailedToCallPlugin);
        return false;
    }
    if (status < 0 || response == nullptr)
        return true;
    if (length < 0) {
        RecordStatus(target, Words::FailedToGetPluginResponse);
        return false;
    }
    std::string buffer(static_cast<size_t>(length) + 1, '\0');
    int32_t fetchLength = length;
    int32_t fetchStatus = 0;
    if (!Call(status, buffer.data(), &fetchLength, &fetchStatus, &target)) {
        RecordStatus(target, Words::FailedToGetPluginResponse);
        WipeText(buffer);
        return false;
    }
    if (fetchStatus != StatusHandled) {
        RecordStatus(target, Words::WrongPluginResponse);
        WipeText(buffer);
        return false;
    }
    target.SetXML(std::string_view(buffer.data(), static_cast<size_t>(length)));
    WipeText(buffer);
    return true;
}

bool TPluginBuiltin::Execute(TXmlDoc& request, TXmlDoc* response)
{
    return FRegistry.RunActions(request, response);
}

TPlugins::~TPlugins()
{
    for (auto& [name, plugin] : FPlugins)
        plugin->Disconnect();
}

std::string TPlugins::Add(std::unique_ptr<TPlugin> plugin, TEntryFunction entry)
{
    if (!plugin->Connect(*this, entry)) {
        for (auto& [identifier, plugins] : FApi)
            std::erase(plugins, plugin.get());
        return {};
    }
    std::string name = plugin->Name();
    FPlugins.emplace(name, std::move(plugin));
    return name;
}

std::string TPlugins::AddBuiltin(TActionRegistry& registry, TEntryFunction entry)
{
    return Add(std::make_unique<TPluginBuiltin>(registry), entry);
}

std::string TPlugins::AddPlugin(TEntryFunction entry)
{
    return Add(std::make_unique<TPlugin>(), entry);
}

bool TPlugins::Execute(std::string_view pluginName, TXmlDoc& request, TXmlDoc* response)
{
    TPlugin* plugin = Find(pluginName);
    if (plugin == nullptr) {
        if (response != nullptr)
            response->Setp("Status", std::string(Words::PluginNotFound));
        return false;
    }
    return plugin->Execute(request, response);
}

void TPlugins::RegisterApi(const std::string& identifier, TPlugin& plugin)
{
    std::vector<TPlugin*>& plugins = FApi[identifier];
    if (std::find(plugins.begin(), plugins.end(), &plugin) == plugins.end())
        plugins.push_back(&plugin);
}

std::vector<TPlugin*> TPlugins::PluginsFor(std::string_view identifier) const
{
    const auto it = FApi.find(identifier);
    return it == FApi.end() ? std::vector<TPlugin*>() : it->second;
}

TPlugin* TPlugins::Find(std::string_view name) const
{
    const auto it = FPlugins.find(name);
    return it == FPlugins.end() ? nullptr : it->second.get();
}

std::optional<std::string> RunPluginRequest(std::string_view requestXml)
{
    TXmlDoc root;
    TXmlDoc* request = root.New("Request");
    request->SetXML(requestXml);
    TXmlDoc* response = root.New("Response");
    TPlugins plugins;
    const std::string name = plugins.AddBuiltin(Registry(), LibraryEntry);
    std::optional<std::string> text;
    if (!name.empty() && plugins.Execute(name, *request, response))
        text = response->GetXML();
    WipeTree(root);
    return text;
}

void Register()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (Registry().Empty())
            CreateBuiltinActions(Registry());
    });
}

}  // namespace UnitPlugins
