#include "core/UnitXmlDoc.h"
#include "crypto/UnitPDF.h"
#include "core/UnitStatusWords.h"
#include "PDFTestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

using PdfTest::MakePdf;
using PdfTest::ThreePages;

namespace {

// A stand-in CMS of a given size that also records what the signer was shown.
struct TFakeCms {
    size_t HexSize = 600;
    std::string SeenBytes;
    std::string SeenDigest;
    std::string SeenOid;
    TPDF::TCmsMaker For(const TPDF& pdf)
    {
        return [this, &pdf](const std::string& oid, const std::string& digest) {
            SeenBytes = pdf.GetText();
            SeenDigest = digest;
            SeenOid = oid;
            return std::string(HexSize, 'A');
        };
    }
};

std::string Between(const std::string& s, const std::string& from, const std::string& to)
{
    const size_t a = s.find(from);
    if (a == std::string::npos)
        return {};
    const size_t b = s.find(to, a + from.size());
    return s.substr(a + from.size(), b - a - from.size());
}

std::string SignedBytes(const std::string& source, TPdfSignProperties props = {}, TFakeCms* cms = nullptr)
{
    TPDF pdf;
    EXPECT_TRUE(pdf.LoadFromBytes(source));
    TFakeCms local;
    TFakeCms& fake = cms ? *cms : local;
    EXPECT_TRUE(pdf.Sign(props, fake.For(pdf))) << pdf.GetError();
    return std::string(pdf.GetText());
}

}  // namespace

TEST(TPDFSign, OneRevisionDocumentGetsFieldFormSignatureAndConsistentTable)
{
    TFakeCms cms;
    const std::string out = SignedBytes(MakePdf(ThreePages()), {}, &cms);

    // The table lists every object, the three new ones included, each where it stands.
    const auto offsets = PdfTest::XrefOffsets(out);
    ASSERT_EQ(offsets.size(), 7u);
    for (size_t n = 1; n < offsets.size(); ++n)
        EXPECT_EQ(out.substr(static_cast<size_t>(offsets[n]), 8), std::to_string(n) + " 0 obj\n");
    EXPECT_EQ(out.find(" 00001 n"), std::string::npos);
    EXPECT_NE(out.find("/Size 7"), std::string::npos);
    const long long startxref = std::stoll(out.substr(out.rfind("startxref") + 10));
    EXPECT_EQ(out.substr(static_cast<size_t>(startxref), 5), "xref\n");

    EXPECT_NE(out.find("4 0 obj\n<<\n/Type /Annot\n/Subtype /Widget\n/Rect [ 0 0 0 0 ]\n/F 4\n/P 3 0 R\n"
                       "/FT /Sig\n/T (DigitalSignature)\n/Ff 0\n/V 6 0 R\n>>\nendobj\n"),
              std::string::npos);
    EXPECT_NE(out.find("5 0 obj\n<<\n/Type /AcroForm\n/Parent 1 0 R\n/Fields [ 4 0 R ]\n/SigFlags 3\n>>\nendobj\n"),
              std::string::npos);
    EXPECT_NE(out.find("/AcroForm 5 0 R\n>>"), std::string::npos);
    EXPECT_NE(out.find("6 0 obj\n<<\n/Type /Sig\n/Filter /Adobe.PPKLite\n/SubFilter /ETSI.CAdES.detached\n/M (D:"),
              std::string::npos);
    EXPECT_EQ(out.find("/Prop_Build"), std::string::npos);

    // The byte range covers everything but the /Contents string, which holds the padded CMS.
    const std::string range = Between(out, "/ByteRange [ ", " ]");
    long long r[4];
    ASSERT_EQ(std::sscanf(range.c_str(), "%lld %lld %lld %lld", &r[0], &r[1], &r[2], &r[3]), 4);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[2] + r[3], static_cast<long long>(out.size()));
    EXPECT_EQ(r[2] - r[1], static_cast<long long>(TPDF::ContentsBytes));
    const std::string contents = out.substr(static_cast<size_t>(r[1]), static_cast<size_t>(r[2] - r[1]));
    EXPECT_EQ(contents, "<" + std::string(600, 'A') + std::string(20480 - 600, '0') + ">");
    EXPECT_EQ(out.substr(static_cast<size_t>(r[1]) - 10, 10), "/Contents ");

    // What the signer digested is exactly the two ranges, and the digest it was given is theirs.
    const std::string ranges = out.substr(0, static_cast<size_t>(r[1])) + out.substr(static_cast<size_t>(r[2]));
    EXPECT_EQ(cms.SeenBytes, ranges);
    EXPECT_EQ(cms.SeenDigest, PdfTest::Sha256Hex(ranges));
    EXPECT_EQ(cms.SeenOid, "2.16.840.1.101.3.4.2.1");
    // The array keeps its reserved width, so nothing after it moved when it was filled.
    const size_t arrayAt = out.find("/ByteRange [ ");
    EXPECT_EQ(out.find('\n', arrayAt) - arrayAt, std::string("/ByteRange [ 0 0 0 0 ]").size() + 3 * 6);

    TPDF reloaded;
    EXPECT_TRUE(reloaded.LoadFromBytes(out)) << reloaded.GetError();
}

