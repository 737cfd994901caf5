// Arbitrary DER to the verification report and its verdict: every input gives a report, no
// crash, no hang. Revocation is on, with the input also offered as a caller CRL and as the
// detached content, so the CRL and content paths see the same bytes.
#include "crypto/UnitSignedDataReport.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> bytes(data, size);
    // An empty trusted list: the fuzzer must not depend on the machine's folder.
    static UnitSignedDataReport::TTrustedCertificates trusted("/nonexistent-dorvik-fuzz-folder/");
    for (int pass = 0; pass < 2; ++pass) {
        UnitSignedDataReport::TReportOptions options;
        options.VerifyRevocation = pass == 1;
        options.Trusted = &trusted;
        if (pass == 1) {
            options.Crls.emplace_back(bytes.begin(), bytes.end());
            options.Content = bytes;
        }
        auto report = UnitSignedDataReport::BuildReport(bytes, options);
        auto verdict = UnitSignedDataReport::BuildVerdict(*report);
        (void)UnitSignedDataReport::VerdictIsValid(*verdict);
    }
    auto certificateReport = UnitSignedDataReport::BuildCertificateReport(bytes, {});
    auto verdict = UnitSignedDataReport::BuildVerdict(*certificateReport);
    (void)verdict;
    return 0;
}
