#include "tests/support/NssTestEnvironment.h"

#include "platform/nss/UnitNssStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <cctype>
#include <filesystem>
#include <set>

using namespace UnitNssStore;
using NssTest::Pki;

namespace {

std::set<std::string> Names(const TNssCertificates& certs)
{
    std::set<std::string> names;
    for (const TNssCertificate& cert : certs.Items())
        names.insert(cert.SimpleName());
    return names;
}

std::set<std::string> Thumbprints(const TNssCertificates& certs)
{
    std::set<std::string> prints;
    for (const TNssCertificate& cert : certs.Items())
        prints.insert(cert.Thumbprint());
    return prints;
}

TNssCertificates List(int location, const char* name)
{
    return TNssStore::Open(location, name, OpenMaximumAllowed).Certificates();
}

TNssCertificate FromPem(const std::string& name)
{
    const std::vector<uint8_t> pem = NssTest::ReadFile(Pki().Pem(name));
    return TNssCertificate::Import(std::string(pem.begin(), pem.end()));
}

}  // namespace

TEST(TNssStore, WorksInTheScratchDatabaseOnly)
{
    EXPECT_EQ(UnitNssCore::UserDatabaseDirectory(), Pki().Database);
    ASSERT_TRUE(UnitNssCore::IsTokenLayerReady());
}

TEST(TNssStore, StoresSortCertificatesByKeyAndAuthority)
{
    EXPECT_EQ(Names(List(LocationCurrentUser, "MY")), (std::set<std::string> {"Anna Signer", "Harry Token"}));
    EXPECT_EQ(Names(List(LocationCurrentUser, "Other People")), (std::set<std::string> {"Otto Other"}));
    EXPECT_EQ(Names(List(LocationCurrentUser, "ROOT")),
        (std::set<std::string> {"Dorvik Test Root", "Dorvik Test Intermediate"}));
    EXPECT_EQ(Names(List(LocationCurrentUser, "")).size(), 5u);
    EXPECT_THROW(List(LocationCurrentUser, "Nowhere"), UnitNssCore::ENssError);
    EXPECT_THROW(List(0, "MY"), UnitNssCore::ENssError);
}

TEST(TNssStore, CertificatesReportTheirKeysAndNames)
{
    const TNssCertificates my = List(LocationCurrentUser, "MY");
    ASSERT_EQ(my.Count(), 2u);
    for (size_t i = 1; i <= my.Count(); ++i)
        EXPECT_TRUE(my.Item(i).HasPrivateKey()) << my.Item(i).SimpleName();
    EXPECT_THROW(my.Item(0), UnitNssCore::ENssError);
    EXPECT_THROW(my.Item(3), UnitNssCore::ENssError);

    const TNssCertificates others = List(LocationCurrentUser, "Other People");
    ASSERT_EQ(others.Count(), 1u);
    EXPECT_FALSE(others.Item(1).HasPrivateKey());
    EXPECT_THROW(others.Item(1).PrivateKey(), UnitNssCore::ENssError);
}

