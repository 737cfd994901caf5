// Arbitrary DER through the decoder into the certificate description: no crash, no hang, and
// a description whose XML text can be written and read again. The helpers for names, general
// names and extensions get the same tree, so their own paths are reached by inputs that are
// no certificate.
#include "core/UnitXmlDoc.h"
#include "crypto/UnitAsn1.h"
#include "crypto/UnitCertificateDescription.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

using namespace UnitCertificateDescription;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> input(data, size);
    TXmlDoc tree;
    if (UnitAsn1::DecodeIntoNode(tree, input) == 0)
        return 0;

    TXmlDoc report("SignedDataReport");
    const TReportContext context{report.GetNode("Certificates"), report.GetNode("Header\\Chain")};
    TXmlDoc* first = DescribeCertificate(tree, "OK", {"OK", "", "", ""}, context, input);
    // The same certificate again, from its re-encoded tree: the same node.
    TXmlDoc* second = DescribeCertificate(tree, "Failed", {"Revocated", "2024-01-01 00:00:00.000", "", ""}, context);
    if (first == nullptr || first != second) {
        std::fprintf(stderr, "a certificate described twice gives two nodes\n");
        std::abort();
    }
    TXmlDoc again;
    again.SetXML(report.GetXML());

    TXmlDoc scratch;
    DescribeName(tree, *scratch.New("Name"));
    DescribeGeneralName(tree, *scratch.New("GeneralName"));
    TXmlDoc* extended = scratch.New("Extended");
    if (DescribeExtensions(tree, *extended)) {
        CollectResources(*extended, *scratch.New("Resources"));
        CertificateType(*extended);
    }
    const TXmlDoc* holder = tree.FindProperty("Value");
    SplitHolder(holder != nullptr ? holder->GetValue() : std::string(), *scratch.New("Holder"));
    return 0;
}
