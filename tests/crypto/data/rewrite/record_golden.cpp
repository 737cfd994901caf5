// Built by hand against the libraries of the commit named in golden.txt:
//   g++ -std=c++20 -I. -Itests/crypto record_golden.cpp -Wl,--wrap=time -Wl,--start-group build/lib/*.a \
//       -Wl,--end-group -lssl -lcrypto -lz $(pkg-config --libs nss) && ./a.out tests/crypto/data/rewrite
// Records what the rewrite produces for the golden cases (built against the rewrite as it is,
// with time() fixed by the linker's --wrap).
#include "PDFRewriteCases.h"
#include <cstdio>
extern "C" std::time_t __wrap_time(std::time_t* t) { if (t) *t = PdfTest::GoldenTime; return PdfTest::GoldenTime; }
int main(int, char** argv)
{
    for (const auto& c : PdfTest::RewriteCases(argv[1])) {
        TPDF pdf;
        if (!pdf.LoadFromBytes(c.Bytes)) { std::printf("# %s refused %s\n", c.Name.c_str(), pdf.GetError().c_str()); continue; }
        if (!pdf.Sign(c.Props, [](const std::string&, const std::string& d) { return PdfTest::GoldenCms(d); })) { std::printf("# %s sign failed %s\n", c.Name.c_str(), pdf.GetError().c_str()); continue; }
        std::printf("%s %zu %s\n", c.Name.c_str(), pdf.GetText().size(), PdfTest::Sha256Hex(pdf.GetText()).c_str());
    }
}
