#include "tests/support/NssTestEnvironment.h"

#include "encoding/UnitCodecs.h"
#include "platform/nss/UnitNssKeys.h"
#include "platform/nss/UnitNssStore.h"
#include "platform/UnitTrace.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace UnitNssKeys;
using namespace UnitNssStore;
using NssTest::Pki;

namespace {

const char* const Digests[] = {"SHA1", "SHA224", "SHA256", "SHA384", "SHA512"};

const std::string Content = "The quick brown fox signs the document.\n";

std::vector<uint8_t> Digest(const char* name)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EXPECT_EQ(EVP_Digest(Content.data(), Content.size(), out, &size, EVP_get_digestbyname(name), nullptr), 1);
    return {out, out + size};
}

// PKCS#1 v1.5 is deterministic: the openssl CLI gives the very same bytes with the same key.
std::vector<uint8_t> OpenSslSignature(const std::string& party, const char* digest)
{
    const std::string contentFile = Pki().Files + "/content.txt";
    NssTest::WriteFile(contentFile, std::vector<uint8_t>(Content.begin(), Content.end()));
    const std::string out = Pki().Files + "/expected.sig";
    std::string option = std::string("-") + digest;
    for (char& c : option)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    NssTest::Run(
        "openssl dgst " + option + " -sign " + Pki().Key(party) + " -out " + out + " " + contentFile);
    return NssTest::ReadFile(out);
}

TNssCertificate StoreCertificate(const std::string& party)
{
    const TNssCertificates found = TNssStore::Open(LocationCurrentUser, "MY", OpenReadOnly)
                                       .Certificates()
                                       .Find(FindSha1Hash, NssTest::OpenSslThumbprint(Pki().Pem(party)));
    if (found.Count() != 1)
        throw std::runtime_error(party + " is not in MY");
    return found.Item(1);
}

std::string ModulusSha1(const std::string& party)
{
    std::string modulus = NssTest::Run("openssl rsa -noout -modulus -in " + Pki().Key(party));
    modulus = modulus.substr(modulus.find('=') + 1);
    modulus.erase(modulus.find_last_not_of("\r\n") + 1);
    const auto bytes = UnitCodecs::HexDecodeStrict(modulus);
    unsigned char hash[SHA_DIGEST_LENGTH];
    SHA1(bytes->data(), bytes->size(), hash);
    return UnitCodecs::HexEncode({hash, sizeof hash});
}

void LogOut(const std::string& tokenName)
{
    ASSERT_EQ(PK11_Logout(TKeyProvider::Open(tokenName).Slot()), SECSuccess);
}

}  // namespace

TEST(TPrivateKey, TokenKeysAreDescribedByTokenAndKeyId)
{
    const TPrivateKeyDescription software = StoreCertificate("signer").PrivateKey();
    EXPECT_EQ(software.ProviderName, PK11_GetTokenName(UnitNssCore::UserSlot()));
    // The software token names a key by the SHA-1 of its modulus.
    EXPECT_EQ(software.ContainerName, ModulusSha1("signer"));
    EXPECT_EQ(software.ProviderType, 0);
    EXPECT_EQ(software.KeySpec, 0);
    EXPECT_TRUE(software.IsProviderKey());

    const TPrivateKeyDescription token = StoreCertificate("hsm").PrivateKey();
    EXPECT_EQ(token.ProviderName, NssTest::TokenLabel);
    EXPECT_EQ(token.ContainerName, "01A2");
    EXPECT_TRUE(token.IsProviderKey());
}

TEST(TKeyProvider, SignsDigestsWithTheSoftwareAndTheHardwareToken)
{
    ASSERT_TRUE(TKeyProvider::IsAvailable());
    for (const char* party : {"signer", "hsm"}) {
        const TPrivateKeyDescription description = StoreCertificate(party).PrivateKey();
        const TKeyProvider provider = TKeyProvider::Open(description.ProviderName);
        const TProviderKey key = provider.OpenKey(description.ContainerName);
        for (const char* digest : Digests) {
            EXPECT_EQ(key.SignatureSize(digest), 256u);
            EXPECT_EQ(key.SignHash(digest, Digest(digest)), OpenSslSignature(party, digest))
                << party << " " << digest;
        }
    }
}

