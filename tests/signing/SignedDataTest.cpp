// Signatures made through the SIGNEDDATA element, with keys of the software token, of a
// SoftHSM token and of a PKCS#12 file, checked by openssl cms -verify and by asn1crypto.
#include "crypto/UnitAsn1.h"
#include "crypto/UnitLibraryEncodings.h"
#include "crypto/UnitSignedData.h"
#include "crypto/UnitSignedDataReport.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "tests/support/NssTestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

namespace {

using NssTest::Pki;

struct TDigest {
    const char* Name;
    const char* Oid;
};

constexpr TDigest Digests[] = {
    {"sha1", "1.3.14.3.2.26"},          {"sha224", "2.16.840.1.101.3.4.2.4"}, {"sha256", "2.16.840.1.101.3.4.2.1"},
    {"sha384", "2.16.840.1.101.3.4.2.2"}, {"sha512", "2.16.840.1.101.3.4.2.3"},
};

enum class TSigner { StoreKey, TokenKey, Pkcs12File };

std::string Attr(std::string_view name, std::string_view value)
{
    return " " + std::string(name) + "=\"" + std::string(value) + "\"";
}

class SignedData : public ::testing::TestWithParam<std::tuple<TSigner, int, bool>> {
protected:
    std::string Work(const std::string& name) const
    {
        const auto dir = std::filesystem::path(Pki().Root) / "signing";
        std::filesystem::create_directories(dir);
        return (dir / name).string();
    }
};

TEST_P(SignedData, VerifiesWithOpenSslAndAsn1Crypto)
{
    const auto [signer, digestIndex, detached] = GetParam();
    const TDigest& digest = Digests[digestIndex];
    std::string document = "Contrato de prestação de serviços\r\n";
    for (int i = 0; i < 200; ++i)
        document += "linha " + std::to_string(i) + "\n";
    const std::string tag = std::to_string(static_cast<int>(signer)) + digest.Name + (detached ? "d" : "a");
    const std::string contentPath = Work("doc" + tag + ".txt");
    std::ofstream(contentPath, std::ios::binary) << document;

    std::string request = "<SIGNEDDATA" + Attr("Content", UnitCodecs::HexEncode(UnitCodecs::AsBytes(document)))
        + Attr("Binary", "1") + Attr("Hash", digest.Oid) + Attr("Dettached", detached ? "1" : "0")
        + Attr("DocumentName", "doc.txt");
    std::string signerPem;
    switch (signer) {
    case TSigner::StoreKey:
        request += Attr("CertificateCode", NssTest::OpenSslThumbprint(Pki().Pem("signer")));
        signerPem = Pki().Pem("signer");
        break;
    case TSigner::TokenKey:
        request += Attr("CertificateCode", NssTest::OpenSslThumbprint(Pki().Pem("hsm")));
        signerPem = Pki().Pem("hsm");
        break;
    case TSigner::Pkcs12File: {
        // A file as users get them from their authority: key, certificate and the chain.
        const std::string p12 = Pki().Files + "/loaded-chain.p12";
        if (!std::filesystem::exists(p12))
            NssTest::Run("openssl pkcs12 -export -in " + Pki().Pem("loaded") + " -inkey " + Pki().Key("loaded")
                         + " -certfile " + Pki().Pem("intermediate") + " -passout 'pass:" + NssTest::P12Password
                         + "' -out " + p12);
        request += Attr("CertificateFileName", p12) + Attr("CertificateFilePwd", NssTest::P12Password);
        signerPem = Pki().Pem("loaded");
        break;
    }
    }
    request += "/>";

    const auto der = UnitEncoding::DecodeText(request, 14, UnitLibraryEncodings::Table());
    ASSERT_TRUE(der.has_value()) << "status " << UnitEncoding::ConversionStatus();
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "OK");
    const std::string cmsPath = Work("sig" + tag + ".p7s");
    std::ofstream(cmsPath, std::ios::binary).write(reinterpret_cast<const char*>(der->data()), static_cast<std::streamsize>(der->size()));

