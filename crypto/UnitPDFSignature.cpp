// The PAdES signing of a document loaded by TPDF: the header and Info entries, the signature
// field, form and dictionary with the reserved /Contents, the byte ranges and the CMS written into
// them; documents the in-place rewrite does not take go to the incremental update.
#include "crypto/UnitPDF.h"

#include "core/UnitXmlDoc.h"
#include "crypto/UnitCryptHash.h"
#include "crypto/UnitPDFIncremental.h"
#include "crypto/UnitPDFLexer.h"
#include "core/UnitStatusWords.h"
#include "encoding/UnitCodecs.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <set>

using namespace UnitPDFLexer;

namespace {

// Spaces and PDF delimiters in a name written "#XX".
std::string NameText(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '#' || IsDelimiter(c)) {
            out += '#';
            out += UnitCodecs::HexPair(u);
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

size_t TPDF::ContentsHexSizeFor(const TPdfSignProperties& request)
{
    return request.Get("TimestampURL").find_first_not_of(" \t\r\n") == std::string::npos
               ? ContentsHexSize
               : ContentsHexSize + TimestampHexSize;
}

TPDFObject& TPDF::AddSignatureObjects(const TPdfSignProperties& request, size_t hexSize)
{
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

    // Room for the widest byte range the signed file can have.
    const size_t digits = std::to_string(FData.size() + hexSize).size();
    const size_t reserve = std::max<size_t>(digits + 1, 4);
    const std::string build = UnitPDF::BuildInformation(request);
    signature.SetBody("<<\n/Type /Sig\n/Filter /Adobe.PPKLite\n/SubFilter /ETSI.CAdES.detached\n" +
                      build + "/M (D:" + FormatUtc(FSigningTime ? FSigningTime : std::time(nullptr)) + "+00'00')\n" +
                      "/ByteRange [ 0 0 0 0 ]" + std::string(3 * reserve, ' ') + "\n" +
                      "/Contents \n>>");
    return signature;
}

void TPDF::FillByteRange(const TPDFObject& signature, size_t contentsBytes)
{
    // The /Contents value about to be written sits before the table: move startxref now,
    // so the file length below is final.
    FStartXref->SetBody(std::to_string(LeadingInt(FStartXref->GetBody()) +
                                       static_cast<long long>(contentsBytes)));

    const auto a = static_cast<long long>(FXref->GetPosition());
    const auto length = static_cast<long long>(FData.size());
    const std::string_view tailOfS = "/Contents \n>>\nendobj\n";
    if (a < static_cast<long long>(tailOfS.size()) ||
        GetText().substr(static_cast<size_t>(a) - tailOfS.size(), tailOfS.size()) != tailOfS)
        Fail(Words::PdfStructureInvalid, "signature dictionary is not right before the table");
    FByteRange = {0, a - 11, a + static_cast<long long>(contentsBytes) - 11, length - a + 11};
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

        const size_t hexSize = ContentsHexSizeFor(request);
        TPDFObject& signature = AddSignatureObjects(request, hexSize);
        FillByteRange(signature, hexSize + 2);

        const std::string oid = UnitPDF::DigestOid(request);
        const std::string digest = UnitPDF::DigestHex(GetText(), oid);
        if (digest.empty())
            Fail(Words::PdfDigestFailed, "unknown digest algorithm " + oid);
        std::string cms = maker ? maker(oid, digest) : std::string();
        if (cms.empty())
            Fail(Words::PdfCmsFailed, "no CMS was made");
        if (!UnitCodecs::IsHexText(cms))
            Fail(Words::PdfCmsFailed, "CMS is not hex");
        if (cms.size() > hexSize)
            Fail(Words::PdfCmsTooLarge, "CMS does not fit the reserved space");
        cms.resize(hexSize, '0');
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
