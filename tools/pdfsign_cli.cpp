// dorvik-pdfsign IN.pdf OUT.pdf KEY.pem CERT.pem [name=value ...]
// Signs a PDF through TPDF with a CMS made from a PEM key and certificate. Properties such as
// "info:Title=$UTF:..." or "propbuild:AppName=..." are passed as name=value arguments.
#include "core/UnitXmlDoc.h"
#include "crypto/UnitPDF.h"
#include "tools/PdfCmsSigner.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s IN.pdf OUT.pdf KEY.pem CERT.pem [name=value ...]\n", argv[0]);
        return 2;
    }
    TXmlDoc request("SIGNEDDATA");
    request.Setp("Format", "PADES");
    for (int i = 5; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        if (eq == std::string::npos) {
            std::fprintf(stderr, "property without '=': %s\n", argv[i]);
            return 2;
        }
        request.Setp(arg.substr(0, eq), arg.substr(eq + 1));
    }
    const TPdfCmsSigner signer(argv[3], argv[4]);
    if (!signer.Ready()) {
        std::fprintf(stderr, "cannot read the key or the certificate\n");
        return 1;
    }
    // The request copy carries the digest; OpenSSL digests the same bytes itself.
    TPDF pdf([&](TXmlDoc&, TPDF& document) { return signer.Sign(document.GetText()); });
    if (!pdf.LoadFromFile(argv[1])) {
        std::fprintf(stderr, "%s\n", pdf.GetError().c_str());
        return 1;
    }
    if (!pdf.Sign(request)) {
        std::fprintf(stderr, "%s\n", pdf.GetError().c_str());
        return 1;
    }
    if (!pdf.SaveToFile(argv[2])) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
