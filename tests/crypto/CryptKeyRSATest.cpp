#include "crypto/UnitCryptHash.h"
#include "encoding/UnitCodecs.h"
#include "crypto/UnitCryptKeyRSA.h"
#include "crypto/UnitOpenSsl.h"

#include "CryptoTestSupport.h"

#include <gtest/gtest.h>

using namespace UnitCryptKeyRSA;
using namespace UnitCryptHash;
using namespace CryptoTest;

namespace {

std::vector<uint8_t> FromHex(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(UnitCodecs::HexDecodeStrict(hex, bytes)) << hex;
    return bytes;
}

class RawRsa : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Scratch = std::make_unique<TScratch>();
        Key = MakeRsaKey(*Scratch, "key2048", 2048);
        Small = MakeRsaKey(*Scratch, "key512", 512);
        Odd = MakeRsaKey(*Scratch, "key736", 736);
        Data = *Scratch / "data";
        WriteBytes(Data, {'s', 'i', 'g', 'n', ' ', 'm', 'e'});
    }
    static void TearDownTestSuite() { Scratch.reset(); }

    // The digest of the data by the command line, as a file and as hex.
    static std::string DigestFileFor(const std::string& algorithm)
    {
        const std::string file = *Scratch / (algorithm + ".bin");
        RunOk("openssl dgst -" + algorithm + " -binary -out " + file + " " + Data);
        return file;
    }

    static inline std::unique_ptr<TScratch> Scratch;
    static inline TRsaKeyFiles Key, Small, Odd;
    static inline std::string Data;
};

}  // namespace

TEST_F(RawRsa, SignaturesMadeHereVerifyWithOpenSslAndEqualItsOwn)
{
    for (TCryptHash hash : {TCryptHash::SHA256, TCryptHash::SHA1, TCryptHash::SHA512, TCryptHash::MD5,
                            TCryptHash::SHA384, TCryptHash::SHA224}) {
        std::string name = HashRow(hash).Function.substr(4).data();
        SCOPED_TRACE(name);
        const std::string digestFile = DigestFileFor(name);
        const TCryptResult signature =
            RawSign(Key.PrivateBase64, Key.PublicBase64, FileHex(digestFile), HashRow(hash).DigestOid);
        ASSERT_TRUE(signature.Ok) << signature.Text;
        ASSERT_EQ(signature.Text.size(), 512u);
        const std::string sigFile = *Scratch / "sig.bin";
        WriteBytes(sigFile, FromHex(signature.Text));
        const std::string verified = RunOk("openssl pkeyutl -verify -pubin -inkey " + Key.PublicPem + " -in " +
                                           digestFile + " -sigfile " + sigFile + " -pkeyopt digest:" + name);
        EXPECT_NE(verified.find("Signature Verified Successfully"), std::string::npos) << verified;

        // PKCS#1 v1.5 signatures are deterministic: OpenSSL's own must be the same bytes.
        const std::string theirs = *Scratch / "theirs.bin";
        RunOk("openssl pkeyutl -sign -inkey " + Key.PrivatePem + " -in " + digestFile + " -out " + theirs +
              " -pkeyopt digest:" + name);
        EXPECT_EQ(signature.Text, FileHex(theirs));
    }
}

TEST_F(RawRsa, SignaturesMadeByOpenSslRecoverTheirBlockHere)
{
    const std::string digestFile = DigestFileFor("sha256");
    const std::string sigFile = *Scratch / "openssl-sig.bin";
    RunOk("openssl pkeyutl -sign -inkey " + Key.PrivatePem + " -in " + digestFile + " -out " + sigFile +
          " -pkeyopt digest:sha256");

    const TCryptResult block = RawVerify(Key.PublicBase64, FileHex(sigFile));
    ASSERT_TRUE(block.Ok) << block.Text;
    const std::string rawFile = *Scratch / "raw.bin";
    RunOk("openssl pkeyutl -verifyrecover -pubin -inkey " + Key.PublicPem + " -in " + sigFile +
          " -pkeyopt rsa_padding_mode:none -out " + rawFile);
    EXPECT_EQ(block.Text, FileHex(rawFile));

    // The DigestInfo we build is the one OpenSSL puts inside the padding.
    const std::string infoFile = *Scratch / "info.bin";
    RunOk("openssl pkeyutl -verifyrecover -pubin -inkey " + Key.PublicPem + " -in " + sigFile +
          " -out " + infoFile);
    const std::string infoHex = UnitCodecs::HexEncode(
        DigestInfoDer(HashRow(TCryptHash::SHA256).DigestOid, FromHex(FileHex(digestFile))));
    EXPECT_EQ(infoHex, FileHex(infoFile));
    EXPECT_EQ(block.Text.substr(0, 6), "0001FF");
    EXPECT_EQ(block.Text.substr(block.Text.size() - infoHex.size() - 2), "00" + infoHex);
}

