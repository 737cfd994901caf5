#include "crypto/UnitCertificateReport.h"

#include "crypto/UnitOpenSsl.h"
#include "encoding/UnitCodecs.h"

#include <openssl/bio.h>
#include <openssl/x509v3.h>

#include <array>
#include <charconv>
#include <ctime>

namespace UnitCertificateReport {

namespace {

using TBioPtr = UnitOpenSsl::TOwned<BIO, BIO_free>;

struct TGeneralNamesFree {
    void operator()(GENERAL_NAMES* p) const noexcept { GENERAL_NAMES_free(p); }
};
struct TEkuFree {
    void operator()(EXTENDED_KEY_USAGE* p) const noexcept { EXTENDED_KEY_USAGE_free(p); }
};

std::string NameText(const X509_NAME* name)
{
    TBioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return {};
    // One line, most significant part last as written in the certificate, UTF-8 kept as is.
    const unsigned long flags = (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB & ~XN_FLAG_SPC_EQ) | ASN1_STRFLGS_UTF8_CONVERT;
    if (X509_NAME_print_ex(bio.get(), name, 0, flags) < 0)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::string Two(int n)
{
    return std::string(1, static_cast<char>('0' + n / 10 % 10)) + static_cast<char>('0' + n % 10);
}

std::string TimeText(const ASN1_TIME* time)
{
    std::tm tm {};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return {};
    std::array<char, 8> year {};
    const auto r = std::to_chars(year.data(), year.data() + year.size(), tm.tm_year + 1900);
    return Two(tm.tm_mday) + "/" + Two(tm.tm_mon + 1) + "/" + std::string(year.data(), r.ptr) + " " + Two(tm.tm_hour) + ":"
        + Two(tm.tm_min) + ":" + Two(tm.tm_sec) + " UTC";
}

std::string Hex(std::span<const uint8_t> bytes, char separator)
{
    const std::string digits = UnitCodecs::HexEncode(bytes);
    if (!separator)
        return digits;
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        if (i)
            out.push_back(separator);
        out.append(digits, i, 2);
    }
    return out;
}

std::string DigitsOnly(std::string_view text)
{
    std::string out;
    for (char c : text)
        if (c != '0' || !out.empty())
            out.push_back(c);
    return out;
}

bool AllZero(std::string_view text)
{
    return text.find_first_not_of('0') == std::string_view::npos;
}

// The text of an otherName value: ICP-Brasil issuers use OCTET STRING, PrintableString,
// UTF8String or IA5String.
std::string OtherNameText(const ASN1_TYPE* value)
{
    if (!value)
        return {};
    switch (value->type) {
    case V_ASN1_OCTET_STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_UTF8STRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_VISIBLESTRING: {
        const ASN1_STRING* s = value->value.asn1_string;
        return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), static_cast<size_t>(ASN1_STRING_length(s)));
    }
    default:
        return {};
    }
}

void AddField(std::vector<TReportLine>& lines, int caption, std::string_view value)
{
    // Absent fields are filled with zeros in these records.
    std::string trimmed(value);
    while (!trimmed.empty() && trimmed.back() == ' ')
        trimmed.pop_back();
    if (!trimmed.empty() && !AllZero(trimmed))
        lines.push_back({caption, std::move(trimmed)});
}

// Birth date (ddmmyyyy), CPF (11), NIS (11), RG (15), RG issuer and state (6).
void AddPersonRecord(std::vector<TReportLine>& lines, std::string_view v)
{
    if (v.size() >= 8 && !AllZero(v.substr(0, 8)))
        lines.push_back({capBirthDate, std::string(v.substr(0, 2)) + "/" + std::string(v.substr(2, 2)) + "/" + std::string(v.substr(4, 4))});
    if (v.size() >= 19)
        AddField(lines, capCpf, v.substr(8, 11));
    if (v.size() >= 30)
        AddField(lines, capNis, v.substr(19, 11));
    if (v.size() >= 45) {
        const std::string rg = DigitsOnly(v.substr(30, 15));
        if (!rg.empty())
            lines.push_back({capRg, rg});
    }
    if (v.size() > 45)
        AddField(lines, capRgIssuer, v.substr(45));
}

void AddHolderFields(std::vector<TReportLine>& lines, const X509* cert)
{
    std::unique_ptr<GENERAL_NAMES, TGeneralNamesFree> names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
    if (!names)
        return;
    std::vector<TReportLine> holder;
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_EMAIL) {
            const ASN1_STRING* s = name->d.rfc822Name;
            lines.push_back({capEmail, std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                                   static_cast<size_t>(ASN1_STRING_length(s)))});
            continue;
        }
        if (name->type != GEN_OTHERNAME)
            continue;
        std::array<char, 64> oid {};
        OBJ_obj2txt(oid.data(), static_cast<int>(oid.size()), name->d.otherName->type_id, 1);
        const std::string_view id(oid.data());
        const std::string value = OtherNameText(name->d.otherName->value);
        if (id == "2.16.76.1.3.1" || id == "2.16.76.1.3.4")
            AddPersonRecord(holder, value);
        else if (id == "2.16.76.1.3.2")
            AddField(holder, capResponsible, value);
        else if (id == "2.16.76.1.3.3")
            AddField(holder, capCnpj, value);
        else if (id == "2.16.76.1.3.5")
            AddField(holder, capVoterId, value.substr(0, std::min<size_t>(value.size(), 12)));
        else if (id == "2.16.76.1.3.6" || id == "2.16.76.1.3.7")
            AddField(holder, capCei, value);
    }
    if (!holder.empty()) {
        lines.push_back({capHolderData, {}});
        lines.insert(lines.end(), holder.begin(), holder.end());
    }
}