    const std::string verify = "openssl cms -verify -binary -inform DER -in " + cmsPath + " -CAfile " + Pki().Pem("root")
        + " -purpose any -out " + Work("out" + tag) + (detached ? " -content " + contentPath : std::string())
        + " 2>&1";
    EXPECT_NO_THROW(NssTest::Run(verify)) << verify;
    std::ifstream out(Work("out" + tag), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(out), {}), document);

    const std::string check = std::string("/usr/bin/python3 ") + DORVIK_SOURCE_DIR + "/tests/signing/check_cms.py " + cmsPath
        + " " + contentPath + " " + digest.Name + " " + signerPem + " " + Pki().Pem("intermediate") + " 2>&1";
    EXPECT_NO_THROW(NssTest::Run(check)) << check;

    // Our own verification report agrees: the value, the content and the chain to the root.
    UnitSignedDataReport::TTrustedCertificates trusted("/nonexistent-dorvik-trusted/");
    const std::vector<uint8_t> rootPem = NssTest::ReadFile(Pki().Pem("root"));
    trusted.Add(UnitCodecs::HexDecode(UnitAsn1::PemToHex(std::string(rootPem.begin(), rootPem.end()))));
    UnitSignedDataReport::TReportOptions options;
    options.Trusted = &trusted;
    const std::vector<uint8_t> content(document.begin(), document.end());
    if (detached)
        options.Content = std::span<const uint8_t>(content);
    auto report = UnitSignedDataReport::BuildReport(*der, options);
    for (const char* field : {"Status", "Integrity", "ContentValidation", "ContentTypeValidation"})
        EXPECT_EQ(report->GetNode(std::string("Signers\\Signer\\Signature\\") + field)->GetValue(), "OK") << field;
    EXPECT_EQ(report->GetNode("Signers\\Signer\\SignedAttributes\\CapicomDocumentName")->GetValue(), "doc.txt");
    TXmlDoc* exceptions = report->GetNode("Header\\Exceptions");
    for (const char* word : {"IncompleteCertificateChain", "UntrustedRoot", "SignatureCheckConstraint",
                             "CmsSignedDataContentMissing", "InvalidContent", "CertificateSignatureCheckFailed"})
        EXPECT_FALSE(exceptions->HasNode(word)) << word << "\n" << report->GetXML();
}

INSTANTIATE_TEST_SUITE_P(AllRoads, SignedData,
                         ::testing::Combine(::testing::Values(TSigner::StoreKey, TSigner::TokenKey, TSigner::Pkcs12File),
                                            ::testing::Range(0, 5), ::testing::Bool()));

class SignedDataRequest : public ::testing::Test {
protected:
    // Builds the request and decodes the result's SignerInfo.
    static std::unique_ptr<TXmlDoc> Sign(const std::string& attributes, std::string* status = nullptr)
    {
        const std::string request = "<SIGNEDDATA" + Attr("CertificateCode", NssTest::OpenSslThumbprint(Pki().Pem("signer")))
            + attributes + "/>";
        const auto der = UnitEncoding::DecodeText(request, 14, UnitLibraryEncodings::Table());
        if (status)
            *status = UnitEncoding::ConversionStatus();
        if (!der)
            return nullptr;
        auto tree = std::make_unique<TXmlDoc>();
        UnitAsn1::DecodeIntoNode(*tree, *der);
        return tree;
    }

    static TXmlDoc* SignedDataNode(TXmlDoc& info) { return info.ChildAt(1)->ChildAt(0); }
    static TXmlDoc* SignerInfo(TXmlDoc& info) { return SignedDataNode(info)->ChildAt(4)->ChildAt(0); }
    static std::vector<std::string> AttributeOids(TXmlDoc& info)
    {
        std::vector<std::string> oids;
        TXmlDoc* attrs = SignerInfo(info)->ChildAt(3);
        for (int i = 0; i < attrs->GetNodeCount(); ++i)
            oids.push_back(attrs->ChildAt(static_cast<size_t>(i))->ChildAt(0)->Getp("Value"));
        return oids;
    }
};

TEST_F(SignedDataRequest, DefaultsVersionAndAttributes)
{
    auto info = Sign(Attr("Content", "414243") + Attr("Binary", "1") + Attr("Hash", "2.16.840.1.101.3.4.2.1"));
    ASSERT_TRUE(info);
    TXmlDoc* sd = SignedDataNode(*info);
    EXPECT_EQ(sd->ChildAt(0)->Getp("Value"), "1");
    EXPECT_EQ(sd->ChildAt(2)->GetNodeCount(), 2) << "attached content";
    EXPECT_EQ(sd->ChildAt(3)->GetNodeCount(), 3) << "signer, intermediate and root";
    EXPECT_EQ(AttributeOids(*info), (std::vector<std::string>{"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4",
                                                              "1.2.840.113549.1.9.5", "1.2.840.113549.1.9.16.2.47"}));
    // ESSCertIDv2 for SHA-256 leaves out the algorithm: hash first.
    TXmlDoc* certId = SignerInfo(*info)->ChildAt(3)->ChildAt(3)->ChildAt(1)->ChildAt(0)->ChildAt(0)->ChildAt(0);
    EXPECT_EQ(certId->ChildAt(0)->GetName(), "OCTETSTRING");
}