TEST_F(RawRsa, KeyTooSmallForTheDigestInfoAnswersSmallKey)
{
    const std::string sha512 = FileHex(DigestFileFor("sha512"));
    EXPECT_EQ(RawSign(Small.PrivateBase64, Small.PublicBase64, sha512, "2.16.840.1.101.3.4.2.3").Text, "SmallKey");
    EXPECT_FALSE(RawSign(Small.PrivateBase64, Small.PublicBase64, sha512, "2.16.840.1.101.3.4.2.3").Ok);

    // The same 512-bit key still carries SHA-256 with a valid padding.
    const std::string digestFile = DigestFileFor("sha256");
    const TCryptResult signature =
        RawSign(Small.PrivateBase64, Small.PublicBase64, FileHex(digestFile), "2.16.840.1.101.3.4.2.1");
    ASSERT_TRUE(signature.Ok) << signature.Text;
    const std::string sigFile = *Scratch / "small-sig.bin";
    WriteBytes(sigFile, FromHex(signature.Text));
    RunOk("openssl pkeyutl -verify -pubin -inkey " + Small.PublicPem + " -in " + digestFile + " -sigfile " +
          sigFile + " -pkeyopt digest:sha256");
}

TEST_F(RawRsa, FewerThanEightPaddingBytesIsSmallKeyAsForOpenSsl)
{
    // 92-byte modulus, 83-byte SHA-512 DigestInfo: only six FF bytes would fit.
    const std::string digestFile = DigestFileFor("sha512");
    EXPECT_EQ(RawSign(Odd.PrivateBase64, Odd.PublicBase64, FileHex(digestFile), "2.16.840.1.101.3.4.2.3").Text,
              "SmallKey");
    const TCommandResult openssl = RunCommand("openssl pkeyutl -sign -inkey " + Odd.PrivatePem + " -in " +
                                              digestFile + " -pkeyopt digest:sha512 -out " + *Scratch / "x");
    EXPECT_NE(openssl.ExitCode, 0);
}

TEST_F(RawRsa, BadInputFailsWithItsWord)
{
    const std::string digest = FileHex(DigestFileFor("sha256"));
    const std::string oid = "2.16.840.1.101.3.4.2.1";
    EXPECT_EQ(RawSign(Key.PrivateBase64, Key.PublicBase64, "", oid).Text, "ContentUnrecognized");
    EXPECT_EQ(RawSign(Key.PrivateBase64, Key.PublicBase64, "XYZ1", oid).Text, "ContentUnrecognized");
    EXPECT_EQ(RawSign(Key.PrivateBase64, Key.PublicBase64, digest + "A", oid).Text, "ContentUnrecognized");
    EXPECT_EQ(RawSign("", Key.PublicBase64, digest, oid).Text, "CryptError");
    EXPECT_EQ(RawSign(Key.PrivateBase64, "", digest, oid).Text, "CryptError");
    EXPECT_EQ(RawSign("bm90IGEga2V5", Key.PublicBase64, digest, oid).Text, "CryptError");
    EXPECT_EQ(RawSign(Key.PrivateBase64, Key.PrivateBase64, digest, oid).Text, "CryptError");
    EXPECT_EQ(RawSign(Key.PrivateBase64, Key.PublicBase64, digest, "not.an.oid").Text, "CryptError");
    EXPECT_EQ(RawSign(Small.PrivateBase64, Key.PublicBase64, digest, oid).Text, "CryptError");

    EXPECT_EQ(RawVerify(Key.PublicBase64, "").Text, "SignatureUnrecognized");
    EXPECT_EQ(RawVerify(Key.PublicBase64, "0G").Text, "SignatureUnrecognized");
    EXPECT_EQ(RawVerify("", "00FF").Text, "CryptError");
    // A value not below the modulus is no signature of this key.
    EXPECT_EQ(RawVerify(Key.PublicBase64, std::string(512, 'F')).Text, "CryptError");
}

TEST_F(RawRsa, KeyLoadsOnlyFromItsOwnForm)
{
    TCryptKeyRSA key;
    EXPECT_TRUE(key.LoadFromText(Key.PrivateBase64, true));
    EXPECT_EQ(key.Size(), 256);
    EXPECT_TRUE(key.IsPrivate());
    EXPECT_EQ(key.KeyText(), Key.PrivateBase64);
    EXPECT_TRUE(key.LoadFromText(Key.PublicBase64, false));
    EXPECT_FALSE(key.IsPrivate());

    EXPECT_FALSE(key.LoadFromText(Key.PublicBase64, true));
    EXPECT_FALSE(key.IsLoaded());
    EXPECT_EQ(key.Size(), 0);
    EXPECT_TRUE(key.KeyText().empty());
    EXPECT_FALSE(key.LoadFromText("", false));
    EXPECT_FALSE(key.LoadFromText("!!!!", true));
    const std::vector<uint8_t> huge(5000, 0x30);
    EXPECT_FALSE(key.LoadFromDer(huge, true));
    // Cut short by one byte.
    const std::string derFile = *Scratch / "key.der";
    WriteBase64AsFile(*Scratch, Key.PrivateBase64, derFile);
    std::vector<uint8_t> der = ReadBytes(derFile);
    EXPECT_TRUE(key.LoadFromDer(der, true));
    ASSERT_FALSE(der.empty());
    der.pop_back();
    EXPECT_FALSE(key.LoadFromDer(der, true));
}

