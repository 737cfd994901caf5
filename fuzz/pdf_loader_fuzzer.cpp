// Arbitrary bytes as a PDF: loading must refuse or succeed cleanly, and a loaded document must
// survive the whole signing rewrite with a stand-in CMS and load again afterwards.
#include "crypto/UnitPDF.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TPDF pdf;
    if (!pdf.LoadFromBytes(std::string(reinterpret_cast<const char*>(data), size)))
        return 0;
    TPdfSignProperties props({{"info:Title", "$UTF:T"}, {"propbuild:AppName", "Fuzz"}});
    const bool signedOk = pdf.Sign(props, [](const std::string&, const std::string& digest) {
        return "3082" + digest;
    });
    if (signedOk) {
        TPDF again;
        if (!again.LoadFromBytes(pdf.GetBytes()))
            std::abort();  // our own output must stay loadable
    }
    return 0;
}