TEST(TPDFSign, HeaderRaisedTo16OnlyWhenLower)
{
    PdfTest::TBuild old;
    EXPECT_EQ(SignedBytes(MakePdf(ThreePages(), old)).substr(0, 9), "%PDF-1.6\n");
    PdfTest::TBuild newer;
    newer.Header = "%PDF-1.7";
    EXPECT_EQ(SignedBytes(MakePdf(ThreePages(), newer)).substr(0, 9), "%PDF-1.7\n");
    // CR-only line ends: only the version text changes.
    PdfTest::TBuild cr;
    cr.Eol = "\r";
    cr.Header = "%PDF-1.3";
    const std::string out = SignedBytes(MakePdf(ThreePages(), cr));
    EXPECT_EQ(out.substr(0, 9), "%PDF-1.6\r");
}

TEST(TPDFSign, InfoEntriesOnNewAndExistingInfoDictionaries)
{
    setenv("TZ", "<-03>3", 1);
    tzset();
    TPdfSignProperties props({{"INFO:Title", "$UTF:A(b"},
                              {"info:Author", "  Ana (QA)  "},
                              {"info:Subject", "$EMPTY:"},
                              {"info:Producer", ""},
                              {"info:CreationDate", "$d:2024-01-31 10:00:00.000"},
                              {"Hash", "1.3.14.3.2.26"}});
    TFakeCms cms;
    const std::string created = SignedBytes(MakePdf(ThreePages()), props, &cms);
    unsetenv("TZ");
    tzset();
    // A new Info object (4) comes before the widget, form and signature.
    EXPECT_NE(created.find("/Info 4 0 R"), std::string::npos);
    EXPECT_NE(created.find("/V 7 0 R"), std::string::npos);
    const std::string info = Between(created, "4 0 obj\n", "endobj");
    EXPECT_NE(info.find(std::string("/Title (\xFE\xFF\0A\0\\(\0b)", 17)), std::string::npos);
    EXPECT_NE(info.find("/Author (Ana \\(QA\\))"), std::string::npos);
    EXPECT_NE(info.find("/Subject ()"), std::string::npos);
    EXPECT_EQ(info.find("/Producer"), std::string::npos);
    EXPECT_NE(info.find("/CreationDate (D:20240131130000)"), std::string::npos);
    EXPECT_EQ(cms.SeenOid, "1.3.14.3.2.26");
    EXPECT_EQ(cms.SeenDigest.size(), 40u);

    // An existing Info dictionary is edited: an empty value removes its key, others stay.
    auto pages = ThreePages();
    pages.push_back("<< /Producer (Old) /Keywords (k) >>");
    PdfTest::TBuild withInfo;
    withInfo.TrailerExtra = " /Info 4 0 R";
    const std::string edited = SignedBytes(MakePdf(pages, withInfo),
                                           TPdfSignProperties({{"info:Producer", ""}, {"info:Title", "T"}}));
    const std::string kept = Between(edited, "4 0 obj\n", "endobj");
    EXPECT_EQ(kept.find("/Producer"), std::string::npos);
    EXPECT_NE(kept.find("/Keywords (k)"), std::string::npos);
    EXPECT_NE(kept.find("/Title (T)"), std::string::npos);
    EXPECT_NE(edited.find("/V 7 0 R"), std::string::npos);
}

TEST(TPDFSign, BuildPropertiesOnlyWithAppName)
{
    const std::string out = SignedBytes(
        MakePdf(ThreePages()),
        TPdfSignProperties({{"propbuild:AppName", "Dorvik Signer"}, {"propbuild:AppOS", "Debian 12"}}));
    EXPECT_NE(out.find("/Prop_Build << /App << /Name /Dorvik#20Signer /OS [/Debian#2012] /TrustedMode true >> >>\n/M (D:"),
              std::string::npos);
    const std::string plain = SignedBytes(MakePdf(ThreePages()),
                                          TPdfSignProperties({{"propbuild:AppVersion", "1.0"}, {"x", ""}}));
    EXPECT_EQ(plain.find("/Prop_Build"), std::string::npos);
}

