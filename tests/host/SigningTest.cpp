#include "host/UnitCommandLine.h"
#include "host/UnitSigning.h"

#include "encoding/UnitEncoding.h"
#include "platform/UnitTrace.h"

#include <algorithm>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace UnitSigning;
using nlohmann::json;

namespace {

class TScratch {
public:
    TScratch()
    {
        FDir = std::filesystem::temp_directory_path() / ("kelvane-signing-" + std::to_string(::getpid()) + "-" +
                                                         std::to_string(++Counter));
        std::filesystem::create_directories(FDir);
    }
    ~TScratch() { std::filesystem::remove_all(FDir); }
    std::string Path(const std::string& name) const { return (FDir / name).string(); }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::recursive_directory_iterator(FDir))
            names.push_back(std::filesystem::relative(e.path(), FDir).string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    static inline int Counter = 0;
    std::filesystem::path FDir;
};

void WriteFile(const std::string& path, std::string_view data)
{
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::pair<std::string, std::string>> Properties(const std::string& xml)
{
    auto node = TXmlDoc::CreateFromXML(xml);
    std::vector<std::pair<std::string, std::string>> props;
    for (int i = 0; i < node->GetPropertyCount(); ++i) {
        TXmlDoc* p = node->GetPropertyByIndex(i);
        props.emplace_back(p->GetName(), p->GetValue());
    }
    return props;
}

}  // namespace

TEST(HashOidFromName, TableAndSha1ForEverythingElse)
{
    EXPECT_EQ(HashOidFromName("SHA256"), "2.16.840.1.101.3.4.2.1");
    EXPECT_EQ(HashOidFromName("sha384"), "2.16.840.1.101.3.4.2.2");
    EXPECT_EQ(HashOidFromName("Sha512"), "2.16.840.1.101.3.4.2.3");
    EXPECT_EQ(HashOidFromName("sha224"), "2.16.840.1.101.3.4.2.4");
    for (std::string_view other : {"sha-256", "", "sha1", "md5", "2.16.840.1.101.3.4.2.1", " sha256"})
        EXPECT_EQ(HashOidFromName(other), Sha1Oid) << other;
    EXPECT_EQ(HashAlgorithmFromOid("2.16.840.1.101.3.4.2.4"), 4);
    EXPECT_EQ(HashAlgorithmFromOid("2.16.840.1.101.3.4.2.3"), 7);
    EXPECT_EQ(HashAlgorithmFromOid(Sha1Oid), 1);
    EXPECT_EQ(HashAlgorithmFromOid("2.16.840.1.101.3.4.2.1 "), 1);
}

TEST(SignedFileName, PdfReplacesTheExtensionOthersAppend)
{
    EXPECT_EQ(SignedFileName("/d/a.pdf", "PADES"), "/d/a.signed.pdf");
    EXPECT_EQ(SignedFileName("/d/a.b.PDF", "pades"), "/d/a.b.signed.pdf");
    EXPECT_EQ(SignedFileName("/d.x/noext", "Pades"), "/d.x/noext.signed.pdf");
    EXPECT_EQ(SignedFileName("C:\\d.x\\noext", "PADES"), "C:\\d.x\\noext.signed.pdf");
    EXPECT_EQ(SignedFileName("/d/a.pdf", ""), "/d/a.pdf.p7s");
    EXPECT_EQ(SignedFileName("/d/a.pdf", "PADES2"), "/d/a.pdf.p7s");
}

TEST(CopyRequestAttributes, PairsBecomeChildrenThatStay)
{
    TXmlDoc tree;
    UnitCommandLine::LoadCommandLine(tree, {"/attrReason=cmd"});
    CopyRequestAttributes(json::parse(R"({"attrs":["Place","here","Reason","req"]})"), tree);
    CopyRequestAttributes(json::parse(R"({"attrs":["place","there",1,true]})"), tree);
    CopyRequestAttributes(json::parse(R"({"attrs":null})"), tree);
    CopyRequestAttributes(json::parse(R"({"other":1})"), tree);
    ASSERT_EQ(tree.GetNodeCount(), 3);
    // An existing child keeps its name (compared without case); only the value changes.
    EXPECT_EQ(tree.ChildAt(0)->GetName(), "ATTRREASON");
    EXPECT_EQ(tree.ChildAt(0)->GetValue(), "req");
    EXPECT_EQ(tree.ChildAt(1)->GetName(), "attrPlace");
    EXPECT_EQ(tree.ChildAt(1)->GetValue(), "there");
    EXPECT_EQ(tree.ChildAt(2)->GetName(), "attr1");
    EXPECT_EQ(tree.ChildAt(2)->GetValue(), "true");
}

TEST(CopyRequestAttributes, AnythingButPairsFails)
{
    for (const char* request : {R"({"attrs":"a"})", R"({"attrs":["a"]})", R"({"attrs":["a","1","b"]})",
                                R"({"attrs":{"a":"1"}})", R"({"attrs":[["a"],"1"]})", R"({"attrs":["a",{}]})"}) {
        TXmlDoc tree;
        EXPECT_THROW(CopyRequestAttributes(json::parse(request), tree), ESignError) << request;
    }
}

TEST(CopyRequestAttributes, NamesOfTheSignerOrItsKeyAreRefusedWithTheWholeList)
{
    for (const char* name : {"CertificateCode", "certificatecode", "CERTIFICATEFILENAME", "CertificateFilePwd",
                             "CertificateStore", "CertificateData", "CertificatePwd", "CertificateLocal", "Pvk",
                             "PVK", "Code", "store", "FileName", "FilePwd", "Data", "Pwd", "LOCAL"}) {
        TXmlDoc tree;
        const json request = {{"attrs", {"Reason", "r", name, "x", "Place", "p"}}};
        try {
            CopyRequestAttributes(request, tree);
            ADD_FAILURE() << name << " was copied";
        } catch (const ESignError& e) {
            EXPECT_STREQ(e.what(), "AttributeNotAllowed") << name;
        }
        EXPECT_EQ(tree.GetNodeCount(), 0) << name;  // nothing of the list stays for later requests
    }
    // Names that read back as one of them (or as another property) once written into the
    // request text: "=" is not encoded in names.
    for (const char* name : {"Pvk=", "Pvk=x", "CertificateCode=\"1\" x", "x=\"1\" CertificateCode"}) {
        TXmlDoc tree;
        EXPECT_THROW(CopyRequestAttributes(json{{"attrs", {name, "x"}}}, tree), ESignError) << name;
    }
    // Blanks are kept (encoded) in names: such a name is a property of its own, whatever the
    // library reads of it the signer stays the chosen one.
    for (const char* name : {" CertificateCode", "CertificateCode ", "Pvk\t", "CertificateCode\r\n", "a b"}) {
        TXmlDoc tree;
        try {
            CopyRequestAttributes(json{{"attrs", {name, "FFFF"}}}, tree);
        } catch (const ESignError&) {
            continue;
        }
        const auto request = TXmlDoc::CreateFromXML(BuildSigningRequest("AB12", "00", "1.3.14.3.2.26", "", "", tree));
        EXPECT_EQ(request->Getp("CertificateCode"), "AB12") << name;
        EXPECT_EQ(request->FindProperty("Pvk"), nullptr) << name;
    }
    // Everything else still reaches the signing request, and the command line keeps its power.
    TXmlDoc tree;
    UnitCommandLine::LoadCommandLine(tree, {"/attrCertificateFileName=C:\\keys\\host.pfx"});
    CopyRequestAttributes(json::parse(R"({"attrs":["Dettached","1","Policy","a,b","Hash","1.2","Order","ContentType",
                                      "Certificate0","3082","info:Title","t","CertificateCodes","x"]})"),
                          tree);
    const auto props = Properties(BuildSigningRequest("AB12", "00", "1.3.14.3.2.26", "CMS", "", tree));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"CertificateCode", "AB12"}, {"Content", "00"},       {"Binary", "1"},
        {"Hash", "1.2"},             {"CERTIFICATEFILENAME", "C:\\keys\\host.pfx"},
        {"Dettached", "1"},          {"Policy", "a,b"},       {"Order", "ContentType"},
        {"Certificate0", "3082"},    {"info:Title", "t"},     {"CertificateCodes", "x"}};
    EXPECT_EQ(props, expected);
}

