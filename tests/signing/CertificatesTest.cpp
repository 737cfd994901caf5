// The certificate operations over the scratch NSS world: listing, the reference node's rules,
// store changes that report only real changes, and decryption with temporary recipients.
#include "crypto/UnitCertificates.h"
#include "encoding/UnitCodecs.h"
#include "tests/support/NssTestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using NssTest::Pki;

std::string Code(const char* party)
{
    return NssTest::OpenSslThumbprint(Pki().Pem(party));
}

std::string FileHex(const std::string& path)
{
    return UnitCodecs::HexEncode(NssTest::ReadFile(path));
}

// The DER of a PEM certificate, as base64 on one line.
std::string Base64Of(const char* party)
{
    return NssTest::Run("openssl x509 -in " + Pki().Pem(party) + " -outform DER | base64 -w0");
}

TEST(Certificates, ListsSignersSortedAndOthersApart)
{
    TXmlDoc signers("Certificates");
    ASSERT_TRUE(UnitCertificates::ListCertificates(signers, true));
    ASSERT_EQ(signers.GetNodeCount(), 2);
    EXPECT_EQ(signers.ChildAt(0)->Getp("Name"), "Anna Signer");
    EXPECT_EQ(signers.ChildAt(1)->Getp("Name"), "Harry Token");
    EXPECT_EQ(signers.ChildAt(0)->Getp("Code"), Code("signer"));
    EXPECT_EQ(signers.ChildAt(1)->Getp("Store"), "2");
    EXPECT_EQ(signers.Getp("User"), "2");

    TXmlDoc others("Certificates");
    ASSERT_TRUE(UnitCertificates::ListCertificates(others, false));
    ASSERT_EQ(others.GetNodeCount(), 1);
    EXPECT_EQ(others.ChildAt(0)->Getp("Name"), "Otto Other");
}

TEST(Certificates, ReferencePrecedenceAndExport)
{
    // "Code" wins over "FileName".
    TXmlDoc both("Certificate");
    both.Setp("Code", Code("hsm"));
    both.Setp("FileName", Pki().Files + "/loaded.p12");
    both.Setp("FilePwd", NssTest::P12Password);
    ASSERT_TRUE(UnitCertificates::ExportCertificate(both));
    EXPECT_EQ(both.Getp("Data"), Base64Of("hsm"));

    TXmlDoc file("Certificate");
    file.Setp("FileName", Pki().Files + "/loaded.p12");
    file.Setp("FilePwd", NssTest::P12Password);
    ASSERT_TRUE(UnitCertificates::ExportCertificate(file));
    EXPECT_EQ(file.Getp("Data"), Base64Of("loaded"));

    // Store 1 is the local machine, searched under the empty store name: nothing there.
    TXmlDoc machine("Certificate");
    machine.Setp("Code", Code("signer"));
    machine.Setp("Store", "1");
    EXPECT_FALSE(UnitCertificates::ExportCertificate(machine));
    EXPECT_NE(UnitCertificates::Diagnostic().find("CertificateNotFound"), std::string::npos);
}

TEST(Certificates, EmptyCodeStoreOrFileNameCountAsAbsent)
{
    // The dialog's hand-over: an entry whose "Store" went (the selection drops it) is copied
    // into a reference as Code + Store, so Store is there but empty: the current user's store.
    TXmlDoc list("Certificates");
    ASSERT_TRUE(UnitCertificates::ListCertificates(list, true));
    ASSERT_GT(list.GetNodeCount(), 0);
    TXmlDoc* entry = list.ChildAt(0);
    entry->DeleteProperty("Store");
    TXmlDoc handedOver("Certificate");
    handedOver.Setp("Code", entry->Getp("Code"));
    handedOver.Setp("Store", entry->Getp("Store"));
    ASSERT_NE(handedOver.FindProperty("Store"), nullptr);
    ASSERT_TRUE(UnitCertificates::ExportCertificate(handedOver)) << UnitCertificates::Diagnostic();
    EXPECT_EQ(handedOver.Getp("Data"), Base64Of("signer"));
    TXmlDoc chain("Chain");
    EXPECT_TRUE(UnitCertificates::MountCertificateChain(handedOver, &chain));
    EXPECT_GT(chain.GetNodeCount(), 0);

    // An empty "Code" (or "FileName") lets the next form of the reference decide.
    TXmlDoc file("Certificate");
    file.Setp("Code", "");
    file.Setp("Store", "");
    file.Setp("FileName", Pki().Files + "/loaded.p12");
    file.Setp("FilePwd", NssTest::P12Password);
    ASSERT_TRUE(UnitCertificates::ExportCertificate(file)) << UnitCertificates::Diagnostic();
    EXPECT_EQ(file.Getp("Data"), Base64Of("loaded"));
    TXmlDoc data("Certificate");
    data.Setp("Code", "");
    data.Setp("FileName", "");
    data.Setp("Data", FileHex(Pki().Files + "/loaded.p12"));
    data.Setp("Pwd", NssTest::P12Password);
    ASSERT_TRUE(UnitCertificates::ExportCertificate(data)) << UnitCertificates::Diagnostic();
    EXPECT_EQ(data.Getp("Data"), Base64Of("loaded"));
}

