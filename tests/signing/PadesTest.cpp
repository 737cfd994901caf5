// PDF signatures made through a SIGNEDDATA request with "Format" "PADES", as the host sends
// them, checked by qpdf and poppler's pdfsig.
#include "crypto/UnitAsn1.h"
#include "crypto/UnitLibraryEncodings.h"
#include "crypto/UnitPDF.h"
#include "crypto/UnitSignedData.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "tests/support/NssTestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using NssTest::Pki;

std::string Attr(std::string_view name, std::string_view value)
{
    return " " + std::string(name) + "=\"" + std::string(value) + "\"";
}

class Pades : public ::testing::Test {
protected:
    static std::string Work(const std::string& name)
    {
        const auto dir = std::filesystem::path(Pki().Root) / "pades";
        std::filesystem::create_directories(dir);
        return (dir / name).string();
    }

    // A one-page document written by qpdf from a hand-made source, with a classic table.
    static std::string MakePdf(const std::string& name, const std::string& qpdfOptions)
    {
        const std::string source = Work(name + ".src.pdf");
        std::ofstream(source) << "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
                                 "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n"
                                 "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] >>\nendobj\n"
                                 "xref\n0 4\n0000000000 65535 f \ntrailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n0\n%%EOF\n";
        const std::string pdf = Work(name + ".pdf");
        NssTest::Run("qpdf " + qpdfOptions + " " + source + " " + pdf + " 2>&1 || test $? -eq 3");
        return pdf;
    }

    static std::optional<std::vector<uint8_t>> Sign(const std::string& pdf, const std::string& extra = {})
    {
        std::ifstream in(pdf, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        const std::string request = "<SIGNEDDATA" + Attr("Format", "pades")
            + Attr("CertificateCode", NssTest::OpenSslThumbprint(Pki().Pem("signer")))
            + Attr("Hash", "2.16.840.1.101.3.4.2.1") + Attr("Binary", "1")
            + Attr("Content", UnitCodecs::HexEncode(UnitCodecs::AsBytes(bytes))) + extra + "/>";
        return UnitEncoding::DecodeText(request, 14, UnitLibraryEncodings::Table());
    }
};

TEST_F(Pades, SignedDocumentPassesQpdfAndPdfsig)
{
    const std::string pdf = MakePdf("plain", "--object-streams=disable");
    const auto signedPdf = Sign(pdf, Attr("propbuild:AppName", "Dorvik Test") + Attr("info:Title", "$UTF:Contrato"));
    ASSERT_TRUE(signedPdf.has_value()) << UnitEncoding::ConversionStatus();
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "OK");
    const std::string out = Work("plain.signed.pdf");
    std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char*>(signedPdf->data()),
                                               static_cast<std::streamsize>(signedPdf->size()));
    EXPECT_NO_THROW(NssTest::Run("qpdf --check " + out + " 2>&1"));
    // pdfsig runs on a HOME of its own: the scratch database has the SoftHSM module registered,
    // which poppler's NSS set-up does not survive. The signature check needs no trust.
    const std::string pdfsigHome = Work("pdfsig-home");
    std::filesystem::create_directories(pdfsigHome);
    const std::string report = NssTest::Run("env -u SOFTHSM2_CONF HOME=" + pdfsigHome + " pdfsig " + out + " 2>&1");
    EXPECT_NE(report.find("Signature is Valid."), std::string::npos) << report;
    EXPECT_NE(report.find("Total document signed"), std::string::npos) << report;
    EXPECT_NE(report.find("ETSI.CAdES.detached"), std::string::npos) << report;
}