TEST(TNssStore, ThumbprintIsTheUpperCaseSha1OfTheDer)
{
    const std::string expected = NssTest::OpenSslThumbprint(Pki().Pem("signer"));
    ASSERT_EQ(expected.size(), 40u);
    const TNssCertificates my = List(LocationCurrentUser, "MY");
    const TNssCertificates found = my.Find(FindSha1Hash, expected);
    ASSERT_EQ(found.Count(), 1u);
    EXPECT_EQ(found.Item(1).Thumbprint(), expected);
    EXPECT_EQ(found.Item(1).SimpleName(), "Anna Signer");

    std::string lower = expected;
    std::transform(
        lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    ASSERT_NE(lower, expected);
    EXPECT_EQ(my.Find(FindSha1Hash, lower).Count(), 0u);
    EXPECT_THROW(my.Find(1, expected), UnitNssCore::ENssError);
}

TEST(TNssStore, SimpleNameFallsBackToMailThenUnitThenOrganisation)
{
    const std::string dir = Pki().Files;
    NssTest::Run("openssl req -new -x509 -days 2 -key " + Pki().Key("other")
        + " -subj '/O=Only Org/OU=Only Unit' -out " + dir + "/noname.pem");
    EXPECT_EQ(FromPem("noname").SimpleName(), "Only Unit");
    NssTest::Run("openssl req -new -x509 -days 2 -key " + Pki().Key("other") + " -subj '/O=Only Org' -out "
        + dir + "/orgonly.pem");
    EXPECT_EQ(FromPem("orgonly").SimpleName(), "Only Org");
    NssTest::Run("openssl req -new -x509 -days 2 -key " + Pki().Key("other")
        + " -subj '/O=Only Org/emailAddress=mail@example.org' -out " + dir + "/mail.pem");
    EXPECT_EQ(FromPem("mail").SimpleName(), "mail@example.org");
}

TEST(TNssCertificate, ImportAcceptsPemDerAndBase64AndExportsBase64)
{
    const TNssCertificate fromPem = FromPem("other");
    const std::vector<uint8_t> der = NssTest::ReadFile(Pki().Files + "/hsm.der");
    const TNssCertificate fromDer = TNssCertificate::Import(std::string(der.begin(), der.end()));
    EXPECT_EQ(fromDer.Der(), der);
    EXPECT_EQ(fromDer.SimpleName(), "Harry Token");

    const std::string base64
        = NssTest::Run("openssl x509 -in " + Pki().Pem("other") + " -outform DER | base64 -w0");
    EXPECT_EQ(fromPem.ExportBase64(), base64);
    EXPECT_EQ(TNssCertificate::Import(base64).Thumbprint(), NssTest::OpenSslThumbprint(Pki().Pem("other")));
    EXPECT_THROW(TNssCertificate::Import("not a certificate"), UnitNssCore::ENssError);
}

TEST(TNssChain, BuildsEndEntityFirstUpToTheRoot)
{
    const TNssCertificates found
        = List(LocationCurrentUser, "MY").Find(FindSha1Hash, NssTest::OpenSslThumbprint(Pki().Pem("hsm")));
    ASSERT_EQ(found.Count(), 1u);
    TNssChain chain;
    EXPECT_TRUE(chain.Build(found.Item(1)));
    ASSERT_EQ(chain.Certificates().Count(), 3u);
    EXPECT_EQ(chain.Certificates().Item(1).Thumbprint(), NssTest::OpenSslThumbprint(Pki().Pem("hsm")));
    EXPECT_EQ(
        chain.Certificates().Item(2).Thumbprint(), NssTest::OpenSslThumbprint(Pki().Pem("intermediate")));
    EXPECT_EQ(chain.Certificates().Item(3).Thumbprint(), NssTest::OpenSslThumbprint(Pki().Pem("root")));

    // A certificate whose issuer is nowhere gives a chain of itself alone.
    NssTest::Run("openssl req -new -key " + Pki().Key("other") + " -subj '/CN=Orphan' -out " + Pki().Files
        + "/orphan.csr");
    NssTest::Run("openssl x509 -req -days 2 -in " + Pki().Files + "/orphan.csr -CA " + Pki().Pem("extra")
        + " -CAkey " + Pki().Key("extra") + " -set_serial 77 -out " + Pki().Files + "/orphan.pem");
    TNssChain orphan;
    EXPECT_FALSE(orphan.Build(FromPem("orphan")));
    ASSERT_EQ(orphan.Certificates().Count(), 1u);
    EXPECT_EQ(orphan.Certificates().Item(1).SimpleName(), "Orphan");
}

TEST(TNssStore, AddThenRemoveLeavesTheStoreAsBefore)
{
    const std::set<std::string> before = Thumbprints(List(LocationCurrentUser, "MY"));
    const TNssCertificate loaded
        = TNssCertificate::Load(Pki().Files + "/loaded.p12", UnitNssCore::TSecretString(NssTest::P12Password));
    const std::string print = loaded.Thumbprint();

    TNssStore store = TNssStore::Open(LocationCurrentUser, "MY", OpenReadWrite);
    store.Add(loaded);
    const TNssCertificates during = store.Certificates();
    ASSERT_EQ(during.Find(FindSha1Hash, print).Count(), 1u);
    // The key now lives in the software token: the stored certificate signs there.
    const TPrivateKeyDescription key = during.Find(FindSha1Hash, print).Item(1).PrivateKey();
    EXPECT_TRUE(key.IsProviderKey());
    EXPECT_EQ(key.ProviderName, PK11_GetTokenName(UnitNssCore::UserSlot()));
    EXPECT_NO_THROW(UnitNssKeys::TKeyProvider::Open(key.ProviderName).OpenKey(key.ContainerName));
    EXPECT_NE(NssTest::Run("certutil -L -d sql:" + Pki().Database).find("Lena Loaded"), std::string::npos);

    store.Remove(during.Find(FindSha1Hash, print).Item(1));
    EXPECT_EQ(Thumbprints(store.Certificates()), before);
    EXPECT_THROW(
        UnitNssKeys::TKeyProvider::Open(key.ProviderName).OpenKey(key.ContainerName), UnitNssCore::ENssError);
    EXPECT_THROW(store.Remove(loaded), UnitNssCore::ENssError);
    store.Close();
    EXPECT_THROW(store.Certificates(), UnitNssCore::ENssError);
}

TEST(TNssStore, PersonalStoreTakesNoCertificateWithoutKey)
{
    const std::set<std::string> mine = Thumbprints(List(LocationCurrentUser, "MY"));
    const std::set<std::string> others = Thumbprints(List(LocationCurrentUser, "Other People"));
    TNssStore store = TNssStore::Open(LocationCurrentUser, "MY", OpenReadWrite);
    EXPECT_THROW(store.Add(FromPem("extra")), UnitNssCore::ENssError);
    // The certificate of a key the token holds already is welcome.
    const TNssCertificates found
        = store.Certificates().Find(FindSha1Hash, NssTest::OpenSslThumbprint(Pki().Pem("signer")));
    ASSERT_EQ(found.Count(), 1u);
    EXPECT_NO_THROW(store.Add(FromPem("signer")));
    EXPECT_EQ(Thumbprints(List(LocationCurrentUser, "MY")), mine);
    EXPECT_EQ(Thumbprints(List(LocationCurrentUser, "Other People")), others);
}

TEST(TNssStore, RootStoreAddsTrustedAuthoritiesAndReadOnlyRefusesChanges)
{
    const TNssCertificate extra = FromPem("extra");
    EXPECT_THROW(
        TNssStore::Open(LocationCurrentUser, "ROOT", OpenReadOnly).Add(extra), UnitNssCore::ENssError);

    TNssStore roots = TNssStore::Open(LocationCurrentUser, "ROOT", OpenReadWrite);
    const std::set<std::string> before = Thumbprints(roots.Certificates());
    roots.Add(extra);
    EXPECT_EQ(roots.Certificates().Find(FindSha1Hash, extra.Thumbprint()).Count(), 1u);
    const std::string listing = NssTest::Run("certutil -L -d sql:" + Pki().Database);
    EXPECT_NE(listing.find("CT,C,C"), std::string::npos);
    EXPECT_EQ(List(LocationCurrentUser, "Other People").Find(FindSha1Hash, extra.Thumbprint()).Count(), 0u);
    roots.Remove(extra);
    EXPECT_EQ(Thumbprints(roots.Certificates()), before);
}

TEST(TNssStore, LocalMachineIsItsOwnDatabase)
{
    ASSERT_FALSE(std::filesystem::exists(Pki().MachineDatabase));
    TNssStore machine = TNssStore::Open(LocationLocalMachine, "ROOT", OpenReadWrite);
    EXPECT_TRUE(std::filesystem::exists(Pki().MachineDatabase + "/cert9.db"));
    EXPECT_EQ(machine.Certificates().Count(), 0u);

    const TNssCertificate extra = FromPem("extra");
    machine.Add(extra);
    EXPECT_EQ(Thumbprints(machine.Certificates()), std::set<std::string> {extra.Thumbprint()});
    EXPECT_EQ(Thumbprints(List(LocationLocalMachine, "")), std::set<std::string> {extra.Thumbprint()});
    // The user's stores do not show what the machine holds.
    EXPECT_EQ(List(LocationCurrentUser, "ROOT").Find(FindSha1Hash, extra.Thumbprint()).Count(), 0u);
    EXPECT_EQ(List(LocationCurrentUser, "").Find(FindSha1Hash, extra.Thumbprint()).Count(), 0u);
    machine.Remove(extra);
    EXPECT_EQ(machine.Certificates().Count(), 0u);
}

TEST(TNssSession, CreatesAMissingDatabaseWithoutPassword)
{
    ASSERT_TRUE(UnitNssCore::Shutdown());
    const std::string home = Pki().Root + "/fresh-home";
    const std::string previous = getenv("HOME");
    setenv("HOME", home.c_str(), 1);
    ASSERT_FALSE(std::filesystem::exists(home));
    {
        EXPECT_EQ(List(LocationCurrentUser, "MY").Count(), 0u);
        EXPECT_TRUE(std::filesystem::exists(home + "/.pki/nssdb/cert9.db"));
        EXPECT_TRUE(std::filesystem::exists(home + "/.pki/nssdb/key4.db"));
        // No password: a key can be imported without any prompt.
        UnitNssCore::SetPinPrompt([](std::string_view, bool) -> std::optional<UnitNssCore::TSecretString> {
            ADD_FAILURE() << "the new database asked for a password";
            return std::nullopt;
        });
        TNssStore store = TNssStore::Open(LocationCurrentUser, "MY", OpenReadWrite);
        store.Add(
            TNssCertificate::Load(Pki().Files + "/loaded.p12", UnitNssCore::TSecretString(NssTest::P12Password)));
        EXPECT_EQ(Names(store.Certificates()), std::set<std::string> {"Lena Loaded"});
        UnitNssCore::SetPinPrompt(nullptr);
    }
    EXPECT_TRUE(UnitNssCore::Shutdown());
    setenv("HOME", previous.c_str(), 1);
    // The tools see a database without a password, holding the key.
    EXPECT_NE(
        NssTest::Run("certutil -K -d sql:" + home + "/.pki/nssdb").find("Lena Loaded"), std::string::npos);
}

TEST(NssPkcs12Files, OnlySmallRegularFilesAreRead)
{
    const std::filesystem::path dir = std::filesystem::path(Pki().Root) / "bounded";
    std::filesystem::create_directories(dir);
    const std::string fifo = (dir / "key.pipe").string();
    std::filesystem::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A writer holds the FIFO open and never writes: a blocking reader would wait for ever.
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    const UnitNssCore::TSecretString password("x");
    auto message = [&](const std::string& name) {
        try {
            (void)TNssCertificate::Load(name, password);
        } catch (const UnitNssCore::ENssError& e) {
            return std::string(e.what());
        }
        return std::string("loaded");
    };
    EXPECT_EQ(message(fifo).rfind("NotARegularFile", 0), 0u) << message(fifo);
    EXPECT_EQ(message("/dev/zero").rfind("NotARegularFile", 0), 0u);
    EXPECT_EQ(message(dir.string()).rfind("NotARegularFile", 0), 0u);
    EXPECT_EQ(message(std::string("/etc/hostname\0.p12", 18)).rfind("InvalidFileName", 0), 0u);
    ::close(writer);
    const std::string big = (dir / "big.p12").string();
    std::filesystem::remove(big);
    std::ofstream(big) << "x";
    std::filesystem::resize_file(big, TNssCertificate::MaxPkcs12FileSize + 1);
    EXPECT_EQ(message(big).rfind("FileTooLarge", 0), 0u);
    // Data given directly is held to the same size, so no size reaches OpenSSL as a negative int.
    const std::vector<uint8_t> data(TNssCertificate::MaxPkcs12FileSize + 1, 0x30);
    EXPECT_THROW(TNssCertificate::LoadPkcs12(data, password), UnitNssCore::ENssError);
}
