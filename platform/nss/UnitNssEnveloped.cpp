#include "platform/nss/UnitNssEnveloped.h"

#include <openssl/crypto.h>
#include <secoid.h>

#include <optional>
#include <string>

namespace UnitNssEnveloped {

using UnitNssCore::ENssError;
using UnitNssCore::ThrowNss;
using UnitNssCore::TNssPtr;

void TNssEnvelopedData::Decrypt(std::string_view message)
{
    if (!message.empty() && static_cast<uint8_t>(message.front()) == 0x30) {
        Decrypt(std::vector<uint8_t>(message.begin(), message.end()));
        return;
    }
    std::optional<std::vector<uint8_t>> der = UnitNssCore::DecodeBase64Text(message);
    if (!der)
        throw ENssError("The enveloped message is neither DER nor Base64");
    Decrypt(*der);
}

void TNssEnvelopedData::Decrypt(const std::vector<uint8_t>& der)
{
    UnitNssCore::EnsureInitialized();
    OPENSSL_cleanse(FContent.data(), FContent.size());
    FContent.clear();
    SECItem item {siBuffer, const_cast<uint8_t*>(der.data()), static_cast<unsigned>(der.size())};
    TNssPtr<NSSCMSMessage> message(
        NSS_CMSMessage_CreateFromDER(&item, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!message)
        ThrowNss("NSS_CMSMessage_CreateFromDER", "The enveloped message cannot be decrypted");
    NSSCMSContentInfo* outer = NSS_CMSMessage_ContentLevel(message.get(), 0);
    if (!outer || NSS_CMSContentInfo_GetContentTypeTag(outer) != SEC_OID_PKCS7_ENVELOPED_DATA)
        throw ENssError("The message is not enveloped data");
    SECItem* content = NSS_CMSMessage_GetContent(message.get());
    if (content && content->len > 0)
        FContent.assign(content->data, content->data + content->len);
}

}  // namespace UnitNssEnveloped
