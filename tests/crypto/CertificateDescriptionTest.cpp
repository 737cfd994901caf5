// Certificate descriptions of certificates made by the openssl command line, compared field by
// field with what python3-asn1crypto and openssl read from the same bytes.
#include "crypto/UnitCertificateDescription.h"

#include "crypto/UnitAsn1.h"
#include "encoding/UnitCodecs.h"

#include "CryptoTestSupport.h"

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

using namespace CryptoTest;
using namespace UnitCertificateDescription;

namespace {

// ICP-Brasil holder record: birth date, CPF, NIS, RG, RG issuer and state.
constexpr const char* Holder = "01021980" "12345678901" "10987654321" "000000123456789" "DETRRJ";

struct TPkiFiles {
    TScratch Scratch;
    std::string Root, RootKey, Key, Request;

    std::string Path(const std::string& name) const { return Scratch / name; }

    // A certificate for the end-entity key, issued by the root with the given extensions.
    std::string Issue(const std::string& name, const std::string& extensions, const std::string& subject = "")
    {
        const std::string ext = Path(name + ".ext");
        WriteBytes(ext, std::vector<uint8_t>(extensions.begin(), extensions.end()));
        std::string request = Request;
        if (!subject.empty()) {
            request = Path(name + ".csr");
            RunOk("openssl req -utf8 -new -key " + Key + " -subj '" + subject + "' -out " + request);
        }
        const std::string pem = Path(name + ".pem");
        RunOk("openssl x509 -req -days 30 -in " + request + " -CA " + Root + " -CAkey " + RootKey + " -set_serial " +
              std::to_string(1000 + name.size() * 7919) + (extensions.empty() ? "" : " -extfile " + ext) + " -out " + pem);
        return pem;
    }
};

TPkiFiles* Pki = nullptr;

std::vector<uint8_t> DerOf(const std::string& pem)
{
    const std::string file = pem + ".der";
    RunOk("openssl x509 -in " + pem + " -outform DER -out " + file);
    return ReadBytes(file);
}

std::unique_ptr<TXmlDoc> Decode(const std::vector<uint8_t>& der)
{
    auto tree = std::make_unique<TXmlDoc>();
    EXPECT_GT(UnitAsn1::DecodeIntoNode(*tree, der), 0);
    return tree;
}

std::multimap<std::string, std::vector<std::string>> Facts(const std::string& file)
{
    const std::string script = std::string(DORVIK_SOURCE_DIR) + "/tests/crypto/certificate_facts.py";
    std::istringstream lines(RunOk("/usr/bin/python3 " + script + " " + file));
    std::multimap<std::string, std::vector<std::string>> facts;
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        std::string field;
        while (std::getline(split, field, '\t'))
            fields.push_back(field);
        if (!fields.empty()) {
            const std::string key = fields.front();
            fields.erase(fields.begin());
            facts.emplace(key, fields);
        }
    }
    return facts;
}

std::string Fact(const std::multimap<std::string, std::vector<std::string>>& facts, const std::string& key, size_t i = 0)
{
    const auto it = facts.find(key);
    return it != facts.end() && it->second.size() > i ? it->second[i] : std::string();
}

// The serial number as the decoder gives it: decimal up to 5 content bytes, else their hex.
std::string SerialText(const std::multimap<std::string, std::vector<std::string>>& facts, const std::string& key)
{
    const std::string hex = Fact(facts, key + "_hex");
    return hex.size() > 10 ? hex : Fact(facts, key);
}

std::vector<std::string> Values(TXmlDoc* parent, const std::string& name)
{
    std::vector<std::string> out;
    for (size_t i = 0; TXmlDoc* child = parent->ChildAt(i); ++i)
        if (child->GetName() == name)
            out.push_back(child->GetValue());
    return out;
}

std::vector<std::string> Names(TXmlDoc* parent)
{
    std::vector<std::string> out;
    for (size_t i = 0; TXmlDoc* child = parent->ChildAt(i); ++i)
        out.push_back(child->GetName());
    return out;
}

std::string UtcOf(const std::string& localText)
{
    const UnitAsn1::TUtcTime t = UnitAsn1::TextToUtc(localText, false);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
    return buffer;
}

struct TDescribed {
    mutable TXmlDoc Report{"SignedDataReport"};
    TXmlDoc* Node = nullptr;
    std::unique_ptr<TXmlDoc> Tree;
    std::vector<uint8_t> Der;

    explicit TDescribed(const std::string& pem, std::string_view status = "OK", TRevocationResult revocation = {"OK", "", "", ""})
        : Der(DerOf(pem))
    {
        Tree = Decode(Der);
        Node = DescribeCertificate(*Tree, status, revocation,
                                   {Report.GetNode("Certificates"), Report.GetNode("Header\\Chain")}, Der);
    }
    TXmlDoc* operator->() const { return Node; }
    std::string Value(const char* path) const { return Node->GetNode(path)->GetValue(); }
    TXmlDoc* Extension(const char* name) const { return Node->GetNode("Extended")->FindNode(name); }
};