TEST(BuildSigningRequest, PropertiesInOrderAndAttributesLast)
{
    TXmlDoc tree;
    UnitCommandLine::LoadCommandLine(tree, {"/Mode=SIGN", "/attrPolicy=p1", "/attrHash=1.2.3"});
    CopyRequestAttributes(json::parse(R"({"attrs":["Reason","r\\1"]})"), tree);
    const auto props = Properties(BuildSigningRequest("AB12", "00FF", "2.16.840.1.101.3.4.2.1", "CMS", "C:\\a b.txt", tree));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"CertificateCode", "AB12"}, {"Content", "00FF"},       {"Binary", "1"},
        {"Hash", "1.2.3"},           {"DocumentName", "C:\\a b.txt"}, {"POLICY", "p1"},
        {"Reason", "r\\1"}};
    EXPECT_EQ(props, expected);
}

TEST(BuildSigningRequest, PdfRequestsCarryBuildPropertiesAndNoDocumentName)
{
    TXmlDoc tree;
    const auto props = Properties(BuildSigningRequest("AB12", "00", "1.3.14.3.2.26", "pades", "/x.pdf", tree));
    // This test program has no version block, so its version text is empty and not written.
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"CertificateCode", "AB12"}, {"Content", "00"},         {"Binary", "1"},
        {"Hash", "1.3.14.3.2.26"},   {"Format", "PADES"},       {"propbuild:AppName", "Tessaly Kelvane"},
        {"propbuild:AppOS", "Win"},  {"info:Title", " "},       {"info:Producer", " "}};
    EXPECT_EQ(props, expected);
}

