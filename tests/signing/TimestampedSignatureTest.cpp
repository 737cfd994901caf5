// The CMS builder with a time-stamp asked for, through a client of the test's own that hands
// the query to `openssl ts -reply`: the token is the only difference from the same signature
// made without it, and a stamp that cannot be had fails the signature with its word. Also the
// key given in the request itself ("Pvk" and "Certificate0").
#include "crypto/UnitAsn1.h"
#include "crypto/UnitSignedData.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "tests/support/NssTestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

using NssTest::Pki;

std::string Attr(std::string_view name, std::string_view value)
{
    return " " + std::string(name) + "=\"" + std::string(value) + "\"";
}

std::string Work(const std::string& name)
{
    const auto dir = std::filesystem::path(Pki().Root) / "timestamped";
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    NssTest::WriteFile(path, bytes);
}

// A TSA of the openssl command line: self-signed, critical timeStamping.
struct TOpensslTsa : UnitHttp::THttpClient {
    std::function<UnitHttp::THttpAnswer(const UnitHttp::THttpPost&)> Override;
    int Count = 0;

    TOpensslTsa()
    {
        const std::string config = Work("tsa.cnf");
        const std::string text = "[ req ]\ndistinguished_name = dn\n[ dn ]\n[ tsa_ext ]\n"
                                 "keyUsage = critical,digitalSignature\nextendedKeyUsage = critical,timeStamping\n"
                                 "[ tsa ]\ndefault_tsa = d\n[ d ]\nserial = " + Work("serial") +
                                 "\ncrypto_device = builtin\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\n"
                                 "digests = sha256\ness_cert_id_alg = sha256\n";
        WriteBytes(config, std::vector<uint8_t>(text.begin(), text.end()));
        WriteBytes(Work("serial"), {'0', '1', '\n'});
        if (!std::filesystem::exists(Work("tsa.pem")))
            NssTest::Run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + Work("tsa.key") + " -out " +
                         Work("tsa.pem") + " -days 30 -subj /CN=TSA -config " + config + " -extensions tsa_ext 2>&1");
    }

    UnitHttp::THttpAnswer Post(const UnitHttp::THttpPost& post) override
    {
        ++Count;
        if (Override)
            return Override(post);
        WriteBytes(Work("q.tsq"), post.Body);
        NssTest::Run("openssl ts -reply -config " + Work("tsa.cnf") + " -queryfile " + Work("q.tsq") + " -inkey " +
                     Work("tsa.key") + " -signer " + Work("tsa.pem") + " -out " + Work("r.tsr") + " 2>&1");
        UnitHttp::THttpAnswer answer;
        answer.Delivered = true;
        answer.Status = 200;
        answer.Body = NssTest::ReadFile(Work("r.tsr"));
        return answer;
    }
};

std::optional<std::vector<uint8_t>> Sign(const std::string& xml, UnitHttp::THttpClient& http)
{
    const auto der = UnitAsn1::XmlToDer(xml, [&](TXmlDoc& node) { return UnitSignedData::BuildSignedData(node, http); });
    return der;
}

std::string SignerRequest(const std::string& extra)
{
    // No signing time: two signatures of the same request are the same bytes.
    return "<SIGNEDDATA" + Attr("CertificateCode", NssTest::OpenSslThumbprint(Pki().Pem("signer"))) +
           Attr("Content", "616263") + Attr("Binary", "1") + Attr("Dettached", "1") +
           Attr("Order", "ContentType,MessageDigest,SigningCertificate") + extra + "/>";
}

