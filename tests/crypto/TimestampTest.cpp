// Time stamps from an authority: the request the library makes, read back by OpenSSL's own
// TS decoder; the checks of the answer against openssl ts -reply and against tokens re-signed
// with certificates a TSA must not use; the words each failure of the exchange gives.
#include "crypto/UnitTimestamp.h"

#include "CryptoTestSupport.h"

#include <openssl/sha.h>
#include <openssl/ts.h>

#include <gtest/gtest.h>

#include <functional>

namespace {

using CryptoTest::ReadBytes;
using CryptoTest::RunOk;
using CryptoTest::TScratch;
using CryptoTest::WriteBytes;
using UnitTimestamp::TTimestampOptions;

const std::vector<uint8_t> SignatureValue = {0x5A, 0x01, 0x02, 0x03, 0xFE, 0x00, 0x7F};

TTimestampOptions Options(std::string url = "http://127.0.0.1:9/tsa")
{
    TTimestampOptions options;
    options.Url = std::move(url);
    return options;
}

std::unique_ptr<TS_REQ, decltype(&TS_REQ_free)> ParseRequest(const std::vector<uint8_t>& der)
{
    const unsigned char* p = der.data();
    return {d2i_TS_REQ(nullptr, &p, static_cast<long>(der.size())), &TS_REQ_free};
}

// A client of the test's own: records what it is asked and answers as told.
class TFakeHttp : public UnitHttp::THttpClient {
public:
    std::function<UnitHttp::THttpAnswer(const UnitHttp::THttpPost&)> Answer;
    std::vector<UnitHttp::THttpPost> Posts;
    std::vector<std::string> Passwords;
    UnitHttp::THttpAnswer Post(const UnitHttp::THttpPost& post) override
    {
        Posts.push_back(post);
        Passwords.push_back(post.Password ? *post.Password : std::string("(none)"));
        return Answer(post);
    }
};

UnitHttp::THttpAnswer Delivered(long status, std::vector<uint8_t> body)
{
    UnitHttp::THttpAnswer answer;
    answer.Delivered = true;
    answer.Status = status;
    answer.Body = std::move(body);
    return answer;
}

TEST(TimestampOptions, ReadFromTheRequestAndThePasswordLeavesIt)
{
    TXmlDoc request("SIGNEDDATA");
    EXPECT_FALSE(UnitTimestamp::TakeOptions(request));
    request.Setp("TimestampURL", "  ");
    EXPECT_FALSE(UnitTimestamp::TakeOptions(request));

    request.Setp("timestampurl", " https://tsa.example.test/ts ");
    request.Setp("TimestampPolicy", "1.2.3.4");
    request.Setp("TimestampUser", "joana");
    request.Setp("TimestampPassword", "segredo muito longo para caber em SSO");
    request.Setp("TimestampTimeout", "3");
    auto options = UnitTimestamp::TakeOptions(request);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->Url, "https://tsa.example.test/ts");
    EXPECT_EQ(options->Policy, "1.2.3.4");
    EXPECT_EQ(options->Hash, "SHA256");
    EXPECT_EQ(options->User, "joana");
    EXPECT_EQ(options->Password.Text(), "segredo muito longo para caber em SSO");
    EXPECT_EQ(options->TimeoutSeconds, 3);
    EXPECT_EQ(request.FindProperty("TimestampPassword")->GetValue(), "");

    for (const auto& [text, seconds] : std::vector<std::pair<std::string, long>>{
             {"", 10}, {"0", 10}, {"-5", 10}, {"abc", 10}, {"7s", 10}, {"100000", 600}, {" 42 ", 42}}) {
        request.Setp("TimestampTimeout", text);
        EXPECT_EQ(UnitTimestamp::TakeOptions(request)->TimeoutSeconds, seconds) << text;
    }
}

