#include "host/UnitMain.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

std::string Frame(std::string_view body)
{
    const uint32_t n = static_cast<uint32_t>(body.size());
    std::string out{char(n), char(n >> 8), char(n >> 16), char(n >> 24)};
    return out + std::string(body);
}

struct THostOnMemory {
    explicit THostOnMemory(std::string input)
    {
        auto out = std::make_unique<TMemoryOutput>();
        Output = out.get();
        Host = std::make_unique<TNativeMessagingHost>(std::make_unique<TMemoryInput>(std::move(input)), std::move(out));
    }
    std::unique_ptr<TNativeMessagingHost> Host;
    TMemoryOutput* Output;
};

class Frames : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("DORVIK_SELECT", "cancel", 1); }
    void TearDown() override { ::unsetenv("DORVIK_SELECT"); }
};

}  // namespace

TEST_F(Frames, PrefixIsLittleEndianAndBodyMayBeShort)
{
    THostOnMemory h(std::string("\x03\x01\x00\x00", 4) + "abc");
    EXPECT_EQ(h.Host->ReadMessageLength(), 259);
    const TFrame frame = h.Host->ReadMessage(259);
    EXPECT_EQ(frame.Body, "abc");
    EXPECT_FALSE(frame.TooLarge);
    EXPECT_EQ(h.Host->ReadMessageLength(), 0);
}

TEST_F(Frames, CutPrefixIsTheEnd)
{
    THostOnMemory h(std::string("\x01\x00", 2));
    EXPECT_EQ(h.Host->ReadMessageLength(), 0);
}

TEST_F(Frames, WriteMessageIsPrefixThenBody)
{
    THostOnMemory h("");
    ASSERT_TRUE(h.Host->WriteMessage("{\"a\":\"é\"}"));
    EXPECT_EQ(h.Output->Data, Frame("{\"a\":\"é\"}"));
}

TEST_F(Frames, CountdownRules)
{
    THostOnMemory h("");
    h.Host->SetCountdown(500);
    EXPECT_FALSE(h.Host->ServeRequest(R"({"action":"finish"})"));
    EXPECT_EQ(h.Host->Countdown(), 100);
    h.Host->SetCountdown(500);
    EXPECT_FALSE(h.Host->ServeRequest(R"({"action":"FINISH"})"));
    EXPECT_EQ(h.Host->Countdown(), 100);
    h.Host->SetCountdown(500);
    EXPECT_FALSE(h.Host->ServeRequest(R"([1,2])"));
    EXPECT_EQ(h.Host->Countdown(), 500);
    EXPECT_FALSE(h.Host->ServeRequest("{\"action\":\"sign\"} x"));
    EXPECT_EQ(h.Host->Countdown(), 100);
    // Each answered sign request adds 100, without an upper bound.
    h.Host->SetCountdown(950);
    EXPECT_EQ(h.Host->ServeRequest(R"({"action":"sign","content":"AA=="})"),
              std::optional<std::string>(R"({"action":"error","error":"CertificateNotSelected"})"));
    EXPECT_EQ(h.Host->Countdown(), 1050);
    EXPECT_EQ(h.Host->ResultWord(), "Error:CertificateNotSelected");
}

TEST_F(Frames, OneFrameServedAfterAnother)
{
    const std::string sign = R"({"action":"sign","filename":"/no/such","type":"pades"})";
    THostOnMemory h(Frame("") + Frame("[]") + Frame(sign) + Frame(R"({"action":"sign","attrs":"x"})"));
    EXPECT_FALSE(h.Host->ServeOneFrame());  // empty frame: nothing read
    EXPECT_TRUE(h.Host->ServeOneFrame());
    EXPECT_EQ(h.Output->Data, "");
    EXPECT_TRUE(h.Host->ServeOneFrame());
    EXPECT_TRUE(h.Host->ServeOneFrame());
    EXPECT_EQ(h.Output->Data, Frame(R"({"action":"error","error":"CertificateNotSelected"})") +
                                  Frame(R"({"action":"error","error":"InvalidAttributes"})"));
}

TEST_F(Frames, NegativeLengthReadsNoBodyAndTheNextFrameIsServed)
{
    const std::string sign = R"({"action":"sign","content":"AA=="})";
    const std::string answer = Frame(R"({"action":"error","error":"CertificateNotSelected"})");
    for (const char* prefix : {"\x00\x00\x00\x80", "\x05\x00\x00\x80", "\xFF\xFF\xFF\xFF"}) {
        THostOnMemory h(std::string(prefix, 4) + Frame(sign));
        EXPECT_FALSE(h.Host->ServeOneFrame());  // the pass ends: nothing read after the prefix
        EXPECT_TRUE(h.Host->ServeOneFrame());
        EXPECT_EQ(h.Output->Data, answer);
    }
    // The largest positive length is still read past (above the request cap) and refused.
    THostOnMemory h(std::string("\xFF\xFF\xFF\x7F", 4) + Frame(sign));
    EXPECT_EQ(h.Host->ReadMessageLength(), INT32_MAX);
}

TEST_F(Frames, DigestModeRefusesANameHoldingAZeroByte)
{
    // The library reads the name as a C string: it would digest "doc", not the name given.
    const std::string doc = testing::TempDir() + "kelvane-digest-" + std::to_string(::getpid());
    std::FILE* f = std::fopen(doc.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("abc", f);
    std::fclose(f);
    auto digestOf = [](const std::string& file) {
        THostOnMemory h("");
        h.Host->Listen({"/Mode=DIGEST", "/Hash=sha256", "/File=" + file});
        return nlohmann::json::parse(h.Output->Data.substr(4));
    };
    EXPECT_EQ(digestOf(doc)["hash"], "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    const nlohmann::json refused = digestOf(doc + std::string(1, '\0'));
    EXPECT_EQ(refused["file"], doc + std::string(1, '\0'));
    EXPECT_EQ(refused["hash"], "");
    std::remove(doc.c_str());
}

TEST(Responses, AnswersAboveOneMebibyteAreReplaced)
{
    const std::string fits(UnitMain::MaxResponseSize, 'x');
    EXPECT_EQ(UnitMain::FitResponse(fits), fits);
    EXPECT_EQ(UnitMain::FitResponse(fits + "x"), R"({"action":"error","error":"ResponseTooLarge"})");
}
