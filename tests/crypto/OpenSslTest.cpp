#include "crypto/UnitOpenSsl.h"
#include "encoding/UnitCodecs.h"
#include "platform/UnitTrace.h"

#include "CryptoTestSupport.h"

#include <openssl/err.h>

#include <gtest/gtest.h>

using namespace UnitOpenSsl;
using namespace CryptoTest;

TEST(CryptoLibrary, LoadsWithLegacyProviderAndListsWhatIsMissing)
{
    const TLibraryStatus& status = EnsureLoaded();
    EXPECT_NE(status.State, TLibraryState::LoadFailed);
    EXPECT_NE(status.State, TLibraryState::NotLoaded);
    EXPECT_EQ(status.Version.rfind("OpenSSL 3", 0), 0u) << status.Version;
    EXPECT_EQ(&status, &EnsureLoaded());

    std::string missing;
    for (std::string_view name : DescriptorNames()) {
        const bool present = name.find("_md") != std::string_view::npos || name.find("_sha") != std::string_view::npos ||
                                     name.find("_ripemd") != std::string_view::npos
                                 ? FetchDigest(name) != nullptr
                                 : FetchCipher(name) != nullptr;
        if (!present)
            missing += (missing.empty() ? "" : ",") + std::string(name);
    }
    EXPECT_EQ(status.Missing, missing);
    EXPECT_EQ(status.State, missing.empty() ? TLibraryState::Ready : TLibraryState::FunctionMissing);
    // These live only in the legacy provider.
    for (std::string_view name : {"EVP_md4", "EVP_ripemd160"})
        EXPECT_NE(FetchDigest(name), nullptr) << name;
    for (std::string_view name : {"EVP_bf_cbc", "EVP_cast5_ofb", "EVP_des_ecb", "EVP_desx_cbc"})
        EXPECT_NE(FetchCipher(name), nullptr) << name;
    EXPECT_EQ(FetchDigest("EVP_sha3_256"), nullptr);
    EXPECT_EQ(FetchCipher("EVP_sha256"), nullptr);
    EXPECT_EQ(ERR_peek_error(), 0u);
}

namespace {

std::vector<uint8_t> EncryptWith(std::string_view function, const std::vector<uint8_t>& key,
                                 const std::vector<uint8_t>& plain)
{
    const TCipherPtr cipher = FetchCipher(function);
    CheckOpenSsl(cipher != nullptr, function);
    const TCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    CheckOpenSsl(ctx != nullptr, "EVP_CIPHER_CTX_new");
    const std::vector<uint8_t> iv(16, 0);
    CheckOpenSsl(EVP_CipherInit_ex2(ctx.get(), cipher.get(), key.data(), iv.data(), 1, nullptr) == 1,
                 "EVP_CipherInit_ex2");
    std::vector<uint8_t> out(plain.size() + 32);
    int length = 0, tail = 0;
    CheckOpenSsl(EVP_CipherUpdate(ctx.get(), out.data(), &length, plain.data(), static_cast<int>(plain.size())) == 1,
                 "EVP_CipherUpdate");
    CheckOpenSsl(EVP_CipherFinal_ex(ctx.get(), out.data() + length, &tail) == 1, "EVP_CipherFinal_ex");
    out.resize(static_cast<size_t>(length + tail));
    return out;
}

}  // namespace

