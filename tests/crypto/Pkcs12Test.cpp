#include "crypto/UnitOpenSsl.h"
#include "encoding/UnitCodecs.h"
#include "crypto/UnitPkcs12.h"

#include "CryptoTestSupport.h"

#include <gtest/gtest.h>

using namespace UnitPkcs12;
using namespace CryptoTest;

namespace {

class Pkcs12 : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Scratch = std::make_unique<TScratch>();
        const TScratch& s = *Scratch;
        Ca = MakeRsaKey(s, "ca", 2048);
        Leaf = MakeRsaKey(s, "leaf", 2048);
        RunOk("openssl req -x509 -new -key " + Ca.PrivatePem + " -subj /CN=Test-CA -days 30 -out " + s / "ca.crt");
        RunOk("openssl req -new -key " + Leaf.PrivatePem + " -subj /CN=Leaf -out " + s / "leaf.csr");
        RunOk("openssl x509 -req -in " + s / "leaf.csr" + " -CA " + s / "ca.crt" + " -CAkey " + Ca.PrivatePem +
              " -CAcreateserial -days 30 -out " + s / "leaf.crt");
        RunOk("openssl x509 -in " + s / "ca.crt" + " -outform DER -out " + s / "ca.der");
        RunOk("openssl x509 -in " + s / "leaf.crt" + " -outform DER -out " + s / "leaf.der");
        CaHex = FileHex(s / "ca.der");
        LeafHex = FileHex(s / "leaf.der");
        LeafKeyHex = FileHex(KeyDerFile(Leaf.PrivateBase64, "leafkey.der"));
        Exported = s / "exported.p12";
        RunOk("openssl pkcs12 -export -inkey " + Leaf.PrivatePem + " -in " + s / "leaf.crt" + " -certfile " +
              s / "ca.crt" + " -name Leaf -passout pass:s3cret -out " + Exported);
    }
    static void TearDownTestSuite() { Scratch.reset(); }

    static std::string KeyDerFile(const std::string& base64, const std::string& name)
    {
        const std::string file = *Scratch / name;
        WriteBase64AsFile(*Scratch, base64, file);
        return file;
    }

    static void ExpectLeafWithChain(const std::optional<TPkcs12Contents>& contents)
    {
        ASSERT_TRUE(contents);
        EXPECT_EQ(contents->CertificateHex, LeafHex);
        EXPECT_EQ(FileHex(KeyDerFile(contents->PrivateKeyBase64.Text(), "parsed.der")), LeafKeyHex);
        ASSERT_EQ(contents->ChainHex.size(), 1u);
        EXPECT_EQ(contents->ChainHex[0], CaHex);
    }

    static inline std::unique_ptr<TScratch> Scratch;
    static inline TRsaKeyFiles Ca, Leaf;
    static inline std::string CaHex, LeafHex, LeafKeyHex, Exported;
};

}  // namespace

TEST_F(Pkcs12, OpenSslExportParsesIntoKeyCertificateAndChain)
{
    ExpectLeafWithChain(ParsePkcs12File(Exported, "s3cret"));
}

TEST_F(Pkcs12, LegacyEncryptedExportParses)
{
    const std::string legacy = *Scratch / "legacy.p12";
    RunOk("openssl pkcs12 -export -legacy -inkey " + Leaf.PrivatePem + " -in " + *Scratch / "leaf.crt" +
          " -certfile " + *Scratch / "ca.crt" + " -passout pass:old -out " + legacy);
    ExpectLeafWithChain(ParsePkcs12File(legacy, "old"));
}

TEST_F(Pkcs12, WrongPasswordFailsCleanly)
{
    EXPECT_FALSE(ParsePkcs12File(Exported, "wrong"));
    EXPECT_FALSE(ParsePkcs12File(Exported, ""));
    // A failure leaves nothing in the library's error queue that the next call would see.
    EXPECT_TRUE(ParsePkcs12File(Exported, "s3cret"));
}

TEST_F(Pkcs12, DamagedOrMissingFilesFail)
{
    const std::vector<uint8_t> whole = ReadBytes(Exported);
    for (size_t keep : {whole.size() - 1, whole.size() / 2, size_t{10}, size_t{1}}) {
        const std::vector<uint8_t> part(whole.begin(), whole.begin() + static_cast<long>(keep));
        EXPECT_FALSE(ParsePkcs12(part, "s3cret")) << keep;
    }
    std::vector<uint8_t> flipped = whole;
    flipped[flipped.size() / 2] ^= 0x01;
    EXPECT_FALSE(ParsePkcs12(flipped, "s3cret"));
    EXPECT_FALSE(ParsePkcs12(std::vector<uint8_t>(500, 0x30), "s3cret"));
    EXPECT_FALSE(ParsePkcs12({}, "s3cret"));

    const std::string empty = *Scratch / "empty.p12";
    WriteBytes(empty, {});
    EXPECT_FALSE(ParsePkcs12File(empty, "s3cret"));
    EXPECT_FALSE(ParsePkcs12File(*Scratch / "absent.p12", "s3cret"));
    EXPECT_FALSE(ParsePkcs12File(Scratch->Path(), "s3cret"));
}