std::string KeyUsageText(uint32_t usage)
{
    static constexpr std::pair<uint32_t, const char*> kNames[] = {
        {KU_DIGITAL_SIGNATURE, "digitalSignature"}, {KU_NON_REPUDIATION, "nonRepudiation"},
        {KU_KEY_ENCIPHERMENT, "keyEncipherment"},   {KU_DATA_ENCIPHERMENT, "dataEncipherment"},
        {KU_KEY_AGREEMENT, "keyAgreement"},         {KU_KEY_CERT_SIGN, "keyCertSign"},
        {KU_CRL_SIGN, "cRLSign"},                   {KU_ENCIPHER_ONLY, "encipherOnly"},
        {KU_DECIPHER_ONLY, "decipherOnly"}};
    std::string out;
    for (const auto& [bit, name] : kNames)
        if (usage & bit)
            out += (out.empty() ? "" : ", ") + std::string(name);
    return out;
}

const char* EnglishCaption(int caption)
{
    switch (caption) {
    case capSubject: return "Subject";
    case capIssuer: return "Issuer";
    case capSerial: return "Serial number";
    case capNotBefore: return "Valid from";
    case capNotAfter: return "Valid until";
    case capKeyUsage: return "Key usage";
    case capExtendedKeyUsage: return "Extended key usage";
    case capHolderData: return "Holder data (ICP-Brasil)";
    case capThumbprint: return "Thumbprint (SHA-1)";
    case capBirthDate: return "Date of birth";
    case capCpf: return "CPF";
    case capNis: return "NIS (PIS/PASEP)";
    case capRg: return "RG";
    case capRgIssuer: return "RG issuer";
    case capCnpj: return "CNPJ";
    case capResponsible: return "Responsible";
    case capVoterId: return "Voter ID";
    case capCei: return "CEI";
    case capEmail: return "E-mail";
    case capPublicKey: return "Public key";
    default: return "";
    }
}

}  // namespace

std::optional<std::vector<TReportLine>> Build(std::span<const uint8_t> der)
{
    const unsigned char* p = der.data();
    UnitOpenSsl::TX509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert || p != der.data() + der.size())
        return std::nullopt;
    std::vector<TReportLine> lines;
    lines.push_back({capSubject, NameText(X509_get_subject_name(cert.get()))});
    lines.push_back({capIssuer, NameText(X509_get_issuer_name(cert.get()))});
    if (const ASN1_INTEGER* serial = X509_get0_serialNumber(cert.get()))
        lines.push_back({capSerial, Hex({ASN1_STRING_get0_data(serial), static_cast<size_t>(ASN1_STRING_length(serial))}, ':')});
    lines.push_back({capNotBefore, TimeText(X509_get0_notBefore(cert.get()))});
    lines.push_back({capNotAfter, TimeText(X509_get0_notAfter(cert.get()))});
    if (EVP_PKEY* key = X509_get0_pubkey(cert.get())) {
        std::array<char, 8> bits {};
        const auto r = std::to_chars(bits.data(), bits.data() + bits.size(), EVP_PKEY_get_bits(key));
        lines.push_back({capPublicKey, std::string(OBJ_nid2sn(EVP_PKEY_get_base_id(key))) + " " + std::string(bits.data(), r.ptr) + " bits"});
    }
    if (X509_get_extension_flags(cert.get()) & EXFLAG_KUSAGE)
        lines.push_back({capKeyUsage, KeyUsageText(X509_get_key_usage(cert.get()))});
    if (std::unique_ptr<EXTENDED_KEY_USAGE, TEkuFree> eku(
            static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert.get(), NID_ext_key_usage, nullptr, nullptr)));
        eku) {
        std::string text;
        for (int i = 0; i < sk_ASN1_OBJECT_num(eku.get()); ++i) {
            std::array<char, 128> name {};
            OBJ_obj2txt(name.data(), static_cast<int>(name.size()), sk_ASN1_OBJECT_value(eku.get(), i), 0);
            text += (text.empty() ? "" : ", ") + std::string(name.data());
        }
        lines.push_back({capExtendedKeyUsage, text});
    }
    AddHolderFields(lines, cert.get());
    std::array<unsigned char, 20> sha1 {};
    unsigned int length = 0;
    if (X509_digest(cert.get(), EVP_sha1(), sha1.data(), &length) == 1)
        lines.push_back({capThumbprint, Hex({sha1.data(), length}, 0)});
    return lines;
}

std::string Format(const std::vector<TReportLine>& lines, const std::function<std::string(int)>& caption)
{
    std::string out;
    for (const auto& line : lines) {
        std::string text = caption ? caption(line.Caption) : std::string();
        if (text.empty())
            text = EnglishCaption(line.Caption);
        out += line.Value.empty() ? text + "\n" : text + ": " + line.Value + "\n";
    }
    return out;
}

}  // namespace UnitCertificateReport