TEST(TPDFSign, CmsSizeLimitAndFailures)
{
    const std::string source = MakePdf(ThreePages());
    {
        TPDF pdf;
        ASSERT_TRUE(pdf.LoadFromBytes(source));
        TFakeCms full;
        full.HexSize = TPDF::ContentsHexSize;
        EXPECT_TRUE(pdf.Sign({}, full.For(pdf)));
        EXPECT_NE(pdf.GetText().find("<" + std::string(20480, 'A') + ">"), std::string::npos);
    }
    {
        TPDF pdf;
        ASSERT_TRUE(pdf.LoadFromBytes(source));
        TFakeCms over;
        over.HexSize = TPDF::ContentsHexSize + 2;
        EXPECT_FALSE(pdf.Sign({}, over.For(pdf)));
        EXPECT_EQ(pdf.GetError(), Words::PdfCmsTooLarge);
        EXPECT_NE(pdf.GetText().find("/Contents \n>>"), std::string::npos);
        EXPECT_EQ(pdf.GetText().find("AAAA"), std::string::npos);
    }
    {
        TPDF pdf;
        ASSERT_TRUE(pdf.LoadFromBytes(source));
        EXPECT_FALSE(pdf.Sign({}, [](const std::string&, const std::string&) { return std::string(); }));
        EXPECT_EQ(pdf.GetError(), Words::PdfCmsFailed);
        EXPECT_FALSE(pdf.Sign({}, [](const std::string&, const std::string&) { return std::string("3082>>"); }));
    }
    {
        TPDF pdf;
        ASSERT_TRUE(pdf.LoadFromBytes(source));
        TFakeCms cms;
        EXPECT_FALSE(pdf.Sign(TPdfSignProperties({{"Hash", "1.2.3.4"}, {"x", ""}}), cms.For(pdf)));
        EXPECT_EQ(pdf.GetError(), Words::PdfDigestFailed);
    }
    TPDF empty;
    TFakeCms cms;
    EXPECT_FALSE(empty.Sign({}, cms.For(empty)));
}

TEST(TPDFSign, RequestCopyHandedToTheCmsHook)
{
    std::string seenBytes;
    std::unique_ptr<TXmlDoc> seen;
    TPDF pdf([&](TXmlDoc& copy, TPDF& doc) {
        seen = copy.Duplicate();
        seenBytes = doc.GetText();
        return std::string("3080");
    });
    ASSERT_TRUE(pdf.LoadFromBytes(MakePdf(ThreePages())));
    TXmlDoc request("SIGNEDDATA");
    request.Setp("CertificateCode", "ABCD");
    request.Setp("Content", "2550");
    request.Setp("Binary", "1");
    request.Setp("Format", "PADES");
    request.Setp("Policy", "2.16.76.1.7.1.1.2.3, 2.16.840.1.101.3.4.2.3,AB");
    ASSERT_TRUE(pdf.Sign(request));
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->GetName(), "SIGNEDDATA");
    EXPECT_EQ(seen->Getp("ContentHash").size(), 128u);  // SHA-512 from the policy's second field
    EXPECT_EQ(seen->Getp("Dettached"), "1");
    EXPECT_EQ(seen->Getp("Order"), "ContentType,MessageDigest,SigningCertificate");
    EXPECT_EQ(seen->Getp("Content"), "");
    EXPECT_EQ(seen->Getp("Binary"), "");
    EXPECT_EQ(seen->Getp("Format"), "");
    EXPECT_EQ(seen->Getp("CertificateCode"), "ABCD");
    EXPECT_EQ(request.Getp("Format"), "PADES");
    EXPECT_EQ(request.Getp("Content"), "2550");
    EXPECT_NE(pdf.GetText().find("/Contents <3080000"), std::string::npos);

    TPDF second([&](TXmlDoc& copy, TPDF&) {
        seen = copy.Duplicate();
        return std::string("3080");
    });
    ASSERT_TRUE(second.LoadFromBytes(MakePdf(ThreePages())));
    request.Setp("Order", "ContentType,MessageDigest");
    ASSERT_TRUE(second.Sign(request));
    EXPECT_EQ(seen->Getp("Order"), "ContentType,MessageDigest");
}

