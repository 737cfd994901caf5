#include "host/UnitMain.h"
#include "host/UnitSigning.h"
#include "host/UnitVersion.h"
#include "platform/UnitTrace.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

// Collects the trace lines while it lives.
struct TTraceLines {
    TTraceLines()
    {
        FPrevious = UnitTrace::SetHook([this](std::string_view line) { Lines.emplace_back(line); });
    }
    ~TTraceLines() { UnitTrace::SetHook(std::move(FPrevious)); }
    bool Holds(std::string_view text) const
    {
        for (const auto& line : Lines)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::vector<std::string> Lines;

private:
    UnitTrace::THook FPrevious;
};

// The word answered for the failure `raise` throws, with the trace lines it left.
template <class TRaise> std::string WordFor(TRaise raise, TTraceLines& trace)
{
    try {
        raise();
    } catch (const std::exception& e) {
        return UnitMain::FailureWord(e);
    }
    ADD_FAILURE() << "nothing was raised";
    (void)trace;
    return {};
}

}  // namespace

TEST(FailureWords, LibraryAndJsonMessagesGoToTheTraceNotToTheAnswer)
{
    TTraceLines trace;
    // Real failures of nlohmann::json: their messages name the library and its internals.
    const std::string parse = WordFor([] { const json cut = json::parse("{\"action\":"); (void)cut; }, trace);
    const std::string type = WordFor([] { (void)json(12).get<std::string>(); }, trace);
    const std::string missing = WordFor([] { (void)json::object().at("content"); }, trace);
    const std::string system = WordFor([] { (void)std::vector<int>().at(3); }, trace);
    const std::string plain = WordFor([] { throw std::runtime_error("EVP_DigestSignFinal: bad key"); }, trace);
    for (const std::string& word : {parse, type, missing, system, plain})
        EXPECT_EQ(word, "FailedToSign");
    EXPECT_TRUE(trace.Holds("[json.exception.parse_error."));
    EXPECT_TRUE(trace.Holds("[json.exception.type_error.302]"));
    EXPECT_TRUE(trace.Holds("[json.exception.out_of_range.403]"));
    EXPECT_TRUE(trace.Holds("EVP_DigestSignFinal: bad key"));
}

TEST(FailureWords, StatusErrorsAnswerTheirWord)
{
    TTraceLines trace;
    EXPECT_EQ(WordFor([] { throw EStatusError(Words::InvalidAttributes); }, trace), "InvalidAttributes");
    EXPECT_EQ(WordFor([] { throw ESignError(Words::AttributeNotAllowed); }, trace), "AttributeNotAllowed");
    // A damaged version block of the executable (the PAdES request names the version).
    EXPECT_EQ(WordFor([] {
        auto block = TGpVersionInfo::MakeBlock(1, 0, 0, 0, "x");
        block[8] ^= 0xFF;
        (void)TGpVersionInfo(block, "040904E4").GetVersion("%d");
    }, trace), "VersionInfoUnreadable");
    EXPECT_TRUE(trace.Lines.empty());
    // A detail is traced beside the word and never answered.
    EXPECT_EQ(WordFor([] { throw EStatusError(Words::FailedToLoad, "read(3): Input/output error"); }, trace),
              "FailedToLoad");
    EXPECT_TRUE(trace.Holds("FailedToLoad: read(3): Input/output error"));
    // A status error without a word is a failure like any other.
    EXPECT_EQ(WordFor([] { throw EStatusError(""); }, trace), "FailedToSign");
}

TEST(FailureWords, HostAnswersCarryWordsOnly)
{
    ::setenv("DORVIK_SELECT", "cancel", 1);
    TNativeMessagingHost host(std::make_unique<TMemoryInput>(""), std::make_unique<TMemoryOutput>());
    // Attributes that are not name/value pairs stop the sign steps with a status error.
    for (const char* request : {R"({"action":"sign","content":"AA==","attrs":"x"})",
                                R"({"action":"sign","content":"AA==","attrs":[{"a":1},"b"]})",
                                R"({"action":"sign","content":"AA==","attrs":["a"]})"}) {
        const auto answer = host.ServeRequest(request);
        ASSERT_TRUE(answer) << request;
        const json parsed = json::parse(*answer);
        EXPECT_EQ(parsed.at("action"), "error") << request;
        EXPECT_EQ(parsed.at("error"), "InvalidAttributes") << request;
    }
    const auto refused = host.ServeRequest(R"({"action":"sign","content":"AA==","attrs":["Pwd","secret"]})");
    ASSERT_TRUE(refused);
    EXPECT_EQ(json::parse(*refused).at("error"), "AttributeNotAllowed");
    ::unsetenv("DORVIK_SELECT");
}
