// Whole sign requests through the host's request handling, up to real signatures: hostile
// "filename", "attrs", "content", "type" and "hash" against a scratch NSS database holding one
// signing credential (DORVIK_SELECT=first chooses it).
//
// An input is one request text, or several separated by a line "#next" (attributes of one
// request stay for the next). File names are kept inside a scratch folder: a name that would
// reach the file system elsewhere, after the host's own expansion, is replaced. Checked after
// every input: each answer is a JSON object saying "signed" or "error", and the documents of
// the scratch folder are never changed (a request may sign them, never overwrite them).
#include "host/UnitMain.h"
#include "host/UnitSigning.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <stdlib.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

[[noreturn]] void Die(const std::string& why)
{
    std::fprintf(stderr, "host_request_fuzzer: %s\n", why.c_str());
    std::abort();
}

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string Frame(const std::string& body)
{
    const auto n = static_cast<uint32_t>(body.size());
    return std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)} + body;
}

std::string MinimalPdf()
{
    const char* objects[] = {"<</Type/Catalog/Pages 2 0 R>>", "<</Type/Pages/Kids[3 0 R]/Count 1>>",
                             "<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]>>"};
    std::string out = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    for (int i = 0; i < 3; ++i) {
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = out.size();
    out += "xref\n0 4\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        out += line;
    }
    return out + "trailer\n<</Size 4/Root 1 0 R>>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
}

struct TScratch {
    fs::path Root;                               // everything the fuzzer may touch
    fs::path Work;                               // the documents; ($MyTemp)
    std::map<std::string, std::string> Documents;  // name in Work -> bytes that must stay

    ~TScratch()
    {
        std::error_code ec;
        fs::remove_all(Root, ec);
    }

    // True when the kernel would be handed a name inside Root (what it reads stops at a zero byte).
    bool Inside(const std::string& systemName) const
    {
        if (systemName.empty())
            return true;
        fs::path path(systemName.substr(0, systemName.find('\0')));
        if (path.empty())
            return true;
        if (!path.is_absolute())
            path = fs::current_path() / path;  // libFuzzer's own folder: names of its corpus are relative
        const std::string normal = path.lexically_normal().string();
        const std::string root = Root.string() + "/";
        return normal.compare(0, root.size(), root) == 0 && normal.find("/../") == std::string::npos;
    }

    // Removes what the last input wrote and checks that no document changed.
    void Sweep()
    {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(Root, ec)) {
            const std::string name = entry.path().filename().string();
            if (name == "home")
                continue;
            if (name != "work") {
                fs::remove_all(entry.path(), ec);
                continue;
            }
            for (const auto& inner : fs::directory_iterator(Work, ec))
                if (!Documents.count(inner.path().filename().string()))
                    fs::remove_all(inner.path(), ec);
        }
        for (const auto& [name, bytes] : Documents)
            if (ReadAll(Work / name) != bytes)
                Die("a request changed the document " + name);
    }
};

void Shell(const std::string& command)
{
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        Die("setup step failed: " + command);
}

// The host's request handling for a list of request texts; the answers written.
std::string Serve(const std::vector<std::string>& requests)
{
    std::string input;
    for (const auto& request : requests)
        input += Frame(request);
    auto output = std::make_unique<TMemoryOutput>();
    TMemoryOutput* written = output.get();
    TNativeMessagingHost host(std::make_unique<TMemoryInput>(std::move(input)), std::move(output));
    for (size_t i = 0; i < requests.size(); ++i)
        host.ServeOneFrame();
    return written->Data;
}