TEST(TimestampedSignature, OnlyTheUnsignedAttributeIsAdded)
{
    TOpensslTsa tsa;
    const auto plain = Sign(SignerRequest(""), tsa);
    ASSERT_TRUE(plain) << UnitEncoding::Asn1ErrorWord();
    EXPECT_EQ(tsa.Count, 0);
    const auto stamped = Sign(SignerRequest(Attr("TimestampURL", "http://127.0.0.1:9/tsa")), tsa);
    ASSERT_TRUE(stamped) << UnitEncoding::Asn1ErrorWord();
    EXPECT_EQ(tsa.Count, 1);
    WriteBytes(Work("plain.p7s"), *plain);
    WriteBytes(Work("stamped.p7s"), *stamped);
    WriteBytes(Work("content"), {'a', 'b', 'c'});
    // python3 and asn1crypto: the stamped CMS without its [1] is the plain one, byte for byte,
    // and the token verifies with openssl ts over the signature value.
    const std::string script =
        "import sys, subprocess; sys.path.insert(0, sys.argv[1])\n"
        "from test_timestamp import der_without\n"
        "from asn1crypto import cms\n"
        "plain = open(sys.argv[2], 'rb').read(); stamped = open(sys.argv[3], 'rb').read()\n"
        "assert der_without(stamped, [1, 0, -1, 0, -1]) == plain, 'not the plain CMS'\n"
        "info = cms.ContentInfo.load(stamped)['content']['signer_infos'][0]\n"
        "attrs = info['unsigned_attrs']\n"
        "assert len(attrs) == 1 and attrs[0]['type'].dotted == '1.2.840.113549.1.9.16.2.14'\n"
        "open(sys.argv[4] + '.tst', 'wb').write(attrs[0]['values'][0].dump())\n"
        "open(sys.argv[4] + '.sig', 'wb').write(info['signature'].native)\n";
    WriteBytes(Work("check.py"), std::vector<uint8_t>(script.begin(), script.end()));
    NssTest::Run("/usr/bin/python3 " + Work("check.py") + " " + DORVIK_SOURCE_DIR + "/tests/host " +
                 Work("plain.p7s") + " " + Work("stamped.p7s") + " " + Work("token") + " 2>&1");
    const std::string verdict = NssTest::Run("openssl ts -verify -token_in -in " + Work("token.tst") + " -data " +
                                             Work("token.sig") + " -CAfile " + Work("tsa.pem") + " 2>&1");
    EXPECT_NE(verdict.find("Verification: OK"), std::string::npos) << verdict;
    NssTest::Run("openssl cms -verify -binary -inform DER -in " + Work("stamped.p7s") + " -content " + Work("content") +
                 " -CAfile " + Pki().Pem("root") + " -purpose any -out /dev/null 2>&1");
}

TEST(TimestampedSignature, StampThatCannotBeHadFailsTheSignature)
{
    TOpensslTsa tsa;
    tsa.Override = [](const UnitHttp::THttpPost&) {
        UnitHttp::THttpAnswer answer;
        answer.Delivered = true;
        answer.Status = 503;
        return answer;
    };
    EXPECT_FALSE(Sign(SignerRequest(Attr("TimestampURL", "https://tsa.example.test/")), tsa));
    EXPECT_EQ(UnitEncoding::Asn1ErrorWord(), "TimestampUnavailable");
    tsa.Override = [](const UnitHttp::THttpPost&) {
        UnitHttp::THttpAnswer answer;
        answer.Delivered = true;
        answer.Status = 200;
        answer.Body = {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x02};
        return answer;
    };
    EXPECT_FALSE(Sign(SignerRequest(Attr("TimestampURL", "https://tsa.example.test/")), tsa));
    EXPECT_EQ(UnitEncoding::Asn1ErrorWord(), "TimestampRejected");
    // The PDF road keeps the word of the CMS inside it.
    const std::vector<uint8_t> pdf = NssTest::ReadFile(std::string(DORVIK_SOURCE_DIR) + "/fuzz/corpus/pdf_loader_fuzzer/info.pdf");
    const std::string pades = "<SIGNEDDATA" + Attr("CertificateCode", NssTest::OpenSslThumbprint(Pki().Pem("signer"))) +
                              Attr("Content", UnitCodecs::HexEncode(pdf)) + Attr("Binary", "1") + Attr("Format", "PADES") +
                              Attr("TimestampURL", "https://tsa.example.test/") + "/>";
    EXPECT_FALSE(Sign(pades, tsa));
    EXPECT_EQ(UnitEncoding::Asn1ErrorWord(), "TimestampRejected");
    tsa.Override = {};
    const auto signedPdf = Sign(pades, tsa);
    ASSERT_TRUE(signedPdf) << UnitEncoding::Asn1ErrorWord();
    EXPECT_GT(signedPdf->size(), pdf.size() + 20480 + 32768);
}

TEST(TimestampedSignature, KeyAndCertificateGivenInTheRequest)
{
    TOpensslTsa tsa;
    const std::string key = NssTest::Run("openssl rsa -in " + Pki().Key("loaded") +
                                         " -traditional -outform DER 2>/dev/null | openssl base64 -A");
    const std::string cert = NssTest::Run("openssl x509 -in " + Pki().Pem("loaded") +
                                          " -outform DER | /usr/bin/python3 -c \"import sys; print(sys.stdin.buffer.read().hex().upper(), end='')\"");
    const auto der = Sign("<SIGNEDDATA" + Attr("Pvk", key) + Attr("Certificate0", cert) + Attr("Content", "616263") +
                              Attr("Binary", "1") + Attr("Dettached", "1") + "/>",
                          tsa);
    ASSERT_TRUE(der) << UnitEncoding::Asn1ErrorWord();
    WriteBytes(Work("pvk.p7s"), *der);
    WriteBytes(Work("content"), {'a', 'b', 'c'});
    NssTest::Run("openssl cms -verify -binary -inform DER -in " + Work("pvk.p7s") + " -content " + Work("content") +
                 " -noverify -out /dev/null 2>&1");
}

}  // namespace
