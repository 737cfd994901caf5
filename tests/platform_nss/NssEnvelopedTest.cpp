#include "tests/support/NssTestEnvironment.h"

#include "platform/nss/UnitNssEnveloped.h"
#include "platform/nss/UnitNssStore.h"

#include <gtest/gtest.h>

using NssTest::Pki;
using UnitNssEnveloped::TNssEnvelopedData;

namespace {

const std::string Secret = "Enveloped content for Anna.\n";

std::string Encrypt(const std::string& recipient, const std::string& form)
{
    const std::string in = Pki().Files + "/plain.txt";
    const std::string out = Pki().Files + "/enveloped." + form;
    NssTest::WriteFile(in, std::vector<uint8_t>(Secret.begin(), Secret.end()));
    NssTest::Run("openssl cms -encrypt -aes256 -binary -in " + in + " -outform " + form + " -out " + out + " "
        + Pki().Pem(recipient));
    const std::vector<uint8_t> bytes = NssTest::ReadFile(out);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(TNssEnvelopedData, DecryptsWithTheDatabaseKeyInEveryForm)
{
    for (const char* form : {"DER", "PEM"}) {
        TNssEnvelopedData data;
        data.Decrypt(Encrypt("signer", form));
        EXPECT_EQ(std::string(data.Content().begin(), data.Content().end()), Secret) << form;
    }
    const std::string pem = Encrypt("signer", "PEM");
    std::string bare;
    for (size_t start = 0; start < pem.size();) {
        size_t end = pem.find('\n', start);
        std::string line = pem.substr(start, end - start);
        if (line.rfind("-----", 0) != 0)
            bare += line;
        start = end == std::string::npos ? pem.size() : end + 1;
    }
    TNssEnvelopedData data;
    data.Decrypt(bare);
    EXPECT_EQ(std::string(data.Content().begin(), data.Content().end()), Secret);
}

TEST(TNssEnvelopedData, FailsWithoutTheRecipientKeyAndForOtherMessages)
{
    TNssEnvelopedData data;
    EXPECT_THROW(data.Decrypt(Encrypt("other", "DER")), UnitNssCore::ENssError);
    EXPECT_THROW(data.Decrypt(std::string("definitely not base64!")), UnitNssCore::ENssError);
    // A signed message is no enveloped data.
    const std::string in = Pki().Files + "/plain.txt";
    NssTest::Run("openssl cms -sign -in " + in + " -signer " + Pki().Pem("signer") + " -inkey "
        + Pki().Key("signer") + " -outform DER -out " + Pki().Files + "/signed.der");
    EXPECT_THROW(data.Decrypt(NssTest::ReadFile(Pki().Files + "/signed.der")), UnitNssCore::ENssError);
}

TEST(TNssEnvelopedData, RecipientAddedForTheMessageAndRemovedLeavesTheStore)
{
    using namespace UnitNssStore;
    const std::string message = Encrypt("loaded", "DER");
    TNssEnvelopedData data;
    EXPECT_THROW(data.Decrypt(message), UnitNssCore::ENssError);

    TNssStore store = TNssStore::Open(LocationCurrentUser, "MY", OpenReadWrite);
    const size_t before = store.Certificates().Count();
    const TNssCertificate recipient = TNssCertificate::LoadPkcs12(
        NssTest::ReadFile(Pki().Files + "/loaded.p12"), UnitNssCore::TSecretString(NssTest::P12Password));
    store.Add(recipient);
    data.Decrypt(message);
    EXPECT_EQ(std::string(data.Content().begin(), data.Content().end()), Secret);
    store.Remove(recipient);
    EXPECT_EQ(store.Certificates().Count(), before);
    EXPECT_THROW(data.Decrypt(message), UnitNssCore::ENssError);
}
