// Plugins reached through an entry function, and the registry of plugins. The library's own
// actions are one such plugin, the built-in one, whose requests run the registered actions
// directly. Encoding number 16 runs a request through a fresh plugin registry.
#pragma once

#include "actions/UnitPlugActions.h"
#include "core/UnitXmlDoc.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace UnitPlugins {

class TPlugins;

class TPlugin {
public:
    TPlugin();
    virtual ~TPlugin() = default;
    TPlugin(const TPlugin&) = delete;
    TPlugin& operator=(const TPlugin&) = delete;

    // Loads the plugin (code 1 must answer -1) and asks it the API query; each identifier it
    // reports is listed under the owner's "API" branch. True when both steps succeed.
    bool Connect(TPlugins& owner, UnitPlugActions::TEntryFunction entry);
    void Disconnect();
    // Sends the request through the entry function and, when a response is wanted and the
    // plugin stored one, fetches it into `response`. False with a failure word in the response.
    virtual bool Execute(TXmlDoc& request, TXmlDoc* response);

    const std::string& Name() const noexcept { return FName; }
    TPlugins* Owner() const noexcept { return FOwner; }
    // Failures of calls: items "E" with "Message" (the plugin raised) or "Code".
    const TXmlDoc& Errors() const noexcept { return FErrors; }

protected:
    // One call of the entry function; false when it raised or answered 0 or an error code.
    bool Call(int32_t code, void* data, int32_t* length, int32_t* status, TXmlDoc* response);

private:
    std::string FName;
    TPlugins* FOwner = nullptr;
    UnitPlugActions::TEntryFunction FEntry = nullptr;
    TXmlDoc FErrors{"Errors"};
};

// The library's own actions as a plugin: its entry function is the library's, and its requests
// run the actions of a registry directly.
class TPluginBuiltin : public TPlugin {
public:
    explicit TPluginBuiltin(UnitPlugActions::TActionRegistry& registry) : FRegistry(registry) {}
    bool Execute(TXmlDoc& request, TXmlDoc* response) override;

private:
    UnitPlugActions::TActionRegistry& FRegistry;
};

class TPlugins {
public:
    TPlugins() = default;
    ~TPlugins();
    TPlugins(const TPlugins&) = delete;
    TPlugins& operator=(const TPlugins&) = delete;

    // Connects a built-in plugin over `registry` with `entry` and returns its name; the empty
    // name when it did not connect.
    std::string AddBuiltin(UnitPlugActions::TActionRegistry& registry, UnitPlugActions::TEntryFunction entry);
    // Adds a plugin reached through an entry function; the empty name when it did not connect.
    std::string AddPlugin(UnitPlugActions::TEntryFunction entry);
    bool Execute(std::string_view pluginName, TXmlDoc& request, TXmlDoc* response);

    void RegisterApi(const std::string& identifier, TPlugin& plugin);
    // The plugins that reported an identifier.
    std::vector<TPlugin*> PluginsFor(std::string_view identifier) const;
    TPlugin* Find(std::string_view name) const;

private:
    std::string Add(std::unique_ptr<TPlugin> plugin, UnitPlugActions::TEntryFunction entry);

    std::map<std::string, std::unique_ptr<TPlugin>, std::less<>> FPlugins;
    std::map<std::string, std::vector<TPlugin*>, std::less<>> FApi;
};

// Runs a request given as XML text through a fresh plugin registry holding the built-in plugin
// of the process-wide action registry: the XML text of the response, or no value.
std::optional<std::string> RunPluginRequest(std::string_view requestXml);

// The library's actions in their order: create credential, decrypt (crypto library), encrypt,
// hash, decrypt (enveloped data), system information; each under the API query and its own
// identifier.
void CreateBuiltinActions(UnitPlugActions::TActionRegistry& registry);

// Creates the built-in actions in the process-wide registry (once). Number 16 of the library's
// table (actions/UnitActionEncodings.h) and the plugin entry call it before they run.
void Register();

}  // namespace UnitPlugins