void Prepare(TScratch& s)
{
    char pattern[] = "/tmp/host-request-fuzz-XXXXXX";
    if (!mkdtemp(pattern))
        Die("no scratch folder");
    s.Root = pattern;
    s.Work = s.Root / "work";
    const fs::path home = s.Root / "home";
    const fs::path db = home / ".pki" / "nssdb";
    fs::create_directories(db);
    fs::create_directories(s.Work);
    // Every folder a path macro names lies inside the scratch folder.
    const std::pair<const char*, fs::path> folders[] = {
        {"HOME", home}, {"XDG_CONFIG_HOME", home / ".config"}, {"XDG_DATA_HOME", home / ".local"},
        {"XDG_STATE_HOME", home / ".state"}, {"USERPROFILE", s.Root / "profile"},
        {"LOCALAPPDATA", s.Root / "local"}, {"APPDATA", s.Root / "roaming"}, {"TEMP", s.Work},
        {"TMP", s.Work}, {"TMPDIR", s.Work}, {"ProgramFiles", s.Root / "programs"},
        {"CommonProgramFiles", s.Root / "common"}, {"ProgramData", s.Root / "data"},
        {"SystemRoot", s.Root / "windows"}, {"windir", s.Root / "windows"},
        {"DORVIK_REGISTRY_DIR", s.Root / "registry"}, {"DORVIK_MACHINE_NSSDB", s.Root / "machine"},
    };
    for (const auto& [name, path] : folders)
        ::setenv(name, path.c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (s.Root / "share").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (s.Root / "etc").c_str(), 1);
    ::setenv("DORVIK_SELECT", "first", 1);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DORVIK_PIN", "KELVANE_TRACE_FILE", "SOFTHSM2_CONF"})
        ::unsetenv(name);

    const std::string root = s.Root.string();
    Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + root + "/k.pem' -out '" + root +
          "/c.pem' -days 30 -subj /CN=Fuzz -addext keyUsage=critical,digitalSignature");
    Shell("openssl pkcs12 -export -inkey '" + root + "/k.pem' -in '" + root + "/c.pem' -out '" + root +
          "/c.p12' -passout pass:fuzz -name Fuzz");
    Shell("certutil -N -d 'sql:" + db.string() + "' --empty-password");
    Shell("pk12util -i '" + root + "/c.p12' -d 'sql:" + db.string() + "' -W fuzz");
    for (const char* name : {"k.pem", "c.pem", "c.p12"})
        fs::remove(s.Root / name);

    WriteAll(s.Work / "doc.txt", "A document to sign.\n");
    WriteAll(s.Work / "doc.pdf", MinimalPdf());
    s.Documents["doc.txt"] = ReadAll(s.Work / "doc.txt");
    s.Documents["doc.pdf"] = ReadAll(s.Work / "doc.pdf");
}

TScratch& Scratch()
{
    static TScratch scratch;
    static const bool prepared = (Prepare(scratch), true);
    (void)prepared;
    return scratch;
}

// A signed PDF among the documents, made by the host itself (it must refuse to sign it again).
void AddSignedPdf(TScratch& s)
{
    const json request = {{"action", "sign"}, {"filename", (s.Work / "doc.pdf").string()}, {"type", "PADES"}};
    const std::string answer = Serve({request.dump()});
    if (answer.find("\"signed\"") == std::string::npos)
        Die("the scratch credential does not sign: " + answer.substr(answer.size() > 4 ? 4 : 0));
    fs::rename(s.Work / "doc.signed.pdf", s.Work / "signed.pdf");
    s.Documents["signed.pdf"] = ReadAll(s.Work / "signed.pdf");
}

// The request with its "filename" kept inside the scratch folder, as the host will see it.
std::string Confined(const std::string& text)
{
    TScratch& s = Scratch();
    json request = json::parse(text, nullptr, false);
    if (request.is_discarded() || !request.is_object())
        return text;  // every member reads as empty text: no file is named
    const auto name = request.find("filename");
    if (name == request.end() || !name->is_string())
        return text;
    const std::string type = request.contains("type") && request["type"].is_string() ? request["type"].get<std::string>()
                                                                                      : std::string();
    std::string fileName = name->get<std::string>();
    if (fileName.rfind("($", 0) != 0)
        fileName = (s.Work / fs::path(fileName).relative_path()).string();
    auto inside = [&](const std::string& candidate) {
        return s.Inside(UnitSigning::FileSystemName(candidate)) &&
               s.Inside(UnitSigning::FileSystemName(UnitSigning::SignedFileName(candidate, type)));
    };
    if (!inside(fileName))
        fileName = (s.Work / "outside").string();
    *name = fileName;
    return request.dump();
}

void CheckAnswers(const std::string& out)
{
    size_t at = 0;
    while (at + 4 <= out.size()) {
        const uint32_t n = uint8_t(out[at]) | uint8_t(out[at + 1]) << 8 | uint8_t(out[at + 2]) << 16 |
                           uint32_t(uint8_t(out[at + 3])) << 24;
        if (n > UnitMain::MaxResponseSize || out.size() - at - 4 < n)
            Die("an answer is not a whole frame");
        const json answer = json::parse(out.substr(at + 4, n), nullptr, false);
        if (!answer.is_object() || !answer.contains("action") || !answer["action"].is_string())
            Die("an answer is not an object with an action");
        const std::string action = answer["action"];
        if (action == "error") {
            if (!answer.contains("error") || !answer["error"].is_string() || answer["error"].get<std::string>().empty())
                Die("an error answer without its word");
        } else if (action != "signed") {
            Die("an answer that is neither signed nor error");
        }
        at += 4 + n;
    }
    if (at != out.size())
        Die("bytes after the last answer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool once = [] {
        AddSignedPdf(Scratch());
        Scratch().Sweep();
        return true;
    }();
    (void)once;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> requests;
    for (size_t from = 0; requests.size() < 4;) {
        const size_t cut = text.find("\n#next\n", from);
        requests.push_back(Confined(text.substr(from, cut == std::string::npos ? std::string::npos : cut - from)));
        if (cut == std::string::npos)
            break;
        from = cut + 7;
    }
    CheckAnswers(Serve(requests));
    Scratch().Sweep();
    return 0;
}
