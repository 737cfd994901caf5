// CMS enveloped data opened with the private keys of the certificate databases.
#pragma once

#include "platform/nss/UnitNssCore.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace UnitNssEnveloped {

class TNssEnvelopedData {
public:
    // The message as DER, or as Base64 text (PEM armour allowed). Throws when it is not
    // enveloped data or no recipient's key is at hand.
    void Decrypt(std::string_view message);
    void Decrypt(const std::vector<uint8_t>& der);
    const std::vector<uint8_t>& Content() const noexcept { return FContent; }

private:
    std::vector<uint8_t> FContent;
};

}  // namespace UnitNssEnveloped
