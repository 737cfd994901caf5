// Signatures appended as incremental updates, on documents qpdf writes at test time (object
// and cross-reference streams, linearized files, encryption), checked with qpdf itself.
#include "crypto/UnitPDF.h"
#include "crypto/UnitPDFIncremental.h"
#include "core/UnitStatusWords.h"
#include "PDFRewriteCases.h"
#include "PDFTestUtil.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

using PdfTest::MakePdf;
using PdfTest::ThreePages;

namespace {

std::string Scratch()
{
    static const std::string dir = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "pdfinc-XXXXXX").string();
        return std::string(mkdtemp(templ.data()));
    }();
    return dir;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Standard output and exit code of a shell command.
std::pair<std::string, int> Shell(const std::string& command)
{
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return {"popen failed", -1};
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// `bytes` rewritten by qpdf with the given options.
std::string Qpdf(const std::string& bytes, const std::string& options)
{
    static int count = 0;
    const std::string in = Scratch() + "/in" + std::to_string(++count) + ".pdf";
    const std::string out = in + ".out.pdf";
    WriteFile(in, bytes);
    const auto [text, code] = Shell("qpdf " + options + " " + in + " " + out);
    EXPECT_TRUE(code == 0 || code == 3) << text;
    return PdfTest::ReadFile(out);
}

// qpdf --check's verdict: "" when clean, else its report.
std::string QpdfCheck(const std::string& bytes)
{
    const std::string path = Scratch() + "/check.pdf";
    WriteFile(path, bytes);
    const auto [text, code] = Shell("qpdf --check " + path);
    return code == 0 && text.find("WARNING") == std::string::npos ? "" : text;
}

// Every object as qpdf reads it ("obj:N G R" and "trailer"), from its JSON output.
nlohmann::json QpdfObjects(const std::string& bytes)
{
    const std::string path = Scratch() + "/objects.pdf";
    WriteFile(path, bytes);
    const auto [text, code] = Shell("qpdf --json=2 --json-key=qpdf " + path);
    EXPECT_EQ(code, 0) << text;
    return nlohmann::json::parse(text, nullptr, false)["qpdf"][1];
}

struct TSeen {
    std::string Bytes;
    std::string Digest;
};

TPDF::TCmsMaker Maker(const TPDF& pdf, TSeen& seen)
{
    return [&pdf, &seen](const std::string&, const std::string& digest) {
        seen.Bytes = pdf.GetText();
        seen.Digest = digest;
        return PdfTest::GoldenCms(digest);
    };
}

std::vector<long long> LastByteRange(const std::string& pdf)
{
    static const std::regex range(R"(/ByteRange \[ (\d+) (\d+) (\d+) (\d+) +\])");
    std::vector<long long> r;
    for (auto it = std::sregex_iterator(pdf.begin(), pdf.end(), range); it != std::sregex_iterator(); ++it)
        r = {std::stoll((*it)[1]), std::stoll((*it)[2]), std::stoll((*it)[3]), std::stoll((*it)[4])};
    return r;
}

// Signs incrementally and checks what every such signature must satisfy.
std::string SignAppended(const std::string& source, const TPdfSignProperties& props = {})
{
    TPDF pdf;
    EXPECT_TRUE(pdf.LoadFromBytes(source)) << pdf.GetError();
    EXPECT_TRUE(pdf.IsIncremental());
    pdf.SetSigningTime(PdfTest::GoldenTime);
    TSeen seen;
    EXPECT_TRUE(pdf.Sign(props, Maker(pdf, seen))) << pdf.GetError();
    const std::string out(pdf.GetText());
    EXPECT_EQ(out.substr(0, source.size()), source) << "the original bytes changed";
    const auto r = LastByteRange(out);
    EXPECT_EQ(r, pdf.GetByteRange());
    if (r.size() != 4)
        return out;
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[2] + r[3], static_cast<long long>(out.size()));
    EXPECT_EQ(r[2] - r[1], static_cast<long long>(TPDF::ContentsBytes));
    EXPECT_EQ(out.substr(static_cast<size_t>(r[1]) - 10, 11), "/Contents <");
    const std::string ranges = out.substr(0, static_cast<size_t>(r[1])) + out.substr(static_cast<size_t>(r[2]));
    EXPECT_EQ(seen.Bytes, ranges);
    EXPECT_EQ(seen.Digest, PdfTest::Sha256Hex(ranges));
    EXPECT_EQ(out.substr(static_cast<size_t>(r[1]) + 1, 4 + 64), PdfTest::GoldenCms(seen.Digest));
    EXPECT_EQ(QpdfCheck(out), "");
    EXPECT_TRUE(UnitPDFIncremental::HasSignature(out));
    return out;
}

