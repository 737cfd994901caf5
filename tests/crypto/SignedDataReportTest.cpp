// The report's bookkeeping (exceptions, resources, moments), its behaviour on damaged input, BER
// input, and the verdict rules that the end-to-end tests against openssl do not reach.
#include "crypto/UnitSignedDataReport.h"

#include "CryptoTestSupport.h"
#include "crypto/UnitAsn1.h"
#include "crypto/UnitCryptHash.h"
#include "encoding/UnitCodecs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace UnitSignedDataReport;
using CryptoTest::RunOk;
using CryptoTest::TScratch;

std::vector<std::string> ChildNames(TXmlDoc* node)
{
    std::vector<std::string> names;
    for (int i = 0; i < node->GetNodeCount(); ++i)
        names.push_back(node->ChildAt(static_cast<size_t>(i))->GetName());
    return names;
}

TEST(SignedDataReport, ExceptionsKeepTheFirstAsStatusAndFlagTheUpdateList)
{
    TXmlDoc report("SignedDataReport");
    RecordException(report, "RevocationUnverified");
    EXPECT_FALSE(report.GetNode("Header\\Resources")->Getb("NeedUpdate"));
    RecordException(report, "IncompleteCertificateChain");
    RecordException(report, "RevocationUnverified");
    EXPECT_EQ(report.GetNode("Header\\Status")->GetValue(), "RevocationUnverified");
    EXPECT_EQ(ChildNames(report.GetNode("Header\\Exceptions")),
              (std::vector<std::string>{"RevocationUnverified", "IncompleteCertificateChain", "RevocationUnverified"}));
    EXPECT_TRUE(report.GetNode("Header\\Resources")->Getb("NeedUpdate"));
    for (std::string_view word : {"CertificateRevocationOldCRL", "RevocationCheckFailed", "RevocationListInvalid",
                                  "RevocationListNotFound", "RevocationListUnknown"}) {
        TXmlDoc other("SignedDataReport");
        RecordException(other, word);
        EXPECT_TRUE(other.GetNode("Header\\Resources")->Getb("NeedUpdate")) << word;
    }
    // A word that merely begins like one of the list does not count.
    TXmlDoc prefix("SignedDataReport");
    RecordException(prefix, "RevocationList");
    EXPECT_FALSE(prefix.GetNode("Header\\Resources")->Getb("NeedUpdate"));
}

TEST(SignedDataReport, ResourcesAreNamedByTheDigestOfTypeAndUrl)
{
    TXmlDoc report("SignedDataReport");
    RegisterResource(report, "CRL", "http://a.example/x.crl");
    RegisterResource(report, "CRL", "http://a.example/x.crl");
    RegisterResource(report, "Issuer", "http://a.example/x.crl");
    TXmlDoc* resources = report.GetNode("Header\\Resources");
    ASSERT_EQ(resources->GetNodeCount(), 2);
    const std::string digest = UnitCryptHash::DigestText("CRL::http://a.example/x.crl", UnitCryptHash::TCryptHash::SHA1);
    EXPECT_EQ(resources->ChildAt(0)->GetName(), "R" + digest);
    EXPECT_EQ(resources->ChildAt(0)->Getp("Type"), "CRL");
    EXPECT_EQ(resources->ChildAt(1)->Getp("Type"), "Issuer");
}

TEST(SignedDataReport, ReferenceMomentPrefersTimeStampsAndEarlierOffers)
{
    // Signing time later than the time stamp: the time stamp's moment stays.
    TXmlDoc a("Signer");
    SetMoment(a, "2024-05-01 10:00:00.000", "SignedAttribute");
    SetMoment(a, "2024-05-01 09:00:00.000", "TST");
    EXPECT_EQ(a.GetNode("Signature\\Moment")->GetValue(), "2024-05-01 09:00:00.000");
    EXPECT_EQ(a.GetNode("Signature\\MomentType")->GetValue(), "TST");
    // Time stamp later than the signing time: the time stamp still replaces the attribute.
    TXmlDoc b("Signer");
    SetMoment(b, "2024-05-01 10:00:00.000", "SignedAttribute");
    SetMoment(b, "2024-05-01 11:00:00.000", "TST");
    EXPECT_EQ(b.GetNode("Signature\\Moment")->GetValue(), "2024-05-01 11:00:00.000");
    EXPECT_EQ(b.GetNode("Signature\\MomentType")->GetValue(), "TST");
    // Once a time stamp is there, a later signed attribute does not replace it; an earlier
    // offer of any source does.
    SetMoment(b, "2024-05-01 12:00:00.000", "SignedAttribute");
    EXPECT_EQ(b.GetNode("Signature\\Moment")->GetValue(), "2024-05-01 11:00:00.000");
    SetMoment(b, "2024-05-01 08:00:00.000", "TST");
    EXPECT_EQ(b.GetNode("Signature\\Moment")->GetValue(), "2024-05-01 08:00:00.000");
    EXPECT_FALSE(b.GetNode("Signature\\MomentUser")->GetValue().empty());
}

