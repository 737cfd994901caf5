// The crypto actions in process: keys, ciphers' failure words, credentials used to sign with the
// CMS builder and to open enveloped data, and enveloped data for the certificates of the store.
// The comparisons with the openssl CLI and python's hashlib over the library's C interface are in
// test_crypto_actions.py.
#include "actions/UnitCryptActions.h"
#include "actions/UnitPlugActions.h"
#include "actions/UnitActionEncodings.h"
#include "actions/UnitPlugins.h"
#include "crypto/UnitAsn1.h"
#include "crypto/UnitOpenSsl.h"
#include "crypto/UnitSignedData.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "tests/support/NssTestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace UnitPlugActions;
using NssTest::Pki;
using UnitCryptActions::TCryptKeyPassword;

using TChildren = std::vector<std::pair<std::string, std::string>>;

std::string Work(const std::string& name)
{
    const auto dir = std::filesystem::path(Pki().Root) / "actions";
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

void Save(const std::string& path, std::string_view bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class CryptActions : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        UnitPlugins::Register();
    }

    // Runs a request through the library's actions; the status of the walk goes to *status.
    static std::unique_ptr<TXmlDoc> Run(std::string_view id, const TChildren& children, bool* handled = nullptr)
    {
        TXmlDoc request{std::string(id)};
        for (const auto& [name, value] : children)
            request.New(name)->SetValue(value);
        // Through the text form, as callers send it.
        const TRunResult run = Registry().RunRequest(request.GetXML());
        if (handled)
            *handled = run.Stored;
        if (!run.Stored)
            return std::make_unique<TXmlDoc>("Response");
        std::string buffer(static_cast<size_t>(run.Length) + 1, '\0');
        int32_t length = run.Length;
        int32_t status = 0;
        Registry().Entry(run.Status, buffer.data(), &length, &status);
        EXPECT_EQ(status, StatusHandled);
        buffer.pop_back();
        return TXmlDoc::CreateFromXML(buffer);
    }
};

std::vector<std::string> OfferedCiphers()
{
    std::vector<std::string> names;
    for (const auto& cipher : UnitCryptActions::CipherTable())
        if (UnitOpenSsl::FetchCipher(cipher.Function))
            names.emplace_back(cipher.Name);
    return names;
}

TEST_F(CryptActions, TheCipherTableInItsOrder)
{
    const auto table = UnitCryptActions::CipherTable();
    ASSERT_EQ(table.size(), 28u);
    EXPECT_EQ(table[0].Name, "BlowfishCBC");
    EXPECT_EQ(table[12].Name, "DESXCBC");
    EXPECT_EQ(table[13].Function, "EVP_idea_cbc");
    EXPECT_EQ(table[27].Name, "AES256OFB");
    EXPECT_EQ(UnitCryptActions::CipherIndex("AES256CBC"), 25);
    EXPECT_EQ(UnitCryptActions::CipherIndex("aes256cbc"), -1) << "names match exactly";
    // Everything but IDEA is offered by the installed library (legacy provider included).
    EXPECT_GE(OfferedCiphers().size(), 25u);
}

TEST_F(CryptActions, RandomKeysHaveNoZeroByteAndExportWhole)
{
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        TCryptKeyPassword key(25);
        key.MakeRandomKey();
        for (uint8_t byte : key.Key())
            ASSERT_NE(byte, 0);
        const std::string text = key.ExportKey().Text();
        EXPECT_EQ(UnitOpenSsl::Base64DecodeSecret(text).size(), 32u);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 50u);

    TCryptKeyPassword key;
    key.SetKeyText("YWJj");  // "abc"
    EXPECT_EQ(key.ExportKey().Text(), "YWJj") << "up to the first zero byte";
    EXPECT_EQ(key.Key()[3], 0);
    key.SetKeyText(UnitOpenSsl::Base64Encode(std::vector<uint8_t>(40, 0x41)));
    EXPECT_EQ(UnitOpenSsl::Base64DecodeSecret(key.ExportKey().Text()).size(), 32u) << "at most 32 bytes";
}