TEST_F(SignedDataRequest, TypeOrderSigningTimeAndPolicy)
{
    auto info = Sign(Attr("Content", "abc") + Attr("Type", "1.2.840.113549.1.7.5") + Attr("Order", " MessageDigest , contenttype,Nothing"));
    ASSERT_TRUE(info);
    EXPECT_EQ(SignedDataNode(*info)->ChildAt(0)->Getp("Value"), "3");
    EXPECT_EQ(AttributeOids(*info), (std::vector<std::string>{"1.2.840.113549.1.9.4", "1.2.840.113549.1.9.3"}));

    info = Sign(Attr("Content", "abc") + Attr("SigningTime", "0"));
    ASSERT_TRUE(info);
    const auto oids = AttributeOids(*info);
    EXPECT_EQ(std::count(oids.begin(), oids.end(), "1.2.840.113549.1.9.5"), 0);

    for (const auto& [policy, nullExpected, uri] :
         {std::tuple{"2.16.76.1.7.1.1.2.3,2.16.840.1.101.3.4.2.1,0A0B", true, false},
          std::tuple{"2.16.76.1.7.1.1.2.3,2.16.840.1.101.3.4.2.1,0A0B,1", false, false},
          std::tuple{"2.16.76.1.7.1.1.2.3,2.16.840.1.101.3.4.2.1,0A0B,1,http://politicas.icpbrasil.gov.br/PA_AD_RB_v2_3.der", false, true}}) {
        info = Sign(Attr("Content", "abc") + Attr("Policy", policy) + Attr("Order", "Policy"));
        ASSERT_TRUE(info) << policy;
        TXmlDoc* value = SignerInfo(*info)->ChildAt(3)->ChildAt(0)->ChildAt(1)->ChildAt(0);
        EXPECT_EQ(value->ChildAt(0)->Getp("Value"), "2.16.76.1.7.1.1.2.3");
        EXPECT_EQ(value->ChildAt(1)->ChildAt(0)->GetNodeCount(), nullExpected ? 2 : 1) << policy;
        EXPECT_EQ(value->GetNodeCount(), uri ? 3 : 2) << policy;
    }
}

TEST_F(SignedDataRequest, ContentHashIsUsedAndFailuresLeaveTheirWords)
{
    auto info = Sign(Attr("ContentHash", std::string(64, 'A')) + Attr("Dettached", "1") + Attr("Order", "MessageDigest"));
    ASSERT_TRUE(info);
    EXPECT_EQ(SignedDataNode(*info)->ChildAt(2)->GetNodeCount(), 1) << "detached: type only";
    EXPECT_EQ(SignerInfo(*info)->ChildAt(3)->ChildAt(0)->ChildAt(1)->ChildAt(0)->Getp("Value"), std::string(64, 'A'));

    std::string status;
    const std::string missing = "<SIGNEDDATA" + Attr("CertificateCode", std::string(40, '0')) + Attr("Content", "x") + "/>";
    EXPECT_FALSE(UnitEncoding::DecodeText(missing, 14, UnitLibraryEncodings::Table()).has_value());
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "FindCertificateFailed");
    EXPECT_FALSE(UnitEncoding::DecodeText("<SIGNEDDATA Content=\"x\"/>", 14, UnitLibraryEncodings::Table()).has_value());
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "SignatureFailed");
    EXPECT_FALSE(UnitEncoding::DecodeText("<SIGNEDDATA CertificateFileName=\"/nonexistent.p12\" CertificateFilePwd=\"x\"/>", 14, UnitLibraryEncodings::Table()).has_value());
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "LoadPfxFailed");
    // A code that differs only in letter case is another code.
    std::string lower = NssTest::OpenSslThumbprint(Pki().Pem("signer"));
    for (auto& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_FALSE(UnitEncoding::DecodeText("<SIGNEDDATA" + Attr("CertificateCode", lower) + Attr("Content", "x") + "/>", 14, UnitLibraryEncodings::Table()));
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "FindCertificateFailed");
}

TEST(SignedDataFiles, KeyFileNamesWithAZeroByteOrNamingNoFileAreRefused)
{
    const std::string p12 = Pki().Files + "/zero-byte.p12";
    if (!std::filesystem::exists(p12))
        NssTest::Run("openssl pkcs12 -export -in " + Pki().Pem("loaded") + " -inkey " + Pki().Key("loaded")
                     + " -passout 'pass:" + NssTest::P12Password + "' -out " + p12);
    auto sign = [&](const std::string& fileName) {
        const std::string request = "<SIGNEDDATA" + Attr("CertificateFileName", fileName)
            + Attr("CertificateFilePwd", NssTest::P12Password) + Attr("Content", "x") + "/>";
        return UnitEncoding::DecodeText(request, 14, UnitLibraryEncodings::Table()).has_value();
    };
    ASSERT_TRUE(sign(p12)) << UnitEncoding::ConversionStatus();
    // "&#0;" puts a zero byte in the name: the kernel would stop there and open the key file.
    EXPECT_FALSE(sign(p12 + "&#0;.elsewhere"));
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "LoadPfxFailed");
    EXPECT_FALSE(sign("/dev/zero"));
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "LoadPfxFailed");
    EXPECT_FALSE(sign(Pki().Files));
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "LoadPfxFailed");
}

}  // namespace