TEST(TimestampRequest, OpenSslReadsImprintNonceCertReqAndPolicy)
{
    TTimestampOptions options = Options();
    options.Hash = "sha384";
    options.Policy = "1.3.6.1.4.1.61524.9.2";
    const auto first = UnitTimestamp::MakeRequest(SignatureValue, options);
    ASSERT_EQ(first.Word, "");
    const auto request = ParseRequest(first.Der);
    ASSERT_TRUE(request);
    EXPECT_EQ(TS_REQ_get_version(request.get()), 1);
    EXPECT_EQ(TS_REQ_get_cert_req(request.get()), 1);
    TS_MSG_IMPRINT* imprint = TS_REQ_get_msg_imprint(request.get());
    EXPECT_EQ(OBJ_obj2nid(TS_MSG_IMPRINT_get_algo(imprint)->algorithm), NID_sha384);
    unsigned char digest[48];
    SHA384(SignatureValue.data(), SignatureValue.size(), digest);
    const ASN1_OCTET_STRING* message = TS_MSG_IMPRINT_get_msg(imprint);
    EXPECT_EQ(std::vector<uint8_t>(message->data, message->data + message->length),
              std::vector<uint8_t>(digest, digest + sizeof digest));
    char policy[64] = {};
    OBJ_obj2txt(policy, sizeof policy, TS_REQ_get_policy_id(request.get()), 1);
    EXPECT_STREQ(policy, "1.3.6.1.4.1.61524.9.2");
    const ASN1_INTEGER* nonce = TS_REQ_get_nonce(request.get());
    ASSERT_NE(nonce, nullptr);
    EXPECT_EQ(nonce->type, V_ASN1_INTEGER);  // positive
    EXPECT_EQ(nonce->length, 8);

    // Each request has a nonce of its own; no policy unless asked.
    const auto second = UnitTimestamp::MakeRequest(SignatureValue, Options());
    const auto other = ParseRequest(second.Der);
    ASSERT_TRUE(other);
    EXPECT_NE(ASN1_INTEGER_cmp(nonce, TS_REQ_get_nonce(other.get())), 0);
    EXPECT_EQ(TS_REQ_get_policy_id(other.get()), nullptr);
    EXPECT_EQ(OBJ_obj2nid(TS_MSG_IMPRINT_get_algo(TS_REQ_get_msg_imprint(other.get()))->algorithm), NID_sha256);

    // What cannot be asked for is refused before anything is sent.
    TTimestampOptions bad = Options();
    bad.Hash = "nothash";
    EXPECT_EQ(UnitTimestamp::MakeRequest(SignatureValue, bad).Word, "TimestampUnavailable");
    bad = Options();
    bad.Policy = "not an oid";
    EXPECT_EQ(UnitTimestamp::MakeRequest(SignatureValue, bad).Word, "TimestampUnavailable");
}

