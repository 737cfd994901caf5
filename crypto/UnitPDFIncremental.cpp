#include "crypto/UnitPDFIncremental.h"

#include "core/UnitStatusWords.h"

// Only the standard smart pointers of the reader's interface are used.
#define POINTERHOLDER_TRANSITION 4
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace {

constexpr int MaxDepth = 64;
constexpr size_t MaxFields = 100000;

struct TRefused {
    std::string_view Word;
};

[[noreturn]] void Refuse(std::string_view word)
{
    throw TRefused{word};
}

// The reader over bytes that stay where they are while it lives.
std::unique_ptr<QPDF> Open(std::string_view bytes)
{
    auto pdf = std::make_unique<QPDF>();
    pdf->setSuppressWarnings(true);
    // A damaged file is refused rather than reconstructed: an update appended to a table
    // guessed by the reader would point back at nothing.
    pdf->setAttemptRecovery(false);
    try {
        pdf->processMemoryFile("document", bytes.data(), bytes.size());
    } catch (const QPDFExc& e) {
        Refuse(e.getErrorCode() == qpdf_e_password ? Words::PdfEncryptedUnsupported
                                                   : Words::PdfStructureInvalid);
    } catch (const std::exception&) {
        Refuse(Words::PdfStructureInvalid);
    }
    if (pdf->isEncrypted())
        Refuse(Words::PdfEncryptedUnsupported);
    return pdf;
}

std::string Ref(QPDFObjGen og)
{
    return std::to_string(og.getObj()) + " " + std::to_string(og.getGen()) + " R";
}

std::string Ref(int number)
{
    return std::to_string(number) + " 0 R";
}

// The first page: down the page tree through the first kid of each node.
QPDFObjectHandle FirstPage(QPDFObjectHandle root)
{
    QPDFObjectHandle node = root.getKey("/Pages");
    std::set<QPDFObjGen> seen;
    for (int depth = 0; depth < MaxDepth; ++depth) {
        if (!node.isIndirect() || !node.isDictionary() || !seen.insert(node.getObjGen()).second)
            break;
        QPDFObjectHandle kids = node.getKey("/Kids");
        if (depth > 0 && (node.getKey("/Type").isNameAndEquals("/Page") || !kids.isArray()))
            return node;
        if (!kids.isArray() || kids.getArrayNItems() < 1)
            break;
        node = kids.getArrayItem(0);
    }
    Refuse(Words::PdfStructureInvalid);
}

// Walks the form's fields (and their kids); `visit` is called with each field and its field
// type, inherited from its parents.
template <typename TVisit>
void WalkFields(QPDFObjectHandle fields, const std::string& inheritedType, int depth,
                std::set<QPDFObjGen>& seen, const TVisit& visit)
{
    if (!fields.isArray() || depth > MaxDepth)
        return;
    for (QPDFObjectHandle field : fields.getArrayAsVector()) {
        if (!field.isDictionary() || seen.size() > MaxFields)
            continue;
        if (field.isIndirect() && !seen.insert(field.getObjGen()).second)
            continue;
        QPDFObjectHandle type = field.getKey("/FT");
        const std::string fieldType = type.isName() ? type.getName() : inheritedType;
        visit(field, fieldType);
        WalkFields(field.getKey("/Kids"), fieldType, depth + 1, seen, visit);
    }
}

bool Signed(QPDF& pdf)
{
    QPDFObjectHandle form = pdf.getRoot().getKey("/AcroForm");
    if (!form.isDictionary())
        return false;
    bool found = false;
    std::set<QPDFObjGen> seen;
    WalkFields(form.getKey("/Fields"), "", 0, seen, [&](QPDFObjectHandle field, const std::string& type) {
        if (type == "/Sig" && field.hasKey("/V") && !field.getKey("/V").isNull())
            found = true;
    });
    return found;
}

// The offset the last "startxref" names, and whether a table (not a stream) stands there.
struct TLastSection {
    long long Offset = 0;
    bool Table = false;
};

TLastSection LastSection(std::string_view data)
{
    const size_t tail = data.size() > 1024 ? data.size() - 1024 : 0;
    const size_t at = data.rfind("startxref");
    if (at == std::string_view::npos || at < tail)
        Refuse(Words::PdfStructureInvalid);
    size_t p = at + 9;
    while (p < data.size() && std::isspace(static_cast<unsigned char>(data[p])))
        ++p;
    TLastSection last;
    const auto [end, ec] = std::from_chars(data.data() + p, data.data() + data.size(), last.Offset);
    if (ec != std::errc() || end == data.data() + p || last.Offset < 0 ||
        static_cast<unsigned long long>(last.Offset) >= at)
        Refuse(Words::PdfStructureInvalid);
    size_t s = static_cast<size_t>(last.Offset);
    while (s < at && std::isspace(static_cast<unsigned char>(data[s])))
        ++s;
    last.Table = data.substr(s, 4) == "xref";
    if (!last.Table && !std::isdigit(static_cast<unsigned char>(data[s])))
        Refuse(Words::PdfStructureInvalid);
    return last;
}

// A dictionary as text, one entry a line, with some entries replaced ("" removes one).
std::string DictText(QPDFObjectHandle dict, const std::map<std::string, std::string>& changes)
{
    std::string out = "<<\n";
    for (const std::string& key : dict.getKeys()) {
        if (changes.count(key))
            continue;
        out += QPDFObjectHandle::newName(key).unparse() + " " + dict.getKey(key).unparse() + "\n";
    }
    for (const auto& [key, value] : changes)
        if (!value.empty())
            out += QPDFObjectHandle::newName(key).unparse() + " " + value + "\n";
    return out + ">>";
}

std::string ArrayWith(QPDFObjectHandle array, const std::string& extra)
{
    std::string out = "[ ";
    if (array.isArray())
        for (QPDFObjectHandle item : array.getArrayAsVector())
            out += item.unparse() + " ";
    return out + extra + " ]";
}

// Version text "1.6" as a number to compare: 1.6 -> 16, 2.0 -> 20; 0 when unreadable.
int VersionNumber(std::string_view text)
{
    if (text.size() < 3 || !std::isdigit(static_cast<unsigned char>(text[0])) || text[1] != '.' ||
        !std::isdigit(static_cast<unsigned char>(text[2])))
        return 0;
    return (text[0] - '0') * 10 + (text[2] - '0');
}

struct TObjectText {
    int Number;
    int Generation;
    std::string Body;  // the object's text between "obj" and "endobj"
};

// Everything the update writes, made while the reader still looks at the original bytes.
struct TPlan {
    std::vector<TObjectText> Objects;  // the signature dictionary is one of them
    int SignatureNumber = 0;
    int NextNumber = 0;                // first free object number after the plan's objects
    std::string Root;
    std::string Info;
    std::string Id;
    TLastSection Last;
};

std::string UniqueFieldName(QPDFObjectHandle fields)
{
    std::set<std::string> names;
    if (fields.isArray())
        for (QPDFObjectHandle field : fields.getArrayAsVector())
            if (field.isDictionary() && field.getKey("/T").isString())
                names.insert(field.getKey("/T").getStringValue());
    std::string name = "DigitalSignature";
    for (int n = 2; names.count(name); ++n)
        name = "DigitalSignature" + std::to_string(n);
    return name;
}

// New objects get numbers above every number the file uses.
int FirstFreeNumber(QPDF& pdf, QPDFObjectHandle trailer)
{
    int next = 1;
    if (trailer.getKey("/Size").isInteger())
        next = static_cast<int>(std::max<long long>(1, std::min<long long>(trailer.getKey("/Size").getIntValue(), 8000000)));
    const auto xref = pdf.getXRefTable();
    if (!xref.empty())
        next = std::max(next, xref.rbegin()->first.getObj() + 1);
    if (next > 8000000)
        Refuse(Words::PdfStructureInvalid);
    return next;
}

// Whether neither the header nor the catalog names version 1.6 or later, which signatures of
// this kind need.
bool BelowVersion16(std::string_view data, QPDFObjectHandle root)
{
    const std::string header(data.substr(0, std::min<size_t>(data.size(), 8)));
    int version = header.rfind("%PDF-", 0) == 0 ? VersionNumber(header.substr(5)) : 0;
    QPDFObjectHandle catalogVersion = root.getKey("/Version");
    if (catalogVersion.isName())
        version = std::max(version, VersionNumber(catalogVersion.getName().substr(1)));
    return version < 16;
}

// The request's "info:" entries, on the document's Info dictionary or on a new one numbered
// from next.
void PlanInfo(TPlan& plan, QPDFObjectHandle trailer, const TPdfSignProperties& request, int& next)
{
    QPDFObjectHandle info = trailer.getKey("/Info");
    const bool infoObject = info.isIndirect() && info.isDictionary() && !info.isStream();
    if (infoObject)
        plan.Info = Ref(info.getObjGen());
    std::map<std::string, std::string> infoChanges;
    for (const auto& [name, value] : request.Items()) {
        if (name.size() <= 5 || !std::equal(name.begin(), name.begin() + 5, "info:", [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == b;
            }))
            continue;
        // Keys are written as names; the reader's own text of a name is its decoded form.
        const std::string key = "/" + UnitPDF::NameText(name.substr(5));
        QPDFObjectHandle parsed = QPDFObjectHandle::parse(key);
        infoChanges[parsed.getName()] = UnitPDF::InfoText(value);
    }
    if (infoChanges.empty())
        return;
    // DictText writes the removals by leaving the key out: keep "" for them.
    if (infoObject) {
        plan.Objects.push_back({info.getObjGen().getObj(), info.getObjGen().getGen(), DictText(info, infoChanges)});
    } else {
        const int number = next++;
        plan.Objects.push_back({number, 0, DictText(QPDFObjectHandle::newDictionary(), infoChanges)});
        plan.Info = Ref(number);
    }
}

// The signature dictionary: the entries of the in-place rewrite, in its order, with room for
// the byte range numbers (the digits of a bound of the final length, plus one).
std::string SignatureDictionary(const TPlan& plan, size_t dataSize, const TPdfSignProperties& request,
                                std::time_t signingTime)
{
    size_t bound = dataSize + 1024 * 1024;
    for (const TObjectText& object : plan.Objects)
        bound += object.Body.size() + 64;
    const size_t reserve = std::max<size_t>(std::to_string(bound).size() + 1, 4);
    return "<<\n/Type /Sig\n/Filter /Adobe.PPKLite\n/SubFilter /ETSI.CAdES.detached\n" +
           UnitPDF::BuildInformation(request) + "/M (D:" + UnitPDF::FormatUtc(signingTime) +
           "+00'00')\n/ByteRange [ 0 0 0 0 ]" + std::string(3 * reserve, ' ') + "\n/Contents <" +
           std::string(TPDF::ContentsHexSizeFor(request), '0') + ">\n>>";
}

TPlan MakePlan(std::string_view data, const TPdfSignProperties& request, std::time_t signingTime)
{
    std::unique_ptr<QPDF> pdf = Open(data);
    TPlan plan;
    plan.Last = LastSection(data);
    QPDFObjectHandle trailer = pdf->getTrailer();
    QPDFObjectHandle root = pdf->getRoot();
    if (!root.isIndirect() || !root.isDictionary() || root.isStream())
        Refuse(Words::PdfStructureInvalid);
    QPDFObjectHandle page = FirstPage(root);
    if (page.isStream())
        Refuse(Words::PdfStructureInvalid);

    int next = FirstFreeNumber(*pdf, trailer);
    const int widget = next++;
    plan.SignatureNumber = next++;

    QPDFObjectHandle form = root.getKey("/AcroForm");
    const bool formObject = form.isIndirect() && form.isDictionary() && !form.isStream();
    const int formNumber = formObject ? form.getObjGen().getObj() : next++;
    const int formGeneration = formObject ? form.getObjGen().getGen() : 0;
    QPDFObjectHandle fields = form.isDictionary() ? form.getKey("/Fields") : QPDFObjectHandle::newNull();
    std::map<std::string, std::string> formChanges{{"/Fields", ArrayWith(fields, Ref(widget))},
                                                   {"/SigFlags", "3"}};
    plan.Objects.push_back({formNumber, formGeneration,
                            form.isDictionary() && !form.isStream() ? DictText(form, formChanges)
                                                                    : DictText(QPDFObjectHandle::newDictionary(), formChanges)});

    const std::string pageRef = Ref(page.getObjGen());
    plan.Objects.push_back({widget, 0,
                            "<<\n/Type /Annot\n/Subtype /Widget\n/Rect [ 0 0 0 0 ]\n/F 4\n/P " + pageRef +
                                "\n/FT /Sig\n/T " + UnitPDF::LiteralString(UniqueFieldName(fields)) +
                                "\n/Ff 0\n/V " + Ref(plan.SignatureNumber) + "\n>>"});

    // The page lists the widget among its annotations; an /Annots array of its own is
    // written, so an array other pages might share stays as it is.
    if (page.getObjGen() == root.getObjGen())
        Refuse(Words::PdfStructureInvalid);
    plan.Objects.push_back({page.getObjGen().getObj(), page.getObjGen().getGen(),
                            DictText(page, {{"/Annots", ArrayWith(page.getKey("/Annots"), Ref(widget))}})});

    // The catalog changes when it gets the form, or the version signatures of this kind need.
    std::map<std::string, std::string> rootChanges;
    if (!formObject)
        rootChanges["/AcroForm"] = Ref(formNumber);
    if (BelowVersion16(data, root))
        rootChanges["/Version"] = "/1.6";
    if (!rootChanges.empty())
        plan.Objects.push_back({root.getObjGen().getObj(), root.getObjGen().getGen(), DictText(root, rootChanges)});
    plan.Root = Ref(root.getObjGen());

    PlanInfo(plan, trailer, request, next);
    QPDFObjectHandle id = trailer.getKey("/ID");
    if (id.isArray())
        plan.Id = id.unparse();

    plan.Objects.push_back({plan.SignatureNumber, 0, SignatureDictionary(plan, data.size(), request, signingTime)});
    plan.NextNumber = next;
    return plan;
}

std::string Padded(long long value, size_t width)
{
    std::string digits = std::to_string(value);
    if (digits.size() < width)
        digits.insert(0, width - digits.size(), '0');
    return digits;
}

// Consecutive numbers as subsections: (first, count) pairs.
std::vector<std::pair<int, int>> Runs(const std::vector<int>& sorted)
{
    std::vector<std::pair<int, int>> runs;
    for (const int n : sorted) {
        if (!runs.empty() && runs.back().first + runs.back().second == n)
            ++runs.back().second;
        else
            runs.emplace_back(n, 1);
    }
    return runs;
}

// The update's text: objects, then the cross-reference section and the end of file.
std::string WriteUpdate(const TPlan& plan, size_t base, bool startOnNewLine, size_t& signatureAt)
{
    std::string out = startOnNewLine ? "\n" : "";
    std::map<int, std::pair<int, size_t>> offsets;  // number -> generation, offset
    for (const TObjectText& object : plan.Objects) {
        if (object.Number == plan.SignatureNumber)
            signatureAt = base + out.size();
        offsets[object.Number] = {object.Generation, base + out.size()};
        out += std::to_string(object.Number) + " " + std::to_string(object.Generation) + " obj\n" +
               object.Body + "\nendobj\n";
    }
    std::string trailerEntries = "/Root " + plan.Root + "\n";
    if (!plan.Info.empty())
        trailerEntries += "/Info " + plan.Info + "\n";
    if (!plan.Id.empty())
        trailerEntries += "/ID " + plan.Id + "\n";
    trailerEntries += "/Prev " + std::to_string(plan.Last.Offset) + "\n";

    const size_t sectionAt = base + out.size();
    if (plan.Last.Table) {
        std::vector<int> numbers;
        for (const auto& entry : offsets)
            numbers.push_back(entry.first);
        out += "xref\n";
        for (const auto& [first, count] : Runs(numbers)) {
            out += std::to_string(first) + " " + std::to_string(count) + "\n";
            for (int n = first; n < first + count; ++n)
                out += Padded(static_cast<long long>(offsets[n].second), 10) + " " +
                       Padded(offsets[n].first, 5) + " n \n";
        }
        out += "trailer\n<<\n/Size " + std::to_string(plan.NextNumber) + "\n" + trailerEntries + ">>\n";
    } else {
        // A cross-reference stream, listing itself too, with its data uncompressed.
        const int self = plan.NextNumber;
        offsets[self] = {0, sectionAt};
        std::vector<int> numbers;
        for (const auto& entry : offsets)
            numbers.push_back(entry.first);
        int width = 1;
        while (width < 8 && (sectionAt >> (8 * width)) != 0)
            ++width;
        std::string rows;
        for (const int n : numbers) {
            rows += '\x01';
            for (int i = width - 1; i >= 0; --i)
                rows += static_cast<char>((offsets[n].second >> (8 * i)) & 0xFF);
            rows += static_cast<char>((offsets[n].first >> 8) & 0xFF);
            rows += static_cast<char>(offsets[n].first & 0xFF);
        }
        std::string index;
        for (const auto& [first, count] : Runs(numbers))
            index += (index.empty() ? "" : " ") + std::to_string(first) + " " + std::to_string(count);
        out += std::to_string(self) + " 0 obj\n<<\n/Type /XRef\n/Size " + std::to_string(self + 1) + "\n" +
               trailerEntries + "/W [ 1 " + std::to_string(width) + " 2 ]\n/Index [ " + index +
               " ]\n/Length " + std::to_string(rows.size()) + "\n>>\nstream\n" + rows + "\nendstream\nendobj\n";
    }
    out += "startxref\n" + std::to_string(sectionAt) + "\n%%EOF\n";
    return out;
}

// Whether the signed document reads back with its first page and the new signature.
bool Readable(std::string_view data, int signatureNumber)
{
    try {
        std::unique_ptr<QPDF> pdf = Open(data);
        (void)LastSection(data);
        QPDFObjectHandle root = pdf->getRoot();
        if (!root.isDictionary() || root.isStream() || FirstPage(root).isStream())
            return false;
        QPDFObjectHandle signature = pdf->getObjectByID(signatureNumber, 0);
        return Signed(*pdf) && signature.isDictionary() &&
               signature.getKey("/Type").isNameAndEquals("/Sig");
    } catch (...) {
        return false;
    }
}

}  // namespace

