// The verdict step of the verification report (see UnitSignedDataReport.h).
#include "crypto/UnitSignedDataReport.h"

#include "core/UnitStatusWords.h"
#include "crypto/UnitAsn1.h"
#include "crypto/UnitCertificateDescription.h"
#include "crypto/UnitCryptHash.h"
#include "platform/UnitTrace.h"

#include <ctime>
#include <string>

namespace UnitSignedDataReport {

namespace {

using UnitXmlDoc::Prop;

using UnitCryptHash::TCryptHash;

constexpr std::string_view Sha1Oid = "1.3.14.3.2.26";
constexpr int SoonExpiredDays = 30;

// Looks a path up without creating anything in the report.
const TXmlDoc* Find(const TXmlDoc* node, std::string_view path)
{
    while (node && !path.empty()) {
        const size_t slash = path.find('\\');
        node = node->FindNode(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return node;
}

std::string Text(const TXmlDoc* node, std::string_view path)
{
    const TXmlDoc* found = Find(node, path);
    return found ? found->GetValue() : std::string();
}


std::string Digits(int value, int width)
{
    std::string s = std::to_string(value < 0 ? 0 : value);
    if (static_cast<int>(s.size()) < width)
        s.insert(0, static_cast<size_t>(width) - s.size(), '0');
    return s;
}

std::string UtcText(std::string_view localText)
{
    if (localText.empty())
        return {};
    const UnitAsn1::TUtcTime t = UnitAsn1::TextToUtc(localText, false);
    return Digits(t.Year, 4) + "-" + Digits(t.Month, 2) + "-" + Digits(t.Day, 2) + " " + Digits(t.Hour, 2) + ":" +
           Digits(t.Minute, 2) + ":" + Digits(t.Second, 2) + "." + Digits(t.MilliSecond, 3);
}

std::string UtcAfterDays(int days)
{
    const time_t t = time(nullptr) + static_cast<time_t>(days) * 86400;
    struct tm tm {};
    gmtime_r(&t, &tm);
    return Digits(tm.tm_year + 1900, 4) + "-" + Digits(tm.tm_mon + 1, 2) + "-" + Digits(tm.tm_mday, 2) + " " +
           Digits(tm.tm_hour, 2) + ":" + Digits(tm.tm_min, 2) + ":" + Digits(tm.tm_sec, 2) + ".000";
}

std::optional<TCryptHash> KnownHash(std::string_view oid)
{
    for (int i = 0; i < UnitCryptHash::HashRowCount; ++i) {
        const auto& row = UnitCryptHash::HashRow(static_cast<TCryptHash>(i));
        if (row.DigestOid == oid || row.SignatureOid == oid)
            return row.Hash;
    }
    return std::nullopt;
}

bool IsRsaOid(std::string_view oid)
{
    if (oid == "1.2.840.113549.1.1.1")
        return true;
    for (int i = 0; i < UnitCryptHash::HashRowCount; ++i)
        if (UnitCryptHash::HashRow(static_cast<TCryptHash>(i)).SignatureOid == oid)
            return true;
    return false;
}

// A verdict node: starts with its valid name, Alert() gives it its alert name.
struct TVerdictNode {
    TXmlDoc* Node;
    std::string AlertName;
    bool Alerted = false;

    void Alert()
    {
        if (!Alerted) {
            Alerted = true;
            Node->SetName(AlertName);
        }
    }
};

void Config(TXmlDoc& node, std::string_view name, bool value = true)
{
    TXmlDoc* config = node.FindNode("_config");
    if (!config)
        config = node.New("_config");
    config->Setb(name, value);
}

TXmlDoc* Copy(TXmlDoc& target, const TXmlDoc* source)
{
    return source ? target.NewFromClone(*source) : nullptr;
}

std::string PolicyFamily(std::string_view policy)
{
    struct TFamily {
        std::string_view Arc;
        std::string_view Name;
    };
    static constexpr TFamily Families[] = {
        {"2.16.76.1.7.1.1", "ICPBrasilCPPolicy"}, {"2.16.76.1.7.1.6", "ICPBrasilCPPolicy"},
        {"2.16.76.1.7.1.2", "ICPBrasilTPolicy"},  {"2.16.76.1.7.1.7", "ICPBrasilTPolicy"},
        {"2.16.76.1.7.1.3", "ICPBrasilRPolicy"},  {"2.16.76.1.7.1.8", "ICPBrasilRPolicy"},
        {"2.16.76.1.7.1.4", "ICPBrasilCPolicy"},  {"2.16.76.1.7.1.9", "ICPBrasilCPolicy"},
        {"2.16.76.1.7.1.5", "ICPBrasilAPolicy"},  {"2.16.76.1.7.1.10", "ICPBrasilAPolicy"},
    };
    for (const auto& f : Families)
        if (policy.size() > f.Arc.size() && policy.substr(0, f.Arc.size()) == f.Arc && policy[f.Arc.size()] == '.')
            return std::string(f.Name);
    return {};
}

// Chain words that do not make a certificate an alert by themselves.
bool Benign(std::string_view word)
{
    return word == Words::RevocationUnverified || word == Words::CertificateRevocationToleratedCRL;
}

bool IsCaDescription(const TXmlDoc* description)
{
    const TXmlDoc* constraints = Find(description, "Extended\\BasicConstraintsV3");
    const TXmlDoc* ca = constraints ? constraints->FindNode("CA", true) : nullptr;
    return ca && UnitXmlDoc::TextToBool(ca->GetValue());
}

// The verdict of one certificate (its description and, when it belongs to a chain, the chain
// entry holding its words).
bool CertificateVerdict(TXmlDoc& parent, const TXmlDoc* description, const TXmlDoc* link, bool ca, bool hasSigners,
                        std::string_view validName, std::string_view alertName)
{
    TVerdictNode v{parent.New(std::string(validName)), std::string(alertName)};
    TXmlDoc& node = *v.Node;
    if (!description) {
        node.New("CertificateNotFound");
        v.Alert();
        return false;
    }
    node.SetValue(Text(description, "Subject\\CN"));
    const bool root = UnitXmlDoc::TextToBool(Text(description, "Header\\Root"));

    const std::string signature = Text(description, "Signature\\Status");
    if (!signature.empty() && signature != Words::OK) {
        node.New(signature == Words::Failed ? "CertSignatureFailed" : signature);
        v.Alert();
    }
    const std::string expiration = Text(description, "Expiration\\Status");
    const std::string toUtc = UtcText(Text(description, "Validity\\To"));
    if (expiration == "Expired") {
        node.New("CertificateExpired")->SetValue(Text(description, "Validity\\ToUser"));
        if (!hasSigners)
            v.Alert();
    } else if (!toUtc.empty() && toUtc <= UtcAfterDays(SoonExpiredDays)) {
        node.New("CertificateSoonExpired")->SetValue(Text(description, "Validity\\ToUser"));
        if (!hasSigners)
            v.Alert();
    } else if (expiration == "Invalid") {
        node.New("CertificateNotYetValid")->SetValue(Text(description, "Validity\\FromUser"));
        if (!hasSigners)
            v.Alert();
    }
    const std::string revocation = Text(description, "Revocation\\Status");
    if (!revocation.empty() && revocation != Words::OK && !(revocation == Words::RevocationListNotFound && root)) {
        TXmlDoc* r = node.New(revocation);
        if (revocation == "Revocated")
            r->SetValue(Text(description, "Revocation\\MomentUser"));
        else if (revocation == "OldCRL" || revocation == "ToleratedCRL")
            r->SetValue(Text(description, "Revocation\\ValidityUser"));
        Config(*r, "ValueMacros");
        if (revocation != "ToleratedCRL" && revocation != Words::RevocationUnverified)
            v.Alert();
    }
    for (int i = 0; link && i < link->GetNodeCount(); ++i) {
        const std::string& word = link->ChildAt(static_cast<size_t>(i))->GetName();
        if (node.HasNode(word))
            continue;
        node.New(word);
        if (!Benign(word))
            v.Alert();
    }
    if (TXmlDoc* subject = Copy(node, Find(description, "Subject")))
        subject->SetName("Subject");
    if (const TXmlDoc* names = Find(description, "Extended\\SubjectAlternativeNameV2")) {
        if (const TXmlDoc* holder = names->FindNode("ICPBrasilOtherNameTitular", true))
            UnitCertificateDescription::SplitHolder(holder->GetValue(), node);
        if (const TXmlDoc* responsible = names->FindNode("ICPBrasilOtherNameDadosResponsavel", true))
            UnitCertificateDescription::SplitHolder(responsible->GetValue(), *node.New("ICPBrasilOtherNameDadosResponsavel"));
        for (const char* name : {"ICPBrasilOtherNameResponsavel", "ICPBrasilOtherNameCNPJ",
                                 "ICPBrasilOtherNameDadosTituloEleitor", "ICPBrasilOtherNameCeiPF",
                                 "ICPBrasilOtherNameCeiPJ", "ICPBrasilOtherNameEmpresa", "RFC822Name"})
            if (const TXmlDoc* item = names->FindNode(name, true))
                node.New(name)->SetValue(item->GetValue());
    }
    node.New("SerialNumber")->SetValue(Text(description, "SerialNumber"));
    node.New("Emission")->SetValue(Text(description, "Validity\\FromUser"));
    node.New("Expiration")->SetValue(Text(description, "Validity\\ToUser"));
    const std::string type = Text(description, "Header\\Type");
    if (!type.empty() && type != Words::Unknown)
        node.New(type);
    node.New("CertificateAlgorithm")->SetValue(Text(description, "Signature\\Algorithm"));
    if (link && UnitXmlDoc::TextToBool(Prop(link, "Trusted")))
        node.New("TrustedRoot");
    else if (root)
        node.New("Root");
    else if (const std::string emission = Text(description, "Revocation\\EmissionUser"); !emission.empty())
        node.New("EmissionCRL")->SetValue(emission);
    (void)ca;
    return !v.Alerted;
}

// The certificate verdicts of one chain node; false when any is an alert.
bool ChainVerdicts(TXmlDoc& parent, TXmlDoc& report, const TXmlDoc* chain, bool hasSigners, bool timeStamp)
{
    bool valid = true;
    const TXmlDoc* certificates = report.FindNode("Certificates");
    for (int i = 0; chain && i < chain->GetNodeCount(); ++i) {
        const TXmlDoc* link = chain->ChildAt(static_cast<size_t>(i));
        const bool ca = link->FindProperty("CA") ? UnitXmlDoc::TextToBool(Prop(link, "CA")) : IsCaDescription(
            certificates ? certificates->FindNode(link->GetName()) : nullptr);
        const TXmlDoc* description = certificates ? certificates->FindNode(link->GetName()) : nullptr;
        if (timeStamp && !ca)
            valid &= CertificateVerdict(parent, description, link, ca, true, "TSACertValid", "TSACertAlert");
        else if (ca)
            valid &= CertificateVerdict(parent, description, link, ca, hasSigners, "CAValid", "CAAlert");
        else
            valid &= CertificateVerdict(parent, description, link, ca, hasSigners, "CertValid", "CertAlert");
    }
    return valid;
}

void Algorithms(TXmlDoc& node, const TXmlDoc* signer)
{
    const std::string signatureOid = Text(signer, "Signature\\Algorithm");
    const std::string digestOid = Text(signer, "Signature\\Signed\\HashAlgorithm");
    const auto row = KnownHash(digestOid);
    if (IsRsaOid(signatureOid) && row) {
        node.New("SignatureAlgorithms")->SetValue(std::string(UnitCryptHash::HashRow(*row).SignatureOid));
    } else {
        node.New("SignatureHashAlgorithm")->SetValue(digestOid);
        node.New("SignatureAlgorithm")->SetValue(signatureOid);
    }
}

bool SignatureVerdict(TXmlDoc& parent, const TXmlDoc* signer)
{
    TVerdictNode v{parent.New("SignatureValid"), "SignatureAlert"};
    TXmlDoc& node = *v.Node;
    const std::string status = Text(signer, "Signature\\Status");
    if (status != Words::OK) {
        node.New("SignatureFailed")->SetValue(status);
        v.Alert();
    }
    if (Text(signer, "Signature\\Signed\\HashAlgorithm") == Sha1Oid)
        node.New("SignatureWeak");
    const std::string content = Text(signer, "Signature\\ContentValidation");
    const std::string contentType = Text(signer, "Signature\\ContentTypeValidation");
    if (content == Words::CmsSignedDataContentMissing) {
        node.New("MissingContent");
        v.Alert();
    } else if (content == Words::InvalidContent || contentType == Words::InvalidContent) {
        node.New("InvalidContent");
        v.Alert();
    }
    const TXmlDoc* attributes = Find(signer, "SignedAttributes");
    if (const std::string when = Text(attributes, "SigningTime\\MomentUser"); !when.empty())
        node.New("SigningTime")->SetValue(when);
    if (const std::string policy = Text(attributes, "Policy\\ID"); !policy.empty()) {
        const std::string family = PolicyFamily(policy);
        TXmlDoc* p = node.New(family.empty() ? std::string("Policy") : family);
        p->SetValue(policy);
        Config(*p, "ValueAsName", family.empty());
    }
    for (const char* name : {"CapicomDocumentName", "CapicomDocumentDescription", "Commitment"})
        Copy(node, Find(attributes, name));
    Algorithms(node, signer);
    return !v.Alerted;
}

bool TimestampVerdict(TXmlDoc& parent, const TXmlDoc* stamp, const TXmlDoc* outerSigner)
{
    TVerdictNode v{parent.New("TimestampValid"), "TimestampAlert"};
    TXmlDoc& node = *v.Node;
    const TXmlDoc* nested = stamp->FindNode("SignedDataReport");
    const TXmlDoc* signers = Find(nested, "Signers");
    const TXmlDoc* signer = signers ? signers->FindNode("Signer") : nullptr;
    const TXmlDoc* tst = Find(nested, "Content\\Data\\TST");
    if (Prop(stamp, "Status") != "OK" || Text(signer, "Signature\\Status") != "OK") {
        node.New("TimestampFailed")->SetValue(Text(signer, "Signature\\Status"));
        v.Alert();
    }
    if (Text(outerSigner, "Signature\\TimestampValidation") == Words::TimestampCheckConstraint) {
        node.New(std::string(Words::TimestampCheckConstraint));
        v.Alert();
    }
    if (Text(tst, "Signature\\HashAlgorithm") == Sha1Oid || Text(signer, "Signature\\Signed\\HashAlgorithm") == Sha1Oid)
        node.New("TimestampWeak");
    node.New("StampSerial")->SetValue(Text(tst, "SerialNumber"));
    const std::string seconds = Text(tst, "Precision\\Seconds");
    const std::string mili = Text(tst, "Precision\\Mili");
    const std::string micro = Text(tst, "Precision\\Micro");
    const std::string precision = (seconds.empty() ? "0" : seconds) + "." + (mili.empty() ? "0" : mili) + "." +
                                  (micro.empty() ? "0" : micro);
    node.New("StampTime")->SetValue(Text(tst, "Stamp\\MomentUser") + " +/- " + precision);
    node.New("StampPrecision")->SetValue(precision);
    Algorithms(node, signer);
    if (nested && signer) {
        TXmlDoc& report = const_cast<TXmlDoc&>(*nested);
        if (!ChainVerdicts(node, report, signer->FindNode("Chain"), true, true))
            v.Alert();
        node.SetValue(Text(&node, "TSACertValid"));
    }
    return !v.Alerted;
}

}  // namespace

std::unique_ptr<TXmlDoc> BuildVerdict(TXmlDoc& report) noexcept
{
    auto verdict = std::make_unique<TXmlDoc>("RootValid");
    try {
        verdict->SetValue(Text(&report, "Meta\\DocumentTitle"));
        TVerdictNode root{verdict.get(), "RootAlert"};
        const std::string status = Text(&report, "Header\\Status");
        if (status == Words::CmsStructureFailed || status == Words::CmsSignedDataStructureFailed) {
            verdict->New(status);
            root.Alert();
            return verdict;
        }
        const TXmlDoc* signers = report.FindNode("Signers");
        int count = 0;
        for (int i = 0; signers && i < signers->GetNodeCount(); ++i) {
            const TXmlDoc* signer = signers->ChildAt(static_cast<size_t>(i));
            if (signer->GetName() != "Signer")
                continue;
            ++count;
            TVerdictNode s{verdict->New("SignerValid"), "SignerAlert"};
            Config(*s.Node, "Closed");
            bool valid = SignatureVerdict(*s.Node, signer);
            const TXmlDoc* chain = signer->FindNode("Chain");
            if (!chain || !chain->HasChildren()) {
                s.Node->New(std::string(Words::SigningCertificateNotFound));
                valid = false;
            } else {
                const TXmlDoc* first = chain->ChildAt(0);
                s.Node->SetValue(Text(Find(&report, "Certificates"), first->GetName() + "\\Subject\\CN"));
                valid &= ChainVerdicts(*s.Node, report, chain, true, false);
            }
            const TXmlDoc* unsignedAttributes = signer->FindNode("UnsignedAttributes");
            for (int k = 0; unsignedAttributes && k < unsignedAttributes->GetNodeCount(); ++k) {
                const TXmlDoc* stamp = unsignedAttributes->ChildAt(static_cast<size_t>(k));
                if (stamp->GetName() == "Timestamp")
                    valid &= TimestampVerdict(*s.Node, stamp, signer);
            }
            if (!valid) {
                s.Alert();
                root.Alert();
            }
        }
        if (count == 0) {
            // A certificate report: the verdicts of the validated chain, then of every other
            // end-entity certificate described.
            const TXmlDoc* chain = Find(&report, "Header\\Chain");
            const TXmlDoc* certificates = report.FindNode("Certificates");
            bool valid = true;
            for (int i = 0; chain && i < chain->GetNodeCount(); ++i) {
                const TXmlDoc* link = chain->ChildAt(static_cast<size_t>(i));
                const TXmlDoc* description = certificates ? certificates->FindNode(link->GetName()) : nullptr;
                const bool inChain = link->FindProperty("CA") != nullptr;
                const bool ca = inChain ? UnitXmlDoc::TextToBool(Prop(link, "CA")) : IsCaDescription(description);
                if (!inChain && ca)
                    continue;
                valid &= ca ? CertificateVerdict(*verdict, description, link, true, false, "CAValid", "CAAlert")
                            : CertificateVerdict(*verdict, description, link, false, false, "CertValid", "CertAlert");
            }
            if (!chain || !chain->HasChildren()) {
                verdict->New(status.empty() ? std::string(Words::CmsSignedDataContentMissing) : status);
                valid = false;
            }
            if (!valid)
                root.Alert();
        }
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("verdict: ") + e.what());
        verdict->SetName("RootAlert");
    } catch (...) {
        verdict->SetName("RootAlert");
    }
    return verdict;
}

bool VerdictIsValid(const TXmlDoc& verdict) noexcept
{
    return verdict.GetName() == "RootValid";
}

}  // namespace UnitSignedDataReport