TEST(CryptoLibrary, CipherDescriptorsEncryptAsTheCommandLineDoes)
{
    TScratch scratch;
    const std::string plainFile = scratch / "plain";
    std::vector<uint8_t> plain(45);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(i * 13 + 1);
    WriteBytes(plainFile, plain);

    const std::pair<std::string_view, std::string> cases[] = {
        {"EVP_bf_cbc", "bf-cbc"},          {"EVP_bf_ecb", "bf-ecb"},       {"EVP_cast5_ofb", "cast5-ofb"},
        {"EVP_des_cbc", "des-cbc"},        {"EVP_des_ede3_cbc", "des-ede3-cbc"}, {"EVP_des_ede_ofb", "des-ede-ofb"},
        {"EVP_desx_cbc", "desx"},          {"EVP_aes_128_ecb", "aes-128-ecb"},   {"EVP_aes_192_ofb", "aes-192-ofb"},
        {"EVP_aes_256_cbc", "aes-256-cbc"},
    };
    for (const auto& [function, cliName] : cases) {
        SCOPED_TRACE(cliName);
        const TCipherPtr cipher = FetchCipher(function);
        ASSERT_NE(cipher, nullptr);
        std::vector<uint8_t> key(static_cast<size_t>(EVP_CIPHER_get_key_length(cipher.get())));
        for (size_t i = 0; i < key.size(); ++i)
            key[i] = static_cast<uint8_t>(0xA0 + i);
        const std::string cipherFile = scratch / "cipher";
        const int ivLength = EVP_CIPHER_get_iv_length(cipher.get());
        RunOk("openssl enc -" + cliName + " -provider legacy -provider default -e -K " + UnitCodecs::HexEncode(key) +
              (ivLength > 0 ? " -iv " + std::string(static_cast<size_t>(ivLength) * 2, '0') : std::string()) +
              " -in " + plainFile + " -out " + cipherFile);
        EXPECT_EQ(EncryptWith(function, key, plain), ReadBytes(cipherFile));
    }
}

TEST(CryptoLibrary, CheckDrainsTheErrorQueueIntoTheTrace)
{
    std::vector<std::string> lines;
    UnitTrace::THook previous = UnitTrace::SetHook([&](std::string_view line) { lines.emplace_back(line); });
    const unsigned char garbage[] = {0x30, 0x82, 0xFF, 0xFF, 0x01};
    const unsigned char* cursor = garbage;
    const TX509Ptr certificate(d2i_X509(nullptr, &cursor, sizeof garbage));
    EXPECT_THROW(CheckOpenSsl(certificate != nullptr, "d2i_X509"), EOpenSsl);
    UnitTrace::SetHook(std::move(previous));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("d2i_X509: error:", 0), 0u) << lines[0];
    EXPECT_EQ(ERR_peek_error(), 0u);
    EXPECT_NO_THROW(CheckOpenSsl(true, "never"));
}

TEST(TextForms, HexMatchesPythonForEveryByte)
{
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    const std::string expected =
        Trim(RunOk("/usr/bin/python3 -c \"print(bytes(range(256)).hex().upper())\""));
    EXPECT_EQ(UnitCodecs::HexEncode(all), expected);
    std::vector<uint8_t> back;
    ASSERT_TRUE(UnitCodecs::HexDecodeStrict(expected, back));
    EXPECT_EQ(back, all);
    ASSERT_TRUE(UnitCodecs::HexDecodeStrict("0aFf", back));
    EXPECT_EQ(back, (std::vector<uint8_t>{0x0A, 0xFF}));
    EXPECT_FALSE(UnitCodecs::HexDecodeStrict("ABC", back));
    EXPECT_TRUE(back.empty());
    EXPECT_FALSE(UnitCodecs::HexDecodeStrict("0G", back));
    EXPECT_FALSE(UnitCodecs::HexDecodeStrict("0 ", back));
}

TEST(Secrets, MovesKeepOneCopyAndWipeEmpties)
{
    std::vector<uint8_t> raw{1, 2, 3};
    const uint8_t* buffer = raw.data();
    TSecretBytes bytes(std::move(raw));
    EXPECT_EQ(bytes.data(), buffer);  // adopted, not copied
    TSecretBytes moved = std::move(bytes);
    EXPECT_EQ(moved.data(), buffer);
    moved.Wipe();
    EXPECT_TRUE(moved.empty());

    TSecretString text("password");
    TSecretString copy = text;
    text.Wipe();
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(copy.Text(), "password");
}
