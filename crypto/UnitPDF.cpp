#include "crypto/UnitPDF.h"

#include "core/UnitLocalUtils.h"
#include "core/UnitStatusWords.h"
#include "core/UnitXmlDoc.h"
#include "crypto/UnitPDFIncremental.h"
#include "crypto/UnitPDFLexer.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitPlatformFiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <span>

#include <unistd.h>

using namespace UnitPDFLexer;

namespace {

// One in-use entry of a cross-reference table.
struct TXrefEntry {
    long long Offset;
    int Number;
    int Generation;
};

// The non-blank lines of a cross-reference table, trimmed.
std::vector<std::string_view> TableLines(std::string_view rest)
{
    std::vector<std::string_view> lines;
    while (!rest.empty()) {
        const size_t eol = rest.find_first_of("\r\n");
        const std::string_view line = Trim(rest.substr(0, eol));
        if (!line.empty())
            lines.push_back(line);
        if (eol == std::string_view::npos)
            break;
        rest.remove_prefix(eol + 1);
    }
    return lines;
}

// The words of a line, split at PDF white space.
std::vector<std::string_view> LineWords(std::string_view line)
{
    std::vector<std::string_view> out;
    while (true) {
        size_t b = 0;
        while (b < line.size() && IsWhite(line[b]))
            ++b;
        line.remove_prefix(b);
        if (line.empty())
            break;
        size_t e = 0;
        while (e < line.size() && !IsWhite(line[e]))
            ++e;
        out.push_back(line.substr(0, e));
        line.remove_prefix(e);
    }
    return out;
}

// A table of one subsection "0 N", then N entries, the first one free: the entries in use, and
// N in count. Every object lies before the table.
std::vector<TXrefEntry> ReadTableEntries(std::string_view body, size_t xrefOffset, size_t& count)
{
    const std::vector<std::string_view> lines = TableLines(body);
    if (lines.empty())
        Fail(Words::PdfStructureInvalid, "empty cross-reference table");
    const auto head = LineWords(lines[0]);
    long long first = 0;
    long long declared = 0;
    if (head.size() != 2 || !ParseUnsigned(head[0], first) || !ParseUnsigned(head[1], declared))
        Fail(Words::PdfStructureInvalid, "bad subsection header");
    if (first != 0)
        Fail(Words::PdfMultipleSubsections, "subsection does not start at object 0");
    if (static_cast<size_t>(declared) + 1 < lines.size())
        Fail(Words::PdfMultipleSubsections, "more than one subsection");
    if (static_cast<size_t>(declared) + 1 != lines.size() || declared < 1 || declared > 10000000)
        Fail(Words::PdfStructureInvalid, "subsection count does not match its entries");
    count = static_cast<size_t>(declared);

    std::vector<TXrefEntry> inUse;
    for (size_t i = 1; i < lines.size(); ++i) {
        const auto entry = LineWords(lines[i]);
        long long entryOffset = 0;
        long long generation = 0;
        if (entry.size() != 3 || !ParseUnsigned(entry[0], entryOffset) ||
            !ParseUnsigned(entry[1], generation) || generation > 65535 ||
            (entry[2] != "n" && entry[2] != "f"))
            Fail(Words::PdfStructureInvalid, "bad cross-reference entry");
        const int number = static_cast<int>(i - 1);
        if (number == 0 && entry[2] != "f")
            Fail(Words::PdfStructureInvalid, "object 0 is not free");
        if (entry[2] == "f")
            continue;
        if (static_cast<unsigned long long>(entryOffset) >= xrefOffset)
            Fail(Words::PdfStructureInvalid, "object offset out of range");
        inUse.push_back({entryOffset, number, static_cast<int>(generation)});
    }
    return inUse;
}

// The entries no newer section supersedes (entries stale after edits are neither read nor
// checked), by offset. Two objects at one offset refuse the file.
std::vector<TXrefEntry> CurrentByOffset(const std::vector<TXrefEntry>& inUse, const std::vector<char>& seen)
{
    std::vector<TXrefEntry> byOffset;
    for (const TXrefEntry& e : inUse)
        if (static_cast<size_t>(e.Number) >= seen.size() || !seen[static_cast<size_t>(e.Number)])
            byOffset.push_back(e);
    std::sort(byOffset.begin(), byOffset.end(),
              [](const TXrefEntry& a, const TXrefEntry& b) { return a.Offset < b.Offset; });
    for (size_t k = 1; k < byOffset.size(); ++k)
        if (byOffset[k].Offset == byOffset[k - 1].Offset)
            Fail(Words::PdfStructureInvalid, "two objects at one offset");
    return byOffset;
}

// The length of the "N G obj" at pos, which must be exactly the object the entry names; the
// object may not reach next.
size_t ObjectHeaderLength(std::string_view data, size_t pos, size_t next, const TXrefEntry& e)
{
    size_t p = pos;
    auto digits = [&](long long& value) {
        const size_t s = p;
        while (p < next && std::isdigit(static_cast<unsigned char>(data[p])))
            ++p;
        return ParseUnsigned(data.substr(s, p - s), value);
    };
    auto spaces = [&] {
        const size_t s = p;
        while (p < next && IsWhite(data[p]))
            ++p;
        return p > s;
    };
    long long number = 0;
    long long generation = 0;
    if (!digits(number) || !spaces() || !digits(generation) ||
        (spaces(), data.substr(p, 3) != "obj") || number != e.Number ||
        generation != e.Generation)
        Fail(Words::PdfStructureInvalid, "cross-reference entry does not point at its object");
    return p + 3 - pos;
}

// The object at pos runs to its last "endobj" before next and the white space after it: a
// section or other text between two objects stays outside both, so rewriting one keeps it.
size_t ObjectLength(std::string_view data, size_t pos, size_t next, size_t headerLength)
{
    const std::string_view span = data.substr(pos, next - pos);
    const size_t endobj = span.rfind("endobj");
    if (endobj == std::string_view::npos || endobj < headerLength)
        Fail(Words::PdfStructureInvalid, "object without endobj");
    size_t end = endobj + 6;
    while (end < span.size() && IsWhite(span[end]))
        ++end;
    return end;
}

// A trailer that is a dictionary, of a file this reader can sign.
void CheckTrailer(const TPDFObject& trailer)
{
    try {
        (void)ParseDict(trailer.GetBody());
    } catch (const EPdfError&) {
        Fail(Words::PdfStructureInvalid, "trailer is not a dictionary");
    }
    if (!trailer.GetValue("XRefStm").empty())
        Fail(Words::PdfXrefStreamUnsupported, "hybrid file with a cross-reference stream");
    if (!trailer.GetValue("Encrypt").empty())
        Fail(Words::PdfEncryptedUnsupported, "encrypted document");
}

}  // namespace