TEST(TimestampExchange, EachFailureOfTheExchangeHasItsWord)
{
    TFakeHttp http;
    TTimestampOptions options = Options("HTTPS://tsa.example.test/ts");
    options.User = "joana";
    options.Password = UnitOpenSsl::TSecretString("s3nha");
    options.TimeoutSeconds = 4;

    http.Answer = [](const UnitHttp::THttpPost&) {
        UnitHttp::THttpAnswer answer;
        answer.Error = "Connection refused";
        return answer;
    };
    EXPECT_EQ(UnitTimestamp::Stamp(SignatureValue, options, http).Word, "TimestampUnavailable");
    ASSERT_EQ(http.Posts.size(), 1u);
    const UnitHttp::THttpPost& post = http.Posts[0];
    EXPECT_EQ(post.Url, "HTTPS://tsa.example.test/ts");
    EXPECT_EQ(post.ContentType, "application/timestamp-query");
    EXPECT_EQ(post.Accept, "application/timestamp-reply");
    EXPECT_EQ(post.User, "joana");
    EXPECT_EQ(http.Passwords[0], "s3nha");
    EXPECT_EQ(post.TimeoutSeconds, 4);
    EXPECT_TRUE(ParseRequest(post.Body));

    const std::vector<std::pair<UnitHttp::THttpAnswer, std::string>> cases = {
        {Delivered(500, {}), "TimestampUnavailable"},
        {Delivered(404, {0x30, 0x00}), "TimestampUnavailable"},
        {Delivered(200, {}), "TimestampInvalid"},
        {Delivered(200, {0x30, 0x03, 0x02, 0x01}), "TimestampInvalid"},
        {Delivered(200, {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x00}), "TimestampInvalid"},  // granted, no token
        {Delivered(200, {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x02}), "TimestampRejected"},
        {Delivered(200, {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x03}), "TimestampRejected"},  // waiting
        {Delivered(200, {0x30, 0x09, 0x30, 0x07, 0x02, 0x01, 0x05, 0x03, 0x02, 0x07, 0x80}), "TimestampRejected"},
    };
    for (const auto& [answer, word] : cases) {
        http.Answer = [&answer = answer](const UnitHttp::THttpPost&) { return answer; };
        EXPECT_EQ(UnitTimestamp::Stamp(SignatureValue, options, http).Word, word) << answer.Status;
    }
    http.Answer = [](const UnitHttp::THttpPost&) {
        UnitHttp::THttpAnswer answer;
        answer.TooLarge = true;
        return answer;
    };
    EXPECT_EQ(UnitTimestamp::Stamp(SignatureValue, options, http).Word, "TimestampInvalid");

    // Other schemes are not asked at all.
    http.Posts.clear();
    for (const char* url : {"ftp://tsa.example.test/", "file:///etc/passwd", "tsa.example.test", "httpx://a"})
        EXPECT_EQ(UnitTimestamp::Stamp(SignatureValue, Options(url), http).Word, "TimestampUnavailable") << url;
    EXPECT_TRUE(http.Posts.empty());
}

// A TSA of the openssl command line with its certificate of choice.
class LocalAuthority : public ::testing::Test {
protected:
    TScratch Scratch;

    void SetUp() override
    {
        const std::string config = Scratch / "tsa.cnf";
        WriteBytes(config, Text("[ req ]\ndistinguished_name = dn\n[ dn ]\n"
                                "[ tsa_ext ]\nkeyUsage = critical,digitalSignature\nextendedKeyUsage = critical,timeStamping\n"
                                "[ soft_ext ]\nkeyUsage = critical,digitalSignature\nextendedKeyUsage = timeStamping\n"
                                "[ wide_ext ]\nkeyUsage = critical,digitalSignature\n"
                                "extendedKeyUsage = critical,timeStamping,codeSigning\n"
                                "[ tsa ]\ndefault_tsa = tsa_default\n[ tsa_default ]\n"
                                "serial = " + Scratch / "serial" + "\ncrypto_device = builtin\nsigner_digest = sha256\n"
                                "default_policy = 1.2.3.4.1\nother_policies = 1.2.3.4.2\ndigests = sha256, sha512\n"
                                "ess_cert_id_alg = sha256\n"));
        WriteBytes(Scratch / "serial", Text("01\n"));
        for (const char* name : {"tsa", "soft", "wide"})
            RunOk("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + Scratch / (std::string(name) + ".key") +
                  " -out " + Scratch / (std::string(name) + ".pem") + " -days 30 -subj /CN=TSA-" + name +
                  " -config " + config + " -extensions " + name + "_ext");
    }

    static std::vector<uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

    // openssl's reply to the request, signed by the TSA certificate.
    std::vector<uint8_t> Reply(const std::vector<uint8_t>& request)
    {
        WriteBytes(Scratch / "q.tsq", request);
        RunOk("openssl ts -reply -config " + Scratch / "tsa.cnf" + " -queryfile " + Scratch / "q.tsq" + " -inkey " +
              Scratch / "tsa.key" + " -signer " + Scratch / "tsa.pem" + " -out " + Scratch / "r.tsr");
        return ReadBytes(Scratch / "r.tsr");
    }