namespace UnitPDFIncremental {

bool Takes(std::string_view bytes, bool loaded, std::string& word)
{
    if (word == Words::PdfEncryptedUnsupported || word == Words::PdfFileUnreadable)
        return false;
    try {
        std::unique_ptr<QPDF> pdf = Open(bytes);
        if (loaded)
            return Signed(*pdf) || pdf->isLinearized();
        // Refused by the rewrite: taken when the update has what it needs.
        (void)LastSection(bytes);
        QPDFObjectHandle root = pdf->getRoot();
        if (!root.isIndirect() || !root.isDictionary() || root.isStream() || FirstPage(root).isStream())
            Refuse(Words::PdfStructureInvalid);
        word.clear();
        return true;
    } catch (const TRefused& refused) {
        if (!loaded || refused.Word == Words::PdfEncryptedUnsupported)
            word = refused.Word;
    } catch (const std::exception&) {
        if (!loaded)
            word = Words::PdfStructureInvalid;
    }
    return false;
}

bool HasSignature(std::string_view bytes)
{
    try {
        std::unique_ptr<QPDF> pdf = Open(bytes);
        return Signed(*pdf);
    } catch (...) {
        return false;
    }
}

bool Sign(TPDF::TBytes& data, const TPdfSignProperties& request, const TPDF::TCmsMaker& maker,
          std::time_t signingTime, std::string& error, TSigned& result)
{
    const auto text = [&data] { return std::string_view(reinterpret_cast<const char*>(data.data()), data.size()); };
    const auto append = [&data](std::string_view part) { data.insert(data.end(), part.begin(), part.end()); };
    error.clear();
    result = {};
    const size_t original = data.size();
    try {
        TPlan plan;
        try {
            plan = MakePlan(text(), request, signingTime);
        } catch (const TRefused&) {
            throw;
        } catch (const std::exception&) {
            Refuse(Words::PdfStructureInvalid);
        }
        // The reader is gone: `data` may grow now.
        const bool newLine = original > 0 && data.back() != '\n' && data.back() != '\r';
        size_t signatureAt = 0;
        const std::string update = WriteUpdate(plan, original, newLine, signatureAt);
        const std::string oid = UnitPDF::DigestOid(request);

        const std::string contentsKey = "/Contents <";
        const size_t contentsInUpdate = update.find(contentsKey, signatureAt - original);
        const size_t rangeInUpdate = update.find("/ByteRange [ 0 0 0 0 ]", signatureAt - original);
        if (contentsInUpdate == std::string::npos || rangeInUpdate == std::string::npos)
            Refuse(Words::PdfStructureInvalid);
        const auto total = static_cast<long long>(original + update.size());
        const auto gapStart = static_cast<long long>(original + contentsInUpdate + contentsKey.size() - 1);
        const size_t hexSize = TPDF::ContentsHexSizeFor(request);
        const auto gapEnd = gapStart + static_cast<long long>(hexSize + 2);
        result.ByteRange = {0, gapStart, gapEnd, total - gapEnd};
        result.SignatureNumber = plan.SignatureNumber;

        // The numbers fill the reserved width, so nothing after them moves.
        std::string filled = update;
        const std::string numbers = "0 " + std::to_string(gapStart) + " " + std::to_string(gapEnd) + " " +
                                    std::to_string(total - gapEnd) + " ]";
        const size_t zeros = rangeInUpdate + std::string_view("/ByteRange [ ").size();
        const size_t room = filled.find('\n', zeros) - zeros;
        if (numbers.size() > room)
            Refuse(Words::PdfStructureInvalid);
        std::string fill = numbers;
        fill.resize(room, ' ');
        filled.replace(zeros, room, fill);

        // The document as the two byte ranges, for the digest and the signer.
        data.reserve(original + filled.size());
        append(std::string_view(filled).substr(0, contentsInUpdate + contentsKey.size() - 1));
        append(std::string_view(filled).substr(contentsInUpdate + contentsKey.size() - 1 + hexSize + 2));

        const std::string digest = UnitPDF::DigestHex(text(), oid);
        if (digest.empty())
            Refuse(Words::PdfDigestFailed);
        std::string cms = maker ? maker(oid, digest) : std::string();
        if (cms.empty() || cms.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
            Refuse(Words::PdfCmsFailed);
        if (cms.size() > hexSize)
            Refuse(Words::PdfCmsTooLarge);
        cms.resize(hexSize, '0');
        const std::string contents = "<" + cms + ">";
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(gapStart), contents.begin(), contents.end());
        // The reader must find the new signature through the new section. A file whose own
        // cross-references contradict each other (one number for two objects) can read
        // differently once a section follows; such a file is refused, not signed.
        if (!Readable(text(), plan.SignatureNumber))
            Refuse(Words::PdfStructureInvalid);
        return true;
    } catch (const TRefused& refused) {
        error = refused.Word;
    } catch (const std::exception&) {
        error = Words::PdfStructureInvalid;
    }
    data.resize(original);
    return false;
}

}  // namespace UnitPDFIncremental
