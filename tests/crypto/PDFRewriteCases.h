// Documents the in-place rewrite signs, with the properties each is signed with, for the test
// that keeps its output byte for byte. The golden digests in data/rewrite/golden.txt were
// recorded from the rewrite as it stood before incremental updates existed, with the signing
// time below and the stand-in CMS below.
#pragma once

#include "crypto/UnitPDF.h"
#include "PDFTestUtil.h"

#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace PdfTest {

// 2026-01-02 03:04:05 UTC.
inline constexpr std::time_t GoldenTime = 1767323045;

// The stand-in CMS: a fixed prefix and the digest, so the output depends on every signed byte.
inline std::string GoldenCms(const std::string& digest)
{
    return "3082" + digest;
}

struct TRewriteCase {
    std::string Name;
    std::string Bytes;
    TPdfSignProperties Props;
};

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A second revision whose full table points back at the first through /Prev.
inline std::string TwoRevisions()
{
    std::string out = MakePdf(ThreePages());
    const std::string firstXref = out.substr(out.rfind("startxref") + 10);
    const size_t page = out.size();
    out += "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] >>\nendobj\n";
    const size_t xref = out.size();
    const auto offsets = XrefOffsets(out.substr(0, page));
    auto entry = [](long long offset) {
        std::string digits = std::to_string(offset);
        return std::string(10 - digits.size(), '0') + digits + " 00000 n \n";
    };
    out += "xref\n0 4\n0000000000 65535 f \n" + entry(offsets[1]) + entry(offsets[2]) + entry(static_cast<long long>(page));
    out += "trailer\n<< /Size 4 /Root 1 0 R /Prev " + std::to_string(std::stoll(firstXref)) +
           " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return out;
}

inline TPdfSignProperties One(const std::string& name, const std::string& value)
{
    TPdfSignProperties props;
    props.Set(name, value);
    return props;
}

inline std::vector<TRewriteCase> RewriteCases(const std::string& dataDir)
{
    std::vector<TRewriteCase> cases;
    const TPdfSignProperties rich({{"info:Title", "$UTF:Contrato de ação"},
                                   {"info:Author", "Ana (Silva)"},
                                   {"info:Subject", "$EMPTY:"},
                                   {"info:ModDate", "$D:2025-06-07 08:09:10 Z+0"},
                                   {"propbuild:AppName", "Dorvik Golden"},
                                   {"propbuild:AppVersion", "1.2.3"},
                                   {"propbuild:AppOS", "Debian 12"}});
    cases.push_back({"three-pages", MakePdf(ThreePages()), {}});
    cases.push_back({"three-pages-rich", MakePdf(ThreePages()), rich});
    TBuild crlf;
    crlf.Eol = "\r\n";
    crlf.Header = "%PDF-1.7";
    cases.push_back({"crlf-17", MakePdf(ThreePages(), crlf), rich});
    TBuild cr;
    cr.Eol = "\r";
    cr.Header = "%PDF-1.3";
    cases.push_back({"cr-13", MakePdf(ThreePages(), cr), One("Hash", "2.16.840.1.101.3.4.2.3")});
    TBuild info;
    info.TrailerExtra = " /Info 4 0 R";
    auto withInfo = ThreePages();
    withInfo.push_back("<< /Producer (hand) /Title (Old) >>");
    cases.push_back({"existing-info", MakePdf(withInfo, info), rich});
    auto form = ThreePages();
    form[0] = "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [ 4 0 R ] >> >>";
    form.push_back("<< /FT /Tx /T (name) /Rect [ 10 10 100 30 ] /P 3 0 R >>");
    cases.push_back({"form-fields", MakePdf(form), {}});
    auto nested = ThreePages();
    nested[1] = "<< /Type /Pages /Kids [4 0 R] /Count 1 >>";
    nested[2] = "<< /Type /Page /Parent 4 0 R /MediaBox [0 0 200 200] >>";
    nested.push_back("<< /Type /Pages /Parent 2 0 R /Kids [3 0 R] /Count 1 >>");
    cases.push_back({"nested-pages", MakePdf(nested), One("Policy", "2.16.76.1.7.1.1.2.3,2.16.840.1.101.3.4.2.2")});
    cases.push_back({"two-revisions", TwoRevisions(), rich});
    for (const char* name : {"cairo", "cairo-classic", "gs", "gs-classic", "mutool", "mutool-classic"})
        cases.push_back({name, ReadFile(dataDir + "/" + name + ".pdf"), rich});
    return cases;
}

}  // namespace PdfTest