TEST_F(CryptActions, AGeneratedKeyDecryptsItsOwnResultForEveryCipher)
{
    const std::string content = "Conteúdo sigiloso\r\n<&>\"' " + std::string(100, 'x');
    for (const std::string& cipher : OfferedCiphers()) {
        auto encrypted = Run(IdEncryptData, {{"Algorithm", cipher}, {"Content", content}});
        ASSERT_EQ(encrypted->Getp("Status"), "OK") << cipher;
        const std::string key = encrypted->GetNode("BinaryPassword")->GetValue();
        ASSERT_EQ(UnitOpenSsl::Base64DecodeSecret(key).size(), 32u) << cipher;
        EXPECT_EQ(encrypted->GetNode("EncryptedData")->GetEncType(), "length");
        auto decrypted = Run(IdDecryptData, {{"Algorithm", cipher}, {"BinaryPassword", key},
                                             {"EncryptedData", encrypted->GetNode("EncryptedData")->GetValue()}});
        ASSERT_EQ(decrypted->Getp("Status"), "OK") << cipher;
        EXPECT_EQ(decrypted->GetNode("Content")->GetValue(), content) << cipher;
        EXPECT_EQ(decrypted->GetNode("Content")->GetEncType(), "length");
        EXPECT_FALSE(decrypted->HasNode("BinaryPassword"));
    }
}

TEST_F(CryptActions, APasswordIsUsedAsItsOwnBytesUpToThirtyTwo)
{
    const std::string long40 = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    const auto data = [&](const std::string& password) {
        auto response = Run(IdEncryptData, {{"Algorithm", "AES256CBC"}, {"Password", password}, {"Content", "texto"}});
        EXPECT_EQ(response->Getp("Status"), "OK");
        EXPECT_FALSE(response->HasNode("BinaryPassword")) << "no key was generated";
        return response->GetNode("EncryptedData")->GetValue();
    };
    EXPECT_EQ(data(long40), data(long40.substr(0, 32)));
    EXPECT_NE(data(long40), data(long40.substr(0, 31)));
    // The same key given as "BinaryPassword".
    auto binary = Run(IdEncryptData, {{"Algorithm", "AES256CBC"},
                                      {"BinaryPassword", UnitOpenSsl::Base64Encode(UnitCodecs::AsBytes(long40))},
                                      {"Content", "texto"}});
    EXPECT_EQ(binary->GetNode("EncryptedData")->GetValue(), data(long40));
    auto decrypted = Run(IdDecryptData, {{"Algorithm", "AES256CBC"}, {"Password", long40.substr(0, 32) + "zzz"},
                                         {"EncryptedData", data(long40)}});
    EXPECT_EQ(decrypted->GetNode("Content")->GetValue(), "texto");
}

TEST_F(CryptActions, UnknownAndMissingCiphersAnswerUnsupportedAlgorithm)
{
    const bool idea = static_cast<bool>(UnitOpenSsl::FetchCipher("EVP_idea_cbc"));
    for (const char* name : {"IDEACBC", "IDEAECB", "IDEAOFB"}) {
        auto response = Run(IdEncryptData, {{"Algorithm", name}, {"Password", "x"}, {"Content", "abc"}});
        EXPECT_EQ(response->Getp("Status"), idea ? "OK" : "UnsupportedAlgorithm") << name;
        auto back = Run(IdDecryptData, {{"Algorithm", name}, {"Password", "x"}, {"EncryptedData", "AAAAAAAAAAA="}});
        if (!idea) {
            EXPECT_EQ(back->Getp("Status"), "UnsupportedAlgorithm") << name;
        }
    }
    for (const char* name : {"aes256cbc", "AES256", "", "RC4"}) {
        EXPECT_EQ(Run(IdEncryptData, {{"Algorithm", name}, {"Content", "abc"}})->Getp("Status"), "UnsupportedAlgorithm");
        EXPECT_EQ(Run(IdDecryptData, {{"Algorithm", name}, {"EncryptedData", "abc"}})->Getp("Status"),
                  "UnsupportedAlgorithm");
    }
}

TEST_F(CryptActions, WrongKeysAndDamagedDataFail)
{
    auto encrypted = Run(IdEncryptData, {{"Algorithm", "AES128CBC"}, {"Password", "right"}, {"Content", "secret text"}});
    const std::string data = encrypted->GetNode("EncryptedData")->GetValue();
    auto wrong = Run(IdDecryptData, {{"Algorithm", "AES128CBC"}, {"Password", "wrong"}, {"EncryptedData", data}});
    EXPECT_EQ(wrong->Getp("Status"), "Failed");
    EXPECT_FALSE(wrong->HasNode("Content"));
    auto cut = Run(IdDecryptData, {{"Algorithm", "AES128CBC"}, {"Password", "right"}, {"EncryptedData", "AAAA"}});
    EXPECT_EQ(cut->Getp("Status"), "Failed") << "not a whole block";
    auto empty = Run(IdDecryptData, {{"Algorithm", "DES3CBC"}, {"Password", "right"}, {"EncryptedData", ""}});
    EXPECT_EQ(empty->Getp("Status"), "Failed") << "a block cipher's output is never empty";
}