TEST_F(Pkcs12, FileWithoutRsaKeyIsRefused)
{
    const std::string certsOnly = *Scratch / "certs.p12";
    RunOk("openssl pkcs12 -export -nokeys -in " + *Scratch / "leaf.crt" + " -passout pass:x -out " + certsOnly);
    EXPECT_FALSE(ParsePkcs12File(certsOnly, "x"));

    const std::string ecKey = *Scratch / "ec.pem";
    RunOk("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + ecKey);
    RunOk("openssl req -x509 -new -key " + ecKey + " -subj /CN=Ec -days 1 -out " + *Scratch / "ec.crt");
    const std::string ec = *Scratch / "ec.p12";
    RunOk("openssl pkcs12 -export -inkey " + ecKey + " -in " + *Scratch / "ec.crt" + " -passout pass:x -out " + ec);
    EXPECT_FALSE(ParsePkcs12File(ec, "x"));
}

TEST_F(Pkcs12, CreatedFileOpensWithOpenSslAndParsesBack)
{
    const std::optional<std::string> pfx = CreatePkcs12("My Signing Key", LeafHex, Leaf.PrivateBase64, "p@ss word");
    ASSERT_TRUE(pfx);
    const std::string file = *Scratch / "created.p12";
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(UnitCodecs::HexDecodeStrict(*pfx, bytes));
    WriteBytes(file, bytes);

    const std::string info = RunOk("openssl pkcs12 -info -nokeys -passin 'pass:p@ss word' -in " + file);
    EXPECT_NE(info.find("friendlyName: My Signing Key"), std::string::npos) << info;
    EXPECT_NE(info.find("subject=CN = Leaf"), std::string::npos) << info;
    const std::string keyFile = *Scratch / "created-key.der";
    RunOk("openssl pkcs12 -in " + file + " -nocerts -nodes -passin 'pass:p@ss word' | openssl rsa -traditional -outform DER -out " +
          keyFile);
    EXPECT_EQ(FileHex(keyFile), LeafKeyHex);
    EXPECT_NE(RunCommand("openssl pkcs12 -info -nokeys -passin pass:wrong -in " + file).ExitCode, 0);

    const auto back = ParsePkcs12(bytes, "p@ss word");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->CertificateHex, LeafHex);
    EXPECT_EQ(FileHex(KeyDerFile(back->PrivateKeyBase64.Text(), "back.der")), LeafKeyHex);
    EXPECT_TRUE(back->ChainHex.empty());
}

TEST_F(Pkcs12, CreationRefusesWhatDoesNotBelongTogether)
{
    EXPECT_FALSE(CreatePkcs12("x", LeafHex, Ca.PrivateBase64, "pw"));  // key of another certificate
    EXPECT_FALSE(CreatePkcs12("x", LeafHex, "", "pw"));
    EXPECT_FALSE(CreatePkcs12("x", LeafHex, Leaf.PublicBase64, "pw"));
    EXPECT_FALSE(CreatePkcs12("x", "", Leaf.PrivateBase64, "pw"));
    EXPECT_FALSE(CreatePkcs12("x", "3003020101", Leaf.PrivateBase64, "pw"));
    EXPECT_FALSE(CreatePkcs12("x", LeafHex.substr(0, LeafHex.size() - 2), Leaf.PrivateBase64, "pw"));
    EXPECT_FALSE(CreatePkcs12("x", "NOTHEX", Leaf.PrivateBase64, "pw"));
}

TEST_F(Pkcs12, EmptyPasswordAndNameWork)
{
    const std::optional<std::string> pfx = CreatePkcs12("", LeafHex, Leaf.PrivateBase64, "");
    ASSERT_TRUE(pfx);
    const std::string file = *Scratch / "nopass.p12";
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(UnitCodecs::HexDecodeStrict(*pfx, bytes));
    WriteBytes(file, bytes);
    RunOk("openssl pkcs12 -info -nokeys -passin pass: -in " + file);
    EXPECT_TRUE(ParsePkcs12(bytes, ""));
}
