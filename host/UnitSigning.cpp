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
#include <iterator>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace UnitSigning {

using UnitEncoding::Number;
using UnitEncoding::TEncodingNumber;

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

std::unique_ptr<TXmlDoc> MakeSigningRequest(const std::string& code, std::string contentHex, const std::string& hashOid,
                                            const std::string& type, const std::string& fileName, TXmlDoc& requestTree)
{
    auto node = std::make_unique<TXmlDoc>("SIGNEDDATA");
    TXmlDoc& request = *node;
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
    return node;
}

std::string BuildSigningRequest(const std::string& code, std::string contentHex, const std::string& hashOid,
                                const std::string& type, const std::string& fileName, TXmlDoc& requestTree)
{
    return MakeSigningRequest(code, std::move(contentHex), hashOid, type, fileName, requestTree)->GetXML();
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
        signedText = RecodeText(std::move(xml), Number(TEncodingNumber::Asn1Xml), Number(TEncodingNumber::Hex));
        if (signedText.empty())
            UnitTrace::Trace("ERROR: FAILED TO PUT SIGNATURE");
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("ERROR: ") + e.what());
        signedText.clear();
    }
    UnitTrace::Trace("}");
    return signedText;
}

std::optional<uint64_t> ParseMemAvailable(std::string_view meminfo)
{
    constexpr std::string_view Key = "MemAvailable:";
    size_t at = meminfo.find(Key);
    // The key starts a line.
    while (at != std::string_view::npos && at > 0 && meminfo[at - 1] != '\n')
        at = meminfo.find(Key, at + 1);
    if (at == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = meminfo.substr(at + Key.size());
    rest = rest.substr(0, rest.find('\n'));
    const size_t digits = rest.find_first_of("0123456789");
    if (digits == std::string_view::npos)
        return std::nullopt;
    uint64_t kib = 0;
    size_t i = digits;
    for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
        if (kib > (UINT64_MAX >> 10) / 10)
            return std::nullopt;
        kib = kib * 10 + static_cast<uint64_t>(rest[i] - '0');
    }
    // The kernel writes the figure in kB (KiB).
    const std::string_view unit = rest.substr(i);
    if (unit.find("kB") == std::string_view::npos)
        return std::nullopt;
    return kib << 10;
}

std::optional<uint64_t> MemAvailableFromProc()
{
    std::ifstream in("/proc/meminfo");
    if (!in)
        return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParseMemAvailable(text);
}

std::string RequestDigestOid(TXmlDoc& request)
{
    std::string oid = request.Prop("Hash");
    if (oid.empty()) {
        const std::string& fields = request.Prop("Policy");
        const size_t comma = fields.find(',');
        if (comma != std::string::npos) {
            std::string field = fields.substr(comma + 1, fields.find(',', comma + 1) - comma - 1);
            const size_t first = field.find_first_not_of(" \t\r\n");
            const size_t last = field.find_last_not_of(" \t\r\n");
            oid = first == std::string::npos ? std::string() : field.substr(first, last - first + 1);
        }
    }
    return oid.empty() ? std::string(DigestRows[0].Oid) : oid;
}

bool TakesContentHash(TXmlDoc& request)
{
    const TXmlDoc* format = request.FindProperty("Format");
    if (format && UnitXmlDoc::SameText(format->GetValue(), "PADES"))
        return false;
    if (request.FindProperty("ContentHash"))
        return false;
    const TXmlDoc* detached = request.FindProperty("Dettached");
    const TXmlDoc* binary = request.FindProperty("Binary");
    if (!detached || !detached->GetAsBool() || !binary || !binary->GetAsBool())
        return false;
    const std::string oid = RequestDigestOid(request);
    if (oid == Sha1Oid)
        return true;
    for (const auto& row : DigestRows)
        if (row.Oid == oid)
            return true;
    return false;
}

bool UseContentHash(TXmlDoc& request, const std::string& systemName)
{
    const std::string digest = DigestFile(systemName, RequestDigestOid(request));
    if (digest.empty())
        return false;
    request.Setp("Content", "");
    request.Setp("ContentHash", digest);
    return true;
}

uint64_t MemoryNeeded(uint64_t size)
{
    // Hex text in the library, the signed bytes (CMS with the content, or the signed PDF) and
    // the hex of those bytes as the answer; the text is let go before the answer is made.
    constexpr uint64_t Working = 32u << 20;
    return 3 * size + Working;
}