TEST_F(CryptActions, RequestsWithoutAlgorithmAreNotHandled)
{
    bool handled = true;
    Run(IdEncryptData, {{"Content", "abc"}}, &handled);
    EXPECT_FALSE(handled);
    int32_t length = 0;
    int32_t status = 99;
    std::string request = "<" + std::string(IdDecryptData) + "><EncryptedData>abc</EncryptedData></" +
                          std::string(IdDecryptData) + ">";
    Registry().Entry(CodeRequest, request.data(), &length, &status);
    EXPECT_EQ(status, StatusNotHandled) << "neither decrypt action takes it";
}

TEST_F(CryptActions, HashRowsTheLibraryLacksAnswerUnsupportedAlgorithm)
{
    auto sha1 = Run(IdHash, {{"Algorithm", "1"}, {"Content", "abc"}});
    EXPECT_EQ(sha1->Getp("Status"), "OK");
    EXPECT_EQ(sha1->GetNode("Hash")->GetValue(), NssTest::Run("printf abc | openssl dgst -sha1 -r | cut -c1-40 | tr a-f A-F | tr -d '\\n'"));
    for (const char* row : {"9", "-1", "100"})
        EXPECT_EQ(Run(IdHash, {{"Algorithm", row}, {"Content", "abc"}})->Getp("Status"), "UnsupportedAlgorithm") << row;
    const bool md2 = static_cast<bool>(UnitOpenSsl::FetchDigest("EVP_md2"));
    EXPECT_EQ(Run(IdHash, {{"Algorithm", "2"}, {"Content", "abc"}})->Getp("Status"), md2 ? "OK" : "UnsupportedAlgorithm");
    // A missing or unreadable row number reads 0: MD5.
    auto md5 = Run(IdHash, {{"Content", ""}});
    EXPECT_EQ(md5->GetNode("Hash")->GetValue(), "D41D8CD98F00B204E9800998ECF8427E");
}

// ---- credentials

struct TCredentialRequest {
    std::string Algorithm = "1.2.840.113549.1.1.11";
    std::string KeySize = "2048";
    std::string Expiration = "2031-06-30";
    std::string Password = "senha do teste";
    TChildren Subject = {{"2.5.4.6", "BR"}, {"2.5.4.10", "Dorvik Test"}, {"2.5.4.3", "Maria Credencial"}};
};

std::unique_ptr<TXmlDoc> CreateCredential(const TCredentialRequest& r, TChildren extra = {})
{
    TXmlDoc request{std::string(IdCreateCredential)};
    request.New("Algorithm")->SetValue(r.Algorithm);
    request.New("KeySize")->SetValue(r.KeySize);
    request.New("Expiration")->SetValue(r.Expiration);
    request.New("Password")->SetValue(r.Password);
    TXmlDoc* subject = request.New("SubjectInfo");
    for (const auto& [id, value] : r.Subject) {
        TXmlDoc* item = subject->New("Item");
        item->New("ID")->SetValue(id);
        item->New("Value")->SetValue(value);
    }
    for (const auto& [name, value] : extra)
        request.New(name)->SetValue(value);
    auto response = std::make_unique<TXmlDoc>("Response");
    Registry().RunActions(request, response.get());
    return response;
}

TEST_F(CryptActions, CredentialParametersAreChecked)
{
    for (const char* missing : {"Algorithm", "KeySize", "Expiration", "Password"}) {
        TXmlDoc request{std::string(IdCreateCredential)};
        for (const auto& [name, value] : TChildren{{"Algorithm", "1.2.840.113549.1.1.11"}, {"KeySize", "512"},
                                                   {"Expiration", "2031-01-01"}, {"Password", "x"}})
            if (name != missing)
                request.New(name)->SetValue(value);
        TXmlDoc response("Response");
        EXPECT_TRUE(Registry().RunActions(request, &response));
        EXPECT_EQ(response.Getp("Status"), "InvalidParams") << missing;
    }
    TCredentialRequest r;
    r.KeySize = "0";
    EXPECT_EQ(CreateCredential(r)->Getp("Status"), "InvalidParams");
    r.KeySize = "512";
    r.Expiration = "not a date";
    EXPECT_EQ(CreateCredential(r)->Getp("Status"), "InvalidParams");
}