TEST(SignedDataReport, DamagedInputGivesStructureWords)
{
    const std::vector<std::vector<uint8_t>> inputs = {
        {},
        {0x30},
        {0x30, 0x03, 0x02, 0x01, 0x01},
        // ContentInfo of another type.
        UnitCodecs::HexDecode("300F06092A864886F70D010701A0020400"),
        // signedData whose SignedData is an INTEGER.
        UnitCodecs::HexDecode("301006092A864886F70D010702A003020101"),
        // Length beyond the input, nested indefinite forms.
        UnitCodecs::HexDecode("3084FFFFFFFF06092A864886F70D010702"),
        UnitCodecs::HexDecode("308030803080308000000000000000"),
    };
    for (const auto& input : inputs) {
        auto report = BuildReport(input, {});
        const std::string status = report->GetNode("Header\\Status")->GetValue();
        EXPECT_TRUE(status == "CmsStructureFailed" || status == "CmsSignedDataStructureFailed")
            << UnitCodecs::HexEncode(input) << " " << status;
        auto verdict = BuildVerdict(*report);
        EXPECT_FALSE(VerdictIsValid(*verdict));
    }
}

class SignedDataReportOpenSsl : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FScratch = new TScratch;
        const TScratch& s = *FScratch;
        RunOk("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + s / "k.pem" + " -out " + s / "c.pem" +
              " -subj '/CN=Assinante de Teste' -days 200 -addext 'keyUsage=critical,digitalSignature,nonRepudiation'");
        RunOk("openssl x509 -in " + s / "c.pem" + " -outform DER -out " + s / "c.der");
        FTrusted = new TTrustedCertificates(s / "no-such-folder");
        FTrusted->Add(CryptoTest::ReadBytes(s / "c.der"));
    }
    static void TearDownTestSuite()
    {
        delete FTrusted;
        delete FScratch;
    }
    static std::vector<uint8_t> Sign(const std::string& name, const std::string& options)
    {
        const TScratch& s = *FScratch;
        CryptoTest::WriteBytes(s / (name + ".txt"), {'d', 'o', 'c', '\n'});
        RunOk("openssl cms -sign -binary -in " + s / (name + ".txt") + " -signer " + s / "c.pem" + " -inkey " +
              s / "k.pem" + " -outform DER -out " + s / (name + ".p7s") + " " + options);
        return CryptoTest::ReadBytes(s / (name + ".p7s"));
    }
    static inline TScratch* FScratch = nullptr;
    static inline TTrustedCertificates* FTrusted = nullptr;
};

TEST_F(SignedDataReportOpenSsl, BerWithIndefiniteLengthsIsReadLikeDer)
{
    const auto ber = Sign("ber", "-nodetach -stream");
    ASSERT_EQ(ber.at(1), 0x80) << "openssl did not stream";
    TReportOptions options;
    options.Trusted = FTrusted;
    auto report = BuildReport(ber, options);
    EXPECT_EQ(report->GetNode("Header\\Status")->GetValue(), "RevocationUnverified");
    EXPECT_EQ(report->GetNode("Content\\Size")->GetValue(), "4");
    EXPECT_EQ(report->GetNode("Signers\\Signer\\Signature\\Status")->GetValue(), "OK");
    EXPECT_EQ(report->GetNode("Signers\\Signer\\Signature\\ContentValidation")->GetValue(), "OK");
    EXPECT_TRUE(VerdictIsValid(*BuildVerdict(*report)));
}

TEST_F(SignedDataReportOpenSsl, EveryTruncationIsReportedWithoutFailure)
{
    const auto der = Sign("cut", "-nodetach");
    TReportOptions options;
    options.Trusted = FTrusted;
    for (size_t size = 0; size < der.size(); size += 7) {
        const std::span<const uint8_t> part(der.data(), size);
        auto report = BuildReport(part, options);
        EXPECT_FALSE(report->GetNode("Header\\Status")->IsEmpty());
        EXPECT_FALSE(VerdictIsValid(*BuildVerdict(*report))) << size;
    }
}