TEST(Certificates, Pkcs12DataGoesThroughAWipedTemporaryFile)
{
    const auto temp = std::filesystem::path(Pki().Root) / "temp-p12";
    std::filesystem::create_directories(temp);
    setenv("TEMP", temp.c_str(), 1);

    TXmlDoc data("Certificate");
    data.Setp("Data", FileHex(Pki().Files + "/loaded.p12"));
    data.Setp("Pwd", NssTest::P12Password);
    ASSERT_TRUE(UnitCertificates::ExportCertificate(data));
    EXPECT_EQ(data.Getp("Data"), Base64Of("loaded"));
    EXPECT_TRUE(std::filesystem::is_empty(temp)) << "the temporary PKCS#12 file is gone";

    // "Local": the same certificate, but the one of the user's store (with its store key).
    TXmlDoc local("Certificate");
    local.Setp("Data", FileHex(Pki().Files + "/signer.p12"));
    local.Setp("Pwd", "signer");
    local.Setp("Local", "1");
    std::string signature;
    const std::vector<uint8_t> content = {'a', 'b', 'c'};
    ASSERT_TRUE(UnitCertificates::SignWithCertificateKey(local, content,
                                                         "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
                                                         "2.16.840.1.101.3.4.2.1", signature));
    EXPECT_NE(UnitCertificates::Diagnostic().find("CNG selected"), std::string::npos) << UnitCertificates::Diagnostic();
    EXPECT_EQ(signature.size(), 512u);

    TXmlDoc wrong("Certificate");
    wrong.Setp("Data", FileHex(Pki().Files + "/loaded.p12"));
    wrong.Setp("Pwd", "not the password");
    EXPECT_FALSE(UnitCertificates::ExportCertificate(wrong));
    EXPECT_TRUE(std::filesystem::is_empty(temp));
    unsetenv("TEMP");
}

TEST(Certificates, StoreChangesReportOnlyRealChanges)
{
    TXmlDoc extra("Certificate");
    extra.Setp("Data", NssTest::Run("openssl x509 -in " + Pki().Pem("extra") + " -outform DER | od -An -v -tx1 | tr -d ' \\n'"));
    const std::string code = Code("extra");
    EXPECT_FALSE(UnitCertificates::IsCertificateInStore(code, false, true));
    EXPECT_TRUE(UnitCertificates::SetCertificateInStore(extra, false, true, false));
    EXPECT_TRUE(UnitCertificates::IsCertificateInStore(code, false, true));
    EXPECT_FALSE(UnitCertificates::SetCertificateInStore(extra, false, true, false)) << "already there";
    EXPECT_TRUE(UnitCertificates::SetCertificateInStore(extra, false, true, true));
    EXPECT_FALSE(UnitCertificates::SetCertificateInStore(extra, false, true, true)) << "already gone";
    EXPECT_FALSE(UnitCertificates::IsCertificateInStore(code, false, true));
}

TEST(Certificates, DecryptionWithTemporaryRecipientsLeavesTheStoreAsItWas)
{
    const std::string dir = Pki().Root + "/enveloped";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/secret.txt") << "segredo";
    NssTest::Run("openssl cms -encrypt -binary -aes256 -in " + dir + "/secret.txt -outform DER -out " + dir
                 + "/secret.p7m " + Pki().Pem("loaded"));

    TXmlDoc before("Certificates");
    UnitCertificates::ListCertificates(before, true);

    TXmlDoc recipients("Recipients");
    TXmlDoc* r = recipients.New("Certificate");
    r->Setp("Name", "Lena Loaded");
    r->Setp("Data", FileHex(Pki().Files + "/loaded.p12"));
    r->Setp("Pwd", NssTest::P12Password);
    const auto message = NssTest::ReadFile(dir + "/secret.p7m");
    std::string content;
    ASSERT_TRUE(UnitCertificates::DecryptEnvelopedData(
        std::string_view(reinterpret_cast<const char*>(message.data()), message.size()), content, &recipients))
        << UnitCertificates::Diagnostic();
    EXPECT_EQ(content, "segredo");

    TXmlDoc after("Certificates");
    UnitCertificates::ListCertificates(after, true);
    EXPECT_EQ(after.GetXML(), before.GetXML());
}

TEST(Certificates, TokenKeysHaveNoMd5AndMissingKeysAreNamed)
{
    TXmlDoc token("Certificate");
    token.Setp("Code", Code("hsm"));
    std::string signature;
    EXPECT_FALSE(UnitCertificates::SignWithCertificateKey(token, {}, "00112233445566778899AABBCCDDEEFF",
                                                          "1.2.840.113549.2.5", signature));
    EXPECT_NE(UnitCertificates::Diagnostic().find("CannotComputeSignatureSize"), std::string::npos)
        << UnitCertificates::Diagnostic();

    TXmlDoc other("Certificate");
    other.Setp("Data", NssTest::Run("openssl x509 -in " + Pki().Pem("other") + " -outform DER | od -An -v -tx1 | tr -d ' \\n'"));
    EXPECT_FALSE(UnitCertificates::SignWithCertificateKey(other, {}, std::string(64, 'A'), "2.16.840.1.101.3.4.2.1", signature));
    EXPECT_NE(UnitCertificates::Diagnostic().find("PrivateKeyNotFound"), std::string::npos) << UnitCertificates::Diagnostic();
}

}  // namespace
