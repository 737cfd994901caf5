// The system information action: a description of the machine (host, operating system,
// processor, memory, disks, network) read from the kernel's files and the C library, and an
// identifier of the machine made from its lasting parts.
#pragma once

#include "actions/UnitPlugActions.h"
#include "core/UnitXmlDoc.h"

#include <memory>
#include <string>

namespace UnitSysInfo {

// The description, rooted at "SystemInformation". Raises std::system_error when the kernel
// does not say what it is (uname); the parts that cannot be read are left out.
std::unique_ptr<TXmlDoc> GatherSystemInformation();

// The text the machine identifier is the SHA-1 of: the parts of the description that do not
// change while the machine runs (no free space, no available memory, no IP addresses).
std::string IdentityText(TXmlDoc& information);

class TSysInfoAction : public UnitPlugActions::TPlugAction {
public:
    int32_t Execute(TXmlDoc& request, TXmlDoc& response) override;
};

}  // namespace UnitSysInfo