TEST_F(CryptActions, KeySizesOutsideTheListOrBelowWhatRsaAllowsFail)
{
    TCredentialRequest r;
    for (const char* size : {"100", "128", "256", "1000", "3072"}) {
        r.KeySize = size;
        auto response = CreateCredential(r);
        EXPECT_EQ(response->Getp("Status"), "Failed") << size;
        EXPECT_FALSE(response->HasNode("Credential"));
    }
    // 512 bits cannot carry a SHA-512 DigestInfo.
    r.KeySize = "512";
    r.Algorithm = "1.2.840.113549.1.1.13";
    EXPECT_EQ(CreateCredential(r)->Getp("Status"), "Failed");
    r.Algorithm = "1.2.840.113549.1.1.5";
    EXPECT_EQ(CreateCredential(r)->Getp("Status"), "OK");
    // An algorithm that names no digest of the table makes a certificate that does not check.
    r.Algorithm = "1.2.3.4";
    EXPECT_EQ(CreateCredential(r)->Getp("Status"), "Failed");
}

TEST_F(CryptActions, ACredentialWithoutNameItemsHasAnEmptySubject)
{
    TCredentialRequest r;
    r.KeySize = "512";
    r.Subject = {{"ChainLength", "3"}, {"", "skipped"}, {"2.5.4.3", ""}};
    auto response = CreateCredential(r);
    ASSERT_EQ(response->Getp("Status"), "OK");
    auto credential = TXmlDoc::CreateFromXML(response->GetNode("Credential")->GetValue());
    EXPECT_EQ(credential->GetNode("Certificate\\Name")->GetValue(), "3") << "the first item's value";
    TXmlDoc certificate;
    UnitAsn1::DecodeHexIntoNode(certificate, UnitAsn1::CertificateFromBase64(
                                                 credential->GetNode("Certificate\\Chain")->ChildAt(0)->Getp("Data")));
    TXmlDoc* tbs = certificate.ChildAt(0);
    EXPECT_EQ(tbs->ChildAt(3)->GetNodeCount(), 0) << "issuer";
    EXPECT_EQ(tbs->ChildAt(5)->GetNodeCount(), 0) << "subject";
}

// One credential for the tests that use it; 2048 bits, made once.
const TXmlDoc& SharedCredential()
{
    static const std::unique_ptr<TXmlDoc> credential = [] {
        TCredentialRequest r;
        auto response = CreateCredential(r, {{"SerialNumber", "123456789012345678901234567890"}});
        EXPECT_EQ(response->Getp("Status"), "OK");
        EXPECT_EQ(response->GetNode("Credential")->GetEncType(), "length");
        return TXmlDoc::CreateFromXML(response->GetNode("Credential")->GetValue());
    }();
    return *credential;
}

std::string CertificatePem(const TXmlDoc& credential, const std::string& path)
{
    TXmlDoc copy;
    copy.Clone(credential);
    const std::string base64 = copy.GetNode("Certificate\\Chain")->ChildAt(0)->Getp("Data");
    std::ofstream(path) << "-----BEGIN CERTIFICATE-----\n" << base64 << "\n-----END CERTIFICATE-----\n";
    return path;
}

