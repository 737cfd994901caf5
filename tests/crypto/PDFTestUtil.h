// Small PDFs written byte by byte for the tests, with their cross-reference offsets computed
// here independently of the code under test.
#pragma once

#include "crypto/UnitCryptHash.h"

#include <string>
#include <string_view>
#include <vector>

namespace PdfTest {

struct TBuild {
    std::string Header = "%PDF-1.4";
    std::string Eol = "\n";
    std::string TrailerExtra;  // more trailer entries
    std::string AfterEof = "\n";
};

// Objects 1..n with the given bodies (object 1 is the catalog by convention).
inline std::string MakePdf(const std::vector<std::string>& bodies, const TBuild& b = {})
{
    std::string out = b.Header + b.Eol + "%\xE2\xE3\xCF\xD3" + b.Eol;
    std::vector<size_t> offsets;
    for (size_t i = 0; i < bodies.size(); ++i) {
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj" + b.Eol + bodies[i] + b.Eol + "endobj" + b.Eol;
    }
    const size_t xref = out.size();
    out += "xref" + b.Eol + "0 " + std::to_string(bodies.size() + 1) + b.Eol;
    // Entries are 20 bytes whatever the file's line ends.
    const std::string end = b.Eol == "\r\n" ? "\r\n" : " \n";
    out += "0000000000 65535 f" + end;
    for (size_t offset : offsets) {
        std::string digits = std::to_string(offset);
        out += std::string(10 - digits.size(), '0') + digits + " 00000 n" + end;
    }
    out += "trailer" + b.Eol + "<< /Size " + std::to_string(bodies.size() + 1) + " /Root 1 0 R" +
           b.TrailerExtra + " >>" + b.Eol + "startxref" + b.Eol + std::to_string(xref) + b.Eol +
           "%%EOF" + b.AfterEof;
    return out;
}

inline std::vector<std::string> ThreePages()
{
    return {"<< /Type /Catalog /Pages 2 0 R >>",
            "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>"};
}

inline std::string Sha256Hex(std::string_view bytes)
{
    return UnitCryptHash::DigestText(bytes, UnitCryptHash::TCryptHash::SHA256);
}

// Object number -> offset, read from the last table of a file by plain text means.
inline std::vector<long long> XrefOffsets(const std::string& pdf)
{
    const size_t sx = pdf.rfind("startxref");
    const long long at = std::stoll(pdf.substr(sx + 9));
    size_t p = pdf.find('\n', static_cast<size_t>(at)) + 1;
    const size_t sp = pdf.find(' ', p);
    const long long count = std::stoll(pdf.substr(sp + 1));
    p = pdf.find('\n', p) + 1;
    std::vector<long long> offsets;
    for (long long i = 0; i < count; ++i, p += 20)
        offsets.push_back(pdf.substr(p + 17, 1) == "n" ? std::stoll(pdf.substr(p, 10)) : -1);
    return offsets;
}

}  // namespace PdfTest