TEST(TKeyProvider, RefusesWhatItCannotSign)
{
    const TPrivateKeyDescription description = StoreCertificate("signer").PrivateKey();
    const TProviderKey key = TKeyProvider::Open(description.ProviderName).OpenKey(description.ContainerName);
    // No algorithm name (MD4, MD5 rows): the size query already fails.
    EXPECT_THROW(key.SignatureSize(""), UnitNssCore::ENssError);
    EXPECT_THROW(key.SignHash("SHA256", Digest("SHA1")), UnitNssCore::ENssError);
    EXPECT_THROW(TKeyProvider::Open("no such token"), UnitNssCore::ENssError);
    const TKeyProvider provider = TKeyProvider::Open(description.ProviderName);
    EXPECT_THROW(provider.OpenKey("00112233"), UnitNssCore::ENssError);
    EXPECT_THROW(provider.OpenKey("not hex"), UnitNssCore::ENssError);
}

TEST(TKeyProvider, AsksThePromptForTheTokenPin)
{
    unsetenv("DORVIK_PIN");
    std::vector<std::pair<std::string, bool>> asked;
    UnitNssCore::SetPinPrompt([&](std::string_view token, bool retry) -> std::optional<UnitNssCore::TSecretString> {
        asked.emplace_back(std::string(token), retry);
        if (retry)
            return std::nullopt;
        return UnitNssCore::TSecretString("0000");
    });
    const TPrivateKeyDescription description = StoreCertificate("hsm").PrivateKey();
    EXPECT_TRUE(asked.empty()) << "describing a token key needs no login";
    LogOut(description.ProviderName);
    EXPECT_THROW(TKeyProvider::Open(description.ProviderName).OpenKey(description.ContainerName),
        UnitNssCore::ENssError);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], std::make_pair(std::string(NssTest::TokenLabel), false));
    EXPECT_TRUE(asked[1].second);

    asked.clear();
    UnitNssCore::SetPinPrompt([&](std::string_view token, bool retry) -> std::optional<UnitNssCore::TSecretString> {
        asked.emplace_back(std::string(token), retry);
        return UnitNssCore::TSecretString(NssTest::TokenPin);
    });
    const TProviderKey key = TKeyProvider::Open(description.ProviderName).OpenKey(description.ContainerName);
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_EQ(key.SignHash("SHA256", Digest("SHA256")), OpenSslSignature("hsm", "SHA256"));
    UnitNssCore::SetPinPrompt(nullptr);
    setenv("DORVIK_PIN", NssTest::TokenPin, 1);
}

TEST(TKeyProvider, AWrongUnattendedPinIsNotRepeatedNorTraced)
{
    std::vector<std::string> trace;
    UnitTrace::SetHook([&](std::string_view line) { trace.emplace_back(line); });
    setenv("DORVIK_PIN", "9999", 1);
    const TPrivateKeyDescription description = StoreCertificate("hsm").PrivateKey();
    LogOut(description.ProviderName);
    EXPECT_THROW(TKeyProvider::Open(description.ProviderName).OpenKey(description.ContainerName),
                 UnitNssCore::ENssError);
    setenv("DORVIK_PIN", NssTest::TokenPin, 1);
    EXPECT_NO_THROW(TKeyProvider::Open(description.ProviderName).OpenKey(description.ContainerName));
    UnitTrace::SetHook(nullptr);

    // The failure is traced with NSS's error name, the PINs never.
    ASSERT_FALSE(trace.empty());
    bool named = false;
    for (const std::string& line : trace) {
        named = named || line.find("SEC_ERROR_") != std::string::npos;
        EXPECT_EQ(line.find("9999"), std::string::npos) << line;
        EXPECT_EQ(line.find(NssTest::TokenPin), std::string::npos) << line;
    }
    EXPECT_TRUE(named);
}