// The kind of the last cross-reference section of a file.
std::string LastSectionKind(const std::string& pdf)
{
    const long long at = std::stoll(pdf.substr(pdf.rfind("startxref") + 10));
    if (pdf.compare(static_cast<size_t>(at), 4, "xref") == 0)
        return "table";
    const size_t end = pdf.find("stream", static_cast<size_t>(at));
    return pdf.substr(static_cast<size_t>(at), end - static_cast<size_t>(at)).find("/Type /XRef") != std::string::npos
               ? "stream"
               : "?";
}

long long StartXref(const std::string& pdf)
{
    return std::stoll(pdf.substr(pdf.rfind("startxref") + 10));
}

// A hybrid file: the catalog and the page tree in an object stream that only the stream of
// cross-references named by the table's /XRefStm lists.
std::string Hybrid()
{
    std::string out = "%PDF-1.5\n";
    const std::string objects = "<< /Type /Catalog /Pages 2 0 R >>\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\n";
    const std::string index = "1 0 2 " + std::to_string(objects.find("<< /Type /Pages")) + "\n";
    const size_t page = out.size();
    out += "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>\nendobj\n";
    const size_t objstm = out.size();
    out += "4 0 obj\n<< /Type /ObjStm /N 2 /First " + std::to_string(index.size()) + " /Length " +
           std::to_string(index.size() + objects.size()) + " >>\nstream\n" + index + objects + "\nendstream\nendobj\n";
    const size_t xrefStream = out.size();
    auto row = [](int type, size_t field2, int field3) {
        return std::string{static_cast<char>(type), static_cast<char>((field2 >> 8) & 0xFF),
                           static_cast<char>(field2 & 0xFF), static_cast<char>(field3)};
    };
    const std::string rows = row(0, 0, 0) + row(2, 4, 0) + row(2, 4, 1) + row(1, page, 0) + row(1, objstm, 0) +
                             row(1, xrefStream, 0);
    out += "5 0 obj\n<< /Type /XRef /Size 6 /W [1 2 1] /Root 1 0 R /Length " + std::to_string(rows.size()) +
           " >>\nstream\n" + rows + "\nendstream\nendobj\n";
    const size_t table = out.size();
    auto entry = [](size_t offset) {
        const std::string digits = std::to_string(offset);
        return std::string(10 - digits.size(), '0') + digits + " 00000 n \n";
    };
    out += "xref\n0 1\n0000000000 65535 f \n3 3\n" + entry(page) + entry(objstm) + entry(xrefStream);
    out += "trailer\n<< /Size 6 /Root 1 0 R /XRefStm " + std::to_string(xrefStream) + " >>\nstartxref\n" +
           std::to_string(table) + "\n%%EOF\n";
    return out;
}

}  // namespace

