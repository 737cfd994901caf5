// PKCS#12 and RSA key DER from untrusted bytes: parsing must reject, never crash or leak.
#include "crypto/UnitCryptKeyRSA.h"
#include "encoding/UnitCodecs.h"
#include "crypto/UnitOpenSsl.h"
#include "crypto/UnitPkcs12.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> bytes(data, size);
    try {
        // The seeds are protected with "pw".
        if (const auto contents = UnitPkcs12::ParsePkcs12(bytes, "pw")) {
            // What came out must go back in.
            (void)UnitPkcs12::CreatePkcs12("fuzz", contents->CertificateHex,
                                           contents->PrivateKeyBase64.Text(), "pw");
        }
        (void)UnitPkcs12::ParsePkcs12(bytes, "");

        UnitCryptKeyRSA::TCryptKeyRSA key;
        if (key.LoadFromDer(bytes, true)) {
            key.SetPadding(UnitCryptKeyRSA::TCryptKeyRSA::TPadding::Pkcs1);
            (void)key.Decrypt(bytes);
        }
        if (key.LoadFromDer(bytes, false)) {
            const std::string publicKey = UnitOpenSsl::Base64Encode(bytes);
            (void)UnitCryptKeyRSA::RawVerify(publicKey, UnitCodecs::HexEncode(bytes));
            (void)UnitCryptKeyRSA::RawSign(publicKey, publicKey, "00", "1.3.14.3.2.26");
        }
    } catch (const std::exception&) {
        // rejecting input is fine; crashes, leaks and UB are not
    }
    return 0;
}