class CertificateDescription : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Pki = new TPkiFiles;
        Pki->RootKey = Pki->Path("root.key");
        Pki->Key = Pki->Path("ee.key");
        Pki->Root = Pki->Path("root.pem");
        RunOk("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out " + Pki->RootKey);
        RunOk("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + Pki->Key);
        RunOk("openssl req -new -x509 -days 3650 -key " + Pki->RootKey +
              " -subj '/C=BR/O=ICP-Brasil/OU=Instituto Nacional de Tecnologia da Informacao - ITI/CN=AC Raiz Teste'"
              " -addext 'basicConstraints=critical,CA:TRUE,pathlen:2' -addext 'keyUsage=critical,keyCertSign,cRLSign'"
              " -addext 'certificatePolicies=2.16.76.1.1.0' -out " + Pki->Root);
        Pki->Request = Pki->Path("ee.csr");
        RunOk("openssl req -utf8 -new -key " + Pki->Key +
              " -subj '/C=BR/ST=RJ/L=Rio de Janeiro/O=ICP-Brasil/OU=AC Teste/OU=Pessoa Fisica A3"
              "/CN=JOSÉ DA SILVA:12345678901/emailAddress=jose@example.com.br/serialNumber=12345678901"
              "/description=Titular/organizationIdentifier=OFBBR-123/GN=Jose' -out " + Pki->Request);
    }
    static void TearDownTestSuite()
    {
        delete Pki;
        Pki = nullptr;
    }
};

const std::string IcpExtensions = std::string(
    "basicConstraints=critical,CA:FALSE\n"
    "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment\n"
    "extendedKeyUsage=clientAuth,emailProtection,codeSigning,timeStamping,OCSPSigning,serverAuth,"
    "1.3.6.1.4.1.311.10.3.4,1.2.3.4.5\n"
    "subjectKeyIdentifier=hash\n"
    "authorityKeyIdentifier=keyid,issuer:always\n"
    "subjectAltName=email:jose@example.com.br,otherName:2.16.76.1.3.1;PRINTABLESTRING:") + Holder +
    ",otherName:2.16.76.1.3.6;OCTETSTRING:000000000000,otherName:2.16.76.1.3.5;UTF8:0000000000000000000,"
    "otherName:1.3.6.1.4.1.311.20.2.3;UTF8:jose@upn.example,DNS:example.com.br,dirName:dir_sect\n"
    "issuerAltName=URI:http://ac.example/\n"
    "crlDistributionPoints=dp1,dp2,dp3\n"
    "authorityInfoAccess=OCSP;URI:http://ocsp.example/,caIssuers;URI:http://ca.example/ac.p7c,"
    "1.3.6.1.5.5.7.48.5;URI:http://repo.example/,caIssuers;email:x@example.com\n"
    "certificatePolicies=1.2.3.99,@pol1,@pol2\n"
    "1.3.6.1.4.1.311.20.2=ASN1:BMPSTRING:SmartcardUser\n"
    "1.3.6.1.4.1.311.21.1=ASN1:INTEGER:65537\n"
    "1.2.3.4.5.6=critical,ASN1:UTF8String:hello\n"
    "[pol1]\npolicyIdentifier=2.16.76.1.2.3.10\nCPS.1=\"http://pol.example/a3.pdf\"\nuserNotice.1=@notice\n"
    "[notice]\nexplicitText=\"Politica A3\"\n"
    "[pol2]\npolicyIdentifier=2.16.76.1.2.1.5\nCPS.1=\"http://pol.example/a1.pdf\"\n"
    "[dp1]\nfullname=URI:http://crl.example/ac.crl\n"
    "[dp2]\nfullname=URI:http://crl2.example/ac.crl\n"
    "[dp3]\nfullname=dirName:dir_sect\n"
    "[dir_sect]\nCN=Lista\nO=ICP-Brasil\n";

}  // namespace