TEST(TPDFIncremental, ObjectStreamsGetACrossReferenceStreamPointingBack)
{
    auto form = ThreePages();
    form[0] = "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [ 4 0 R ] /DA (/Helv 0 Tf 0 g) >> >>";
    form[2] = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Annots [ 4 0 R ] >>";
    form.push_back("<< /FT /Tx /T (name) /V (Ana) /Subtype /Widget /Rect [ 10 10 100 30 ] /P 3 0 R >>");
    const std::string source = Qpdf(MakePdf(form), "--object-streams=generate");
    ASSERT_EQ(LastSectionKind(source), "stream");
    {
        // Every object but the stream of cross-references sits in an object stream.
        TPDF rewrite;
        ASSERT_TRUE(rewrite.LoadFromBytes(source));
        ASSERT_TRUE(rewrite.IsIncremental());
    }
    const std::string out = SignAppended(source, TPdfSignProperties({{"info:Title", "$UTF:A\xE7\xE3o"},  // 8-bit (Latin-1) text
                                                                     {"propbuild:AppName", "Dorvik Test"}}));
    EXPECT_EQ(LastSectionKind(out), "stream");
    const std::string tail = out.substr(source.size());
    EXPECT_NE(tail.find("/Prev " + std::to_string(StartXref(source)) + "\n"), std::string::npos);
    // The signature dictionary carries the entries of the rewrite.
    EXPECT_NE(tail.find("<<\n/Type /Sig\n/Filter /Adobe.PPKLite\n/SubFilter /ETSI.CAdES.detached\n"
                        "/Prop_Build << /App << /Name /Dorvik#20Test /TrustedMode true >> >>\n"
                        "/M (D:20260102030405+00'00')\n/ByteRange [ 0 "),
              std::string::npos);
    // What qpdf reads back: the page lists both widgets, the form both fields, the new
    // field holds the signature, the Info dictionary the title.
    const nlohmann::json objects = QpdfObjects(out);
    auto value = [&](const nlohmann::json& ref) { return objects.value("obj:" + ref.get<std::string>(), nlohmann::json())["value"]; };
    const nlohmann::json trailer = objects["trailer"]["value"];
    const nlohmann::json catalog = value(trailer["/Root"]);
    const nlohmann::json pageRef = value(catalog["/Pages"])["/Kids"][0];
    const nlohmann::json page = value(pageRef);
    ASSERT_EQ(page["/Annots"].size(), 2u) << page;
    const nlohmann::json acroForm = value(catalog["/AcroForm"]);
    EXPECT_EQ(acroForm["/DA"], "u:/Helv 0 Tf 0 g") << acroForm;
    EXPECT_EQ(acroForm["/SigFlags"], 3) << acroForm;
    ASSERT_EQ(acroForm["/Fields"].size(), 2u) << acroForm;
    EXPECT_EQ(acroForm["/Fields"][0], page["/Annots"][0]);
    EXPECT_EQ(value(acroForm["/Fields"][0])["/V"], "u:Ana");
    EXPECT_EQ(acroForm["/Fields"][1], page["/Annots"][1]);
    const nlohmann::json widget = value(acroForm["/Fields"][1]);
    EXPECT_EQ(widget["/FT"], "/Sig") << widget;
    EXPECT_EQ(widget["/Subtype"], "/Widget") << widget;
    EXPECT_EQ(widget["/P"], pageRef) << widget;
    EXPECT_EQ(widget["/T"], "u:DigitalSignature") << widget;
    const nlohmann::json signature = value(widget["/V"]);
    EXPECT_EQ(signature["/SubFilter"], "/ETSI.CAdES.detached") << signature;
    EXPECT_EQ(signature["/ByteRange"], nlohmann::json(LastByteRange(out)));
    EXPECT_EQ(value(trailer["/Info"])["/Title"], "u:Ação");
    EXPECT_EQ(catalog["/Version"], "/1.6");
}

TEST(TPDFIncremental, TablesAfterTablesForSubsectionsHybridsAndLinearizedFiles)
{
    // A table of several subsections (the rewrite handles one only).
    std::string two = MakePdf(ThreePages());
    const size_t last = two.rfind(" 00000 n \n") - 10;
    two.insert(last, "3 1\n");
    two.replace(two.find("0 4\n", two.rfind("\nxref")), 4, "0 3\n");
    const std::string hybrid = Hybrid();
    const std::string linearized = Qpdf(MakePdf(ThreePages()), "--linearize --object-streams=disable");
    ASSERT_NE(linearized.find("/Linearized"), std::string::npos);
    for (const std::string* source : {static_cast<const std::string*>(&two), &hybrid, &linearized}) {
        ASSERT_EQ(LastSectionKind(*source), "table");
        const std::string out = SignAppended(*source);
        EXPECT_EQ(LastSectionKind(out), "table");
        const std::string tail = out.substr(source->size());
        EXPECT_NE(tail.find("/Prev " + std::to_string(StartXref(*source)) + "\n>>\nstartxref\n"), std::string::npos)
            << tail.substr(tail.rfind("trailer"));
        // A new subsection for each run of numbers; entries of 20 bytes.
        EXPECT_TRUE(std::regex_search(tail, std::regex("\nxref\n(\\d+ \\d+\n(\\d{10} \\d{5} n \n)+)+trailer\n")));
    }
}

TEST(TPDFIncremental, ThreeSignaturesInARowEachCoverTheFileBeforeIt)
{
    const std::string source = Qpdf(MakePdf(ThreePages()), "--object-streams=generate");
    std::string doc = source;
    std::vector<std::string> revisions;
    for (int i = 0; i < 3; ++i) {
        doc = SignAppended(doc);
        revisions.push_back(doc);
    }
    // Each later revision starts with the whole earlier one; the field names stay distinct.
    for (size_t i = 1; i < revisions.size(); ++i)
        EXPECT_EQ(revisions[i].substr(0, revisions[i - 1].size()), revisions[i - 1]);
    for (const char* name : {"(DigitalSignature)", "(DigitalSignature2)", "(DigitalSignature3)"})
        EXPECT_NE(doc.find(std::string("/T ") + name), std::string::npos) << name;
    // One TPDF object signing twice appends twice.
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromBytes(source));
    TSeen seen;
    ASSERT_TRUE(pdf.Sign({}, Maker(pdf, seen)));
    const std::string first(pdf.GetText());
    ASSERT_TRUE(pdf.Sign({}, Maker(pdf, seen)));
    EXPECT_EQ(pdf.GetText().substr(0, first.size()), first);
    EXPECT_EQ(QpdfCheck(std::string(pdf.GetText())), "");
}