TPDFObject::TPDFObject(TPDF& owner, std::string header, size_t position, size_t headerLength,
                       size_t length, bool changed)
    : FOwner(owner), FHeader(std::move(header)), FPosition(position),
      FHeaderLength(headerLength), FLength(length), FChanged(changed)
{
}

bool TPDFObject::IsObject() const
{
    return FHeader.size() > 4 && FHeader.compare(FHeader.size() - 4, 4, " obj") == 0;
}

int TPDFObject::GetNumber() const
{
    return IsObject() ? static_cast<int>(LeadingInt(FHeader)) : 0;
}

int TPDFObject::GetGeneration() const
{
    if (!IsObject())
        return 0;
    const size_t space = FHeader.find(' ');
    return static_cast<int>(LeadingInt(std::string_view(FHeader).substr(space + 1)));
}

std::string TPDFObject::GetReference() const
{
    std::string reference = FHeader;
    if (IsObject())
        reference.replace(reference.size() - 3, 3, "R");
    return reference;
}

std::string TPDFObject::GetBody() const
{
    std::string_view text = FOwner.GetText().substr(FPosition, FLength);
    text.remove_prefix(std::min(FHeaderLength, text.size()));
    if (IsObject()) {
        const size_t end = text.rfind("endobj");
        if (end != std::string_view::npos)
            text = text.substr(0, end);
    }
    return std::string(Trim(text));
}

