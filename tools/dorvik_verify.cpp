// dorvik-verify [--revocation] [--crl FILE]... [--content FILE] [--trusted DIR] [--report FILE]
//               [--verdict FILE] [--json] SIGNATURE
// Verifies a CMS SignedData (DER, PEM or base64) or every signature of a PDF (over its
// /ByteRange) and prints the verdict for a person, or the report as JSON. Exit status: 0 when
// every verdict is valid, 1 when one is an alert, 2 when the input or the arguments are wrong.
#include "core/UnitXmlDoc.h"
#include "crypto/UnitAsn1.h"
#include "crypto/UnitSignedDataReport.h"
#include "encoding/UnitCodecs.h"
#include "resources/UnitResourceBag.h"
#include "resources/UnitResources.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<uint8_t>;
using UnitSignedDataReport::TReportOptions;

constexpr int ExitValid = 0;
constexpr int ExitAlert = 1;
constexpr int ExitUsage = 2;

const char* const Usage =
    "usage: dorvik-verify [--revocation] [--crl FILE]... [--content FILE] [--trusted DIR]\n"
    "                     [--report FILE] [--verdict FILE] [--json] SIGNATURE\n";

class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::optional<std::string> ReadFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return bytes;
}

// The length of the DER element at the front of `bytes` (0 when it is not one), so that the
// zero padding of a PDF's reserved contents is left out.
size_t ElementLength(const TBytes& bytes)
{
    if (bytes.size() < 2)
        return 0;
    size_t length = bytes[1];
    size_t header = 2;
    if (length == 0x80)
        return bytes.size();
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count > 4 || bytes.size() < 2 + count)
            return 0;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | bytes[2 + i];
        header += count;
    }
    return header + length <= bytes.size() ? header + length : 0;
}

// DER, PEM or base64 text to DER.
TBytes ToDer(const std::string& bytes)
{
    if (bytes.find("-----BEGIN") != std::string::npos)
        return UnitCodecs::HexDecode(UnitAsn1::PemToHex(bytes));
    if (!bytes.empty() && static_cast<uint8_t>(bytes[0]) == 0x30)
        return TBytes(bytes.begin(), bytes.end());
    return UnitCodecs::Base64Decode(bytes);
}

struct TSignature {
    std::string Title;
    TBytes Cms;
    std::optional<TBytes> Content;
};

long long Number(const std::string& text, size_t& pos)
{
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\r' || text[pos] == '\n' || text[pos] == '\t'))
        ++pos;
    long long value = 0;
    bool any = false;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && value < (1LL << 50)) {
        value = value * 10 + (text[pos++] - '0');
        any = true;
    }
    return any ? value : -1;
}

// Every signature of a PDF: the hex string between its two byte ranges is the CMS, the ranges
// are the signed content.
std::vector<TSignature> PdfSignatures(const std::string& pdf, const std::string& title)
{
    std::vector<TSignature> list;
    size_t at = 0;
    while ((at = pdf.find("/ByteRange", at)) != std::string::npos) {
        at += 10;
        size_t pos = pdf.find('[', at);
        if (pos == std::string::npos || pos > at + 16)
            continue;
        ++pos;
        long long range[4];
        bool ok = true;
        for (long long& r : range)
            ok &= (r = Number(pdf, pos)) >= 0;
        const auto size = static_cast<long long>(pdf.size());
        if (!ok || range[0] != 0 || range[0] + range[1] > range[2] || range[2] + range[3] > size)
            continue;
        const std::string gap = pdf.substr(static_cast<size_t>(range[1]), static_cast<size_t>(range[2] - range[1]));
        const size_t open = gap.find('<');
        const size_t close = gap.rfind('>');
        if (open == std::string::npos || close == std::string::npos || close <= open)
            continue;
        TSignature s;
        s.Title = title + " #" + std::to_string(list.size() + 1);
        s.Cms = UnitCodecs::HexDecodeLenient(gap.substr(open + 1, close - open - 1));
        if (const size_t n = ElementLength(s.Cms); n > 0)
            s.Cms.resize(n);
        TBytes content(pdf.begin() + range[0], pdf.begin() + range[0] + range[1]);
        content.insert(content.end(), pdf.begin() + range[2], pdf.begin() + range[2] + range[3]);
        s.Content = std::move(content);
        list.push_back(std::move(s));
    }
    return list;
}

// ---- the verdict for a person

class TPrinter {
public:
    TPrinter()
    {
        try {
            FCentre = std::make_unique<TResourceCentre>(UnitResourceBag::BagResource());
            FCentre->SetLanguage("pt");
        } catch (...) {
            FCentre.reset();
        }
    }

    std::string Label(const std::string& word)
    {
        if (!FCentre)
            return {};
        try {
            return FCentre->StringTable("DEROVARAZSIGNATUREVERDICT").Entry(word);
        } catch (...) {
            return {};
        }
    }

    void Print(const TXmlDoc& node, int depth, std::string& out)
    {
        const std::string& word = node.GetName();
        if (!word.empty() && word[0] == '_')
            return;
        std::string line(static_cast<size_t>(depth) * 2, ' ');
        const std::string label = Label(word);
        line += label.empty() ? word : label + " [" + word + "]";
        if (word == "Subject" || word == "Name") {
            // A name in one line: "CN=..., O=..., C=...".
            std::string name;
            for (int i = 0; i < node.GetNodeCount(); ++i) {
                const TXmlDoc* part = node.ChildAt(static_cast<size_t>(i));
                if (!part->GetValue().empty())
                    name += (name.empty() ? "" : ", ") + part->GetName() + "=" + part->GetValue();
            }
            out += line + ": " + name + "\n";
            return;
        }
        if (!node.GetValue().empty())
            line += ": " + node.GetValue();
        out += line + "\n";
        for (int i = 0; i < node.GetNodeCount(); ++i)
            Print(*node.ChildAt(static_cast<size_t>(i)), depth + 1, out);
    }

private:
    std::unique_ptr<TResourceCentre> FCentre;
};

