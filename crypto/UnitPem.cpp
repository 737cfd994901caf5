#include "crypto/UnitAsn1.h"

#include "core/UnitLocalUtils.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/UnitTrace.h"

namespace UnitAsn1 {

namespace {

using UnitCodecs::HexEncode;

bool StartsWith30(std::string_view hex)
{
    return hex.size() >= 2 && hex[0] == '3' && hex[1] == '0';
}

}  // namespace

std::string PemToHex(std::string_view pem)
{
    size_t p = pem.find("-----");
    if (p == std::string_view::npos)
        return {};
    p = pem.find("BEGIN", p + 5);
    if (p == std::string_view::npos)
        return {};
    p = pem.find("-----", p + 5);
    if (p == std::string_view::npos)
        return {};
    p += 5;
    size_t end = pem.find("-----", p);
    if (end == std::string_view::npos)
        end = pem.size();
    auto bytes = UnitEncoding::DecodeText(pem.substr(p, end - p), UnitEncoding::TEncodingNumber::Base64);
    return bytes ? HexEncode(*bytes) : std::string();
}

std::string CertificateFromBase64(std::string_view base64)
{
    // The decoded bytes are the certificate: DER, or the text of a PEM file.
    auto bytes = UnitEncoding::DecodeText(base64, UnitEncoding::TEncodingNumber::Base64);
    if (!bytes)
        return {};
    std::string hex = HexEncode(*bytes);
    if (StartsWith30(hex))
        return hex;
    return PemToHex(UnitCodecs::AsText(*bytes));
}

std::optional<std::string> CertificateFromFile(const std::string& fileName)
{
    const std::string path = UnitLocalUtils::LocalFileName(fileName);
    auto read = UnitPlatformFiles::ReadRegularFile(path, MaxCertificateFile);
    if (!read.Bytes) {
        UnitTrace::Trace("certificate file " + std::string(read.Word) + ": " + path);
        return std::nullopt;
    }
    std::string hex = HexEncode(*read.Bytes);
    if (StartsWith30(hex))
        return hex;
    return PemToHex(UnitCodecs::AsText(*read.Bytes));
}

std::string CertificateFromText(std::string_view text)
{
    if (StartsWith30(text))
        return std::string(text);
    return PemToHex(text);
}

}  // namespace UnitAsn1
