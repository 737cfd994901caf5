#include "host/UnitSigning.h"

#include "encoding/UnitEncoding.h"
#include "host/UnitVersion.h"
#include "library/dorvik.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/UnitTrace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace UnitSigning {

namespace {

struct TDigestRow {
    std::string_view Name;
    std::string_view Oid;
    int Algorithm;
};

constexpr TDigestRow DigestRows[] = {
    {"sha256", "2.16.840.1.101.3.4.2.1", 5},
    {"sha384", "2.16.840.1.101.3.4.2.2", 6},
    {"sha512", "2.16.840.1.101.3.4.2.3", 7},
    {"sha224", "2.16.840.1.101.3.4.2.4", 4},
};

// Closes the library's buffers on every path out of a round trip.
struct TLibraryBuffers {
    TLibraryBuffers() { Prepare(); }
    ~TLibraryBuffers() { CloseStreams(); }
    TLibraryBuffers(const TLibraryBuffers&) = delete;
    TLibraryBuffers& operator=(const TLibraryBuffers&) = delete;
};

std::string ReadLibraryText(int32_t n)
{
    if (n <= 0)
        return {};
    std::string text(static_cast<size_t>(n), '\0');
    const int32_t got = ReadTextChunck(0, n, text.data());
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

bool IsTrimmed(unsigned char c)
{
    return c <= ' ';
}

std::string ElementText(const nlohmann::json& element)
{
    if (element.is_string())
        return element.get<std::string>();
    if (element.is_number() || element.is_boolean())
        return element.dump();
    if (element.is_null())
        return {};
    throw ESignError(Words::InvalidAttributes);
}

// Properties of the signing request that name the signer or its key: the certificate
// reference forms (code, store, PKCS#12 file and its password, certificate or PKCS#12 data and
// its password, the "use my store's copy" flag), bare and with the request's "Certificate"
// prefix, and the software key. The user's choice in the dialog is the consent to sign, so a
// browser request may not replace them; the command line (written by whoever installed the
// host) may.
constexpr std::string_view SignerProperties[] = {
    "CertificateCode", "CertificateStore", "CertificateFileName", "CertificateFilePwd",
    "CertificateData", "CertificatePwd",   "CertificateLocal",    "Pvk",
    "Code",            "Store",            "FileName",            "FilePwd",
    "Data",            "Pwd",              "Local",
};

bool IsSignerProperty(std::string_view name)
{
    for (const std::string_view refused : SignerProperties)
        if (UnitXmlDoc::SameText(name, refused))
            return true;
    return false;
}

// Whether the pair, once written into the request text, reads back (as the library reads it)
// as exactly this one property: a name with blanks or markup in it would be another property.
bool ReadsBackAsItself(const std::string& name, const std::string& value)
{
    TXmlDoc probe("SIGNEDDATA");
    probe.Setp(name, value.empty() ? std::string("1") : value);
    const auto back = TXmlDoc::CreateFromXML(probe.GetXML());
    if (back->GetPropertyCount() != 1)
        return false;
    return back->GetPropertyByIndex(0)->GetName() == name;
}

}  // namespace

std::string HashOidFromName(std::string_view name)
{
    std::string oid(Sha1Oid);
    for (const auto& row : DigestRows)
        if (UnitXmlDoc::SameText(row.Name, name)) {
            oid = row.Oid;
            break;
        }
    UnitTrace::Trace("Hash: " + oid);
    return oid;
}

int HashAlgorithmFromOid(std::string_view oid)
{
    for (const auto& row : DigestRows)
        if (row.Oid == oid)
            return row.Algorithm;
    return 1;
}

std::optional<std::string> SelectCertificateCode(const std::string& origin)
{
    // The selector writes the code and a zero byte: room for MaxCertificateCode + 1 bytes.
    std::string buffer(MaxCertificateCode + 1, ' ');
    buffer.back() = '\0';
    const int32_t chosen = origin.empty() ? SelectSignerCertificate(buffer.data(), MaxCertificateCode)
                                          : SelectSignerCertificateFor(origin.c_str(), buffer.data(), MaxCertificateCode);
    if (chosen <= 0)
        return std::nullopt;
    size_t first = 0, last = buffer.size();
    while (first < last && IsTrimmed(static_cast<unsigned char>(buffer[first])))
        ++first;
    while (last > first && IsTrimmed(static_cast<unsigned char>(buffer[last - 1])))
        --last;
    std::string code = buffer.substr(first, last - first);
    // A zero byte ends the code even when the trimming above stopped before it.
    if (auto zero = code.find('\0'); zero != std::string::npos)
        code.resize(zero);
    if (code.empty())
        return std::nullopt;
    return code;
}

std::string RecodeText(std::string text, int d, int e)
{
    TLibraryBuffers buffers;
    AppendTextChunck(text.c_str(), text.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(text.size()));
    std::string().swap(text);
    Decode(d);
    return ReadLibraryText(Encode(e));
}

std::string DigestFile(const std::string& file, std::string_view oid)
{
    const int algorithm = HashAlgorithmFromOid(oid);
    // The library takes a C string: the name would end at the zero byte, another file.
    if (HoldsZeroByte(file))
        return {};
    TLibraryBuffers buffers;
    return ReadLibraryText(HashFile(file.c_str(), algorithm));
}

bool HoldsZeroByte(std::string_view fileName)
{
    return fileName.find('\0') != std::string_view::npos;
}

std::string FileSystemName(const std::string& fileName)
{
    // The kernel stops at a zero byte: "doc\0.p7s" names "doc", so a signature would land
    // on the document itself. Such a name names no file, before or after expansion.
    if (HoldsZeroByte(fileName))
        return {};
    std::string name = TXmlDoc::ExpandFileName(fileName);
    if (HoldsZeroByte(name))
        return {};
    for (char& c : name)
        if (c == '\\')
            c = '/';
    return name;
}

std::optional<std::string> LoadFileAsText(const std::string& file, int e)
{
    try {
        const std::string name = FileSystemName(file);
        if (name.empty())
            return std::nullopt;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(name, ec))
            return std::nullopt;
        std::ifstream in(name, std::ios::binary);
        if (!in)
            return std::nullopt;
        in.seekg(0, std::ios::end);
        const auto size = in.tellg();
        if (size < 0)
            return std::nullopt;
        in.seekg(0);
        UnitEncoding::TBytes bytes(static_cast<size_t>(size));
        if (!bytes.empty() && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)))
            return std::nullopt;
        return UnitEncoding::EncodeBytes(bytes, e, UnitEncoding::TEncodingTable::Host());
    } catch (const std::exception& ex) {
        UnitTrace::Trace(std::string("ERROR: ") + ex.what());
        return std::nullopt;
    }
}

