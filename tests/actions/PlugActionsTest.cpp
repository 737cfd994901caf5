// The action registry, the entry protocol and the plugins, with actions written for the tests
// beside the library's own ones.
#include "core/UnitStatusWords.h"
#include "actions/UnitPlugActions.h"
#include "actions/UnitActionEncodings.h"
#include "actions/UnitPlugins.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace UnitPlugActions;
using UnitPlugins::TPlugin;
using UnitPlugins::TPlugins;

namespace {

constexpr const char* TestId = "1.3.6.1.4.1.61524.3.1.2.1.1.9.9";

// An action that answers what its function says and notes that it ran.
class TScriptedAction : public TPlugAction {
public:
    TScriptedAction(std::vector<std::string>& log, std::string name, std::function<int32_t(TXmlDoc&, TXmlDoc&)> body)
        : FLog(log), FName(std::move(name)), FBody(std::move(body))
    {
    }
    int32_t Execute(TXmlDoc& request, TXmlDoc& response) override
    {
        FLog.push_back(FName);
        return FBody(request, response);
    }

private:
    std::vector<std::string>& FLog;
    std::string FName;
    std::function<int32_t(TXmlDoc&, TXmlDoc&)> FBody;
};

class ActionRegistry : public ::testing::Test {
protected:
    TPlugAction& Add(std::string name, std::function<int32_t(TXmlDoc&, TXmlDoc&)> body, const char* id = TestId)
    {
        TPlugAction& action = FRegistry.Adopt(std::make_unique<TScriptedAction>(FLog, std::move(name), std::move(body)));
        FRegistry.Register(id, action);
        return action;
    }
    static std::string Request(const char* id = TestId) { return std::string("<") + id + "><In>x</In></" + id + ">"; }

    // Fetches a stored response through the entry protocol.
    std::string Fetch(int32_t ticket, int32_t length)
    {
        std::string buffer(static_cast<size_t>(length) + 1, '\x7f');
        int32_t status = 99;
        FRegistry.Entry(ticket, buffer.data(), &length, &status);
        EXPECT_EQ(status, StatusHandled);
        EXPECT_EQ(buffer.back(), '\0');
        buffer.pop_back();
        return buffer;
    }

