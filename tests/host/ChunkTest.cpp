// Answers too large for one browser frame, cut into chunk frames for requests that ask for them.
#include "host/UnitMain.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

namespace {

// Joins the pieces back after checking every frame's form and size.
std::string Reassemble(const std::vector<std::string>& frames)
{
    std::string joined;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_LE(frames[i].size(), UnitMain::MaxResponseSize) << "frame " << i;
        const auto frame = nlohmann::json::parse(frames[i]);
        EXPECT_EQ(frame.at("action"), "chunk");
        EXPECT_EQ(frame.at("index"), i);
        EXPECT_EQ(frame.at("count"), frames.size());
        // Members in this order, so a reader can tell a chunk by its first bytes.
        EXPECT_EQ(frames[i].rfind(R"({"action":"chunk","index":)", 0), 0u);
        joined += frame.at("data").get<std::string>();
    }
    return joined;
}

std::string SignedAnswer(size_t base64Size)
{
    std::string signedText;
    signedText.reserve(base64Size);
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < base64Size; ++i)
        signedText.push_back(alphabet[(i * 7919) % 64]);
    nlohmann::ordered_json answer {{"action", "signed"}, {"type", "PADES"}, {"signed", signedText}};
    return answer.dump();
}

}  // namespace

TEST(Chunks, ASignedAnswerComesBackWhole)
{
    const std::string answer = SignedAnswer(7u << 20);  // a 5 MB PDF's base64 and more
    const auto frames = UnitMain::ChunkResponse(answer);
    EXPECT_EQ(frames.size(), 8u);  // 7 MiB of text in frames just under 1 MiB each
    EXPECT_EQ(Reassemble(frames), answer);
}

TEST(Chunks, EscapedTextStillFitsEachFrame)
{
    // Quotes, backslashes and control characters grow when escaped (a control character six
    // times); multi-byte UTF-8 sequences must never be cut between their bytes.
    std::string text;
    const std::string pattern = std::string("\"\\\x01\x1f\n") + "é€😀" + "ab";
    while (text.size() < (3u << 20))
        text += pattern;
    for (const auto& answer : {text, std::string(3u << 20, '\x02'), std::string(2u << 20, '"')}) {
        const auto frames = UnitMain::ChunkResponse(answer);
        ASSERT_GT(frames.size(), 1u);
        EXPECT_EQ(Reassemble(frames), answer);
    }
}

TEST(Chunks, CutsFallOnCharacterBoundaries)
{
    // Four-byte characters only: wherever the budget ends, the cut moves back to a start byte.
    std::string answer;
    while (answer.size() < (2u << 20) + 5)
        answer += "😀";
    const auto frames = UnitMain::ChunkResponse(answer);
    for (const auto& body : frames) {
        const std::string data = nlohmann::json::parse(body).at("data");
        ASSERT_EQ(data.size() % 4, 0u);
        EXPECT_EQ(static_cast<unsigned char>(data[0]), 0xF0);
    }
    EXPECT_EQ(Reassemble(frames), answer);
}

TEST(Chunks, ASmallAnswerIsOneChunkAndEmptyIsNone)
{
    const auto frames = UnitMain::ChunkResponse(R"({"action":"signed"})");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], R"({"action":"chunk","index":0,"count":1,"data":"{\"action\":\"signed\"}"})");
    EXPECT_TRUE(UnitMain::ChunkResponse("").empty());
}
