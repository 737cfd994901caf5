#include "crypto/UnitCertificateDescription.h"

namespace UnitCertificateDescription {

TXmlDoc* DescribeCertificate(const TXmlDoc&, std::string_view, const TRevocationResult&, const TReportContext& context,
                             std::span<const uint8_t>)
{
    return context.Certificates;
}

std::string DescriptionName(const TXmlDoc&) { return {}; }
void DescribeName(const TXmlDoc&, TXmlDoc&) {}
void DescribeGeneralName(const TXmlDoc&, TXmlDoc&) {}
bool DescribeExtensions(const TXmlDoc&, TXmlDoc&) { return false; }
void CollectResources(TXmlDoc&, TXmlDoc&) {}
std::string CertificateType(TXmlDoc&) { return "Unknown"; }
std::string PolicyType(std::string_view) { return "Unknown"; }
bool OidUnder(std::string_view, std::string_view) { return false; }
void SplitHolder(std::string_view, TXmlDoc&) {}
std::string UserDateTime(std::string_view) { return {}; }

}  // namespace UnitCertificateDescription