std::string TPDFObject::GetValue(std::string_view key) const
{
    const std::string body = GetBody();
    try {
        const TDict dict = ParseDict(body);
        if (const TDictEntry* entry = FindEntry(dict, key))
            return std::string(Trim(std::string_view(body).substr(
                entry->ValueStart, entry->ValueEnd - entry->ValueStart)));
    } catch (const EPdfError&) {
        // Not a dictionary: no keys.
    }
    return {};
}

std::string TPDFObject::GetWord(std::string_view key) const
{
    return std::string(FirstWord(GetValue(key)));
}

long long TPDFObject::GetInt(std::string_view key) const
{
    return LeadingInt(GetValue(key));
}

void TPDFObject::SetValue(std::string_view key, std::string_view value)
{
    const std::string body = GetBody();
    const TDict dict = ParseDict(body);
    size_t start = dict.Close;
    size_t end = dict.Close;
    if (const TDictEntry* entry = FindEntry(dict, key)) {
        start = entry->KeyStart;
        end = entry->ValueEnd;
    }
    // Every entry written stands on a line of its own, so the text stays readable.
    std::string out = body.substr(0, start);
    std::string_view rest = std::string_view(body).substr(end);
    if (!value.empty()) {
        if (!out.empty() && out.back() != '\n')
            out += '\n';
        out += '/';
        out += key;
        out += ' ';
        out += value;
        if (!rest.empty() && rest.front() != '\n' && rest.front() != '\r')
            out += '\n';
    } else if (!out.empty() && out.back() == '\n' && !rest.empty() && rest.front() == '\n') {
        rest.remove_prefix(1);
    }
    out += rest;
    SetBody(out);
}

void TPDFObject::SetBody(std::string_view body)
{
    std::string text = FHeader;
    text += '\n';
    text += body;
    text += '\n';
    if (IsObject())
        text += "endobj\n";
    FOwner.Rewrite(*this, text);
    FHeaderLength = FHeader.size();
}

// ---------------------------------------------------------------------------------------------

void TPdfSignProperties::Set(std::string_view name, std::string_view value)
{
    for (auto& item : FItems)
        if (EqualNoCase(item.first, name)) {
            item.second = value;
            return;
        }
    FItems.emplace_back(std::string(name), std::string(value));
}

std::string TPdfSignProperties::Get(std::string_view name) const
{
    for (const auto& item : FItems)
        if (EqualNoCase(item.first, name))
            return item.second;
    return {};
}

bool TPdfSignProperties::Has(std::string_view name) const
{
    return std::any_of(FItems.begin(), FItems.end(),
                       [&](const auto& item) { return EqualNoCase(item.first, name); });
}

// ---------------------------------------------------------------------------------------------

TPDF::TPDF() = default;

TPDF::TPDF(TCmsHook cmsMaker) : FCmsHook(std::move(cmsMaker)) {}

TPDF::TPDF(const std::string& fileName)
{
    LoadFromFile(fileName);
}

TPDF::~TPDF() = default;

void TPDF::Clear()
{
    FObjects.clear();
    FOlder.clear();
    FXref.reset();
    FTrailer.reset();
    FStartXref.reset();
    FCatalog = nullptr;
    FHighest = 0;
    FLoaded = false;
    FIncremental = false;
    FByteRange.clear();
}

bool TPDF::LoadFromFile(const std::string& fileName)
{
    TBytes bytes;
    std::error_code regular;
    // A FIFO or device would be read without end.
    std::ifstream in;
    if (std::filesystem::is_regular_file(fileName, regular))
        in.open(fileName, std::ios::binary | std::ios::ate);
    bool ok = static_cast<bool>(in);
    if (ok) {
        const std::streamoff size = in.tellg();
        ok = size >= 0;
        if (ok) {
            // Room for what signing adds (new objects, the reserved /Contents, the table), so
            // the edits never reallocate, and so never copy, a large document.
            bytes.reserve(static_cast<size_t>(size) + SigningRoom);
            bytes.resize(static_cast<size_t>(size));
            in.seekg(0);
            in.read(reinterpret_cast<char*>(bytes.data()), size);
            ok = static_cast<bool>(in);
        }
    }
    if (!ok) {
        Clear();
        FData.clear();
        FError = Words::PdfFileUnreadable;
        return false;
    }
    FFileName = fileName;
    return LoadFromBytes(std::move(bytes));
}