bool SaveTextAsFile(const std::string& file, const std::string& text, int e)
{
    try {
        const std::string name = FileSystemName(file);
        if (name.empty())
            return false;
        const std::filesystem::path path(name);
        std::error_code ec;
        if (path.has_parent_path())
            std::filesystem::create_directories(path.parent_path(), ec);
        const auto bytes = UnitEncoding::DecodeText(text, e, UnitEncoding::TEncodingTable::Host());
        return bytes && UnitPlatformFiles::SaveFileSafely(name, std::span<const uint8_t>(*bytes));
    } catch (const std::exception& ex) {
        UnitTrace::Trace(std::string("ERROR: ") + ex.what());
        return false;
    }
}

void CopyRequestAttributes(const nlohmann::json& request, TXmlDoc& requestTree)
{
    if (!request.is_object())
        return;
    const auto attrs = request.find("attrs");
    if (attrs == request.end() || attrs->is_null())
        return;
    if (!attrs->is_array() || attrs->size() % 2 != 0)
        throw ESignError(Words::InvalidAttributes);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (size_t i = 0; i + 1 < attrs->size(); i += 2)
        pairs.emplace_back(ElementText((*attrs)[i]), ElementText((*attrs)[i + 1]));
    // The whole list is refused, before anything of it reaches the tree (where it would stay
    // for later requests) and before the dialog opens.
    for (const auto& [name, value] : pairs)
        if (IsSignerProperty(name) || (!name.empty() && !ReadsBackAsItself(name, value)))
            throw ESignError(Words::AttributeNotAllowed);
    for (const auto& [name, value] : pairs) {
        // Looked up by name, not by path: a name may hold "\" without meaning a deeper node.
        TXmlDoc* child = requestTree.FindNode("attr" + name);
        if (!child) {
            child = requestTree.New("Tag");
            child->SetName("attr" + name);
        }
        child->SetValue(value);
    }
}