    // The same answer with its TSTInfo signed again by another certificate (openssl ts will
    // not sign with a certificate a TSA must not use; openssl cms does).
    std::vector<uint8_t> Resigned(const std::vector<uint8_t>& reply, const std::string& name)
    {
        WriteBytes(Scratch / "r.tsr", reply);
        RunOk("openssl ts -reply -in " + Scratch / "r.tsr" + " -token_out -out " + Scratch / "t.der");
        RunOk("openssl cms -verify -noverify -binary -inform DER -in " + Scratch / "t.der" + " -out " +
              Scratch / "tstinfo.der");
        RunOk("openssl cms -sign -binary -nodetach -cades -md sha256 -econtent_type 1.2.840.113549.1.9.16.1.4"
              " -in " + Scratch / "tstinfo.der" + " -signer " + Scratch / (name + ".pem") + " -inkey " +
              Scratch / (name + ".key") + " -outform DER -out " + Scratch / "t2.der");
        std::vector<uint8_t> token = ReadBytes(Scratch / "t2.der");
        std::vector<uint8_t> content = {0x30, 0x03, 0x02, 0x01, 0x00};
        content.insert(content.end(), token.begin(), token.end());
        std::vector<uint8_t> out = {0x30, 0x82, static_cast<uint8_t>(content.size() >> 8),
                                    static_cast<uint8_t>(content.size() & 0xFF)};
        out.insert(out.end(), content.begin(), content.end());
        return out;
    }
};

TEST_F(LocalAuthority, TokenOfTheRightAnswerIsKeptAsSent)
{
    const auto request = UnitTimestamp::MakeRequest(SignatureValue, Options());
    ASSERT_EQ(request.Word, "");
    const auto reply = Reply(request.Der);
    const auto result = UnitTimestamp::CheckResponse(reply, request.Der);
    ASSERT_EQ(result.Word, "");
    WriteBytes(Scratch / "t.der", result.Token);
    WriteBytes(Scratch / "data", SignatureValue);
    const std::string verdict = RunOk("openssl ts -verify -token_in -in " + Scratch / "t.der" + " -data " +
                                      Scratch / "data" + " -CAfile " + Scratch / "tsa.pem");
    EXPECT_NE(verdict.find("Verification: OK"), std::string::npos) << verdict;
    // The token is the tail of the answer, byte for byte.
    ASSERT_LT(result.Token.size(), reply.size());
    EXPECT_TRUE(std::equal(result.Token.rbegin(), result.Token.rend(), reply.rbegin()));

    // A policy asked for must be the token's.
    TTimestampOptions other = Options();
    other.Policy = "1.2.3.4.2";
    const auto withPolicy = UnitTimestamp::MakeRequest(SignatureValue, other);
    EXPECT_EQ(UnitTimestamp::CheckResponse(Reply(withPolicy.Der), withPolicy.Der).Word, "");
    // The answer to another request (its own nonce and imprint) is not this one's.
    const auto unrelated = UnitTimestamp::MakeRequest(std::vector<uint8_t>{9, 9, 9}, Options());
    EXPECT_EQ(UnitTimestamp::CheckResponse(Reply(unrelated.Der), request.Der).Word, "TimestampInvalid");
    // Trailing bytes after the answer.
    auto longer = reply;
    longer.push_back(0);
    EXPECT_EQ(UnitTimestamp::CheckResponse(longer, request.Der).Word, "TimestampInvalid");
    // One bit of the token's signature flipped.
    auto flipped = reply;
    flipped[flipped.size() - 10] ^= 0x01;
    EXPECT_EQ(UnitTimestamp::CheckResponse(flipped, request.Der).Word, "TimestampInvalid");
}

TEST_F(LocalAuthority, SignerMustHoldTheCriticalTimeStampingUsageOnly)
{
    const auto request = UnitTimestamp::MakeRequest(SignatureValue, Options());
    const auto reply = Reply(request.Der);
    // The re-signing itself keeps a good token good...
    EXPECT_EQ(UnitTimestamp::CheckResponse(Resigned(reply, "tsa"), request.Der).Word, "");
    // ...and a certificate whose timeStamping usage is not critical, or not alone, is refused.
    EXPECT_EQ(UnitTimestamp::CheckResponse(Resigned(reply, "soft"), request.Der).Word, "TimestampInvalid");
    EXPECT_EQ(UnitTimestamp::CheckResponse(Resigned(reply, "wide"), request.Der).Word, "TimestampInvalid");
}

}  // namespace
