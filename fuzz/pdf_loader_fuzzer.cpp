// Arbitrary bytes as a PDF: loading must refuse or succeed cleanly, and a loaded document must
// survive signing with a stand-in CMS, by the in-place rewrite or by an incremental update,
// and load again afterwards. An incremental update keeps every byte it was given.
#include "crypto/UnitPDF.h"
#include "crypto/UnitPDFIncremental.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    TPDF pdf;
    if (!pdf.LoadFromBytes(input))
        return 0;
    const bool incremental = pdf.IsIncremental();
    TPdfSignProperties props({{"info:Title", "$UTF:T"}, {"propbuild:AppName", "Fuzz"}});
    const bool signedOk = pdf.Sign(props, [](const std::string&, const std::string& digest) {
        return "3082" + digest;
    });
    if (incremental && pdf.GetText().compare(0, input.size(), input) != 0)
        std::abort();  // an update never touches the bytes before it
    if (incremental && !signedOk && pdf.GetText() != input)
        std::abort();  // nor leaves anything behind when it fails
    if (signedOk) {
        TPDF again;
        if (!again.LoadFromBytes(pdf.GetText()))
            std::abort();  // our own output must stay loadable
        if (incremental && !UnitPDFIncremental::HasSignature(pdf.GetText()))
            std::abort();  // and the reader finds the signature in it
    }
    return 0;
}