namespace {

// Where the document's hex goes in the request text while the request is written: a value the
// XML writer leaves as it is, and that no property can take because no property value holds a
// blank or a quote once written.
constexpr std::string_view ContentPlaceholder = "0DOCUMENT0CONTENT0";

constexpr size_t Slice = size_t{1} << 20;

struct TFd {
    int Fd;
    explicit TFd(int fd) : Fd(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
};

// Appends the file's bytes to the library's text buffer as upper-case hex, a slice at a time.
bool AppendFileAsHex(int fd)
{
    std::vector<uint8_t> bytes(Slice);
    std::string hex;
    for (;;) {
        const ssize_t n = ::read(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        hex = UnitEncoding::EncodeBytes({bytes.data(), static_cast<size_t>(n)}, Number(TEncodingNumber::Hex), UnitEncoding::TEncodingTable::Host());
        // The text is taken up to its zero byte: hex has none.
        AppendTextChunck(hex.c_str(), static_cast<int32_t>(hex.size()));
    }
}

std::string MiB(uint64_t bytes)
{
    return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB";
}

}  // namespace

bool SaveLibraryHexAsFile(const std::string& file, int32_t size)
{
    try {
        const std::string name = FileSystemName(file);
        if (name.empty() || size <= 0 || size % 2 != 0)
            return false;
        const std::filesystem::path path(name);
        std::error_code ec;
        if (path.has_parent_path())
            std::filesystem::create_directories(path.parent_path(), ec);
        // The library's hex read back in slices and written as bytes, through the one safe save.
        return UnitPlatformFiles::SaveFileSafely(name, [size](int fd) {
            std::string hex(2 * Slice, '\0');
            for (int32_t offset = 0; offset < size;) {
                const int32_t want = static_cast<int32_t>(std::min<int64_t>(size - offset, static_cast<int64_t>(hex.size())));
                const int32_t got = ReadTextChunck(offset, want, hex.data());
                if (got != want)
                    return false;
                offset += got;
                const auto bytes = UnitEncoding::DecodeText(std::string_view(hex.data(), static_cast<size_t>(got)),
                                                            Number(TEncodingNumber::Hex), UnitEncoding::TEncodingTable::Host());
                if (!bytes)
                    return false;
                for (size_t done = 0; done < bytes->size();) {
                    const ssize_t n = ::write(fd, bytes->data() + done, bytes->size() - done);
                    if (n > 0)
                        done += static_cast<size_t>(n);
                    else if (!(n < 0 && errno == EINTR))
                        return false;
                }
            }
            return true;
        });
    } catch (const std::exception& ex) {
        UnitTrace::Trace(std::string("ERROR: ") + ex.what());
        return false;
    }
}

std::string SignFile(const std::string& code, const std::string& fileName, const std::string& hashOid,
                     const std::string& type, TXmlDoc& requestTree, const std::string& signedFileName,
                     const TMemoryAvailable& memory)
{
    const std::string name = FileSystemName(fileName);
    if (name.empty())
        return "FailedToLoad";
    std::string_view word;
    TFd file(UnitPlatformFiles::OpenRegularPosixFile(name, word));
    struct stat st {};
    if (file.Fd < 0 || ::fstat(file.Fd, &st) != 0) {
        UnitTrace::Trace("FailedToLoad: " + std::string(word.empty() ? "unreadable" : word) + ": " + name);
        return "FailedToLoad";
    }
    const auto size = static_cast<uint64_t>(st.st_size);

    UnitTrace::Trace("PutSignature {");
    const auto request = MakeSigningRequest(code, std::string(ContentPlaceholder), hashOid, type, fileName, requestTree);
    const TXmlDoc* content = request->FindProperty("Content");
    // An attribute may have replaced the document ("Content"): the request is then whole.
    const bool carriesFile = content && content->GetValue() == ContentPlaceholder;

    std::string signedText;
    if (carriesFile && TakesContentHash(*request)) {
        // A detached signature needs only the document's digest.
        UnitTrace::Trace("Signing the document's digest");
        if (!UseContentHash(*request, name)) {
            UnitTrace::Trace("FailedToLoad: no digest of " + name);
            UnitTrace::Trace("}");
            return "FailedToLoad";
        }
        UnitTrace::Trace("Signing...");
        signedText = RecodeText(request->GetXML(), Number(TEncodingNumber::Asn1Xml), Number(TEncodingNumber::Hex));
        if (signedText.empty()) {
            UnitTrace::Trace("ERROR: FAILED TO PUT SIGNATURE");
            UnitTrace::Trace("}");
            return SignFailureWord();
        }
        UnitTrace::Trace("}");
        return SaveTextAsFile(signedFileName, signedText, Number(TEncodingNumber::Hex)) ? std::string() : "FailedToSave";
    }

    if (carriesFile) {
        const uint64_t needed = MemoryNeeded(size);
        const std::optional<uint64_t> available = memory ? memory() : std::nullopt;
        if (available && needed > *available) {
            UnitTrace::Trace("FailedToLoad: the document of " + MiB(size) + " needs about " + MiB(needed) +
                             " of memory, MemAvailable is " + MiB(*available));
            UnitTrace::Trace("}");
            return "FailedToLoad";
        }
    }
    const std::string xml = request->GetXML();
    size_t head = xml.size(), tail = xml.size();
    if (carriesFile) {
        const std::string marker = " Content=\"" + std::string(ContentPlaceholder) + "\"";
        const size_t at = xml.find(marker);
        if (at == std::string::npos) {
            UnitTrace::Trace("ERROR: the request has no place for the document");
            UnitTrace::Trace("}");
            return "FailedToSign";
        }
        head = at + std::string_view(" Content=\"").size();
        tail = head + ContentPlaceholder.size();
    }
    UnitTrace::Trace("Signing...");
    bool saved = false;
    int32_t n = 0;
    {
        TLibraryBuffers buffers;
        AppendTextChunck(xml.substr(0, head).c_str(), static_cast<int32_t>(head));
        if (carriesFile && !AppendFileAsHex(file.Fd)) {
            UnitTrace::Trace("FailedToLoad: read error in " + name);
            UnitTrace::Trace("}");
            return "FailedToLoad";
        }
        AppendTextChunck(xml.c_str() + tail, static_cast<int32_t>(xml.size() - tail));
        Decode(Number(TEncodingNumber::Asn1Xml));
        n = Encode(Number(TEncodingNumber::Hex));
        if (n <= 0)
            UnitTrace::Trace("ERROR: FAILED TO PUT SIGNATURE");
        UnitTrace::Trace("}");
        if (n > 0)
            saved = SaveLibraryHexAsFile(signedFileName, n);
    }
    if (n <= 0)
        return SignFailureWord();
    return saved ? std::string() : "FailedToSave";
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