struct TArguments {
    TReportOptions Options;
    std::vector<std::string> CrlFiles;
    std::string ContentFile, TrustedFolder, ReportFile, VerdictFile, Signature;
    bool Json = false;
};

TArguments ReadArguments(int argc, char** argv)
{
    TArguments a;
    auto value = [&](int& i) -> std::string {
        if (i + 1 >= argc)
            throw EUsage(std::string(argv[i]) + " needs a value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--revocation")
            a.Options.VerifyRevocation = true;
        else if (arg == "--crl")
            a.CrlFiles.push_back(value(i));
        else if (arg == "--content")
            a.ContentFile = value(i);
        else if (arg == "--trusted")
            a.TrustedFolder = value(i);
        else if (arg == "--report")
            a.ReportFile = value(i);
        else if (arg == "--verdict")
            a.VerdictFile = value(i);
        else if (arg == "--json")
            a.Json = true;
        else if (arg == "--help" || arg == "-h")
            throw EUsage("");
        else if (!arg.empty() && arg[0] == '-' && arg != "-")
            throw EUsage("unknown option " + arg);
        else if (!a.Signature.empty())
            throw EUsage("only one SIGNATURE is verified at a time");
        else
            a.Signature = arg;
    }
    if (a.Signature.empty())
        throw EUsage("SIGNATURE is missing");
    return a;
}

bool Save(const TXmlDoc& tree, const std::string& file)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << tree.GetXML();
    return static_cast<bool>(out);
}

int Run(int argc, char** argv)
{
    TArguments a = ReadArguments(argc, argv);
    for (const std::string& file : a.CrlFiles) {
        const auto bytes = ReadFile(file);
        if (!bytes)
            throw std::runtime_error("cannot read CRL " + file);
        TBytes der = ToDer(*bytes);
        if (der.empty())
            throw std::runtime_error("not a CRL: " + file);
        a.Options.Crls.push_back(std::move(der));
    }
    std::unique_ptr<UnitSignedDataReport::TTrustedCertificates> trusted;
    if (!a.TrustedFolder.empty()) {
        std::error_code ec;
        if (!std::filesystem::is_directory(a.TrustedFolder, ec))
            throw std::runtime_error("not a folder: " + a.TrustedFolder);
        trusted = std::make_unique<UnitSignedDataReport::TTrustedCertificates>(a.TrustedFolder);
        a.Options.Trusted = trusted.get();
    }
    std::optional<std::string> content;
    if (!a.ContentFile.empty() && !(content = ReadFile(a.ContentFile)))
        throw std::runtime_error("cannot read " + a.ContentFile);
    const auto input = ReadFile(a.Signature);
    if (!input)
        throw std::runtime_error("cannot read " + a.Signature);

    std::vector<TSignature> signatures;
    if (input->compare(0, 5, "%PDF-") == 0) {
        signatures = PdfSignatures(*input, a.Signature);
        if (signatures.empty())
            throw std::runtime_error("the PDF holds no signature: " + a.Signature);
    } else {
        TSignature s;
        s.Title = a.Signature;
        s.Cms = ToDer(*input);
        if (s.Cms.empty())
            throw std::runtime_error("not a signature: " + a.Signature);
        if (content)
            s.Content = TBytes(content->begin(), content->end());
        signatures.push_back(std::move(s));
    }

    TXmlDoc reports("SignedDataReports");
    TXmlDoc verdicts("Verdicts");
    bool valid = true;
    for (TSignature& s : signatures) {
        TReportOptions options = a.Options;
        if (s.Content)
            options.Content = std::span<const uint8_t>(*s.Content);
        auto report = UnitSignedDataReport::BuildReport(s.Cms, options);
        report->GetNode("Meta\\DocumentTitle")->SetValue(s.Title);
        auto verdict = UnitSignedDataReport::BuildVerdict(*report);
        valid &= UnitSignedDataReport::VerdictIsValid(*verdict);
        reports.NewFromClone(*report);
        verdicts.NewFromClone(*verdict);
    }
    const bool single = signatures.size() == 1;
    const TXmlDoc& reportTree = single ? *reports.ChildAt(0) : reports;
    const TXmlDoc& verdictTree = single ? *verdicts.ChildAt(0) : verdicts;
    if (!a.ReportFile.empty() && !Save(reportTree, a.ReportFile))
        throw std::runtime_error("cannot write " + a.ReportFile);
    if (!a.VerdictFile.empty() && !Save(verdictTree, a.VerdictFile))
        throw std::runtime_error("cannot write " + a.VerdictFile);
    if (a.Json) {
        auto copy = reportTree.Duplicate();
        // The tree's JSON form is one member; braces make it a JSON text of its own.
        std::cout << "{" << copy->GetJSON() << "}\n";
    } else {
        TPrinter printer;
        std::string out;
        for (int i = 0; i < verdicts.GetNodeCount(); ++i)
            printer.Print(*verdicts.ChildAt(static_cast<size_t>(i)), 0, out);
        std::cout << out;
    }
    return valid ? ExitValid : ExitAlert;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const EUsage& e) {
        if (*e.what())
            std::cerr << "dorvik-verify: " << e.what() << "\n";
        std::cerr << Usage;
        return ExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "dorvik-verify: " << e.what() << "\n";
        return ExitUsage;
    } catch (...) {
        std::cerr << "dorvik-verify: failed\n";
        return ExitUsage;
    }
}
