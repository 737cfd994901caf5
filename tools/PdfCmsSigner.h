// A detached CMS over a PDF's current bytes, made directly with OpenSSL from a PEM key and
// certificate. Used by the command-line signer, the tests and the benchmarks in place of the
// certificate-store CMS builder.
#pragma once

#include "crypto/UnitPDF.h"
#include "encoding/UnitCodecs.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <string_view>

class TPdfCmsSigner {
public:
    TPdfCmsSigner(const std::string& keyFile, const std::string& certFile)
    {
        if (std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(keyFile.c_str(), "r"), &BIO_free); in)
            FKey.reset(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
        if (std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(certFile.c_str(), "r"), &BIO_free); in)
            FCert.reset(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    }

    bool Ready() const { return FKey && FCert; }

    // DER hex of a detached CMS SignedData over `bytes`; "" on failure.
    std::string Sign(std::string_view bytes) const
    {
        if (!Ready())
            return {};
        std::unique_ptr<BIO, decltype(&BIO_free)> data(
            BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), &BIO_free);
        if (!data || bytes.size() > 0x7fffffffu)
            return {};
        std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
            CMS_sign(FCert.get(), FKey.get(), nullptr, data.get(), CMS_DETACHED | CMS_BINARY),
            &CMS_ContentInfo_free);
        if (!cms)
            return {};
        unsigned char* der = nullptr;
        const int size = i2d_CMS_ContentInfo(cms.get(), &der);
        if (size <= 0)
            return {};
        std::string hex = UnitCodecs::HexEncode({der, static_cast<size_t>(size)});
        OPENSSL_free(der);
        return hex;
    }

    // The maker for TPDF::Sign: signs the document as it stands when asked.
    TPDF::TCmsMaker MakerFor(const TPDF& pdf) const
    {
        return [this, &pdf](const std::string&, const std::string&) { return Sign(pdf.GetText()); };
    }

private:
    struct TKeyFree { void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); } };
    struct TCertFree { void operator()(X509* p) const noexcept { X509_free(p); } };
    std::unique_ptr<EVP_PKEY, TKeyFree> FKey;
    std::unique_ptr<X509, TCertFree> FCert;
};
