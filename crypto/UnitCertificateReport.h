// A readable report of one certificate for the people choosing or looking at it: holder,
// issuer, validity, key usages, the ICP-Brasil holder fields of its subjectAltName and its
// SHA-1 thumbprint. The captions are numbered so that the caller can take them from the
// language's string table.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace UnitCertificateReport {

// Caption numbers (entries of the viewer's string table).
enum TCaption : int {
    capSubject = 21,
    capIssuer = 22,
    capSerial = 23,
    capNotBefore = 24,
    capNotAfter = 25,
    capKeyUsage = 26,
    capExtendedKeyUsage = 27,
    capHolderData = 28,
    capThumbprint = 29,
    capBirthDate = 30,
    capCpf = 31,
    capNis = 32,
    capRg = 33,
    capRgIssuer = 34,
    capCnpj = 35,
    capResponsible = 36,
    capVoterId = 37,
    capCei = 38,
    capEmail = 39,
    capPublicKey = 40,
};

struct TReportLine {
    int Caption;
    std::string Value;  // UTF-8
};

// The report's lines in display order; nullopt when the bytes are not a DER certificate.
std::optional<std::vector<TReportLine>> Build(std::span<const uint8_t> der);

// The lines as text, one "Caption: value" per line; caption gives the text of a number ("" makes
// the built-in English caption be used).
std::string Format(const std::vector<TReportLine>& lines, const std::function<std::string(int)>& caption = {});

}  // namespace UnitCertificateReport
