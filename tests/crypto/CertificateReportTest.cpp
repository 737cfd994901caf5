// The certificate report against what the openssl command line says of the same certificate.
#include "crypto/UnitCertificateReport.h"

#include "CryptoTestSupport.h"

#include <algorithm>
#include <map>

using namespace CryptoTest;
using namespace UnitCertificateReport;

namespace {

std::map<int, std::string> ByCaption(const std::vector<TReportLine>& lines)
{
    std::map<int, std::string> out;
    for (const auto& line : lines)
        out.emplace(line.Caption, line.Value);
    return out;
}

struct TMadeCertificate {
    std::filesystem::path Folder;
    std::vector<uint8_t> Der;
    explicit TMadeCertificate(const std::string& subject, const std::string& extensions)
    {
        Folder = std::filesystem::temp_directory_path() / ("dorvik-report-" + std::to_string(::getpid()));
        std::filesystem::create_directories(Folder);
        const std::string base = (Folder / "c").string();
        RunOk("openssl req -utf8 -x509 -newkey rsa:2048 -nodes -keyout " + base + ".key -out " + base + ".pem -days 10 -subj '" +
              subject + "' " + extensions);
        RunOk("openssl x509 -in " + base + ".pem -outform DER -out " + base + ".der");
        Der = ReadBytes(base + ".der");
    }
    ~TMadeCertificate() { std::filesystem::remove_all(Folder); }
    std::string Openssl(const std::string& options) const
    {
        return Trim(RunOk("openssl x509 -in " + (Folder / "c.pem").string() + " -noout " + options));
    }
};

}  // namespace

TEST(CertificateReport, HolderIssuerSerialAndThumbprintMatchOpenssl)
{
    const TMadeCertificate cert("/C=BR/O=ICP-Brasil/CN=José da Silva:12345678909",
                                "-addext 'keyUsage=critical,digitalSignature,nonRepudiation' "
                                "-addext 'extendedKeyUsage=clientAuth,emailProtection' "
                                "-addext 'subjectAltName=email:jose@example.com,"
                                "otherName:2.16.76.1.3.1;UTF8:01021980" "12345678909" "00000000000" "000000000000123" "SSPSP,"
                                "otherName:2.16.76.1.3.5;UTF8:0000000000000000000000000000'");
    const auto lines = Build(cert.Der);
    ASSERT_TRUE(lines);
    const auto fields = ByCaption(*lines);

    std::string fingerprint = cert.Openssl("-fingerprint -sha1");
    fingerprint = fingerprint.substr(fingerprint.find('=') + 1);
    fingerprint.erase(std::remove(fingerprint.begin(), fingerprint.end(), ':'), fingerprint.end());
    EXPECT_EQ(fields.at(capThumbprint), fingerprint);

    std::string serial = cert.Openssl("-serial");
    serial = serial.substr(serial.find('=') + 1);
    std::string ours = fields.at(capSerial);
    ours.erase(std::remove(ours.begin(), ours.end(), ':'), ours.end());
    EXPECT_EQ(ours, serial);

    const std::string subject = cert.Openssl("-subject -nameopt oneline,-esc_msb,-space_eq,utf8");
    EXPECT_EQ("subject=" + fields.at(capSubject), subject);
    EXPECT_NE(fields.at(capSubject).find("José da Silva"), std::string::npos) << "UTF-8 kept as it is";
    EXPECT_EQ(fields.at(capIssuer), fields.at(capSubject));

    EXPECT_EQ(fields.at(capKeyUsage), "digitalSignature, nonRepudiation");
    EXPECT_EQ(fields.at(capExtendedKeyUsage), "TLS Web Client Authentication, E-mail Protection");
    EXPECT_EQ(fields.at(capEmail), "jose@example.com");
    EXPECT_EQ(fields.at(capBirthDate), "01/02/1980");
    EXPECT_EQ(fields.at(capCpf), "12345678909");
    EXPECT_EQ(fields.at(capRg), "123");
    EXPECT_EQ(fields.at(capRgIssuer), "SSPSP");
    EXPECT_EQ(fields.count(capNis), 0u) << "a field of zeros is absent";
    EXPECT_EQ(fields.count(capVoterId), 0u);
    EXPECT_EQ(fields.count(capHolderData), 1u);
    EXPECT_EQ(fields.at(capPublicKey), "rsaEncryption 2048 bits");

    // Validity in day/month/year as openssl's notAfter says it.
    const std::string notAfter = cert.Openssl("-enddate -dateopt iso_8601");  // notAfter=2026-12-18 21:00:00Z
    const std::string iso = notAfter.substr(notAfter.find('=') + 1);
    EXPECT_EQ(fields.at(capNotAfter), iso.substr(8, 2) + "/" + iso.substr(5, 2) + "/" + iso.substr(0, 4) + " " +
                                          iso.substr(11, 8) + " UTC");
}

TEST(CertificateReport, FormattingUsesTheCallersCaptionsAndRejectsOtherBytes)
{
    const TMadeCertificate cert("/CN=Plain", "-addext 'basicConstraints=critical,CA:FALSE'");
    const auto lines = Build(cert.Der);
    ASSERT_TRUE(lines);
    EXPECT_EQ(ByCaption(*lines).count(capHolderData), 0u);
    const std::string text = Format(*lines, [](int n) { return n == capSubject ? std::string("Titular") : std::string(); });
    EXPECT_EQ(text.rfind("Titular: CN=Plain\nIssuer: CN=Plain\n", 0), 0u) << text;

    EXPECT_FALSE(Build({}));
    std::vector<uint8_t> trailing = cert.Der;
    trailing.push_back(0);
    EXPECT_FALSE(Build(trailing)) << "bytes after the certificate";
    std::vector<uint8_t> cut(cert.Der.begin(), cert.Der.end() - 10);
    EXPECT_FALSE(Build(cut));
}