TEST_F(RawRsa, Pkcs1EncryptionRoundTripsAndOpenSslDecryptsIt)
{
    TCryptKeyRSA publicKey, privateKey;
    ASSERT_TRUE(publicKey.LoadFromText(Key.PublicBase64, false));
    ASSERT_TRUE(privateKey.LoadFromText(Key.PrivateBase64, true));
    publicKey.SetPadding(TCryptKeyRSA::TPadding::Pkcs1);
    privateKey.SetPadding(TCryptKeyRSA::TPadding::Pkcs1);

    std::vector<uint8_t> plain(600);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(i);
    const std::vector<uint8_t> cipher = publicKey.Encrypt(plain);
    ASSERT_EQ(cipher.size(), 3u * 256u);  // blocks of 256 - 12 = 244 bytes
    EXPECT_EQ(privateKey.Decrypt(cipher), plain);

    const std::string blockFile = *Scratch / "block.bin";
    WriteBytes(blockFile, std::vector<uint8_t>(cipher.begin(), cipher.begin() + 256));
    const std::string plainFile = *Scratch / "plain.bin";
    RunOk("openssl pkeyutl -decrypt -inkey " + Key.PrivatePem + " -in " + blockFile + " -out " + plainFile);
    EXPECT_EQ(ReadBytes(plainFile), std::vector<uint8_t>(plain.begin(), plain.begin() + 244));

    EXPECT_THROW(publicKey.Decrypt(cipher), UnitOpenSsl::EOpenSsl);
    EXPECT_THROW(privateKey.Decrypt(std::vector<uint8_t>(256, 0x42)), UnitOpenSsl::EOpenSsl);
}

TEST_F(RawRsa, RawTransformNeedsWholeBlocks)
{
    TCryptKeyRSA privateKey, publicKey;
    ASSERT_TRUE(privateKey.LoadFromText(Key.PrivateBase64, true));
    ASSERT_TRUE(publicKey.LoadFromText(Key.PublicBase64, false));
    std::vector<uint8_t> blocks(512, 0x5A);
    blocks[0] = blocks[256] = 0;  // each block below the modulus
    const std::vector<uint8_t> transformed = privateKey.Encrypt(blocks);
    ASSERT_EQ(transformed.size(), 512u);
    EXPECT_EQ(publicKey.Decrypt(transformed), blocks);
    EXPECT_THROW(privateKey.Encrypt(std::vector<uint8_t>(100, 1)), UnitOpenSsl::EOpenSsl);
    EXPECT_THROW(publicKey.Encrypt(blocks), UnitOpenSsl::EOpenSsl);  // raw needs the private key
}

TEST(RsaKeyPair, GeneratedKeysAreWhatOpenSslReads)
{
    TScratch scratch;
    const TKeyPairText pair = GenerateKeyPair(1024, 17);
    const std::string publicDer = scratch / "pub.der";
    const std::string privateDer = scratch / "priv.der";
    WriteBase64AsFile(scratch, pair.PublicKey, publicDer);
    WriteBase64AsFile(scratch, pair.PrivateKey.Text(), privateDer);
    const std::string publicText =
        RunOk("openssl rsa -RSAPublicKey_in -inform DER -in " + publicDer + " -noout -text");
    EXPECT_NE(publicText.find("Public-Key: (1024 bit)"), std::string::npos) << publicText;
    EXPECT_NE(publicText.find("Exponent: 17 (0x11)"), std::string::npos) << publicText;
    const std::string check = RunOk("openssl rsa -inform DER -in " + privateDer + " -check -noout");
    EXPECT_NE(check.find("RSA key ok"), std::string::npos) << check;

    const std::string digest = DigestText("payload", TCryptHash::SHA256);
    const TCryptResult signature = RawSign(pair.PrivateKey.Text(), pair.PublicKey, digest, "2.16.840.1.101.3.4.2.1");
    ASSERT_TRUE(signature.Ok) << signature.Text;
    const TCryptResult block = RawVerify(pair.PublicKey, signature.Text);
    ASSERT_TRUE(block.Ok);
    EXPECT_EQ(block.Text.substr(block.Text.size() - digest.size()), digest);

    EXPECT_THROW(GenerateKeyPair(128, 17), UnitOpenSsl::EOpenSsl);
}
