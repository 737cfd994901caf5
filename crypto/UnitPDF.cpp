#include "crypto/UnitPDF.h"

#include "core/UnitXmlDoc.h"
#include "crypto/UnitCryptHash.h"
#include "crypto/UnitPDFIncremental.h"
#include "crypto/UnitPDFWords.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitPlatformFiles.h"


#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <cctype>
#include <charconv>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <span>

namespace {

constexpr std::string_view Blanks = " \t\r\n\f";
constexpr int MaxNesting = 64;

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\0';
}

bool IsDelimiter(char c)
{
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '/' || c == '%';
}

std::string_view Trim(std::string_view s, std::string_view chars = Blanks)
{
    const size_t b = s.find_first_not_of(chars);
    if (b == std::string_view::npos)
        return {};
    const size_t e = s.find_last_not_of(chars);
    return s.substr(b, e - b + 1);
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y))
            return false;
    }
    return true;
}

bool StartsNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

// Whole text as a non-negative decimal number.
bool ParseUnsigned(std::string_view s, long long& value)
{
    if (s.empty() || s.size() > 18)
        return false;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && ptr == s.data() + s.size() && value >= 0;
}

long long LeadingInt(std::string_view s)
{
    s = Trim(s);
    long long value = 0;
    std::from_chars(s.data(), s.data() + s.size(), value);
    return value;
}

std::string_view FirstWord(std::string_view s)
{
    s = Trim(s);
    size_t e = 0;
    while (e < s.size() && !IsWhite(s[e]) && (e == 0 || !IsDelimiter(s[e])))
        ++e;
    return s.substr(0, e);
}

std::string Padded(long long value, int width)
{
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
    return digits;
}

[[noreturn]] void Fail(std::string_view word, const std::string& message)
{
    throw EPdfError(word, message);
}

// Replaces `length` bytes at `position` with the text; only what follows moves.
void ReplaceBytes(TPDF::TBytes& data, size_t position, size_t length, std::string_view text)
{
    const auto* from = reinterpret_cast<const uint8_t*>(text.data());
    const size_t common = std::min(length, text.size());
    std::copy(from, from + common, data.begin() + static_cast<std::ptrdiff_t>(position));
    const auto rest = data.begin() + static_cast<std::ptrdiff_t>(position + common);
    if (text.size() > length)
        data.insert(rest, from + common, from + text.size());
    else if (length > text.size())
        data.erase(rest, rest + static_cast<std::ptrdiff_t>(length - common));
}

// The objects of a PDF dictionary, enough to find where each top-level entry begins and ends.
class TLexer {
public:
    explicit TLexer(std::string_view text) : FText(text) {}

    size_t Pos() const { return FPos; }
    bool AtEnd() { SkipSpace(); return FPos >= FText.size(); }
    bool Next(std::string_view s) { SkipSpace(); return FText.substr(FPos, s.size()) == s; }

    void SkipSpace()
    {
        while (FPos < FText.size()) {
            const char c = FText[FPos];
            if (IsWhite(c)) {
                ++FPos;
            } else if (c == '%') {
                while (FPos < FText.size() && FText[FPos] != '\r' && FText[FPos] != '\n')
                    ++FPos;
            } else {
                break;
            }
        }
    }

    std::string_view Name()
    {
        SkipSpace();
        if (FPos >= FText.size() || FText[FPos] != '/')
            Fail(Words::PdfStructureInvalid, "dictionary key expected");
        const size_t start = FPos++;
        while (FPos < FText.size() && !IsWhite(FText[FPos]) && !IsDelimiter(FText[FPos]))
            ++FPos;
        return FText.substr(start + 1, FPos - start - 1);
    }

