#include "platform/nss/UnitNssEnveloped.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <secoid.h>

#include <optional>
#include <string>

namespace UnitNssEnveloped {

using UnitNssCore::ENssError;
using UnitNssCore::ThrowNss;
using UnitNssCore::TNssPtr;

std::optional<std::vector<uint8_t>> DecodeBase64Text(std::string_view text)
{
    std::string compact;
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(position, end - position);
        position = end + 1;
        if (line.substr(0, 5) == "-----")
            continue;
        for (char c : line) {
            if (c == ' ' || c == '\t' || c == '\r')
                continue;
            const bool valid = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                               c == '+' || c == '/' || c == '=';
            if (!valid)
                return std::nullopt;
            compact.push_back(c);
        }
    }
    if (compact.empty() || compact.size() % 4 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes(compact.size() / 4 * 3);
    const int size = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                                     static_cast<int>(compact.size()));
    if (size < 0)
        return std::nullopt;
    size_t padding = 0;
    while (padding < 2 && compact[compact.size() - 1 - padding] == '=')
        ++padding;
    bytes.resize(static_cast<size_t>(size) - padding);
    return bytes;
}

void TNssEnvelopedData::Decrypt(std::string_view message)
{
    if (!message.empty() && static_cast<uint8_t>(message.front()) == 0x30) {
        Decrypt(std::vector<uint8_t>(message.begin(), message.end()));
        return;
    }
    std::optional<std::vector<uint8_t>> der = DecodeBase64Text(message);
    if (!der)
        throw ENssError("The enveloped message is neither DER nor Base64");
    Decrypt(*der);
}

void TNssEnvelopedData::Decrypt(const std::vector<uint8_t>& der)
{
    UnitNssCore::EnsureInitialized();
    OPENSSL_cleanse(FContent.data(), FContent.size());
    FContent.clear();
    SECItem item{siBuffer, const_cast<uint8_t*>(der.data()), static_cast<unsigned>(der.size())};
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