    TActionRegistry FRegistry;
    std::vector<std::string> FLog;
};

TEST_F(ActionRegistry, WalksTheIdentifiersActionsInRegistrationOrder)
{
    Add("a", [](TXmlDoc&, TXmlDoc&) { return 0; });
    Add("b", [](TXmlDoc&, TXmlDoc& r) { r.New("B"); return -1; });
    Add("c", [](TXmlDoc&, TXmlDoc&) { return 0; });
    Add("other", [](TXmlDoc&, TXmlDoc&) { return -1; }, "1.2.3");
    const TRunResult run = FRegistry.RunRequest(Request());
    EXPECT_EQ(FLog, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(run.Stored);
    EXPECT_EQ(run.Status, FirstTicket);
}

TEST_F(ActionRegistry, AnErrorCodeStopsTheWalkAndBecomesTheStatus)
{
    Add("a", [](TXmlDoc&, TXmlDoc& r) { r.New("A"); return -1; });
    Add("b", [](TXmlDoc&, TXmlDoc&) { return -2000; });
    Add("c", [](TXmlDoc&, TXmlDoc&) { return -1; });
    const TRunResult run = FRegistry.RunRequest(Request());
    EXPECT_EQ(FLog, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(run.Status, -2000);
    EXPECT_FALSE(run.Stored);
    EXPECT_EQ(FRegistry.StoredCount(), 0u);

    TXmlDoc request(TestId);
    TXmlDoc response("Response");
    EXPECT_FALSE(FRegistry.RunActions(request, &response));
}

TEST_F(ActionRegistry, NothingIsStoredForUnknownIdentifiersOrEmptyResponses)
{
    Add("empty", [](TXmlDoc&, TXmlDoc&) { return -1; });
    EXPECT_EQ(FRegistry.RunRequest(Request("1.2.3.4")).Status, StatusNotHandled);
    EXPECT_EQ(FRegistry.RunRequest("").Status, StatusNotHandled);
    // Handled, but with nothing to say: no ticket.
    const TRunResult run = FRegistry.RunRequest(Request());
    EXPECT_EQ(run.Status, StatusHandled);
    EXPECT_FALSE(run.Stored);
    EXPECT_EQ(FRegistry.StoredCount(), 0u);
    EXPECT_EQ(FRegistry.LastTicket(), 0);
}

TEST_F(ActionRegistry, AnActionThatRaisesAnswersErrorWithItsMessage)
{
    Add("a", [](TXmlDoc&, TXmlDoc& r) { r.New("Partial"); return -1; });
    Add("boom", [](TXmlDoc&, TXmlDoc&) -> int32_t { throw std::runtime_error("disk on fire"); });
    Add("never", [](TXmlDoc&, TXmlDoc&) { return -1; });
    const TRunResult run = FRegistry.RunRequest(Request());
    ASSERT_TRUE(run.Stored);
    EXPECT_EQ(FLog, (std::vector<std::string>{"a", "boom"}));
    auto response = TXmlDoc::CreateFromXML(Fetch(run.Status, run.Length));
    EXPECT_EQ(response->GetName(), "Response");
    EXPECT_EQ(response->Getp("Status"), "Error");
    EXPECT_EQ(response->Getp("Message"), "disk on fire");

    TXmlDoc request(TestId);
    TXmlDoc direct("Response");
    EXPECT_FALSE(FRegistry.RunActions(request, &direct));
    EXPECT_EQ(direct.Getp("Status"), "Error");
    EXPECT_EQ(direct.Getp("Message"), "disk on fire");
}

TEST_F(ActionRegistry, TicketsCountFrom1001AndWrapAfterTheLargestInteger)
{
    Add("a", [](TXmlDoc& q, TXmlDoc& r) { r.Setp("Echo", q.GetNode("In")->GetValue()); return -1; });
    EXPECT_EQ(FRegistry.RunRequest(Request()).Status, 1001);
    EXPECT_EQ(FRegistry.RunRequest(Request()).Status, 1002);
    EXPECT_EQ(FRegistry.RunRequest(Request()).Status, 1003);
    FRegistry.SetLastTicket(INT32_MAX - 1);
    EXPECT_EQ(FRegistry.RunRequest(Request()).Status, INT32_MAX);
    EXPECT_EQ(FRegistry.RunRequest(Request()).Status, 1001) << "after the largest 32-bit integer";
    FRegistry.SetLastTicket(-5);
    EXPECT_EQ(FRegistry.RunRequest(Request()).Status, 1001);
}

TEST_F(ActionRegistry, AWrongLengthFetchLeavesTheResponseForTheRightOne)
{
    Add("a", [](TXmlDoc&, TXmlDoc& r) { r.New("Result")->SetValue("value"); return -1; });
    const TRunResult run = FRegistry.RunRequest(Request());
    ASSERT_TRUE(run.Stored);
    for (int32_t wrong : {run.Length - 1, run.Length + 1, 0}) {
        std::string buffer(static_cast<size_t>(run.Length) + 2, 'x');
        int32_t length = wrong;
        int32_t status = 99;
        FRegistry.Entry(run.Status, buffer.data(), &length, &status);
        EXPECT_EQ(status, StatusNotHandled) << wrong;
        EXPECT_EQ(buffer, std::string(buffer.size(), 'x')) << "nothing copied";
        EXPECT_TRUE(FRegistry.HasStored(run.Status));
    }
    const std::string text = Fetch(run.Status, run.Length);
    EXPECT_NE(text.find("<Result>value</Result>"), std::string::npos) << text;
    EXPECT_FALSE(FRegistry.HasStored(run.Status));
    // Fetched once: gone.
    int32_t length = run.Length;
    int32_t status = 99;
    std::string buffer(static_cast<size_t>(run.Length) + 1, '\0');
    FRegistry.Entry(run.Status, buffer.data(), &length, &status);
    EXPECT_EQ(status, StatusNotHandled);
}

TEST_F(ActionRegistry, EntryCodes)
{
    Add("a", [](TXmlDoc&, TXmlDoc& r) { r.New("R"); return -1; });
    int32_t length = 0;
    int32_t status = 99;
    for (int32_t code : {1, 2}) {
        FRegistry.Entry(code, nullptr, &length, &status);
        EXPECT_EQ(status, -1) << code;
    }
    for (int32_t code : {0, 3, 100, 102, 999, -1, INT32_MIN}) {
        status = 99;
        FRegistry.Entry(code, nullptr, &length, &status);
        EXPECT_EQ(status, 0) << code;
    }
    // A request: the ticket in the status and the length of the stored text.
    std::string request = Request();
    length = static_cast<int32_t>(request.size());
    FRegistry.Entry(CodeRequest, request.data(), &length, &status);
    EXPECT_EQ(status, 1001);
    EXPECT_GT(length, 0);
    // Not handled: status 0, the length left as it was.
    std::string unknown = Request("1.2.3");
    length = 12345;
    FRegistry.Entry(CodeRequest, unknown.data(), &length, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(length, 12345);
    // A caller's length bounds a text that has no zero byte in it.
    std::string unterminated = Request() + "garbage";
    length = static_cast<int32_t>(Request().size());
    FRegistry.Entry(CodeRequest, unterminated.data(), &length, &status);
    EXPECT_EQ(status, 1002);
    // Fetch of a ticket that was never issued, and without a buffer.
    FRegistry.Entry(5000, nullptr, &length, &status);
    EXPECT_EQ(status, 0);
    FRegistry.Entry(1001, nullptr, &length, &status);
    EXPECT_EQ(status, 0);
    FRegistry.Entry(CodeRequest, nullptr, &length, &status);
    EXPECT_EQ(status, 0);
    FRegistry.Entry(CodeRequest, request.data(), nullptr, nullptr);
}

TEST_F(ActionRegistry, UnregisteredActionsNoLongerRun)
{
    TPlugAction& a = Add("a", [](TXmlDoc&, TXmlDoc&) { return -1; });
    Add("b", [](TXmlDoc&, TXmlDoc&) { return -1; });
    FRegistry.Unregister(TestId, a);
    FRegistry.RunRequest(Request());
    EXPECT_EQ(FLog, (std::vector<std::string>{"b"}));
}

TEST_F(ActionRegistry, RunningDirectlyUsesATemporaryResponseWhenNoneIsGiven)
{
    Add("a", [](TXmlDoc&, TXmlDoc& r) { r.New("R"); return 0; });
    Add("b", [](TXmlDoc&, TXmlDoc& r) { r.New("R"); return -1; });
    TXmlDoc request(TestId);
    EXPECT_TRUE(FRegistry.RunActions(request, nullptr));
    EXPECT_EQ(FLog.size(), 2u);
    TXmlDoc nobody("1.2.3");
    EXPECT_TRUE(FRegistry.RunActions(nobody, nullptr)) << "no action: nothing went wrong";
}

// ---- plugins over the entry protocol

// The registry the test entry functions below speak for.
TActionRegistry* EntryRegistry = nullptr;
void RegistryEntry(int32_t code, void* data, int32_t* length, int32_t* status)
{
    EntryRegistry->Entry(code, data, length, status);
}
// Only the test's own request and response are tampered with, not the API query of the connection.
bool Holds(void* data, std::string_view part)
{
    return data != nullptr && std::string_view(static_cast<const char*>(data)).find(part) != std::string_view::npos;
}
void RaisingEntry(int32_t code, void* data, int32_t* length, int32_t* status)
{
    if (code == CodeRequest && Holds(data, "<In>"))
        throw std::runtime_error("plugin crashed");
    RegistryEntry(code, data, length, status);
}
void InvalidEntry(int32_t code, void* data, int32_t* length, int32_t* status)
{
    RegistryEntry(code, data, length, status);
    if (code == CodeRequest && Holds(data, "<In>"))
        *status = -4242;
}
void WrongFetchEntry(int32_t code, void* data, int32_t* length, int32_t* status)
{
    RegistryEntry(code, data, length, status);
    if (code >= CodeFirstFetch && Holds(data, "<Echo>"))
        *status = 7;
}
void FailingFetchEntry(int32_t code, void* data, int32_t* length, int32_t* status)
{
    RegistryEntry(code, data, length, status);
    if (code >= CodeFirstFetch && Holds(data, "<Echo>"))
        *status = 0;
}
void RefusingLoadEntry(int32_t code, void* data, int32_t* length, int32_t* status)
{
    RegistryEntry(code, data, length, status);
    if (code == CodeLoad)
        *status = 0;
}

class Plugins : public ActionRegistry {
protected:
    void SetUp() override
    {
        EntryRegistry = &FRegistry;
        Add("api", [](TXmlDoc& q, TXmlDoc& r) {
            if (q.GetName() != IdApiQuery)
                return 0;
            r.GetNode("API")->New(TestId);
            return -1;
        }, std::string(IdApiQuery).c_str());
        Add("echo", [](TXmlDoc& q, TXmlDoc& r) { r.New("Echo")->SetValue(q.GetNode("In")->GetValue()); return -1; });
    }
    void TearDown() override { EntryRegistry = nullptr; }

    static std::unique_ptr<TXmlDoc> TestRequest()
    {
        auto request = std::make_unique<TXmlDoc>(TestId);
        request->New("In")->SetValue("a<b & \"c\"");
        return request;
    }
};

TEST_F(Plugins, APluginRunsRequestsThroughItsEntryFunction)
{
    TPlugins plugins;
    const std::string name = plugins.AddPlugin(RegistryEntry);
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(plugins.PluginsFor(TestId), std::vector<TPlugin*>{plugins.Find(name)});
    auto request = TestRequest();
    TXmlDoc response("Response");
    EXPECT_TRUE(plugins.Execute(name, *request, &response));
    EXPECT_EQ(response.GetNode("Echo")->GetValue(), "a<b & \"c\"");
    EXPECT_EQ(FRegistry.StoredCount(), 0u) << "fetched";
    // Without a response wanted, the call alone succeeds (the text stays until fetched).
    EXPECT_TRUE(plugins.Execute(name, *request, nullptr));
}

TEST_F(Plugins, FailuresOfTheEntryFunctionBecomeWords)
{
    struct TCase {
        UnitPlugActions::TEntryFunction Entry;
        const char* Word;
        const char* Message;
        int Logged;  // items under "Errors"
    };
    for (const TCase& c : {TCase{RaisingEntry, "PluginProcError", "plugin crashed", 1},
                           TCase{InvalidEntry, "PluginProcInvalidResponse", "4242", 1},
                           TCase{WrongFetchEntry, "WrongPluginResponse", "", 0},
                           TCase{FailingFetchEntry, "PluginProcInvalidResponse", "0", 1}}) {
        TPlugins plugins;
        const std::string name = plugins.AddPlugin(c.Entry);
        ASSERT_FALSE(name.empty()) << c.Word;
        auto request = TestRequest();
        TXmlDoc response("Response");
        EXPECT_FALSE(plugins.Execute(name, *request, &response)) << c.Word;
        EXPECT_EQ(response.Getp("Status"), c.Word);
        EXPECT_EQ(response.Getp("Message"), c.Message) << c.Word;
        EXPECT_EQ(plugins.Find(name)->Errors().GetNodeCount(), c.Logged) << c.Word;
    }
    // An identifier nobody handles: status 0 from the plugin.
    TPlugins plugins;
    const std::string name = plugins.AddPlugin(RegistryEntry);
    TXmlDoc request("1.2.3");
    TXmlDoc response("Response");
    EXPECT_FALSE(plugins.Execute(name, request, &response));
    EXPECT_EQ(response.Getp("Status"), "PluginProcInvalidResponse");
    EXPECT_EQ(plugins.Find(name)->Errors().ChildAt(0)->Getp("Code"), "0");
    // A word already set is kept.
    TXmlDoc answered("Response");
    answered.Setp("Status", "Mine");
    EXPECT_FALSE(plugins.Execute(name, request, &answered));
    EXPECT_EQ(answered.Getp("Status"), "Mine");
}

TEST_F(Plugins, UnknownPluginsAndRefusedLoads)
{
    TPlugins plugins;
    EXPECT_TRUE(plugins.AddPlugin(RefusingLoadEntry).empty());
    auto request = TestRequest();
    TXmlDoc response("Response");
    EXPECT_FALSE(plugins.Execute("nobody", *request, &response));
    EXPECT_EQ(response.Getp("Status"), "PluginNotFound");
    // Names are unique even when made in the same millisecond.
    TPlugins more;
    const std::string a = more.AddPlugin(RegistryEntry);
    const std::string b = more.AddPlugin(RegistryEntry);
    EXPECT_NE(a, b);
    EXPECT_EQ(more.PluginsFor(TestId).size(), 2u);
}

TEST_F(Plugins, TheBuiltinPluginRunsTheActionsDirectly)
{
    TPlugins plugins;
    const std::string name = plugins.AddBuiltin(FRegistry, RegistryEntry);
    ASSERT_FALSE(name.empty());
    FLog.clear();
    auto request = TestRequest();
    TXmlDoc response("Response");
    EXPECT_TRUE(plugins.Execute(name, *request, &response));
    EXPECT_EQ(response.GetNode("Echo")->GetValue(), "a<b & \"c\"");
    EXPECT_EQ(FRegistry.LastTicket(), 0) << "no ticket: nothing went through the protocol";
}

// ---- the library's own actions

class BuiltinActions : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UnitPlugins::Register(); }
};

TEST_F(BuiltinActions, TheApiQueryIsAnsweredBySixActions)
{
    TActionRegistry registry;
    UnitPlugins::CreateBuiltinActions(registry);
    EXPECT_EQ(registry.ActionsFor(IdApiQuery).size(), 6u);
    EXPECT_EQ(registry.ActionsFor(IdDecryptData).size(), 2u);
    for (std::string_view id : {IdCreateCredential, IdEncryptData, IdHash, IdSystemInformation})
        EXPECT_EQ(registry.ActionsFor(id).size(), 1u) << id;

    const auto text = UnitEncoding::EncodeBytes(UnitCodecs::AsBytes("<1.3.6.1.4.1.61524.3.1.2.1.1.1.1/>"), 16, UnitActionEncodings::Table());
    auto response = TXmlDoc::CreateFromXML(text);
    EXPECT_EQ(response->GetName(), "Response");
    TXmlDoc* api = response->GetNode("API");
    ASSERT_EQ(api->GetNodeCount(), 6) << text;
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(api->ChildAt(static_cast<size_t>(i))->GetName(), IdApiAnswer);
}

TEST_F(BuiltinActions, EncodingSixteenAnswersTheResponseText)
{
    const std::string request = "<1.3.6.1.4.1.61524.3.1.2.1.1.6.4><Algorithm>1</Algorithm><Content>abc</Content>"
                                "</1.3.6.1.4.1.61524.3.1.2.1.1.6.4>";
    std::string bytes = request;
    bytes += '\0';
    bytes += "ignored after the zero byte";
    auto response = TXmlDoc::CreateFromXML(UnitEncoding::EncodeBytes(UnitCodecs::AsBytes(bytes), 16, UnitActionEncodings::Table()));
    EXPECT_EQ(response->Getp("Status"), "OK");
    EXPECT_EQ(response->GetNode("Hash")->GetValue(), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    // Decoding is not supported; an unknown identifier answers an empty response.
    EXPECT_FALSE(UnitEncoding::DecodeText(request, 16, UnitActionEncodings::Table()).has_value());
    auto nobody = TXmlDoc::CreateFromXML(UnitEncoding::EncodeBytes(UnitCodecs::AsBytes("<1.2.3/>"), 16, UnitActionEncodings::Table()));
    EXPECT_EQ(nobody->GetName(), "Response");
    EXPECT_EQ(nobody->GetPropertyCount() + nobody->GetNodeCount(), 0);
}

TEST_F(BuiltinActions, SystemInformationForVersionOneOnly)
{
    const std::string id(IdSystemInformation);
    auto response = TXmlDoc::CreateFromXML(
        UnitEncoding::EncodeBytes(UnitCodecs::AsBytes("<" + id + "><Version>1</Version></" + id + ">"), 16, UnitActionEncodings::Table()));
    EXPECT_EQ(response->Getp("Status"), "OK");
    auto information = TXmlDoc::CreateFromXML(response->GetNode("Information")->GetValue());
    EXPECT_EQ(information->GetName(), "SystemInformation");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(information->GetNode("Computer")->Getp("Name"), host);
    EXPECT_FALSE(information->GetNode("OperatingSystem")->Getp("Release").empty());
    EXPECT_GE(information->GetNode("Processor")->Geti("Count"), 1);
    EXPECT_GT(std::stoll(information->GetNode("Memory")->Getp("Total")), 0);
    EXPECT_GE(information->GetNode("Disks")->GetNodeCount(), 1);
    TXmlDoc* loopback = information->GetNode("Network")->FindNodeByProp("Name", "lo");
    ASSERT_NE(loopback, nullptr);
    EXPECT_NE(loopback->FindNodeByProp("Value", "127.0.0.1"), nullptr);
    const std::string machineId = response->GetNode("ID")->GetValue();
    EXPECT_EQ(machineId.size(), 40u);
    // The identifier stays while free space and addresses change.
    auto again = TXmlDoc::CreateFromXML(UnitEncoding::EncodeBytes(UnitCodecs::AsBytes("<" + id + "><Version>1</Version></" + id + ">"), 16, UnitActionEncodings::Table()));
    EXPECT_EQ(again->GetNode("ID")->GetValue(), machineId);

    for (const char* version : {"2", "", "one", "1.5"}) {
        auto refused = TXmlDoc::CreateFromXML(
            UnitEncoding::EncodeBytes(UnitCodecs::AsBytes("<" + id + "><Version>" + version + "</Version></" + id + ">"), 16, UnitActionEncodings::Table()));
        EXPECT_EQ(refused->Getp("Status"), "VersionNotSupported") << version;
        EXPECT_FALSE(refused->HasNode("Information"));
    }
}

}  // namespace
