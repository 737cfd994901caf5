// The RSA check against certificates and signatures made by the openssl command line.
#include "crypto/UnitRsaCheck.h"

#include "CryptoTestSupport.h"
#include "crypto/UnitCryptHash.h"
#include "encoding/UnitCodecs.h"

#include <gtest/gtest.h>

using namespace CryptoTest;

namespace {

class RsaCheck : public ::testing::Test {
protected:
    TScratch Scratch;
    std::string Dir() const { return Scratch.Path().string(); }

    std::vector<uint8_t> MakeSelfSigned(const std::string& name, const std::string& digest, int bits = 2048)
    {
        RunOk("openssl req -x509 -newkey rsa:" + std::to_string(bits) + " -nodes -" + digest + " -days 2 -subj /CN=" +
              name + " -keyout " + Dir() + "/" + name + ".key -outform DER -out " + Dir() + "/" + name + ".der");
        return ReadBytes(Scratch.Path() / (name + ".der"));
    }
};

TEST_F(RsaCheck, CertificatesCheckAgainstTheirIssuerOnly)
{
    for (const char* digest : {"sha1", "sha256", "sha512"}) {
        const std::vector<uint8_t> root = MakeSelfSigned(std::string("root") + digest, digest);
        EXPECT_EQ(UnitRsaCheck::CheckCertificateSignature(root, root), "OK") << digest;
    }
    // A leaf issued by one root: OK against it, Failed against another key.
    const std::vector<uint8_t> root = MakeSelfSigned("ca", "sha256");
    const std::vector<uint8_t> other = MakeSelfSigned("other", "sha256");
    RunOk("openssl req -newkey rsa:2048 -nodes -subj /CN=leaf -keyout " + Dir() + "/leaf.key -out " + Dir() +
          "/leaf.csr");
    RunOk("openssl x509 -req -in " + Dir() + "/leaf.csr -CA " + Dir() + "/ca.der -CAform DER -CAkey " + Dir() +
          "/ca.key -set_serial 7 -days 2 -sha384 -outform DER -out " + Dir() + "/leaf.der");
    const std::vector<uint8_t> leaf = ReadBytes(Scratch.Path() / "leaf.der");
    EXPECT_EQ(UnitRsaCheck::CheckCertificateSignature(leaf, root), "OK");
    EXPECT_EQ(UnitRsaCheck::CheckCertificateSignature(leaf, other), "Failed");
    EXPECT_EQ(UnitRsaCheck::CheckCertificateSignature(leaf, leaf), "Failed");

    // One changed byte inside the signed part breaks it.
    std::vector<uint8_t> tampered = leaf;
    tampered[40] ^= 0x01;
    EXPECT_NE(UnitRsaCheck::CheckCertificateSignature(tampered, root), "OK");
    EXPECT_EQ(UnitRsaCheck::CheckCertificateSignature({}, root), "CryptError");
    EXPECT_EQ(UnitRsaCheck::CheckCertificateSignature(leaf, {}), "CryptError");
}

TEST_F(RsaCheck, SignatureValuesFromOpenSslCheckAgainstTheirDigest)
{
    const std::vector<uint8_t> certificate = MakeSelfSigned("signer", "sha256");
    const std::string key = UnitRsaCheck::PublicKeyOfCertificate(certificate);
    ASSERT_FALSE(key.empty());
    WriteBytes(Scratch.Path() / "data.txt", {'c', 'o', 'n', 't', 'r', 'a', 't', 'o'});
    RunOk("openssl dgst -sha256 -sign " + Dir() + "/signer.key -out " + Dir() + "/data.sig " + Dir() + "/data.txt");
    const std::string signature = UnitCodecs::HexEncode(ReadBytes(Scratch.Path() / "data.sig"));
    const std::string digest = UnitCryptHash::DigestText("contrato", UnitCryptHash::TCryptHash::SHA256);
    const std::string sha256 = "2.16.840.1.101.3.4.2.1";

    EXPECT_EQ(UnitRsaCheck::CheckSignature(key, signature, sha256, digest), "OK");
    // A value at or above the modulus (another key's signature can be) is no signature of it.
    EXPECT_EQ(UnitRsaCheck::CheckSignature(key, std::string(signature.size(), 'F'), sha256, digest), "Failed");
    // Line breaks and spaces in the texts do not matter.
    std::string folded = signature;
    folded.insert(64, "\r\n ");
    EXPECT_EQ(UnitRsaCheck::CheckSignature(key, folded, sha256, digest), "OK");
    // Another digest, or the right digest under another algorithm, fails.
    EXPECT_EQ(UnitRsaCheck::CheckSignature(key, signature, sha256,
                                           UnitCryptHash::DigestText("contrata", UnitCryptHash::TCryptHash::SHA256)),
              "Failed");
    EXPECT_EQ(UnitRsaCheck::CheckSignature(key, signature, "2.16.840.1.101.3.4.2.3", digest), "Failed");
    EXPECT_EQ(UnitRsaCheck::CheckSignature(key, signature, sha256, "XYZ"), "ContentUnrecognized");
    EXPECT_EQ(UnitRsaCheck::CheckSignature("", signature, sha256, digest), "CryptError");
}

TEST_F(RsaCheck, KeyTooSmallForTheDigestIsSmallKey)
{
    const std::vector<uint8_t> certificate = MakeSelfSigned("tiny", "sha1", 512);
    const std::string key = UnitRsaCheck::PublicKeyOfCertificate(certificate);
    ASSERT_FALSE(key.empty());
    const std::string digest(128, 'A');  // a SHA-512 digest leaves a 64-byte modulus no room
    EXPECT_EQ(UnitRsaCheck::CheckSignature(key, std::string(128, '1'), "2.16.840.1.101.3.4.2.3", digest), "SmallKey");
}

TEST_F(RsaCheck, NonRsaKeysHaveNoPublicKeyText)
{
    RunOk("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=ec -keyout " +
          Dir() + "/ec.key -outform DER -out " + Dir() + "/ec.der");
    const std::vector<uint8_t> ec = ReadBytes(Scratch.Path() / "ec.der");
    EXPECT_TRUE(UnitRsaCheck::PublicKeyOfCertificate(ec).empty());
    EXPECT_EQ(UnitRsaCheck::CheckCertificateSignature(ec, ec), "CryptError");
}

}  // namespace