TEST_F(CryptActions, ACredentialSignsThroughTheCmsBuilder)
{
    TXmlDoc credential;
    credential.Clone(SharedCredential());
    EXPECT_EQ(credential.GetNode("PFX")->GetEncType(), "length");
    EXPECT_EQ(credential.GetNode("PVK")->GetEncType(), "length");
    EXPECT_EQ(credential.GetNode("Certificate\\Name")->GetValue(), "Maria Credencial");
    const std::string pfxPath = Work("credential.p12");
    std::vector<uint8_t> pfx;
    ASSERT_TRUE(UnitCodecs::HexDecodeStrict(credential.GetNode("PFX")->GetValue(), pfx));
    Save(pfxPath, std::string_view(reinterpret_cast<const char*>(pfx.data()), pfx.size()));
    const std::string pem = CertificatePem(credential, Work("credential.pem"));
    EXPECT_EQ(credential.GetNode("Certificate\\Code")->GetValue(), NssTest::OpenSslThumbprint(pem));

    const std::string document = "Documento assinado com a credencial nova.\n";
    const std::string request = "<SIGNEDDATA Content=\"" + UnitCodecs::HexEncode(UnitCodecs::AsBytes(document)) +
                                "\" Binary=\"1\" Hash=\"2.16.840.1.101.3.4.2.1\" CertificateFileName=\"" + pfxPath +
                                "\" CertificateFilePwd=\"senha do teste\"/>";
    const auto der = UnitEncoding::DecodeText(request, 14, UnitActionEncodings::Table());
    ASSERT_TRUE(der.has_value()) << UnitEncoding::ConversionStatus();
    const std::string cms = Work("credential.p7s");
    Save(cms, std::string_view(reinterpret_cast<const char*>(der->data()), der->size()));
    const std::string out = NssTest::Run("openssl cms -verify -binary -inform DER -in " + cms + " -CAfile " + pem +
                                         " -purpose any 2>/dev/null");
    EXPECT_EQ(out, document);
}

std::string MyStoreListing()
{
    return NssTest::Run("certutil -L -d sql:" + Pki().Database);
}

std::string Envelope(const std::string& recipientPem, const std::string& content, const std::string& name)
{
    const std::string in = Work(name + ".txt");
    Save(in, content);
    return NssTest::Run("openssl cms -encrypt -aes256 -binary -in " + in + " -outform PEM " + recipientPem);
}

TEST_F(CryptActions, EnvelopedDataForACertificateOfTheStore)
{
    const std::string before = MyStoreListing();
    const std::string secret = "Para Anna: conteúdo envelopado.\n";
    auto response = Run(IdDecryptData, {{"EnvelopedData", Envelope(Pki().Pem("signer"), secret, "store")}});
    EXPECT_EQ(response->Getp("Status"), "OK");
    EXPECT_EQ(response->GetNode("Content")->GetValue(), secret);
    EXPECT_EQ(response->GetNode("Content")->GetEncType(), "length");
    EXPECT_EQ(MyStoreListing(), before);

    // A message for a key nobody has: not handled, and the word says why.
    bool handled = true;
    auto refused = Run(IdDecryptData, {{"EnvelopedData", Envelope(Pki().Pem("other"), secret, "other")}}, &handled);
    EXPECT_FALSE(handled);
    TXmlDoc request{std::string(IdDecryptData)};
    request.New("EnvelopedData")->SetValue("not enveloped data");
    TXmlDoc direct("Response");
    Registry().RunActions(request, &direct);
    EXPECT_EQ(direct.Getp("Status"), "Failed");
}

TEST_F(CryptActions, EnvelopedDataForACredentialGivenWithTheRequest)
{
    TXmlDoc credential;
    credential.Clone(SharedCredential());
    const std::string pem = CertificatePem(credential, Work("recipient.pem"));
    const std::string secret = std::string("binary \x01\x02\xff content\r\n", 20) + "end";
    const std::string message = Envelope(pem, secret, "credential");

    const std::string before = MyStoreListing();
    // Without the credential the store has no key for it.
    bool handled = true;
    Run(IdDecryptData, {{"EnvelopedData", message}}, &handled);
    EXPECT_FALSE(handled);

    TXmlDoc bagText("Credentials");
    TXmlDoc* item = bagText.New("CredentialBag")->NewFromClone(credential);
    item->New("Password")->SetValue("senha do teste");
    auto response = Run(IdDecryptData, {{"EnvelopedData", message}, {"Credentials", bagText.GetXML()}});
    EXPECT_EQ(response->Getp("Status"), "OK");
    EXPECT_EQ(response->GetNode("Content")->GetValue(), secret);
    EXPECT_EQ(MyStoreListing(), before) << "the credential left the store again";

    // A wrong password: the credential cannot be added, nothing decrypts.
    item->GetNode("Password")->SetValue("wrong");
    Run(IdDecryptData, {{"EnvelopedData", message}, {"Credentials", bagText.GetXML()}}, &handled);
    EXPECT_FALSE(handled);
    EXPECT_EQ(MyStoreListing(), before);
}

}  // namespace
