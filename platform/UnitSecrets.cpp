#include "platform/UnitSecrets.h"

#include <openssl/crypto.h>

namespace UnitSecrets {

void WipeText(std::string& text) noexcept
{
    // Grown to its capacity first, so that the cleanse covers every byte of the buffer through
    // the string's own characters.
    text.resize(text.capacity());
    OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

void WipeBytes(std::vector<uint8_t>& bytes) noexcept
{
    if (!bytes.empty())
        OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
}

TSecretString& TSecretString::operator=(const TSecretString& other)
{
    if (this != &other) {
        Wipe();
        FText = other.FText;
    }
    return *this;
}

TSecretString::TSecretString(TSecretString&& other) noexcept
    : FText(std::move(other.FText))
{
    other.Wipe();
}

TSecretString& TSecretString::operator=(TSecretString&& other) noexcept
{
    if (this != &other) {
        Wipe();
        FText = std::move(other.FText);
        other.Wipe();
    }
    return *this;
}

TSecretBytes& TSecretBytes::operator=(TSecretBytes&& other) noexcept
{
    if (this != &other) {
        Wipe();
        FBytes = std::move(other.FBytes);
    }
    return *this;
}

}  // namespace UnitSecrets