TEST_F(CertificateDescription, HeaderNamesValidityAndKeyAgreeWithAsn1crypto)
{
    const std::string pem = Pki->Issue("icp", IcpExtensions);
    const TDescribed d(pem);
    const auto facts = Facts(pem);
    ASSERT_NE(d.Node, nullptr);

    EXPECT_EQ(d->GetName(), "C" + Fact(facts, "subject_sha1"));
    EXPECT_EQ(d.Value("Header\\Version"), Fact(facts, "version"));
    EXPECT_EQ(d.Value("Header\\Size"), Fact(facts, "size"));
    EXPECT_EQ(d.Value("Header\\HashAlgorithm"), "1.3.14.3.2.26");
    EXPECT_EQ(d.Value("Header\\Hash"), Fact(facts, "hash"));
    EXPECT_EQ(d.Value("Header\\ThumbprintSHA1"), Fact(facts, "subject_sha1"));
    EXPECT_EQ(d.Value("Header\\IssuerThumbprintSHA1"), Fact(facts, "issuer_sha1"));
    EXPECT_EQ(d.Value("Header\\Root"), "0");
    EXPECT_EQ(d.Value("SerialNumber"), SerialText(facts, "serial"));
    EXPECT_EQ(d.Value("Signature\\Algorithm"), Fact(facts, "signature_algorithm"));
    EXPECT_EQ(d.Value("PublicKey\\Type"), Fact(facts, "key_algorithm"));
    EXPECT_EQ(d.Value("PublicKey\\Size"), "2048");
    // The key value is the subjectPublicKey, as openssl writes the RSAPublicKey.
    const std::string rsaPublic = Pki->Path("icp.rsapub.der");
    RunOk("openssl rsa -in " + Pki->Key + " -RSAPublicKey_out -outform DER -out " + rsaPublic);
    std::string value = d.Value("PublicKey\\Value");
    value.erase(std::remove_if(value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n'; }), value.end());
    EXPECT_EQ(value, UnitCodecs::Base64Encode(ReadBytes(rsaPublic), false));

    EXPECT_EQ(UtcOf(d.Value("Validity\\From")), Fact(facts, "not_before"));
    EXPECT_EQ(UtcOf(d.Value("Validity\\To")), Fact(facts, "not_after"));
    EXPECT_FALSE(d.Value("Validity\\FromUser").empty());
    EXPECT_EQ(d.Value("Expiration\\Status"), "OK");

    // Subject: every RDN in order, named by the table, values as text (UTF-8 kept).
    TXmlDoc* subject = d->GetNode("Subject");
    EXPECT_EQ(Names(subject), (std::vector<std::string>{"C", "ST", "L", "O", "OU", "OU", "CN", "E", "SerialNumber",
                                                        "Description", "OrgID", "Info"}));
    size_t i = 0;
    for (auto it = facts.lower_bound("subject"); it != facts.upper_bound("subject"); ++it, ++i) {
        TXmlDoc* child = subject->ChildAt(i);
        ASSERT_NE(child, nullptr);
        if (child->GetName() == "Info") {
            EXPECT_EQ(child->GetNode("ID")->GetValue(), it->second[0]);
            EXPECT_EQ(child->GetNode("Content")->GetValue(), it->second[1]);  // a UTF8String, kept as the decoder reads it
        } else {
            EXPECT_EQ(child->GetValue(), it->second[1]) << child->GetName();
        }
    }
    EXPECT_EQ(subject->GetNode("CN")->GetValue(), "JOSÉ DA SILVA:12345678901");
    EXPECT_EQ(d->GetNode("Issuer\\CN")->GetValue(), "AC Raiz Teste");
    EXPECT_EQ(Values(d->GetNode("Issuer"), "OU"),
              std::vector<std::string>{"Instituto Nacional de Tecnologia da Informacao - ITI"});

    // The chain node and the certificates node know the description by its name.
    EXPECT_NE(d.Report.GetNode("Header\\Chain")->FindNode(d->GetName()), nullptr);
}

TEST_F(CertificateDescription, ExtensionsOfTheTableAgreeWithAsn1crypto)
{
    const std::string pem = Pki->Issue("icp", IcpExtensions);
    const TDescribed d(pem);
    const auto facts = Facts(pem);
    TXmlDoc* extended = d->GetNode("Extended");
    EXPECT_EQ(Names(extended),
              (std::vector<std::string>{"BasicConstraintsV3", "KeyUsage", "ExtendedKeyUsage", "SubjectKeyIdentifier",
                                        "AuthorityKeyIdentifierV2", "SubjectAlternativeNameV2", "IssuerAlternativeNameV2",
                                        "CRLDistributionPointsV2", "CertificateAuthorityInfo", "CertificatePoliciesV2",
                                        "MSCertificateTemplateName", "MSCAVersion", "Info"}));
    // Critical flags as the certificate has them.
    size_t e = 0;
    for (auto it = facts.lower_bound("extension"); it != facts.upper_bound("extension"); ++it, ++e) {
        ASSERT_NE(extended->ChildAt(e), nullptr);
        EXPECT_EQ(extended->ChildAt(e)->GetNode("Critical")->GetValue(), it->second[1]) << it->second[0];
    }
    EXPECT_EQ(e, static_cast<size_t>(extended->GetNodeCount()));
    EXPECT_EQ(d.Extension("BasicConstraintsV3")->GetNode("Critical")->GetValue(), "1");
    EXPECT_EQ(d.Extension("KeyUsage")->GetNode("Critical")->GetValue(), "1");
    EXPECT_EQ(d.Extension("ExtendedKeyUsage")->GetNode("Critical")->GetValue(), "0");

    EXPECT_EQ(Names(d.Extension("KeyUsage")->GetNode("Content")),
              (std::vector<std::string>{"DigitalSignature", "NonRepudiation", "KeyEncipherment"}));
    // CA false is the default, so DER leaves it out and so does the description.
    EXPECT_EQ(d.Extension("BasicConstraintsV3")->FindNode("Content")->GetNodeCount(), 0);
    EXPECT_EQ(Names(d.Extension("ExtendedKeyUsage")->GetNode("Content")),
              (std::vector<std::string>{"ClientAuthentication", "EmailProtection", "CodeSigning", "TimeStamping",
                                        "OCSPSigning", "ServerAuthentication", "MSEFS", "Unknown"}));
    EXPECT_EQ(d.Extension("ExtendedKeyUsage")->GetNode("Content\\Unknown")->GetValue(), "1.2.3.4.5");

    EXPECT_EQ(d.Extension("SubjectKeyIdentifier")->GetNode("Content\\KeyIdentifier")->GetValue(),
              Fact(facts, "subject_key_id"));
    TXmlDoc* aki = d.Extension("AuthorityKeyIdentifierV2")->GetNode("Content");
    EXPECT_EQ(aki->GetNode("KeyIdentifier")->GetValue(), Fact(facts, "authority_key_id"));
    EXPECT_EQ(aki->GetNode("Issuer\\CN")->GetValue(), "AC Raiz Teste");
    // The serial of [2] reads like the issuer's own "SerialNumber".
    const TDescribed root(Pki->Root);
    EXPECT_EQ(aki->GetNode("SerialNumber")->GetValue(), root.Value("SerialNumber"));
    EXPECT_EQ(aki->GetNode("SerialNumber")->GetValue(), SerialText(facts, "authority_serial"));

    // Alternative names: e-mail, the ICP-Brasil otherNames by name, other otherNames and
    // other forms as copies, the directory name described.
    TXmlDoc* san = d.Extension("SubjectAlternativeNameV2")->GetNode("Content");
    EXPECT_EQ(Names(san), (std::vector<std::string>{"RFC822Name", "ICPBrasilOtherNameTitular", "ICPBrasilOtherNameCeiPF",
                                                    "ICPBrasilOtherNameDadosTituloEleitor", "ICPBrasilOtherName",
                                                    "Other", "Name"}));
    EXPECT_EQ(san->GetNode("RFC822Name")->GetValue(), Fact(facts, "email"));
    std::map<std::string, std::string> otherNames;
    for (auto it = facts.lower_bound("other_name"); it != facts.upper_bound("other_name"); ++it)
        otherNames[it->second[0]] = it->second.size() > 1 ? it->second[1] : "";
    EXPECT_EQ(san->GetNode("ICPBrasilOtherNameTitular")->GetValue(), otherNames["2.16.76.1.3.1"]);
    EXPECT_EQ(san->GetNode("ICPBrasilOtherNameTitular")->GetValue(), Holder);
    EXPECT_EQ(san->GetNode("ICPBrasilOtherNameCeiPF")->GetValue(), otherNames["2.16.76.1.3.6"]);
    EXPECT_EQ(san->GetNode("ICPBrasilOtherNameDadosTituloEleitor")->GetValue(), otherNames["2.16.76.1.3.5"]);
    EXPECT_EQ(san->GetNode("ICPBrasilOtherName")->ChildAt(0)->GetNode(0)->Getp("Value"), "1.3.6.1.4.1.311.20.2.3");
    EXPECT_EQ(san->GetNode("Other")->ChildAt(0)->Getp("Tag"), "130");  // dNSName
    EXPECT_EQ(san->GetNode("Name\\CN")->GetValue(), "Lista");
    EXPECT_EQ(san->GetNode("Name\\O")->GetValue(), "ICP-Brasil");
    EXPECT_EQ(d.Extension("IssuerAlternativeNameV2")->GetNode("Content\\Other")->ChildAt(0)->Getp("Tag"), "134");

    // Policies: the OID of every policy, the CPS and the user notice where present.
    TXmlDoc* policies = d.Extension("CertificatePoliciesV2")->GetNode("Content");
    ASSERT_EQ(policies->GetNodeCount(), 3);
    size_t p = 0;
    for (auto it = facts.lower_bound("policy"); it != facts.upper_bound("policy"); ++it, ++p) {
        TXmlDoc* policy = policies->ChildAt(p);
        ASSERT_NE(policy, nullptr);
        EXPECT_EQ(policy->GetNode("ID")->GetValue(), it->second[0]);
        if (it->second.size() > 1 && !it->second[1].empty()) {
            EXPECT_EQ(policy->GetNode("URL")->GetValue(), it->second[1]);
        }
        if (it->second.size() > 2 && !it->second[2].empty()) {
            EXPECT_EQ(policy->GetNode("UserNotice")->GetValue(), it->second[2]);
        }
    }
    EXPECT_EQ(policies->ChildAt(1)->GetNode("UserNotice")->GetValue(), "Politica A3");
    EXPECT_EQ(Names(policies->ChildAt(0)), (std::vector<std::string>{"ID", "Content"}));
    EXPECT_EQ(policies->ChildAt(0)->GetNode("Content")->GetValue(), "300506032A0363");

    TXmlDoc* crl = d.Extension("CRLDistributionPointsV2")->GetNode("Content");
    std::vector<std::string> crls;
    for (auto it = facts.lower_bound("crl"); it != facts.upper_bound("crl"); ++it)
        crls.push_back(it->second[0]);
    EXPECT_EQ(Values(crl, "URL"), crls);
    EXPECT_EQ(Names(crl), (std::vector<std::string>{"URL", "URL", "Other"}));

    TXmlDoc* aia = d.Extension("CertificateAuthorityInfo")->GetNode("Content");
    EXPECT_EQ(Names(aia), (std::vector<std::string>{"OCSPURL", "IssuersURL", "Info", "Other"}));
    EXPECT_EQ(aia->GetNode("OCSPURL")->GetValue(), "http://ocsp.example/");
    EXPECT_EQ(aia->GetNode("IssuersURL")->GetValue(), "http://ca.example/ac.p7c");
    EXPECT_EQ(aia->GetNode("Info\\ID")->GetValue(), "1.3.6.1.5.5.7.48.5");
    EXPECT_EQ(aia->GetNode("Info\\URL")->GetValue(), "http://repo.example/");

    EXPECT_EQ(d.Extension("MSCertificateTemplateName")->GetNode("Content")->GetValue(), "SmartcardUser");
    EXPECT_EQ(d.Extension("MSCAVersion")->GetNode("Content")->GetValue(), "65537");
    TXmlDoc* info = d.Extension("Info");
    EXPECT_EQ(info->GetNode("ID")->GetValue(), "1.2.3.4.5.6");
    EXPECT_EQ(info->GetNode("Critical")->GetValue(), "1");
    EXPECT_EQ(info->GetNode("Content")->GetValue(), "0C0568656C6C6F");

    // Resources: each URL once, by kind.
    TXmlDoc* resources = d->GetNode("Resources");
    std::vector<std::string> listed;
    for (size_t r = 0; TXmlDoc* resource = resources->ChildAt(r); ++r)
        listed.push_back(resource->GetName() + " " + resource->Getp("URL"));
    EXPECT_EQ(listed, (std::vector<std::string>{"CRL http://crl.example/ac.crl", "CRL http://crl2.example/ac.crl",
                                                "Issuer http://ca.example/ac.p7c", "Policy http://pol.example/a3.pdf",
                                                "Policy http://pol.example/a1.pdf"}));
    // The first policy that names a type gives it.
    EXPECT_EQ(d.Value("Header\\Type"), "ICPBrasilA3");
}

TEST_F(CertificateDescription, SelfIssuedRootIsRootAndTypedByItsExactPolicy)
{
    const TDescribed root(Pki->Root);
    const auto facts = Facts(Pki->Root);
    EXPECT_EQ(root.Value("Header\\Root"), "1");
    EXPECT_EQ(root.Value("Header\\ThumbprintSHA1"), root.Value("Header\\IssuerThumbprintSHA1"));
    EXPECT_EQ(root.Value("Header\\Type"), "ICPBrasilRaiz");
    EXPECT_EQ(root.Value("PublicKey\\Size"), "3072");
    TXmlDoc* constraints = root.Extension("BasicConstraintsV3")->GetNode("Content");
    EXPECT_EQ(constraints->GetNode("CA")->GetValue(), Fact(facts, "ca"));
    EXPECT_EQ(constraints->GetNode("CA")->GetValue(), "1");
    EXPECT_EQ(constraints->GetNode("PathLength")->GetValue(), Fact(facts, "path_length"));
    EXPECT_EQ(Names(root.Extension("KeyUsage")->GetNode("Content")), (std::vector<std::string>{"KeyCertSign", "CRLSign"}));
    // No URL in any extension: an empty resource list.
    EXPECT_EQ(root->GetNode("Resources")->GetNodeCount(), 0);
}

TEST_F(CertificateDescription, HolderFieldSplitsIntoBirthDateCpfNisAndRg)
{
    const TDescribed d(Pki->Issue("icp", IcpExtensions));
    const std::string titular =
        d.Extension("SubjectAlternativeNameV2")->GetNode("Content\\ICPBrasilOtherNameTitular")->GetValue();
    ASSERT_EQ(titular, Holder);

    const std::string saved = setlocale(LC_TIME, nullptr);
    setlocale(LC_TIME, "C.UTF-8");
    TXmlDoc target;
    SplitHolder(titular, target);
    setlocale(LC_TIME, saved.c_str());
    // The birth date in the user's format, as date(1) writes it under the same locale.
    EXPECT_EQ(target.GetNode("ICPBrasilOtherNameNasc")->GetValue(), Trim(RunOk("LC_ALL=C.UTF-8 date -d 1980-02-01 +%x")));
    EXPECT_EQ(target.GetNode("ICPBrasilOtherNameCPF")->GetValue(), "123.456.789-01");
    EXPECT_EQ(target.GetNode("ICPBrasilOtherNamePIS")->GetValue(), "10987654321");
    EXPECT_EQ(target.GetNode("ICPBrasilOtherNameRG")->GetValue(), "000000123456789 DETRRJ");
    EXPECT_EQ(Names(&target), (std::vector<std::string>{"ICPBrasilOtherNameNasc", "ICPBrasilOtherNameCPF",
                                                        "ICPBrasilOtherNamePIS", "ICPBrasilOtherNameRG"}));

    // A record of zeros (no birth date) and a short record leave what is not there empty.
    TXmlDoc zeros;
    SplitHolder("00000000" "98765432100", zeros);
    EXPECT_EQ(zeros.GetNode("ICPBrasilOtherNameNasc")->GetValue(), "");
    EXPECT_EQ(zeros.GetNode("ICPBrasilOtherNameCPF")->GetValue(), "987.654.321-00");
    EXPECT_EQ(zeros.GetNode("ICPBrasilOtherNamePIS")->GetValue(), "");
    EXPECT_EQ(zeros.GetNode("ICPBrasilOtherNameRG")->GetValue(), "");
    TXmlDoc badDate;
    SplitHolder("31021980" "98765432100", badDate);
    EXPECT_EQ(badDate.GetNode("ICPBrasilOtherNameNasc")->GetValue(), "");
}

TEST_F(CertificateDescription, TypeComesFromTheFirstPolicyThatNamesOne)
{
    const struct {
        const char* Name;
        const char* Policies;
        const char* Type;
    } cases[] = {
        {"a3sub", "2.16.76.1.2.3.10", "ICPBrasilA3"},
        {"a3arc", "2.16.76.1.2.3", "Unknown"},          // the arc itself is not under it
        {"s1", "2.16.76.1.2.101.5", "ICPBrasilS1"},     // not A1 although it begins with 2.16.76.1.2.1
        {"a1", "2.16.76.1.2.1.51", "ICPBrasilA1"},
        {"t4", "2.16.76.1.2.304.2", "ICPBrasilT4"},
        {"raizsub", "2.16.76.1.1.0.1", "Unknown"},      // ICPBrasilRaiz is exact
        {"pellam", "1.3.6.1.4.1.61525.1.1.3", "ICPPellamCA1People"},
        {"varnel", "1.3.6.1.4.1.61524.1.2.6", "ICPTSVarnelPassport"},
        {"several", "1.2.3.4, 2.16.76.1.2.3, 2.16.76.1.2.2.7, 2.16.76.1.2.1.1", "ICPBrasilA2"},
    };
    for (const auto& c : cases) {
        const TDescribed d(Pki->Issue(c.Name, std::string("certificatePolicies=") + c.Policies + "\n"));
        EXPECT_EQ(d.Value("Header\\Type"), c.Type) << c.Policies;
    }
    // Without extensions there is no type.
    const TDescribed plain(Pki->Issue("plain", ""));
    EXPECT_EQ(plain.Value("Header\\Type"), "Unknown");
    EXPECT_TRUE(OidUnder("2.16.76.1.2.3.10", "2.16.76.1.2.3"));
    EXPECT_FALSE(OidUnder("2.16.76.1.2.30", "2.16.76.1.2.3"));
    EXPECT_FALSE(OidUnder("2.16.76.1.2.3.", "2.16.76.1.2.3"));
}

TEST_F(CertificateDescription, VersionOneCertificateHasItsFieldsOnePlaceEarlier)
{
    const std::string pem = Pki->Issue("version1", "");
    // openssl makes a version 1 certificate here: no [0] wrapper before the serial number.
    const std::string parsed = RunOk("openssl asn1parse -in " + pem + " | head -3");
    EXPECT_EQ(parsed.find("cont [ 0 ]"), std::string::npos) << parsed;
    const TDescribed d(pem);
    const auto facts = Facts(pem);
    ASSERT_EQ(Fact(facts, "version"), "1");
    EXPECT_EQ(d.Value("Header\\Version"), "1");
    EXPECT_EQ(d.Value("SerialNumber"), SerialText(facts, "serial"));
    EXPECT_EQ(d.Value("Header\\ThumbprintSHA1"), Fact(facts, "subject_sha1"));
    EXPECT_EQ(d.Value("Header\\IssuerThumbprintSHA1"), Fact(facts, "issuer_sha1"));
    EXPECT_EQ(d.Value("Issuer\\CN"), "AC Raiz Teste");
    EXPECT_EQ(d.Value("Subject\\CN"), "JOSÉ DA SILVA:12345678901");
    EXPECT_EQ(UtcOf(d.Value("Validity\\From")), Fact(facts, "not_before"));
    EXPECT_EQ(UtcOf(d.Value("Validity\\To")), Fact(facts, "not_after"));
    EXPECT_EQ(d.Value("PublicKey\\Type"), "1.2.840.113549.1.1.1");
    EXPECT_EQ(d.Value("PublicKey\\Size"), "2048");
    EXPECT_EQ(d.Value("Signature\\Algorithm"), Fact(facts, "signature_algorithm"));
    EXPECT_EQ(d->FindNode("Extended"), nullptr);
    EXPECT_EQ(d.Value("Header\\Type"), "Unknown");
}

TEST_F(CertificateDescription, SameSubjectSharesOneNodeAndKeepsEarlierFailures)
{
    const std::vector<uint8_t> first = DerOf(Pki->Issue("icp", IcpExtensions));
    const std::vector<uint8_t> second = DerOf(Pki->Issue("a3sub", "certificatePolicies=2.16.76.1.2.3.10\n"));
    TXmlDoc report("SignedDataReport");
    const TReportContext context{report.GetNode("Certificates"), report.GetNode("Header\\Chain")};
    const auto firstTree = Decode(first);
    const auto secondTree = Decode(second);

    TXmlDoc* a = DescribeCertificate(*firstTree, "Failed", {"OK", "", "", ""}, context, first);
    const std::string hash = a->GetNode("Header\\Hash")->GetValue();
    TXmlDoc* b = DescribeCertificate(*secondTree, "OK",
                                     {"Revocated", "2026-01-02 03:04:05.000", "2026-01-01 00:00:00.000", "2026-02-01 00:00:00.000"},
                                     context, second);
    EXPECT_EQ(a, b);
    EXPECT_EQ(report.GetNode("Certificates")->GetNodeCount(), 1);
    EXPECT_EQ(report.GetNode("Header\\Chain")->GetNodeCount(), 2);
    EXPECT_EQ(b->GetNode("Header\\Hash")->GetValue(), hash);
    EXPECT_EQ(b->GetNode("Header\\Type")->GetValue(), "ICPBrasilA3");  // the first one's header
    EXPECT_EQ(b->GetNode("Signature\\Status")->GetValue(), "Failed");   // not replaced by the later OK
    EXPECT_EQ(b->GetNode("Revocation\\Status")->GetValue(), "Revocated"); // OK replaced by a finding
    EXPECT_EQ(b->GetNode("Revocation\\Moment")->GetValue(), "2026-01-02 03:04:05.000");
    EXPECT_FALSE(b->GetNode("Revocation\\MomentUser")->GetValue().empty());
    EXPECT_EQ(b->GetNode("Revocation\\Emission")->GetValue(), "2026-01-01 00:00:00.000");
    EXPECT_EQ(b->GetNode("Revocation\\Validity")->GetValue(), "2026-02-01 00:00:00.000");
    // A later OK does not clear the revocation finding either.
    DescribeCertificate(*firstTree, "OK", {"OK", "", "", ""}, context, first);
    EXPECT_EQ(b->GetNode("Revocation\\Status")->GetValue(), "Revocated");

    // Without the DER at hand the tree is re-encoded: the same size and hash.
    TXmlDoc other("SignedDataReport");
    TXmlDoc* c = DescribeCertificate(*firstTree, "OK", {"OK", "", "", ""}, {other.GetNode("Certificates"), nullptr});
    EXPECT_EQ(c->GetNode("Header\\Hash")->GetValue(), hash);
    EXPECT_EQ(c->GetNode("Header\\Size")->GetValue(), std::to_string(first.size()));
    EXPECT_EQ(DescriptionName(*firstTree), c->GetName());
    EXPECT_EQ(DescribeCertificate(*firstTree, "OK", {}, {nullptr, nullptr}), nullptr);
}

TEST_F(CertificateDescription, ExpirationFollowsTheValidityAgainstNow)
{
    const std::vector<uint8_t> der = DerOf(Pki->Issue("icp", IcpExtensions));
    auto describe = [&](const char* from, const char* to) {
        const auto tree = Decode(der);
        TXmlDoc* validity = tree->ChildAt(0)->ChildAt(4);
        validity->ChildAt(0)->Setp("Value", from);
        validity->ChildAt(1)->Setp("Value", to);
        TXmlDoc report;
        return DescribeCertificate(*tree, "OK", {}, {report.GetNode("Certificates"), nullptr}, der)
            ->GetNode("Expiration\\Status")
            ->GetValue();
    };
    EXPECT_EQ(describe("2999-01-01 00:00:00.000", "2001-01-01 00:00:00.000"), "Expired");  // notBefore in the future
    EXPECT_EQ(describe("2999-01-01 00:00:00.000", "3000-01-01 00:00:00.000"), "Invalid");
    EXPECT_EQ(describe("2001-01-01 00:00:00.000", "3000-01-01 00:00:00.000"), "OK");
    EXPECT_EQ(describe("2001-01-01 00:00:00.000", "2002-01-01 00:00:00.000"), "Expired");
}

TEST(CertificateDescriptionSystem, EveryCertificateOfTheSystemStoreIsDescribedWithOpensslsKeySize)
{
    // openssl's reading of every certificate in one pass: fingerprint and key size.
    const std::string listing = RunOk(
        "for f in /etc/ssl/certs/*.pem; do echo \"F $f\"; openssl x509 -in \"$f\" -noout -fingerprint -sha1 -text"
        " | grep -E 'Fingerprint|Public-Key:'; done");
    std::istringstream lines(listing);
    std::string line, file, fingerprint;
    int described = 0;
    TXmlDoc report("SignedDataReport");
    auto check = [&](const std::string& bits) {
        const auto der = UnitAsn1::CertificateFromFile(file);
        ASSERT_TRUE(der) << file;
        const auto bytes = UnitCodecs::HexDecode(*der);
        const auto tree = Decode(bytes);
        TXmlDoc own("SignedDataReport");
        TXmlDoc* d = DescribeCertificate(*tree, "OK", {"RevocationUnverified", "", "", ""},
                                         {own.GetNode("Certificates"), nullptr}, bytes);
        ASSERT_NE(d, nullptr) << file;
        EXPECT_EQ(d->GetNode("Header\\Hash")->GetValue(), fingerprint) << file;
        EXPECT_EQ(d->GetNode("PublicKey\\Size")->GetValue(), bits) << file;
        EXPECT_EQ(d->GetNode("Header\\Root")->GetValue(), "1") << file;  // the store holds roots
        EXPECT_NE(d->GetNode("Subject")->GetNodeCount(), 0) << file;
        EXPECT_NE(d->GetNode("Validity\\From")->GetValue(), "") << file;
        ++described;
    };
    while (std::getline(lines, line)) {
        if (line.rfind("F ", 0) == 0) {
            file = line.substr(2);
        } else if (line.find("Fingerprint=") != std::string::npos) {
            fingerprint = line.substr(line.find('=') + 1);
            fingerprint.erase(std::remove(fingerprint.begin(), fingerprint.end(), ':'), fingerprint.end());
        } else if (const size_t open = line.find("Public-Key: ("); open != std::string::npos) {
            const size_t start = open + 13;
            check(line.substr(start, line.find(' ', start) - start));
        }
    }
    EXPECT_GT(described, 50);
}

TEST_F(CertificateDescription, NameValuesOfEveryStringTypeReadAsText)
{
    // string_mask picks the string type openssl writes: BMPString (0x800), T61String (0x4).
    auto make = [](const std::string& name, const std::string& mask, const std::string& subject) {
        const std::string pem = Pki->Path(name + ".pem");
        const std::string config = Pki->Path(name + ".cnf");
        const std::string text = "[req]\ndistinguished_name=dn\nstring_mask=MASK:" + mask + "\n[dn]\n";
        WriteBytes(config, std::vector<uint8_t>(text.begin(), text.end()));
        RunOk("openssl req -new -x509 -utf8 -days 2 -key " + Pki->Key + " -subj '" + subject + "' -config " + config +
              " -out " + pem);
        return pem;
    };
    const std::string bmp = make("bmp", "0x800", "/CN=JOSÉ BMP/O=Órgão Público");
    ASSERT_NE(RunOk("openssl asn1parse -in " + bmp).find("BMPSTRING"), std::string::npos);
    const TDescribed b(bmp);
    EXPECT_EQ(b.Value("Subject\\CN"), "JOSÉ BMP");
    EXPECT_EQ(b.Value("Subject\\O"), "Órgão Público");
    EXPECT_EQ(b.Value("Subject\\CN"), Fact(Facts(bmp), "subject", 1));  // asn1crypto reads the same text

    const std::string t61 = make("t61", "0x4", "/CN=Teletex Name/OU=Unit");
    ASSERT_NE(RunOk("openssl asn1parse -in " + t61).find("T61STRING"), std::string::npos);
    const TDescribed t(t61);
    EXPECT_EQ(t.Value("Subject\\CN"), "Teletex Name");
    EXPECT_EQ(t.Value("Subject\\OU"), "Unit");
}