TEST_F(Pades, ContentsAreTheCmsOfTheDetachedRequestForTheByteRanges)
{
    // The PDF road builds its CMS with the encoder on the request copy; it must be the very
    // CMS the XML form of that copy gives through number 14 (the road it replaced).
    const std::string pdf = MakePdf("same", "--object-streams=disable");
    const std::string extra = Attr("propbuild:AppName", "Dorvik Test") + Attr("Policy", "");
    const auto signedPdf = Sign(pdf, extra);
    ASSERT_TRUE(signedPdf.has_value()) << UnitEncoding::ConversionStatus();
    const std::string out(signedPdf->begin(), signedPdf->end());
    const size_t range = out.rfind("/ByteRange [");
    ASSERT_NE(range, std::string::npos);
    long long r[4] = {};
    ASSERT_EQ(std::sscanf(out.c_str() + range, "/ByteRange [%lld %lld %lld %lld]", &r[0], &r[1], &r[2], &r[3]), 4);
    const std::string covered = out.substr(size_t(r[0]), size_t(r[1])) + out.substr(size_t(r[2]), size_t(r[3]));
    const std::string contents = out.substr(size_t(r[1]) + 1, size_t(r[2] - r[1]) - 2);
    const std::string sha256 = "2.16.840.1.101.3.4.2.1";
    const std::string request = "<SIGNEDDATA" + Attr("CertificateCode", NssTest::OpenSslThumbprint(Pki().Pem("signer")))
        + Attr("Hash", sha256) + extra + Attr("ContentHash", UnitPDF::DigestHex(covered, sha256))
        + Attr("Dettached", "1") + Attr("Order", "ContentType,MessageDigest,SigningCertificate") + "/>";
    const auto cms = UnitEncoding::DecodeText(request, 14, UnitLibraryEncodings::Table());
    ASSERT_TRUE(cms.has_value()) << UnitEncoding::ConversionStatus();
    const std::string hex = UnitCodecs::HexEncode(*cms);
    ASSERT_LE(hex.size(), contents.size());
    EXPECT_EQ(contents.substr(0, hex.size()), hex);
    EXPECT_EQ(contents.find_first_not_of('0', hex.size()), std::string::npos);
}

TEST_F(Pades, CrossReferenceStreamsAreSignedByIncrementalUpdateTwice)
{
    const std::string pdf = MakePdf("streams", "--object-streams=generate");
    std::ifstream in(pdf, std::ios::binary);
    const std::string original{std::istreambuf_iterator<char>(in), {}};
    std::string doc = pdf;
    std::string previous = original;
    for (int round = 1; round <= 2; ++round) {
        const auto signedPdf = Sign(doc);
        ASSERT_TRUE(signedPdf.has_value()) << UnitEncoding::ConversionStatus();
        EXPECT_EQ(UnitEncoding::ConversionStatus(), "OK");
        const std::string bytes(signedPdf->begin(), signedPdf->end());
        EXPECT_EQ(bytes.substr(0, previous.size()), previous) << "round " << round;
        doc = Work("streams.signed" + std::to_string(round) + ".pdf");
        std::ofstream(doc, std::ios::binary) << bytes;
        previous = bytes;
    }
    EXPECT_NO_THROW(NssTest::Run("qpdf --check " + doc + " 2>&1"));
    const std::string pdfsigHome = Work("pdfsig-home");
    std::filesystem::create_directories(pdfsigHome);
    const std::string report = NssTest::Run("env -u SOFTHSM2_CONF HOME=" + pdfsigHome + " pdfsig " + doc + " 2>&1");
    size_t valid = 0;
    for (size_t at = report.find("Signature is Valid."); at != std::string::npos;
         at = report.find("Signature is Valid.", at + 1))
        ++valid;
    EXPECT_EQ(valid, 2u) << report;
    EXPECT_NE(report.find("Total document signed"), std::string::npos) << report;
}

TEST_F(Pades, UnreadableAndEncryptedDocumentsAreRefusedWithTheirWord)
{
    const std::string garbage = Work("garbage.pdf");
    std::ofstream(garbage) << "not a pdf at all";
    EXPECT_FALSE(Sign(garbage).has_value());
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "PdfStructureInvalid");
    const std::string encrypted = MakePdf("encrypted", "--object-streams=generate --encrypt '' owner 256 --");
    EXPECT_FALSE(Sign(encrypted).has_value());
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "PdfEncryptedUnsupported");
}

TEST_F(Pades, MissingSignerKeepsTheBuildersWord)
{
    const std::string pdf = MakePdf("nosigner", "--object-streams=disable");
    std::ifstream in(pdf, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    const std::string request = "<SIGNEDDATA Format=\"PADES\" Binary=\"1\"" + Attr("CertificateCode", std::string(40, 'F'))
        + Attr("Content", UnitCodecs::HexEncode(UnitCodecs::AsBytes(bytes))) + "/>";
    EXPECT_FALSE(UnitEncoding::DecodeText(request, 14, UnitLibraryEncodings::Table()).has_value());
    EXPECT_EQ(UnitEncoding::ConversionStatus(), "FindCertificateFailed");
}

}  // namespace