TEST(LibraryRoundTrips, RecodeAndDigest)
{
    // Base64 with line breaks decodes as if they were absent.
    EXPECT_EQ(RecodeText("aGVs\r\nbG8=", 7, 12), "68656C6C6F");
    EXPECT_EQ(RecodeText("68656C6C6F", 12, 7).substr(0, 8), "aGVsbG8=");
    EXPECT_EQ(RecodeText("", 7, 12), "");
    TScratch scratch;
    const std::string file = scratch.Path("abc ção.txt");
    WriteFile(file, "abc");
    EXPECT_EQ(DigestFile(file, "2.16.840.1.101.3.4.2.1"),
              "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    EXPECT_EQ(DigestFile(file, "bogus"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(DigestFile(scratch.Path("missing"), Sha1Oid), "");
}

TEST(LibraryRoundTrips, NoCertificateIsChosenUnattendedWithCancel)
{
    ::setenv("DORVIK_SELECT", "cancel", 1);
    EXPECT_FALSE(SelectCertificateCode());
    ::unsetenv("DORVIK_SELECT");
}

TEST(FileText, LoadAndSaveRoundTrip)
{
    TScratch scratch;
    const std::string data("\x00\x01\xFFzé", 6);
    WriteFile(scratch.Path("in.bin"), data);
    const auto hex = LoadFileAsText(scratch.Path("in.bin"), 12);
    ASSERT_TRUE(hex);
    EXPECT_EQ(*hex, "0001FF7AC3A9");
    EXPECT_TRUE(LoadFileAsText(scratch.Path("empty"), 12) == std::nullopt);
    WriteFile(scratch.Path("empty"), "");
    EXPECT_EQ(LoadFileAsText(scratch.Path("empty"), 12), std::optional<std::string>(""));
    EXPECT_FALSE(LoadFileAsText(scratch.Path(""), 12));  // a folder

    // Missing folders are made; "\" separates folders as "/" does.
    const std::string target = scratch.Path("new\\deeper/out ção.p7s");
    ASSERT_TRUE(SaveTextAsFile(target, *hex, 12));
    EXPECT_EQ(ReadFile(scratch.Path("new/deeper/out ção.p7s")), data);
}

TEST(FileText, NamesHoldingAZeroByteNameNoFile)
{
    // The kernel reads a name up to its zero byte: "doc\0.p7s" is "doc" itself.
    TScratch scratch;
    const std::string doc = scratch.Path("doc.txt");
    WriteFile(doc, "original");
    const std::string zero(1, '\0');
    EXPECT_EQ(FileSystemName(doc + zero), "");
    EXPECT_EQ(FileSystemName(doc), doc);
    EXPECT_FALSE(LoadFileAsText(doc + zero, 12));
    EXPECT_FALSE(LoadFileAsText(doc + zero + ".txt", 12));
    EXPECT_FALSE(SaveTextAsFile(doc + zero + ".p7s", "00", 12));
    EXPECT_FALSE(SaveTextAsFile(scratch.Path("") + zero + "/x.p7s", "00", 12));
    EXPECT_EQ(DigestFile(doc + zero, Sha1Oid), "");
    EXPECT_EQ(ReadFile(doc), "original");
    EXPECT_EQ(scratch.Names(), (std::vector<std::string>{"doc.txt"}));
}

TEST(FileText, FailedSaveLeavesTheOldFileAndNoTemporary)
{
    TScratch scratch;
    const std::string target = scratch.Path("doc.p7s");
    WriteFile(target, "old");
    EXPECT_FALSE(SaveTextAsFile(target, "00", 99));      // no such encoding
    EXPECT_EQ(ReadFile(target), "old");
    std::filesystem::create_directories(scratch.Path("dir.p7s"));
    EXPECT_FALSE(SaveTextAsFile(scratch.Path("dir.p7s"), "00", 12));  // the name is a folder
    std::filesystem::create_directories(scratch.Path("ro"));
    WriteFile(scratch.Path("blocker"), "x");
    EXPECT_FALSE(SaveTextAsFile(scratch.Path("blocker/inside.p7s"), "00", 12));  // a file where a folder must be
    EXPECT_EQ(scratch.Names(), (std::vector<std::string>{"blocker", "dir.p7s", "doc.p7s", "ro"}));
}

// ---- Memory judged before a document is taken on

namespace {

struct TTraceLines {
    TTraceLines()
    {
        FOld = UnitTrace::SetHook([this](std::string_view line) { Lines.emplace_back(line); });
    }
    ~TTraceLines() { UnitTrace::SetHook(FOld); }
    bool Has(std::string_view part) const
    {
        return std::any_of(Lines.begin(), Lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
    std::vector<std::string> Lines;

private:
    UnitTrace::THook FOld;
};

}  // namespace

TEST(MemAvailable, ReadFromTheKernelsText)
{
    const std::string meminfo = "MemTotal:       24576000 kB\nMemFree:         1000 kB\nMemAvailable:    2097152 kB\n"
                                "Buffers:          100 kB\n";
    EXPECT_EQ(ParseMemAvailable(meminfo), uint64_t(2097152) << 10);
    EXPECT_EQ(ParseMemAvailable("XMemAvailable: 5 kB\nMemAvailable: 7 kB\n"), uint64_t(7) << 10);
    EXPECT_FALSE(ParseMemAvailable("MemTotal: 5 kB\n"));
    EXPECT_FALSE(ParseMemAvailable("MemAvailable: kB\n"));
    EXPECT_FALSE(ParseMemAvailable("MemAvailable: 5\n"));  // no unit: not the kernel's form
    EXPECT_FALSE(ParseMemAvailable("MemAvailable: 99999999999999999999999 kB\n"));
    // The running kernel's own figure.
    const auto here = MemAvailableFromProc();
    ASSERT_TRUE(here);
    EXPECT_GT(*here, uint64_t(1) << 20);
}

TEST(MemAvailable, DocumentsLargerThanTheMachineCanHoldAreNotLoaded)
{
    TScratch scratch;
    const std::string document = scratch.Path("scan.pdf");
    WriteFile(document, std::string(4u << 20, 'x'));
    uint64_t available = 8u << 20;
    int asked = 0;
    const TMemoryAvailable memory = [&]() -> std::optional<uint64_t> {
        ++asked;
        return available;
    };
    for (const char* type : {"CMS", "PADES"}) {
        TTraceLines trace;
        TXmlDoc tree;
        EXPECT_EQ(SignFile("0123456789ABCDEF0123456789ABCDEF01234567", document, "2.16.840.1.101.3.4.2.1", type, tree,
                           scratch.Path("scan.signed"), memory),
                  "FailedToLoad")
            << type;
        EXPECT_TRUE(trace.Has("FailedToLoad: the document of 4 MiB needs about " + std::to_string((MemoryNeeded(4u << 20) + (1u << 20) - 1) >> 20) +
                              " MiB of memory, MemAvailable is 8 MiB"))
            << type;
        EXPECT_FALSE(trace.Has("Signing...")) << type;
    }
    EXPECT_EQ(asked, 2);
    // Nothing was written.
    EXPECT_EQ(scratch.Names(), std::vector<std::string>{"scan.pdf"});
    // The need grows with the document: three times its size and a working margin.
    EXPECT_GE(MemoryNeeded(256u << 20), uint64_t(3) * (256u << 20));
    EXPECT_LT(MemoryNeeded(256u << 20), uint64_t(4) * (256u << 20));
}