std::string ProgramVersion()
{
    TGpVersionInfo info(UnitVersion::OwnExecutablePath(), "040904E4");
    return info.GetVersion("%d.%d.%d.%d");
}

std::string BuildSigningRequest(const std::string& code, std::string contentHex, const std::string& hashOid,
                                const std::string& type, const std::string& fileName, TXmlDoc& requestTree)
{
    TXmlDoc request("SIGNEDDATA");
    request.Setp("CertificateCode", code);
    request.Setp("Content", std::move(contentHex));
    request.Setp("Binary", "1");
    request.Setp("Hash", hashOid);
    UnitTrace::Trace("Signer: " + code);
    if (UnitXmlDoc::SameText(type, "PADES")) {
        UnitTrace::Trace("PADES signature");
        request.Setp("Format", "PADES");
        request.Setp("propbuild:AppName", "Tessaly Kelvane");
        request.Setp("propbuild:AppVersion", ProgramVersion());
        request.Setp("propbuild:AppOS", "Win");
        request.Setp("info:Title", " ");
        request.Setp("info:Producer", " ");
    } else if (!fileName.empty()) {
        request.Setp("DocumentName", fileName);
    }
    for (int i = 0; i < requestTree.GetNodeCount(); ++i) {
        const TXmlDoc* child = requestTree.ChildAt(static_cast<size_t>(i));
        const std::string& childName = child->GetName();
        if (childName.size() < 4 || !UnitXmlDoc::SameText(std::string_view(childName).substr(0, 4), "attr"))
            continue;
        const std::string name = childName.substr(4);
        if (name.empty())
            continue;  // a property needs a name
        request.Setp(name, child->GetValue());
        // A secret is named, never written to the trace.
        UnitTrace::Trace("Attr " + name + " = " +
                         (UnitXmlDoc::SameText(name, "TimestampPassword") ? std::string("(hidden)") : child->GetValue()));
    }
    return request.GetXML();
}

std::string PutSignature(const std::string& code, std::string contentHex, const std::string& hashOid,
                         const std::string& type, const std::string& fileName, TXmlDoc& requestTree)
{
    UnitTrace::Trace("PutSignature {");
    // Building the request may fail (the version block cannot be read): that failure is the
    // caller's, only the library round trip is guarded here.
    std::string xml = BuildSigningRequest(code, std::move(contentHex), hashOid, type, fileName, requestTree);
    std::string signedText;
    try {
        UnitTrace::Trace("Signing...");
        signedText = RecodeText(std::move(xml), 14, 12);
        if (signedText.empty())
            UnitTrace::Trace("ERROR: FAILED TO PUT SIGNATURE");
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("ERROR: ") + e.what());
        signedText.clear();
    }
    UnitTrace::Trace("}");
    return signedText;
}

std::string SignFailureWord()
{
    // The conversion status of the library's last conversion, the signing one.
    char status[64] = {};
    const int32_t n = GetError(status, static_cast<int32_t>(sizeof status - 1));
    const std::string_view word(status, n > 0 ? static_cast<size_t>(n) : 0);
    // The words the user can act on pass through: a document signed already, and a
    // time-stamp authority that could not be reached, refused, or answered wrongly.
    for (const std::string_view passed : {"PdfAlreadySigned", "TimestampUnavailable", "TimestampRejected",
                                          "TimestampInvalid"})
        if (word == passed)
            return std::string(passed);
    return "FailedToSign";
}

std::string SignedFileName(const std::string& fileName, const std::string& type)
{
    if (!UnitXmlDoc::SameText(type, "PADES"))
        return fileName + ".p7s";
    const size_t folder = fileName.find_last_of("/\\");
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || (folder != std::string::npos && dot < folder))
        return fileName + ".signed.pdf";
    return fileName.substr(0, dot) + ".signed.pdf";
}

}  // namespace UnitSigning