TEST(TPDFIncremental, RefusalsWriteNothing)
{
    const std::string plain = MakePdf(ThreePages());
    for (const std::string options : {"--encrypt '' owner 256 --", "--encrypt user owner 128 --use-aes=y --",
                                      "--object-streams=generate --encrypt '' owner 256 --"}) {
        TPDF pdf;
        EXPECT_FALSE(pdf.LoadFromBytes(Qpdf(plain, options))) << options;
        EXPECT_EQ(pdf.GetError(), Words::PdfEncryptedUnsupported) << options;
        EXPECT_EQ(pdf.GetText(), "");
        EXPECT_FALSE(pdf.Sign({}, [](const std::string&, const std::string&) { return std::string("30"); }));
    }
    // A cross-reference stream cut short, and one whose /Prev points nowhere.
    const std::string streams = Qpdf(plain, "--object-streams=generate");
    for (const std::string& broken : {streams.substr(0, streams.size() - 200),
                                      std::regex_replace(streams, std::regex("/Type /XRef"), "/Type /XRef /Prev 99")}) {
        TPDF pdf;
        EXPECT_FALSE(pdf.LoadFromBytes(broken));
        EXPECT_EQ(pdf.GetError(), Words::PdfStructureInvalid);
        EXPECT_EQ(pdf.GetText(), "");
    }
    // A CMS that fails, or does not fit, leaves the document as it was.
    TPDF pdf;
    ASSERT_TRUE(pdf.LoadFromBytes(streams));
    EXPECT_FALSE(pdf.Sign({}, [](const std::string&, const std::string&) { return std::string(); }));
    EXPECT_EQ(pdf.GetError(), Words::PdfCmsFailed);
    EXPECT_EQ(pdf.GetText(), streams);
    EXPECT_FALSE(pdf.Sign({}, [](const std::string&, const std::string&) {
        return std::string(TPDF::ContentsHexSize + 2, 'A');
    }));
    EXPECT_EQ(pdf.GetError(), Words::PdfCmsTooLarge);
    EXPECT_EQ(pdf.GetText(), streams);
    EXPECT_FALSE(pdf.Sign(PdfTest::One("Hash", "1.2.3.4"),
                          [](const std::string&, const std::string&) { return std::string("30"); }));
    EXPECT_EQ(pdf.GetError(), Words::PdfDigestFailed);
    EXPECT_EQ(pdf.GetText(), streams);
}

// The rewrite keeps producing, byte for byte, what it produced before incremental updates.
TEST(TPDFRewrite, OutputsStayByteIdenticalToTheRecordedOnes)
{
    const std::string dir = std::string(DORVIK_SOURCE_DIR) + "/tests/crypto/data/rewrite";
    std::map<std::string, std::pair<size_t, std::string>> golden;
    std::ifstream list(dir + "/golden.txt");
    for (std::string line; std::getline(list, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        char name[64];
        size_t size = 0;
        char digest[65];
        ASSERT_EQ(std::sscanf(line.c_str(), "%63s %zu %64s", name, &size, digest), 3) << line;
        golden[name] = {size, digest};
    }
    const auto cases = PdfTest::RewriteCases(dir);
    ASSERT_EQ(golden.size(), cases.size());
    for (const auto& c : cases) {
        ASSERT_TRUE(golden.count(c.Name)) << c.Name;
        ASSERT_FALSE(c.Bytes.empty()) << c.Name;
        TPDF pdf;
        ASSERT_TRUE(pdf.LoadFromBytes(c.Bytes)) << c.Name << ": " << pdf.GetError();
        EXPECT_FALSE(pdf.IsIncremental()) << c.Name;
        pdf.SetSigningTime(PdfTest::GoldenTime);
        ASSERT_TRUE(pdf.Sign(c.Props, [](const std::string&, const std::string& d) { return PdfTest::GoldenCms(d); }))
            << c.Name << ": " << pdf.GetError();
        EXPECT_EQ(pdf.GetText().size(), golden[c.Name].first) << c.Name;
        EXPECT_EQ(PdfTest::Sha256Hex(pdf.GetText()), golden[c.Name].second) << c.Name;
    }
}