    void Object(int depth)
    {
        if (depth > MaxNesting)
            Fail(Words::PdfStructureInvalid, "objects nested too deep");
        SkipSpace();
        if (FPos >= FText.size())
            Fail(Words::PdfStructureInvalid, "object expected");
        const char c = FText[FPos];
        if (c == '<' && FText.substr(FPos, 2) == "<<") {
            FPos += 2;
            while (!Next(">>")) {
                if (FPos >= FText.size())
                    Fail(Words::PdfStructureInvalid, "unterminated dictionary");
                Name();
                Object(depth + 1);
            }
            FPos += 2;
        } else if (c == '<') {
            const size_t end = FText.find('>', FPos);
            if (end == std::string_view::npos)
                Fail(Words::PdfStructureInvalid, "unterminated hex string");
            FPos = end + 1;
        } else if (c == '(') {
            int open = 0;
            for (; FPos < FText.size(); ++FPos) {
                const char s = FText[FPos];
                if (s == '\\')
                    ++FPos;
                else if (s == '(')
                    ++open;
                else if (s == ')' && --open == 0)
                    break;
            }
            if (FPos >= FText.size())
                Fail(Words::PdfStructureInvalid, "unterminated string");
            ++FPos;
        } else if (c == '[') {
            ++FPos;
            while (!Next("]")) {
                if (FPos >= FText.size())
                    Fail(Words::PdfStructureInvalid, "unterminated array");
                Object(depth + 1);
            }
            ++FPos;
        } else if (c == '/') {
            Name();
        } else if (IsDelimiter(c)) {
            Fail(Words::PdfStructureInvalid, "unexpected delimiter");
        } else {
            const std::string_view word = Word();
            long long n = 0;
            if (ParseUnsigned(word, n)) {
                // "N G R" is one object.
                const size_t save = FPos;
                const std::string_view generation = Word();
                const std::string_view r = Word();
                if (!(ParseUnsigned(generation, n) && r == "R"))
                    FPos = save;
            }
        }
    }

private:
    std::string_view Word()
    {
        SkipSpace();
        const size_t start = FPos;
        while (FPos < FText.size() && !IsWhite(FText[FPos]) && !IsDelimiter(FText[FPos]))
            ++FPos;
        return FText.substr(start, FPos - start);
    }

    std::string_view FText;
    size_t FPos = 0;
};

struct TDictEntry {
    std::string_view Key;
    size_t KeyStart;   // the "/" of the key
    size_t ValueStart;
    size_t ValueEnd;
};

struct TDict {
    std::vector<TDictEntry> Entries;
    size_t Close = 0;  // the top-level ">>"
};

// Top-level entries of the dictionary the text begins with; throws when it has none.
TDict ParseDict(std::string_view text)
{
    TLexer lexer(text);
    if (!lexer.Next("<<"))
        Fail(Words::PdfStructureInvalid, "dictionary expected");
    TDict dict;
    const size_t base = lexer.Pos() + 2;
    TLexer entries(text.substr(base));
    while (true) {
        if (entries.AtEnd())
            Fail(Words::PdfStructureInvalid, "unterminated dictionary");
        if (entries.Next(">>")) {
            dict.Close = base + entries.Pos();
            break;
        }
        entries.SkipSpace();
        const size_t keyStart = base + entries.Pos();
        const std::string_view key = entries.Name();
        const size_t valueStart = base + entries.Pos();
        entries.Object(1);
        dict.Entries.push_back({key, keyStart, valueStart, base + entries.Pos()});
    }
    return dict;
}

const TDictEntry* FindEntry(const TDict& dict, std::string_view key)
{
    for (const TDictEntry& entry : dict.Entries)
        if (entry.Key == key)
            return &entry;
    return nullptr;
}

