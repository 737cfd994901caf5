#include "crypto/UnitPDF.h"
#include "core/UnitStatusWords.h"
#include "encoding/UnitEncoding.h"
#include "PDFTestUtil.h"

#include <gtest/gtest.h>

using PdfTest::MakePdf;
using PdfTest::ThreePages;

namespace {

std::string Refusal(const std::string& bytes)
{
    TPDF pdf;
    EXPECT_FALSE(pdf.LoadFromBytes(bytes));
    std::string out = "not cleared";
    EXPECT_FALSE(pdf.SaveToText(out, 12));
    EXPECT_EQ(out, "");
    return pdf.GetError();
}

}  // namespace

TEST(TPDFLoad, ReadsObjectsCatalogAndFirstPage)
{
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromBytes(MakePdf(ThreePages())));
    EXPECT_EQ(pdf.GetObjectCount(), 3u);
    EXPECT_EQ(pdf.GetHighest(), 3);
    ASSERT_NE(pdf.GetCatalog(), nullptr);
    EXPECT_EQ(pdf.GetCatalog()->GetNumber(), 1);
    EXPECT_EQ(pdf.GetCatalog()->GetReference(), "1 0 R");
    ASSERT_NE(pdf.GetFirstPage(), nullptr);
    EXPECT_EQ(pdf.GetFirstPage()->GetNumber(), 3);
    EXPECT_EQ(pdf.FindObject(2)->GetBody(), "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    EXPECT_EQ(pdf.FindObject(2)->GetValue("Kids"), "[3 0 R]");
    EXPECT_EQ(pdf.FindObject(2)->GetInt("Count"), 1);
    EXPECT_EQ(pdf.FindObject(3)->GetWord("Type"), "/Page");
    EXPECT_EQ(pdf.GetTrailer().GetWord("Root"), "1");
    EXPECT_EQ(pdf.FindObject(4), nullptr);
}

TEST(TPDFLoad, KeyLookupMatchesWholeNamesAtTopLevelOnly)
{
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromBytes(MakePdf({"<< /Type /Catalog /PagesX 9 0 R /D << /Pages 7 0 R >> /Pages 2 0 R >>",
                                           "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                           "<< /Type /Page /Parent 2 0 R >>"})));
    EXPECT_EQ(pdf.GetCatalog()->GetValue("Pages"), "2 0 R");
    EXPECT_EQ(pdf.GetCatalog()->GetValue("Missing"), "");
    EXPECT_EQ(pdf.GetCatalog()->GetInt("Missing"), 0);
}

TEST(TPDFLoad, FindsStartxrefFarFromTheEndAndWithCrLf)
{
    PdfTest::TBuild padded;
    padded.AfterEof = "\n" + std::string(900, ' ') + "\n";
    EXPECT_TRUE(TPDF().LoadFromBytes(MakePdf(ThreePages(), padded)));
    PdfTest::TBuild crlf;
    crlf.Eol = "\r\n";
    crlf.AfterEof = "\r\n";
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromBytes(MakePdf(ThreePages(), crlf)));
    EXPECT_EQ(pdf.GetFirstPage()->GetNumber(), 3);
    padded.AfterEof = "\n" + std::string(2000, ' ');
    EXPECT_EQ(Refusal(MakePdf(ThreePages(), padded)), Words::PdfStructureInvalid);
}

TEST(TPDFLoad, DescendsNestedPageTreesToTheFirstPage)
{
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromBytes(MakePdf({"<< /Type /Catalog /Pages 2 0 R >>",
                                           "<< /Type /Pages /Kids [4 0 R] /Count 1 >>",
                                           "<< /Type /Page /Parent 4 0 R >>",
                                           "<< /Type /Pages /Parent 2 0 R /Kids [3 0 R] /Count 1 >>"})));
    EXPECT_EQ(pdf.GetFirstPage()->GetNumber(), 3);
}

TEST(TPDFLoad, WhatTheRewriteDoesNotHandleGoesByIncrementalUpdate)
{
    const std::string good = MakePdf(ThreePages());
    {
        TPDF pdf;
        ASSERT_TRUE(pdf.LoadFromBytes(good));
        EXPECT_FALSE(pdf.IsIncremental());
    }
    // Two subsections: the last entry moved to a subsection of its own.
    std::string two = good;
    const size_t last = two.rfind(" 00000 n \n") - 10;
    two.insert(last, "3 1\n");
    two.replace(two.find("0 4\n", two.rfind("\nxref")), 4, "0 3\n");
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromBytes(two)) << pdf.GetError();
    EXPECT_TRUE(pdf.IsIncremental());
    EXPECT_EQ(pdf.GetError(), "");
    EXPECT_EQ(pdf.GetText(), two);
    EXPECT_EQ(pdf.GetCatalog(), nullptr);  // the rewrite's own reading is dropped

    // A cross-reference stream that is not one, and a hybrid file whose stream is missing:
    // neither reader reads them.
    std::string stream = good;
    const size_t x = stream.rfind("xref\n0 4");
    stream.replace(x, 4, "9 0 obj");
    EXPECT_EQ(Refusal(stream), Words::PdfStructureInvalid);
    PdfTest::TBuild hybrid;
    hybrid.TrailerExtra = " /XRefStm 12";
    EXPECT_EQ(Refusal(MakePdf(ThreePages(), hybrid)), Words::PdfStructureInvalid);
    PdfTest::TBuild encrypted;
    encrypted.TrailerExtra = " /Encrypt 5 0 R";
    EXPECT_EQ(Refusal(MakePdf(ThreePages(), encrypted)), Words::PdfEncryptedUnsupported);
}

