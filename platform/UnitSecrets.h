// Memory that holds a secret: passwords, PINs, key texts, key DER, PKCS#12 files. Every copy is
// overwritten (OPENSSL_cleanse) before its memory goes back, whether it is destroyed, assigned
// over or moved from. Nothing here converts to text on its own or can be streamed: a secret
// reaches a trace line only by someone writing Text() into it, which nobody does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace UnitSecrets {

// Overwrites the whole buffer of the text, the bytes past its end included (a short text
// moved away leaves its characters in the buffer it was stored in), then empties it.
void WipeText(std::string& text) noexcept;
void WipeBytes(std::vector<uint8_t>& bytes) noexcept;

// Text that holds a secret.
class TSecretString {
public:
    TSecretString() = default;
    // Takes the text over; a caller that moves it in leaves no other copy.
    explicit TSecretString(std::string text) noexcept : FText(std::move(text)) {}
    TSecretString(const TSecretString& other) : FText(other.FText) {}
    TSecretString& operator=(const TSecretString& other);
    TSecretString(TSecretString&& other) noexcept;
    TSecretString& operator=(TSecretString&& other) noexcept;
    ~TSecretString() { Wipe(); }

    void Wipe() noexcept { WipeText(FText); }
    const std::string& Text() const noexcept { return FText; }
    bool empty() const noexcept { return FText.empty(); }

private:
    std::string FText;
};

// Bytes that hold a secret.
class TSecretBytes {
public:
    TSecretBytes() = default;
    explicit TSecretBytes(size_t size) : FBytes(size) {}
    // Adopts the buffer itself, so no copy of the secret is left behind.
    explicit TSecretBytes(std::vector<uint8_t>&& bytes) noexcept : FBytes(std::move(bytes)) {}
    TSecretBytes(const TSecretBytes&) = delete;
    TSecretBytes& operator=(const TSecretBytes&) = delete;
    TSecretBytes(TSecretBytes&& other) noexcept : FBytes(std::move(other.FBytes)) {}
    TSecretBytes& operator=(TSecretBytes&& other) noexcept;
    ~TSecretBytes() { Wipe(); }

    void Wipe() noexcept { WipeBytes(FBytes); }
    uint8_t* data() noexcept { return FBytes.data(); }
    const uint8_t* data() const noexcept { return FBytes.data(); }
    size_t size() const noexcept { return FBytes.size(); }
    bool empty() const noexcept { return FBytes.empty(); }
    std::span<const uint8_t> Span() const noexcept { return FBytes; }

private:
    std::vector<uint8_t> FBytes;
};

}  // namespace UnitSecrets
