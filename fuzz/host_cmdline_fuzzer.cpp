// The command line (arguments split at zero bytes) into a request tree, and the version format
// and ELF section reader over the same bytes.
#include "host/UnitCommandLine.h"
#include "host/UnitVersion.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> arguments;
    size_t start = 0;
    for (;;) {
        const size_t zero = text.find('\0', start);
        arguments.push_back(text.substr(start, zero == std::string::npos ? std::string::npos : zero - start));
        if (zero == std::string::npos)
            break;
        start = zero + 1;
    }
    TXmlDoc tree;
    UnitCommandLine::LoadCommandLine(tree, arguments);
    size_t nonEmpty = 0;
    for (const auto& argument : arguments)
        nonEmpty += !argument.empty();
    if (tree.GetNodeCount() != static_cast<int>(nonEmpty))
        std::abort();
    (void)tree.FindNode("Mode");

    // The version format and the ELF reader must take any bytes.
    const TGpVersionInfo info(TGpVersionInfo::MakeBlock(1, 2, 0, 3, "fuzz"), "040904E4");
    (void)info.GetVersion(text);
    std::span<const uint8_t> section;
    (void)UnitVersion::FindElfSection({data, size}, TGpVersionInfo::SectionName, section);
    return 0;
}