TEST(TPDFLoad, RefusesBrokenStructure)
{
    const std::string good = MakePdf(ThreePages());
    const size_t sx = good.rfind("startxref\n") + 10;
    const std::string xrefAt = good.substr(sx, good.find('\n', sx) - sx);

    std::string far = good;
    far.replace(sx, xrefAt.size(), "99999999");
    EXPECT_EQ(Refusal(far), Words::PdfStructureInvalid);
    // An entry pointing at the wrong object.
    std::string swapped = good;
    const size_t e1 = swapped.find("00000 n") - 11;
    const size_t e2 = swapped.find("00000 n", e1 + 20) - 11;
    const std::string a = swapped.substr(e1, 10);
    swapped.replace(e1, 10, swapped.substr(e2, 10));
    swapped.replace(e2, 10, a);
    EXPECT_EQ(Refusal(swapped), Words::PdfStructureInvalid);
    std::string noRoot = good;
    noRoot.replace(noRoot.find("/Root 1 0 R"), 11, "/Rot 1 0 R ");
    EXPECT_EQ(Refusal(noRoot), Words::PdfStructureInvalid);
    EXPECT_EQ(Refusal(MakePdf({"<< /Type /Catalog >>"})), Words::PdfStructureInvalid);
    EXPECT_EQ(Refusal(MakePdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids 3 0 R >>",
                               "<< /Type /Page >>"})),
              Words::PdfStructureInvalid);
    EXPECT_EQ(Refusal(good.substr(0, good.size() / 2)), Words::PdfStructureInvalid);
    EXPECT_EQ(Refusal(""), Words::PdfStructureInvalid);
    // NUL bytes before the words of a table line once made the reader loop for ever; NUL is
    // white space in PDF, so the table still reads.
    std::string nul = good;
    const size_t entry = nul.find(" 00000 n");
    nul[entry] = '\0';
    nul.insert(entry - 10, std::string(2, '\0'));
    TPDF withNul;
    EXPECT_TRUE(withNul.LoadFromBytes(nul)) << withNul.GetError();
    std::string noTrailer = good;
    noTrailer.replace(noTrailer.rfind("trailer"), 7, "trailor");
    EXPECT_EQ(Refusal(noTrailer), Words::PdfStructureInvalid);
}

TEST(TPDFLoad, TextFormsRoundTripThroughEncodingNumbers)
{
    const std::string bytes = MakePdf(ThreePages());
    const auto* begin = reinterpret_cast<const uint8_t*>(bytes.data());
    const std::string hex = UnitEncoding::EncodeBytes({begin, bytes.size()}, 12);
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromText(hex, 12));
    EXPECT_EQ(pdf.GetText(), bytes);
    std::string out;
    ASSERT_TRUE(pdf.SaveToText(out, 12));
    EXPECT_EQ(out, hex);
    ASSERT_TRUE(pdf.SaveToText(out, 7));
    TPDF again;
    ASSERT_TRUE(again.LoadFromText(out, 7));
    EXPECT_EQ(again.GetText(), bytes);
    EXPECT_FALSE(TPDF().LoadFromText("not hex at all", 12));
}

TEST(TPDFLoad, NewerSectionOfAPrevChainWinsAndChainStaysValidAfterEdits)
{
    // Revision 1, then a full second table whose object 3 is a new copy placed after it.
    std::string pdf = MakePdf(ThreePages());
    const long long firstXref = std::stoll(pdf.substr(pdf.rfind("startxref") + 10));
    const size_t newObject = pdf.size();
    pdf += "3 0 obj\n<< /Type /Page /Parent 2 0 R /Rotate 90 >>\nendobj\n";
    const size_t secondXref = pdf.size();
    const auto old = PdfTest::XrefOffsets(pdf);
    auto entry = [](long long offset) {
        std::string d = std::to_string(offset);
        return std::string(10 - d.size(), '0') + d + " 00000 n \n";
    };
    pdf += "xref\n0 4\n0000000000 65535 f \n" + entry(old[1]) + entry(old[2]) + entry(static_cast<long long>(newObject));
    pdf += "trailer\n<< /Size 4 /Root 1 0 R /Prev " + std::to_string(firstXref) + " >>\nstartxref\n" +
           std::to_string(secondXref) + "\n%%EOF\n";
    TPDF doc;
    ASSERT_TRUE(doc.LoadFromBytes(pdf));
    EXPECT_EQ(doc.GetObjectCount(), 3u);
    EXPECT_EQ(doc.FindObject(3)->GetInt("Rotate"), 90);
    EXPECT_TRUE(doc.FindObject(3)->GetChanged());

    // Growing the catalog moves the older table; the newer trailer must follow it.
    doc.GetCatalog()->SetValue("Lang", "(pt-BR)");
    const std::string out(doc.GetText());
    const long long prev = doc.GetTrailer().GetInt("Prev");
    EXPECT_EQ(out.substr(static_cast<size_t>(prev), 4), "xref");
    EXPECT_GT(prev, firstXref);
    const auto offsets = PdfTest::XrefOffsets(out);
    for (size_t n = 1; n < offsets.size(); ++n)
        EXPECT_EQ(out.substr(static_cast<size_t>(offsets[n]), std::to_string(n).size() + 6),
                  std::to_string(n) + " 0 obj");
    TPDF reloaded;
    EXPECT_TRUE(reloaded.LoadFromBytes(out)) << reloaded.GetError() << "\n" << out;
}