TEST(TLegacyContext, SignsTheContentWithAPkcs12Key)
{
    const TNssCertificate loaded
        = TNssCertificate::Load(Pki().Files + "/loaded.p12", UnitNssCore::TSecretString(NssTest::P12Password));
    ASSERT_TRUE(loaded.HasPrivateKey());
    EXPECT_EQ(loaded.Thumbprint(), NssTest::OpenSslThumbprint(Pki().Pem("loaded")));
    const TPrivateKeyDescription description = loaded.PrivateKey();
    EXPECT_FALSE(description.IsProviderKey());
    EXPECT_EQ(description.ProviderType, MemoryProviderType);
    EXPECT_EQ(description.KeySpec, MemoryKeySpec);

    const TLegacyContext context = TLegacyContext::Acquire(
        description.ContainerName, description.ProviderName, description.ProviderType);
    for (const char* digest : Digests) {
        TLegacyHash hash = context.CreateHash(digest);
        // Fed in two pieces: the hash object takes the content as it comes.
        hash.HashData(reinterpret_cast<const uint8_t*>(Content.data()), 10);
        hash.HashData(reinterpret_cast<const uint8_t*>(Content.data()) + 10, Content.size() - 10);
        EXPECT_EQ(hash.SignHash(description.KeySpec), OpenSslSignature("loaded", digest)) << digest;
    }
    TLegacyHash byId = context.CreateHash(uint32_t {0x800C});
    byId.HashData(reinterpret_cast<const uint8_t*>(Content.data()), Content.size());
    EXPECT_EQ(byId.SignHash(description.KeySpec), OpenSslSignature("loaded", "SHA256"));
    EXPECT_THROW(context.CreateHash(""), UnitNssCore::ENssError);
    EXPECT_THROW(context.CreateHash(uint32_t {0x8001}), UnitNssCore::ENssError);
    EXPECT_THROW(
        TLegacyContext::Acquire("pkcs12-unknown", description.ProviderName, 1), UnitNssCore::ENssError);
    EXPECT_THROW(
        TLegacyContext::Acquire(description.ContainerName, "Other provider", 1), UnitNssCore::ENssError);
}

TEST(TLegacyContext, TheKeyGoesWithItsCertificate)
{
    const std::vector<uint8_t> data = NssTest::ReadFile(Pki().Files + "/loaded.p12");
    std::string container;
    {
        const TNssCertificate loaded
            = TNssCertificate::LoadPkcs12(data, UnitNssCore::TSecretString(NssTest::P12Password));
        container = loaded.PrivateKey().ContainerName;
        EXPECT_NO_THROW(TLegacyContext::Acquire(container, MemoryProviderName, MemoryProviderType));
    }
    EXPECT_THROW(
        TLegacyContext::Acquire(container, MemoryProviderName, MemoryProviderType), UnitNssCore::ENssError);
    EXPECT_THROW(TNssCertificate::LoadPkcs12(data, UnitNssCore::TSecretString("wrong")), UnitNssCore::ENssError);
    EXPECT_THROW(TNssCertificate::Load(Pki().Files + "/missing.p12", UnitNssCore::TSecretString("x")),
        UnitNssCore::ENssError);
}

TEST(LegacyHashName, MapsTheLegacyHashIdentifiers)
{
    EXPECT_EQ(LegacyHashName(0x8003), "MD5");
    EXPECT_EQ(LegacyHashName(0x8004), "SHA1");
    EXPECT_EQ(LegacyHashName(0x800C), "SHA256");
    EXPECT_EQ(LegacyHashName(0x800E), "SHA512");
    EXPECT_FALSE(LegacyHashName(0x8001).has_value());
}