TPDF::TBytes TPDF::TakeBytes()
{
    TBytes bytes = std::move(FData);
    FData.clear();
    Clear();
    return bytes;
}

bool TPDF::LoadFromBytes(std::string_view bytes)
{
    TBytes copy;
    copy.reserve(bytes.size() + SigningRoom);
    copy.assign(bytes.begin(), bytes.end());
    return LoadFromBytes(std::move(copy));
}

bool TPDF::LoadFromBytes(TBytes bytes)
{
    Clear();
    FData = std::move(bytes);
    FError.clear();
    try {
        Parse();
        FLoaded = true;
    } catch (const EPdfError& e) {
        FError = e.Word();
    }
    // Documents the rewrite cannot edit in place, and signed or linearized ones, are signed by
    // an incremental update instead (crypto/UnitPDFIncremental.h).
    FIncremental = UnitPDFIncremental::Takes(GetText(), FLoaded, FError);
    if (FIncremental) {
        Clear();
        FLoaded = FIncremental = true;
    }
    if (FLoaded)
        return true;
    // A refused document keeps nothing, so nothing can be saved from it.
    Clear();
    FData.clear();
    return false;
}

bool TPDF::SaveToFile(const std::string& fileName) const
{
    if (!FLoaded)
        return false;
    // The system's one safe save, on the name as every file helper reads it (macros expanded).
    const std::string name = UnitLocalUtils::LocalFileName(fileName);
    return !name.empty() && UnitPlatformFiles::SaveFileSafely(name, std::span<const uint8_t>(FData));
}

bool TPDF::LoadFromText(std::string_view text, int encoding)
{
    std::optional<UnitEncoding::TBytes> bytes;
    try {
        bytes = UnitEncoding::DecodeText(text, encoding);
    } catch (const std::exception&) {
        bytes.reset();
    }
    if (!bytes) {
        Clear();
        FData.clear();
        FError = Words::PdfStructureInvalid;
        return false;
    }
    bytes->reserve(bytes->size() + SigningRoom);
    return LoadFromBytes(std::move(*bytes));
}

bool TPDF::SaveToText(std::string& out, int encoding) const
{
    out.clear();
    if (!FLoaded)
        return false;
    out = UnitEncoding::EncodeBytes(std::span<const uint8_t>(FData.data(), FData.size()), encoding);
    return !out.empty() || FData.empty();
}

TPDFObject& TPDF::AddPart(std::string header, size_t position, size_t length)
{
    auto part = std::make_unique<TPDFObject>(*this, header, position, header.size(), length, false);
    TPDFObject& ref = *part;
    if (header == "xref")
        FXref = std::move(part);
    else if (header == "trailer")
        FTrailer = std::move(part);
    else
        FStartXref = std::move(part);
    return ref;
}