TEST(TPDFSign, WithoutCmsMakerNothingIsSigned)
{
    // A document made without a CMS maker has nothing to sign with.
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromBytes(MakePdf(ThreePages())));
    TXmlDoc request("SIGNEDDATA");
    EXPECT_FALSE(pdf.Sign(request));
    EXPECT_EQ(pdf.GetError(), Words::PdfCmsFailed);
}

TEST(TPDFSign, SignedOutputIsSignedAgainByIncrementalUpdate)
{
    // Rewriting a signed document in place would change the bytes its signature covers.
    const std::string once = SignedBytes(MakePdf(ThreePages()));
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromBytes(once));
    EXPECT_TRUE(pdf.IsIncremental());
    TFakeCms cms;
    ASSERT_TRUE(pdf.Sign({}, cms.For(pdf))) << pdf.GetError();
    const std::string twice(pdf.GetText());
    // The first signature's bytes stay as they were; the update follows them.
    ASSERT_GT(twice.size(), once.size());
    EXPECT_EQ(twice.substr(0, once.size()), once);
    EXPECT_NE(twice.find("/T (DigitalSignature2)", once.size()), std::string::npos);
    EXPECT_NE(twice.find("/Fields [ 4 0 R 7 0 R ]", once.size()), std::string::npos);
}

TEST(TPDFSetValue, EditsKeepOtherEntriesStreamsAndOffsets)
{
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromBytes(MakePdf(
        {"<< /Type /Catalog /Pages 2 0 R /AcroForm 9 0 R /Names << /Dests 8 0 R >> /Lang (en) >>",
         "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
         "<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>",
         "<<\n/Length 5\n>>\nstream\nhello\nendstream"})));
    TPDFObject* catalog = pdf.GetCatalog();
    catalog->SetValue("AcroForm", "12 0 R");
    EXPECT_EQ(catalog->GetValue("AcroForm"), "12 0 R");
    EXPECT_EQ(catalog->GetValue("Names"), "<< /Dests 8 0 R >>");
    EXPECT_EQ(catalog->GetValue("Lang"), "(en)");
    EXPECT_EQ(catalog->GetValue("Pages"), "2 0 R");
    catalog->SetValue("Lang", "");
    EXPECT_EQ(catalog->GetValue("Lang"), "");
    EXPECT_EQ(catalog->GetValue("Names"), "<< /Dests 8 0 R >>");

    TPDFObject* stream = pdf.FindObject(4);
    stream->SetValue("Filter", "/Identity");
    EXPECT_EQ(stream->GetBody(), "<<\n/Length 5\n/Filter /Identity\n>>\nstream\nhello\nendstream");

    // Appending a key to a one-line dictionary: a line of its own before ">>".
    pdf.FindObject(2)->SetValue("Extra", "1");
    EXPECT_EQ(pdf.FindObject(2)->GetBody(), "<< /Type /Pages /Kids [3 0 R] /Count 1 \n/Extra 1\n>>");

    const std::string out(pdf.GetText());
    const auto offsets = PdfTest::XrefOffsets(out);
    for (size_t n = 1; n < offsets.size(); ++n)
        EXPECT_EQ(out.substr(static_cast<size_t>(offsets[n]), 8), std::to_string(n) + " 0 obj\n");
    EXPECT_EQ(out.substr(static_cast<size_t>(std::stoll(out.substr(out.rfind("startxref") + 10))), 4), "xref");
}

TEST(TPDFSign, FieldsOfAnExistingFormAreKept)
{
    auto objects = ThreePages();
    objects[0] = "<< /Type /Catalog /Pages 2 0 R /AcroForm 4 0 R >>";
    objects.push_back("<< /Fields [5 0 R] /DA (/Helv 0 Tf 0 g) >>");
    objects.push_back("<< /FT /Tx /T (Name) /V (Ana) >>");
    const std::string out = SignedBytes(MakePdf(objects));
    EXPECT_NE(out.find("/Fields [ 5 0 R 6 0 R ]"), std::string::npos);
    EXPECT_NE(out.find("/AcroForm 7 0 R"), std::string::npos);
    // An inline form dictionary too.
    objects[0] = "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [ 5 0 R ] >> >>";
    const std::string inline_ = SignedBytes(MakePdf(objects));
    EXPECT_NE(inline_.find("/Fields [ 5 0 R 6 0 R ]"), std::string::npos);
    EXPECT_EQ(inline_.find("/AcroForm <<"), std::string::npos);
}