// Spaces and PDF delimiters in a name written "#XX".
std::string NameText(std::string_view text)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '#' || IsDelimiter(c)) {
            out += '#';
            out += Hex[u >> 4];
            out += Hex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string FormatUtc(std::time_t t)
{
    std::tm tm{};
    gmtime_r(&t, &tm);
    return Padded(tm.tm_year + 1900, 4) + Padded(tm.tm_mon + 1, 2) + Padded(tm.tm_mday, 2) +
           Padded(tm.tm_hour, 2) + Padded(tm.tm_min, 2) + Padded(tm.tm_sec, 2);
}

int Field(std::string_view text, size_t from, size_t count)
{
    if (from >= text.size())
        return 0;
    const std::string_view s = text.substr(from, count);
    int value = 0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && ptr == s.data() + s.size() ? value : 0;
}

// "YYYY-MM-DD HH:NN:SS" (local time, or with "Z" and an offset in minutes) as a UTC
// "YYYYMMDDHHNNSS"; "" when the date cannot be read.
std::string LocalDateToPdfUtc(std::string_view text)
{
    text = Trim(text);
    long long offset = 0;
    bool zoned = false;
    const size_t z = text.find_first_of("Zz");
    if (z != std::string_view::npos) {
        zoned = true;
        std::string_view rest = Trim(text.substr(z + 1));
        if (!rest.empty() && rest.front() == '+')
            rest.remove_prefix(1);
        std::from_chars(rest.data(), rest.data() + rest.size(), offset);
        text = Trim(text.substr(0, z));
    }
    std::tm tm{};
    tm.tm_year = Field(text, 0, 4) - 1900;
    tm.tm_mon = Field(text, 5, 2) - 1;
    tm.tm_mday = Field(text, 8, 2);
    tm.tm_hour = Field(text, 11, 2);
    tm.tm_min = Field(text, 14, 2);
    tm.tm_sec = Field(text, 17, 2);
    if (tm.tm_year < 0 || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 ||
        tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
        return {};
    std::time_t t;
    if (zoned) {
        t = timegm(&tm) + static_cast<std::time_t>(offset) * 60;
    } else {
        tm.tm_isdst = -1;
        t = std::mktime(&tm);
    }
    if (t == static_cast<std::time_t>(-1))
        return {};
    return FormatUtc(t);
}

// Whether a signature field of the document already holds a value (/V): the signed bytes of
// that signature are the document as it stands, so no edit of it may be made. The field type
// may be inherited from a parent field.
bool HoldsSignature(TPDF& pdf)
{
    const std::string_view data(pdf.GetText());
    for (size_t i = 0; i < pdf.GetObjectCount(); ++i) {
        TPDFObject& object = pdf.GetObject(i);
        // Keys are compared as written, so an object without the bytes "/V" has no /V key.
        if (data.substr(object.GetPosition(), object.GetLength()).find("/V") == std::string_view::npos)
            continue;
        const std::string value = object.GetValue("V");
        if (value.empty() || value == "null")
            continue;
        const TPDFObject* field = &object;
        std::set<const TPDFObject*> seen;
        while (field && seen.insert(field).second && seen.size() <= static_cast<size_t>(MaxNesting)) {
            const std::string type = field->GetWord("FT");
            if (!type.empty()) {
                if (type == "/Sig")
                    return true;
                break;
            }
            field = pdf.FindObject(static_cast<int>(LeadingInt(field->GetWord("Parent"))));
        }
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

EPdfError::EPdfError(std::string_view word, const std::string& message)
    : std::runtime_error(message), FWord(word)
{
}

namespace UnitPDF {

std::string DigestHex(std::string_view bytes, const std::string& oid)
{
    const auto hash = UnitCryptHash::FindHashByOid(oid);
    return hash ? UnitCryptHash::DigestText(bytes, *hash) : std::string();
}

std::string LiteralString(std::string_view text)
{
    std::string out = "(";
    for (const char c : text) {
        if (c == '(' || c == ')' || c == '\\')
            out += '\\';
        out += c;
    }
    out += ')';
    return out;
}

std::string NameText(std::string_view text)
{
    return ::NameText(text);
}

std::string FormatUtc(std::time_t t)
{
    return ::FormatUtc(t);
}

std::string InfoText(std::string_view rawValue)
{
    const std::string_view value = Trim(rawValue, " \t\r\n");
    std::string text;
    if (StartsNoCase(value, "$D:")) {
        const std::string date = LocalDateToPdfUtc(value.substr(3));
        if (!date.empty())
            text = "(D:" + date + ")";
    } else if (StartsNoCase(value, "$UTF:")) {
        std::string utf16 = "\xFE\xFF";
        for (const char c : value.substr(5)) {
            utf16 += '\0';
            utf16 += c;
        }
        text = LiteralString(utf16);
    } else if (value == "$EMPTY:") {
        text = "()";
    } else if (!value.empty()) {
        text = LiteralString(value);
    }
    return text;
}

std::string BuildInformation(const TPdfSignProperties& request)
{
    const std::string appName = request.Get("propbuild:AppName");
    if (appName.empty())
        return {};
    std::vector<std::string> entries;
    entries.push_back("/Name /" + NameText(appName));
    const std::string version = request.Get("propbuild:AppVersion");
    if (!version.empty())
        entries.push_back("/REx " + LiteralString(version));
    const std::string os = request.Get("propbuild:AppOS");
    if (!os.empty())
        entries.push_back("/OS [/" + NameText(os) + "]");
    entries.push_back("/TrustedMode true");
    std::string joined;
    for (const auto& entry : entries)
        joined += (joined.empty() ? "" : " ") + entry;
    return "/Prop_Build << /App << " + joined + " >> >>\n";
}

std::string DigestOid(const TPdfSignProperties& request)
{
    std::string oid = request.Get("Hash");
    if (oid.empty()) {
        const std::string policy = request.Get("Policy");
        const size_t comma = policy.find(',');
        if (comma != std::string::npos)
            oid = std::string(Trim(std::string_view(policy).substr(comma + 1, policy.find(',', comma + 1) - comma - 1)));
    }
    return oid.empty() ? "2.16.840.1.101.3.4.2.1" : oid;
}

}  // namespace UnitPDF

// ---------------------------------------------------------------------------------------------

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
    const std::string temporary = fileName + ".~tmp";
    // Made anew, never through a link planted at the temporary name.
    const int fd = UnitPlatformFiles::CreateTemporaryFile(temporary);
    if (fd < 0)
        return false;
    bool ok = true;
    for (size_t done = 0; ok && done < FData.size();) {
        const ssize_t n = ::write(fd, FData.data() + done, FData.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (!(n < 0 && errno == EINTR))
            ok = false;
    }
    ok = ::close(fd) == 0 && ok;
    std::error_code ec;
    if (ok)
        std::filesystem::rename(temporary, fileName, ec);
    if (!ok || ec) {
        std::filesystem::remove(temporary, ec);
        return false;
    }
    return true;
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
    TPDFObject& trailerRef = *trailer;
    try {
        (void)ParseDict(trailer->GetBody());
    } catch (const EPdfError&) {
        Fail(Words::PdfStructureInvalid, "trailer is not a dictionary");
    }
    if (!trailerRef.GetValue("XRefStm").empty())
        Fail(Words::PdfXrefStreamUnsupported, "hybrid file with a cross-reference stream");
    if (!trailerRef.GetValue("Encrypt").empty())
        Fail(Words::PdfEncryptedUnsupported, "encrypted document");

    // Lines of the table: one subsection "0 N", then N entries, the first one free.
    const std::string body = xref->GetBody();
    std::vector<std::string_view> lines;
    {
        std::string_view rest(body);
        while (!rest.empty()) {
            const size_t eol = rest.find_first_of("\r\n");
            const std::string_view line = Trim(rest.substr(0, eol));
            if (!line.empty())
                lines.push_back(line);
            if (eol == std::string_view::npos)
                break;
            rest.remove_prefix(eol + 1);
        }
    }
    auto words = [](std::string_view line) {
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
    };
    if (lines.empty())
        Fail(Words::PdfStructureInvalid, "empty cross-reference table");
    const auto head = words(lines[0]);
    long long first = 0;
    long long count = 0;
    if (head.size() != 2 || !ParseUnsigned(head[0], first) || !ParseUnsigned(head[1], count))
        Fail(Words::PdfStructureInvalid, "bad subsection header");
    if (first != 0)
        Fail(Words::PdfMultipleSubsections, "subsection does not start at object 0");
    if (static_cast<size_t>(count) + 1 < lines.size())
        Fail(Words::PdfMultipleSubsections, "more than one subsection");
    if (static_cast<size_t>(count) + 1 != lines.size() || count < 1 || count > 10000000)
        Fail(Words::PdfStructureInvalid, "subsection count does not match its entries");

    struct TEntry {
        long long Offset;
        int Number;
        int Generation;
    };
    std::vector<TEntry> inUse;
    for (size_t i = 1; i < lines.size(); ++i) {
        const auto entry = words(lines[i]);
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
    // Entries a newer section supersedes are stale after edits: neither read nor checked.
    std::vector<TEntry> byOffset;
    for (const TEntry& e : inUse)
        if (static_cast<size_t>(e.Number) >= seen.size() || !seen[static_cast<size_t>(e.Number)])
            byOffset.push_back(e);
    std::sort(byOffset.begin(), byOffset.end(),
              [](const TEntry& a, const TEntry& b) { return a.Offset < b.Offset; });
    for (size_t k = 1; k < byOffset.size(); ++k)
        if (byOffset[k].Offset == byOffset[k - 1].Offset)
            Fail(Words::PdfStructureInvalid, "two objects at one offset");

    std::vector<std::unique_ptr<TPDFObject>> objects(static_cast<size_t>(count));
    for (size_t k = 0; k < byOffset.size(); ++k) {
        const TEntry& e = byOffset[k];
        const size_t next = k + 1 < byOffset.size() ? static_cast<size_t>(byOffset[k + 1].Offset)
                                                    : xrefOffset;
        size_t pos = static_cast<size_t>(e.Offset);
        while (pos < next && IsWhite(data[pos]))
            ++pos;
        // "N G obj", exactly the object the entry names.
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
        p += 3;
        const size_t headerLength = p - pos;
        // The object runs to the next one, but a section or other text between them
        // stays outside it, so rewriting the object keeps it.
        const std::string_view span = data.substr(pos, next - pos);
        const size_t endobj = span.rfind("endobj");
        if (endobj == std::string_view::npos || endobj < headerLength)
            Fail(Words::PdfStructureInvalid, "object without endobj");
        size_t end = endobj + 6;
        while (end < span.size() && IsWhite(span[end]))
            ++end;
        std::string header = std::to_string(number) + " " + std::to_string(generation) + " obj";
        objects[static_cast<size_t>(e.Number)] =
            std::make_unique<TPDFObject>(*this, std::move(header), pos, headerLength, end, newest);
        FHighest = std::max(FHighest, e.Number);
    }

    if (seen.size() < static_cast<size_t>(count))
        seen.resize(static_cast<size_t>(count), 0);
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

std::string TPDF::ExistingFields()
{
    std::string form = FCatalog->GetValue("AcroForm");
    if (form.empty())
        return {};
    if (form.front() != '<') {
        const TPDFObject* object = FindObject(static_cast<int>(LeadingInt(form)));
        if (!object)
            return {};
        form = object->GetBody();
    }
    try {
        const TDict dict = ParseDict(form);
        if (const TDictEntry* entry = FindEntry(dict, "Fields")) {
            const std::string_view value =
                Trim(std::string_view(form).substr(entry->ValueStart, entry->ValueEnd - entry->ValueStart));
            if (value.size() >= 2 && value.front() == '[')
                return std::string(Trim(value.substr(1, value.size() - 2)));
        }
    } catch (const EPdfError&) {
        // Not a dictionary: nothing to keep.
    }
    return {};
}

void TPDF::UpdateHeader()
{
    const size_t eol = GetText().find_first_of("\r\n");
    const std::string_view line = GetText().substr(0, eol);
    if (line.substr(0, 5) != "%PDF-" || !(line < std::string_view("%PDF-1.6")))
        return;
    const size_t length = line.size();
    Splice(0, length, "%PDF-1.6", nullptr);
    if (length != 8)
        RegenerateXref();
}

void TPDF::ApplyInfo(const TPdfSignProperties& request)
{
    TPDFObject* info = nullptr;
    for (const auto& [name, rawValue] : request.Items()) {
        if (!StartsNoCase(name, "info:") || name.size() == 5)
            continue;
        if (!info) {
            info = FindObject(static_cast<int>(LeadingInt(FTrailer->GetWord("Info"))));
            if (info) {
                try {
                    (void)ParseDict(info->GetBody());
                } catch (const EPdfError&) {
                    info = nullptr;
                }
            }
            if (!info) {
                info = &NewObject();
                FTrailer->SetValue("Info", info->GetReference());
            }
        }
        info->SetValue(NameText(std::string_view(name).substr(5)), UnitPDF::InfoText(rawValue));
    }
}

bool TPDF::Sign(const TPdfSignProperties& request, const TCmsMaker& maker)
{
    FError.clear();
    FByteRange.clear();
    if (!FLoaded) {
        FError = Words::PdfStructureInvalid;
        return false;
    }
    if (FIncremental)
        return SignIncremental(request, maker);
    try {
        // Before any edit: a refused document stays as it was loaded.
        if (HoldsSignature(*this))
            Fail(Words::PdfAlreadySigned, "the document already holds a signature");
        UpdateHeader();
        ApplyInfo(request);

        TPDFObject* page = GetFirstPage();
        if (!page)
            Fail(Words::PdfStructureInvalid, "no first page");
        const std::string pageRef = page->GetReference();
        const std::string catalogRef = FCatalog->GetReference();

        TPDFObject& widget = NewObject();
        TPDFObject& form = NewObject();
        TPDFObject& signature = NewObject();

        // Fields of a form the document already has stay in the new one.
        std::string fields = ExistingFields();
        if (!fields.empty())
            fields += ' ';
        form.SetBody("<<\n/Type /AcroForm\n/Parent " + catalogRef + "\n/Fields [ " + fields +
                     widget.GetReference() + " ]\n/SigFlags 3\n>>");
        FCatalog->SetValue("AcroForm", form.GetReference());
        widget.SetBody("<<\n/Type /Annot\n/Subtype /Widget\n/Rect [ 0 0 0 0 ]\n/F 4\n/P " +
                       pageRef + "\n/FT /Sig\n/T (DigitalSignature)\n/Ff 0\n/V " +
                       signature.GetReference() + "\n>>");

        const size_t digits = std::to_string(FData.size() + ContentsHexSize).size();
        const size_t reserve = std::max<size_t>(digits + 1, 4);

        const std::string build = UnitPDF::BuildInformation(request);
        signature.SetBody("<<\n/Type /Sig\n/Filter /Adobe.PPKLite\n/SubFilter /ETSI.CAdES.detached\n" +
                          build + "/M (D:" + FormatUtc(FSigningTime ? FSigningTime : std::time(nullptr)) + "+00'00')\n" +
                          "/ByteRange [ 0 0 0 0 ]" + std::string(3 * reserve, ' ') + "\n" +
                          "/Contents \n>>");

        // The /Contents value about to be written sits before the table: move startxref now,
        // so the file length below is final.
        FStartXref->SetBody(std::to_string(LeadingInt(FStartXref->GetBody()) +
                                           static_cast<long long>(ContentsBytes)));

        const auto a = static_cast<long long>(FXref->GetPosition());
        const auto length = static_cast<long long>(FData.size());
        const std::string_view tailOfS = "/Contents \n>>\nendobj\n";
        if (a < static_cast<long long>(tailOfS.size()) ||
            GetText().substr(static_cast<size_t>(a) - tailOfS.size(), tailOfS.size()) != tailOfS)
            Fail(Words::PdfStructureInvalid, "signature dictionary is not right before the table");
        FByteRange = {0, a - 11, a + static_cast<long long>(ContentsBytes) - 11, length - a + 11};
        const std::string numbers = std::to_string(FByteRange[1]) + " " +
                                    std::to_string(FByteRange[2]) + " " +
                                    std::to_string(FByteRange[3]) + " ]";
        const std::string_view placeholder = "0 0 0 ]";
        const size_t rangeAt = GetText().rfind("/ByteRange [ 0 0 0 0 ]", static_cast<size_t>(a));
        if (rangeAt == std::string::npos || rangeAt < signature.GetPosition())
            Fail(Words::PdfStructureInvalid, "byte range placeholder not found");
        const size_t zeros = rangeAt + std::string_view("/ByteRange [ 0 ").size();
        const size_t replaced = std::max(placeholder.size(), numbers.size());
        if (GetText().substr(zeros + placeholder.size(), replaced - placeholder.size()) !=
            std::string(replaced - placeholder.size(), ' '))
            Fail(Words::PdfStructureInvalid, "byte range does not fit its space");
        std::string fill = numbers;
        fill.resize(replaced, ' ');
        ReplaceBytes(FData, zeros, replaced, fill);

        const std::string oid = UnitPDF::DigestOid(request);
        const std::string digest = UnitPDF::DigestHex(GetText(), oid);
        if (digest.empty())
            Fail(Words::PdfDigestFailed, "unknown digest algorithm " + oid);

        std::string cms = maker ? maker(oid, digest) : std::string();
        if (cms.empty())
            Fail(Words::PdfCmsFailed, "no CMS was made");
        if (cms.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
            Fail(Words::PdfCmsFailed, "CMS is not hex");
        if (cms.size() > ContentsHexSize)
            Fail(Words::PdfCmsTooLarge, "CMS does not fit the reserved space");
        cms.resize(ContentsHexSize, '0');
        std::string body = signature.GetBody();
        const size_t contents = body.rfind("/Contents ");
        body.insert(contents + 10, "<" + cms + ">");
        signature.SetBody(body);
        return true;
    } catch (const EPdfError& e) {
        FError = e.Word();
    } catch (const std::exception&) {
        FError = Words::PdfStructureInvalid;
    }
    return false;
}

bool TPDF::SignIncremental(const TPdfSignProperties& request, const TCmsMaker& maker)
{
    UnitPDFIncremental::TSigned result;
    if (!UnitPDFIncremental::Sign(FData, request, maker, FSigningTime ? FSigningTime : std::time(nullptr),
                                  FError, result))
        return false;
    FByteRange = result.ByteRange;
    return true;
}

bool TPDF::Sign(TXmlDoc& request)
{
    TPdfSignProperties properties;
    for (int i = 0; i < request.GetPropertyCount(); ++i) {
        const TXmlDoc* property = request.GetPropertyByIndex(i);
        properties.Set(property->GetName(), property->GetValue());
    }
    const TCmsMaker maker = [&](const std::string&, const std::string& digest) {
        const std::unique_ptr<TXmlDoc> copy = request.Duplicate();
        copy->Setp("ContentHash", digest);
        copy->Setp("Dettached", "1");
        const TXmlDoc* order = copy->FindProperty("Order");
        if (!order || order->GetValue().empty())
            copy->Setp("Order", "ContentType,MessageDigest,SigningCertificate");
        copy->Setp("Content", "");
        copy->Setp("Binary", "");
        copy->Setp("Format", "");
        return FCmsHook ? FCmsHook(*copy, *this) : std::string();
    };
    return Sign(properties, maker);
}