TEST_F(SignedDataReportOpenSsl, VerdictMarksTheSignerClosedAndNamesTheAlgorithms)
{
    const auto der = Sign("plain", "-nodetach -md sha384");
    TReportOptions options;
    options.Trusted = FTrusted;
    auto report = BuildReport(der, options);
    auto verdict = BuildVerdict(*report);
    ASSERT_TRUE(VerdictIsValid(*verdict)) << verdict->GetXML();
    TXmlDoc* signer = verdict->FindNode("SignerValid");
    ASSERT_NE(signer, nullptr);
    EXPECT_EQ(signer->GetValue(), "Assinante de Teste");
    EXPECT_TRUE(signer->GetNode("_config")->Getb("Closed"));
    EXPECT_EQ(signer->GetNode("SignatureValid\\SignatureAlgorithms")->GetValue(), "1.2.840.113549.1.1.12");
    EXPECT_FALSE(signer->GetNode("SignatureValid")->HasNode("SignatureWeak"));
    EXPECT_TRUE(signer->GetNode("CertValid")->HasNode("TrustedRoot"));
    EXPECT_TRUE(signer->GetNode("CertValid")->HasNode("RevocationUnverified"));
}

TEST_F(SignedDataReportOpenSsl, PolicyFamiliesByArc)
{
    const TScratch& s = *FScratch;
    struct TCase {
        const char* Policy;
        const char* Child;
    };
    const TCase cases[] = {
        {"2.16.76.1.7.1.1.2.3", "ICPBrasilCPPolicy"}, {"2.16.76.1.7.1.6.2.3", "ICPBrasilCPPolicy"},
        {"2.16.76.1.7.1.2.2.3", "ICPBrasilTPolicy"},  {"2.16.76.1.7.1.8.1", "ICPBrasilRPolicy"},
        {"2.16.76.1.7.1.9.1", "ICPBrasilCPolicy"},    {"2.16.76.1.7.1.10.1", "ICPBrasilAPolicy"},
        {"2.16.76.1.7.1.1", "Policy"},                 {"2.16.76.1.7.1.11.1", "Policy"},
    };
    auto der = Sign("policy", "-nodetach");
    TReportOptions options;
    options.Trusted = FTrusted;
    for (const TCase& c : cases) {
        auto report = BuildReport(der, options);
        report->GetNode("Signers\\Signer\\SignedAttributes\\Policy\\ID")->SetValue(c.Policy);
        auto verdict = BuildVerdict(*report);
        TXmlDoc* child = verdict->GetNode("SignerValid\\SignatureValid")->FindNode(c.Child);
        ASSERT_NE(child, nullptr) << c.Policy << "\n" << verdict->GetXML();
        EXPECT_EQ(child->GetValue(), c.Policy);
    }
    (void)s;
}

TEST_F(SignedDataReportOpenSsl, SoonExpiredIsAnAlertOnlyWithoutSigners)
{
    const TScratch& s = *FScratch;
    RunOk("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + s / "soon.key" + " -out " + s / "soon.pem" +
          " -subj '/CN=Expira Logo' -days 10 -addext 'keyUsage=critical,digitalSignature,nonRepudiation'");
    RunOk("openssl x509 -in " + s / "soon.pem" + " -outform DER -out " + s / "soon.der");
    TTrustedCertificates trusted(s / "no-such-folder");
    trusted.Add(CryptoTest::ReadBytes(s / "soon.der"));
    TReportOptions options;
    options.Trusted = &trusted;
    // A certificate on its own: near expiry is an alert.
    auto report = BuildCertificateReport(CryptoTest::ReadBytes(s / "soon.der"), options);
    auto verdict = BuildVerdict(*report);
    EXPECT_FALSE(VerdictIsValid(*verdict));
    ASSERT_NE(verdict->FindNode("CertAlert"), nullptr) << verdict->GetXML();
    EXPECT_TRUE(verdict->FindNode("CertAlert")->HasNode("CertificateSoonExpired"));
    // The same certificate behind a signature made now: judged at the signing moment.
    CryptoTest::WriteBytes(s / "soon.txt", {'x'});
    RunOk("openssl cms -sign -binary -nodetach -in " + s / "soon.txt" + " -signer " + s / "soon.pem" + " -inkey " +
          s / "soon.key" + " -outform DER -out " + s / "soon.p7s");
    auto signedReport = BuildReport(CryptoTest::ReadBytes(s / "soon.p7s"), options);
    auto signedVerdict = BuildVerdict(*signedReport);
    EXPECT_TRUE(VerdictIsValid(*signedVerdict)) << signedVerdict->GetXML();
    EXPECT_TRUE(signedVerdict->GetNode("SignerValid\\CertValid")->HasNode("CertificateSoonExpired"));
}

TEST_F(SignedDataReportOpenSsl, CertificateOfTheRsaCheck)
{
    const auto der = CryptoTest::ReadBytes(*FScratch / "c.der");
    EXPECT_EQ(CheckCertificate(der, der), "OK");
    auto changed = der;
    changed[changed.size() - 5] ^= 0x01;
    EXPECT_EQ(CheckCertificate(changed, der), "Failed");
    EXPECT_EQ(CheckCertificate(der, std::vector<uint8_t>{0x30, 0x00}), "IssuerStructureUnrecognized");
}

}  // namespace