void TPDF::Parse()
{
    const std::string_view data(GetText());
    // Readers look for the last "startxref" in the last kilobyte.
    const size_t tail = data.size() > 1024 ? data.size() - 1024 : 0;
    const size_t start = data.rfind("startxref");
    if (start == std::string_view::npos || start < tail)
        Fail(Words::PdfStructureInvalid, "no startxref near the end of the file");
    const size_t eof = data.find("%%EOF", start);
    if (eof == std::string_view::npos)
        Fail(Words::PdfStructureInvalid, "no %%EOF after startxref");
    AddPart("startxref", start, eof - start);
    long long xrefOffset = 0;
    if (!ParseUnsigned(FStartXref->GetBody(), xrefOffset) ||
        static_cast<unsigned long long>(xrefOffset) >= start)
        Fail(Words::PdfStructureInvalid, "startxref offset out of range");

    std::vector<char> seen;  // object numbers an already read (newer) section lists
    std::set<long long> visited;
    bool newest = true;
    long long offset = xrefOffset;
    while (true) {
        if (!visited.insert(offset).second || visited.size() > 1000)
            Fail(Words::PdfStructureInvalid, "cross-reference sections form a loop");
        ReadSection(static_cast<size_t>(offset), newest, seen);
        TPDFObject& trailer = newest ? *FTrailer : *FOlder.back().second;
        newest = false;
        const std::string prev = trailer.GetValue("Prev");
        if (prev.empty())
            break;
        if (!ParseUnsigned(prev, offset) || static_cast<unsigned long long>(offset) >= start)
            Fail(Words::PdfStructureInvalid, "Prev offset out of range");
    }

    FCatalog = FindObject(static_cast<int>(LeadingInt(FTrailer->GetWord("Root"))));
    if (!FCatalog)
        Fail(Words::PdfStructureInvalid, "no document catalog");
    if (!GetFirstPage())
        Fail(Words::PdfStructureInvalid, "no first page");
}

void TPDF::ReadSection(size_t xrefOffset, bool newest, std::vector<char>& seen)
{
    const std::string_view data(GetText());
    if (data.substr(xrefOffset, 4) != "xref") {
        // "N G obj" here is a cross-reference stream.
        const bool stream = std::isdigit(static_cast<unsigned char>(data[xrefOffset])) &&
                            data.substr(xrefOffset, 32).find("obj") != std::string_view::npos;
        Fail(stream ? Words::PdfXrefStreamUnsupported : Words::PdfStructureInvalid,
             "no cross-reference table at the startxref offset");
    }
    const size_t trailerAt = data.find("trailer", xrefOffset);
    if (trailerAt == std::string_view::npos)
        Fail(Words::PdfStructureInvalid, "no trailer");
    const size_t trailerEnd = data.find("startxref", trailerAt);
    if (trailerEnd == std::string_view::npos ||
        (newest && trailerEnd != FStartXref->GetPosition()))
        Fail(Words::PdfStructureInvalid, "trailer not followed by startxref");

    auto xref = std::make_unique<TPDFObject>(*this, "xref", xrefOffset, 4, trailerAt - xrefOffset, false);
    auto trailer = std::make_unique<TPDFObject>(*this, "trailer", trailerAt, 7, trailerEnd - trailerAt, false);
    CheckTrailer(*trailer);

    size_t count = 0;
    const std::string body = xref->GetBody();
    const std::vector<TXrefEntry> current = CurrentByOffset(ReadTableEntries(body, xrefOffset, count), seen);

    std::vector<std::unique_ptr<TPDFObject>> objects(count);
    for (size_t k = 0; k < current.size(); ++k) {
        const TXrefEntry& e = current[k];
        const size_t next = k + 1 < current.size() ? static_cast<size_t>(current[k + 1].Offset) : xrefOffset;
        size_t pos = static_cast<size_t>(e.Offset);
        while (pos < next && IsWhite(data[pos]))
            ++pos;
        const size_t headerLength = ObjectHeaderLength(data, pos, next, e);
        std::string header = std::to_string(e.Number) + " " + std::to_string(e.Generation) + " obj";
        objects[static_cast<size_t>(e.Number)] = std::make_unique<TPDFObject>(
            *this, std::move(header), pos, headerLength, ObjectLength(data, pos, next, headerLength), newest);
        FHighest = std::max(FHighest, e.Number);
    }

    if (seen.size() < count)
        seen.resize(count, 0);
    for (size_t n = 1; n < objects.size(); ++n) {
        if (seen[n])
            continue;
        seen[n] = 1;
        if (objects[n])
            FObjects.push_back(std::move(objects[n]));
    }
    if (newest) {
        FXref = std::move(xref);
        FTrailer = std::move(trailer);
    } else {
        FOlder.emplace_back(std::move(xref), std::move(trailer));
    }
}

TPDFObject* TPDF::FindObject(int number)
{
    if (number <= 0)
        return nullptr;
    for (const auto& object : FObjects)
        if (object->GetNumber() == number)
            return object.get();
    return nullptr;
}

