#include "platform/nss/UnitPkcs12Reader.h"

#include "tests/support/NssTestEnvironment.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <filesystem>
#include <string>
#include <vector>

using NssTest::Pki;
using UnitPkcs12Reader::ReadPkcs12;
using UnitPkcs12Reader::ReadPkcs12File;
using UnitPkcs12Reader::TPkcs12Failure;

namespace {

std::vector<uint8_t> CertificateDer(X509* certificate)
{
    unsigned char* der = nullptr;
    const int size = i2d_X509(certificate, &der);
    std::vector<uint8_t> bytes(der, der + (size > 0 ? size : 0));
    OPENSSL_free(der);
    return bytes;
}

std::vector<uint8_t> PemAsDer(const std::string& name)
{
    const std::string der = Pki().Files + "/" + name + ".der";
    NssTest::Run("openssl x509 -in " + Pki().Pem(name) + " -outform DER -out " + der);
    return NssTest::ReadFile(der);
}

}  // namespace

TEST(Pkcs12Reader, OpensTheCertificateKeyAndChainTheCommandLineWrote)
{
    const std::string f = Pki().Files;
    NssTest::Run("openssl pkcs12 -export -in " + Pki().Pem("signer") + " -inkey " + Pki().Key("signer") +
                 " -certfile " + Pki().Pem("intermediate") + " -passout pass:chain -out " + f + "/chain.p12");
    const auto pfx = ReadPkcs12File(f + "/chain.p12", "chain");
    ASSERT_TRUE(pfx);
    EXPECT_EQ(CertificateDer(pfx.Certificate.get()), PemAsDer("signer"));
    EXPECT_TRUE(pfx.Key);
    ASSERT_TRUE(pfx.Chain);
    ASSERT_EQ(sk_X509_num(pfx.Chain.get()), 1);
    EXPECT_EQ(CertificateDer(sk_X509_value(pfx.Chain.get(), 0)), PemAsDer("intermediate"));

    // Files of older systems (RC2 with 40-bit keys) open as well.
    NssTest::Run("openssl pkcs12 -export -legacy -in " + Pki().Pem("loaded") + " -inkey " + Pki().Key("loaded") +
                 " -passout pass:old -out " + f + "/legacy.p12");
    const auto legacy = ReadPkcs12(NssTest::ReadFile(f + "/legacy.p12"), "old");
    ASSERT_TRUE(legacy);
    EXPECT_EQ(CertificateDer(legacy.Certificate.get()), PemAsDer("loaded"));
    NssTest::Run("openssl pkcs12 -export -nokeys -in " + Pki().Pem("other") + " -passout pass:x -out " + f + "/nokey.p12");
    // Without a key no certificate is the key's: PKCS12_parse lists them all as the chain.
    EXPECT_EQ(ReadPkcs12File(f + "/nokey.p12", "x").Failure, TPkcs12Failure::NoCertificate);
}

TEST(Pkcs12Reader, RefusalsAreNamed)
{
    const std::string f = Pki().Files;
    std::vector<uint8_t> bytes = NssTest::ReadFile(f + "/loaded.p12");
    EXPECT_EQ(ReadPkcs12(bytes, "wrong").Failure, TPkcs12Failure::WrongPassword);
    EXPECT_EQ(ReadPkcs12(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 40), NssTest::P12Password).Failure,
              TPkcs12Failure::NotPkcs12);
    EXPECT_EQ(ReadPkcs12({}, "").Failure, TPkcs12Failure::NotPkcs12);
    EXPECT_EQ(ReadPkcs12(std::vector<uint8_t>(UnitPkcs12Reader::MaxPkcs12Size + 1, 0x30), "").Failure,
              TPkcs12Failure::TooLarge);

    const auto missing = ReadPkcs12File(f + "/missing.p12", "x");
    EXPECT_EQ(missing.Failure, TPkcs12Failure::Unreadable);
    EXPECT_EQ(missing.FileWord, "FileNotFound");
    const auto folder = ReadPkcs12File(f, "x");
    EXPECT_EQ(folder.FileWord, "NotARegularFile");
    const std::string big = f + "/big.p12";
    NssTest::WriteFile(big, {});
    EXPECT_EQ(ReadPkcs12File(big, "x").Failure, TPkcs12Failure::Unreadable);  // empty
    std::filesystem::resize_file(big, UnitPkcs12Reader::MaxPkcs12Size + 1);
    EXPECT_EQ(ReadPkcs12File(big, "x").Failure, TPkcs12Failure::TooLarge);
    std::filesystem::remove(big);
}
