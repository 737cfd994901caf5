// The templates kept under tools/templates run over the description of a real certificate.
#include "crypto/UnitCertificateReport.h"
#include "xmllang/UnitXmlConversion.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string ReadFile(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Templates : public ::testing::Test {
protected:
    void SetUp() override
    {
        Dir = std::filesystem::temp_directory_path() / ("xmllang-templates-" + std::to_string(::getpid()));
        std::filesystem::create_directories(Dir);
        const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -utf8 -days 30 -keyout '" + (Dir / "k.pem").string()
            + "' -out '" + (Dir / "c.pem").string()
            + "' -subj '/C=BR/O=Lojas A&B <Teste>/CN=Jo\xC3\xA3o da Silva' 2>/dev/null && openssl x509 -in '"
            + (Dir / "c.pem").string() + "' -outform DER -out '" + (Dir / "c.der").string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << "openssl could not make the test certificate";
        const std::string der = ReadFile(Dir / "c.der");
        const auto lines = UnitCertificateReport::Build({reinterpret_cast<const uint8_t*>(der.data()), der.size()});
        ASSERT_TRUE(lines);
        // The description: one Line per report line, captioned as the report captions it.
        Description.SetName("CertificateDescription");
        Description.Setp("Title", "Certificado digital");
        for (const auto& line : *lines) {
            const std::string text = UnitCertificateReport::Format({line});
            const size_t colon = text.find(": ");
            ASSERT_NE(colon, std::string::npos) << text;
            TXmlDoc* node = Description.New("Line");
            node->Setp("Caption", text.substr(0, colon));
            std::string value = text.substr(colon + 2);
            while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
                value.pop_back();
            node->SetValue(value);
            Values.push_back(value);
        }
        LineCount = lines->size();
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }

    std::string Convert(const char* templateName)
    {
        const std::string templ = ReadFile(std::filesystem::path(DORVIK_SOURCE_DIR) / "tools" / "templates" / templateName);
        EXPECT_FALSE(templ.empty());
        TXmlConversion c;
        std::string out;
        EXPECT_TRUE(c.Convert(Description.GetXML(), templ, out)) << c.LastFailure();
        return out;
    }

    std::filesystem::path Dir;
    TXmlDoc Description;
    std::vector<std::string> Values;
    size_t LineCount = 0;
};

TEST_F(Templates, CertificateAsHtmlPage)
{
    const std::string html = Convert("certificate-report.html.xml");
    std::ofstream(std::filesystem::path(DORVIK_BINARY_DIR) / "certificate-report.html", std::ios::binary) << html;
    EXPECT_EQ(html.rfind("<!DOCTYPE html>\n<html", 0), 0u) << html.substr(0, 80);
    EXPECT_NE(html.find("<meta charset=\"utf-8\"/>"), std::string::npos);
    EXPECT_NE(html.find("<title>Certificado digital</title>"), std::string::npos);
    // Text is escaped for HTML and UTF-8 is kept as it is.
    EXPECT_NE(html.find("Lojas A&amp;B &lt;Teste&gt;"), std::string::npos) << html;
    EXPECT_EQ(html.find("<Teste>"), std::string::npos);
    EXPECT_NE(html.find("Jo\xC3\xA3o da Silva"), std::string::npos);
    // One row per line, alternating classes; the thumbprint in its own style.
    size_t rows = 0;
    for (size_t p = html.find("<tr "); p != std::string::npos; p = html.find("<tr ", p + 1))
        ++rows;
    EXPECT_EQ(rows, LineCount);
    EXPECT_NE(html.find("<tr class=\"odd\">"), std::string::npos);
    EXPECT_NE(html.find("<tr class=\"even\">"), std::string::npos);
    EXPECT_NE(html.find("class=\"thumb\""), std::string::npos);
    EXPECT_NE(html.find("<p>" + std::to_string(LineCount) + " itens</p>"), std::string::npos);
    // Python's HTML parser reads the page through.
    const std::string page = (std::filesystem::path(DORVIK_BINARY_DIR) / "certificate-report.html").string();
    EXPECT_EQ(std::system(("/usr/bin/python3 -c \"import html.parser,sys;"
                           "html.parser.HTMLParser().feed(open(sys.argv[1],encoding='utf-8').read())\" '" + page + "'")
                              .c_str()),
              0);
}

TEST_F(Templates, CertificateAsJsonSummary)
{
    const std::string text = Convert("certificate-summary.json.xml");
    nlohmann::json j;
    ASSERT_NO_THROW(j = nlohmann::json::parse(text)) << text;
    EXPECT_EQ(j["title"], "Certificado digital");
    EXPECT_NE(j["subject"].get<std::string>().find("Jo\xC3\xA3o da Silva"), std::string::npos);
    EXPECT_EQ(j["subject"], j["issuer"]);
    EXPECT_EQ(j["selfIssued"], true);
    EXPECT_EQ(j["lineCount"], LineCount);
    ASSERT_EQ(j["lines"].size(), LineCount);
    for (size_t i = 0; i < LineCount; ++i)
        EXPECT_EQ(j["lines"][i]["value"], Values[i]);
}

}  // namespace