TPDFObject* TPDF::GetFirstPage()
{
    if (!FCatalog)
        return nullptr;
    TPDFObject* node = FindObject(static_cast<int>(LeadingInt(FCatalog->GetWord("Pages"))));
    // Page trees may nest: descend through the first kid until a page.
    for (int depth = 0; node && depth < MaxNesting; ++depth) {
        if (node->GetWord("Type") == "/Page" && depth > 0)
            return node;
        const std::string kids = node->GetValue("Kids");
        if (kids.empty() || kids.front() != '[')
            return nullptr;
        node = FindObject(static_cast<int>(LeadingInt(std::string_view(kids).substr(1))));
    }
    return nullptr;
}

void TPDF::Splice(size_t position, size_t length, std::string_view text, const TPDFObject* self)
{
    ReplaceBytes(FData, position, length, text);
    const auto diff = static_cast<long long>(text.size()) - static_cast<long long>(length);
    if (diff == 0)
        return;
    auto move = [&](TPDFObject* part) {
        if (part && part != self && part->FPosition >= position)
            part->FPosition = static_cast<size_t>(static_cast<long long>(part->FPosition) + diff);
    };
    for (const auto& object : FObjects)
        move(object.get());
    move(FXref.get());
    move(FTrailer.get());
    move(FStartXref.get());
    for (const auto& older : FOlder) {
        move(older.first.get());
        move(older.second.get());
    }
}

void TPDF::Rewrite(TPDFObject& object, std::string_view text)
{
    const size_t oldLength = object.FLength;
    Splice(object.FPosition, oldLength, text, &object);
    object.FLength = text.size();
    if (object.IsObject() && text.size() != oldLength)
        RegenerateXref();
}

void TPDF::FixPrevChain()
{
    // Older trailers point at the sections before them; edits above a section move it.
    for (size_t i = FOlder.size(); i-- > 0;) {
        const TPDFObject& target = *FOlder[i].first;
        TPDFObject& trailer = i == 0 ? *FTrailer : *FOlder[i - 1].second;
        const auto wanted = static_cast<long long>(target.GetPosition());
        if (trailer.GetInt("Prev") != wanted)
            trailer.SetValue("Prev", std::to_string(wanted));
    }
}

void TPDF::RegenerateXref()
{
    FixPrevChain();
    std::vector<const TPDFObject*> byNumber(static_cast<size_t>(FHighest) + 1, nullptr);
    for (const auto& object : FObjects) {
        const int n = object->GetNumber();
        if (n > 0 && n <= FHighest && !byNumber[static_cast<size_t>(n)])
            byNumber[static_cast<size_t>(n)] = object.get();
    }
    std::string body = "0 " + std::to_string(FHighest + 1) + "\n0000000000 65535 f ";
    for (int n = 1; n <= FHighest; ++n) {
        body += '\n';
        if (const TPDFObject* object = byNumber[static_cast<size_t>(n)])
            body += Padded(static_cast<long long>(object->GetPosition()), 10) + " " +
                    Padded(object->GetGeneration(), 5) + " n ";
        else
            body += "0000000000 65535 f ";
    }
    FXref->SetBody(body);
    const auto offset = static_cast<long long>(FXref->GetPosition());
    if (LeadingInt(FStartXref->GetBody()) != offset)
        FStartXref->SetBody(std::to_string(offset));
}

TPDFObject& TPDF::NewObject()
{
    ++FHighest;
    const std::string header = std::to_string(FHighest) + " 0 obj";
    const std::string text = header + "\n<<\n>>\nendobj\n";
    const size_t at = FXref->GetPosition();
    auto object = std::make_unique<TPDFObject>(*this, header, at, header.size(), 0, true);
    TPDFObject& ref = *object;
    FObjects.push_back(std::move(object));
    Splice(at, 0, text, &ref);
    ref.FLength = text.size();
    FTrailer->SetValue("Size", std::to_string(FHighest + 1));
    RegenerateXref();
    return ref;
}

