#include "crypto/UnitCryptKeyRSA.h"

#include "core/UnitStatusWords.h"
#include "encoding/UnitCodecs.h"
#include "platform/UnitTrace.h"

#include <openssl/rsa.h>

#include <climits>

namespace UnitCryptKeyRSA {

using namespace UnitOpenSsl;

namespace {

// Key DER longer than this is refused, as is a block longer than MaxBlock.
constexpr size_t MaxKeyDer = 4096;
constexpr size_t MaxBlock = 4097;
// PKCS#1 v1.5 asks for at least eight padding bytes: 00 01, eight FF, 00.
constexpr size_t MinPaddingOverhead = 11;

TCryptResult Failure(std::string_view word)
{
    return {false, std::string(word)};
}

enum class TOperation { Sign, VerifyRecover, Encrypt, Decrypt };

// One block through the library's RSA with the given padding.
void TransformBlock(EVP_PKEY* key, TOperation operation, int padding,
                    std::span<const uint8_t> in, std::vector<uint8_t>& out)
{
    TPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    CheckOpenSsl(ctx != nullptr, "EVP_PKEY_CTX_new_from_pkey");
    int ok = 0;
    switch (operation) {
    case TOperation::Sign: ok = EVP_PKEY_sign_init(ctx.get()); break;
    case TOperation::VerifyRecover: ok = EVP_PKEY_verify_recover_init(ctx.get()); break;
    case TOperation::Encrypt: ok = EVP_PKEY_encrypt_init(ctx.get()); break;
    case TOperation::Decrypt: ok = EVP_PKEY_decrypt_init(ctx.get()); break;
    }
    CheckOpenSsl(ok == 1, "EVP_PKEY init");
    CheckOpenSsl(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) > 0, "EVP_PKEY_CTX_set_rsa_padding");

    const size_t start = out.size();
    size_t length = static_cast<size_t>(EVP_PKEY_get_size(key));
    CheckOpenSsl(length > 0 && length <= MaxBlock, "RSA size");
    out.resize(start + length);
    uint8_t* target = out.data() + start;
    switch (operation) {
    case TOperation::Sign:
        ok = EVP_PKEY_sign(ctx.get(), target, &length, in.data(), in.size());
        break;
    case TOperation::VerifyRecover:
        ok = EVP_PKEY_verify_recover(ctx.get(), target, &length, in.data(), in.size());
        break;
    case TOperation::Encrypt:
        ok = EVP_PKEY_encrypt(ctx.get(), target, &length, in.data(), in.size());
        break;
    case TOperation::Decrypt:
        ok = EVP_PKEY_decrypt(ctx.get(), target, &length, in.data(), in.size());
        break;
    }
    if (ok != 1) {
        out.resize(start);
        CheckOpenSsl(false, "RSA block");
    }
    out.resize(start + length);
}

std::vector<uint8_t> TransformBlocks(EVP_PKEY* key, TOperation operation, int padding,
                                     size_t blockSize, std::span<const uint8_t> data)
{
    CheckOpenSsl(blockSize > 0, "RSA block size");
    std::vector<uint8_t> out;
    for (size_t offset = 0; offset < data.size(); offset += blockSize)
        TransformBlock(key, operation, padding,
                       data.subspan(offset, std::min(blockSize, data.size() - offset)), out);
    return out;
}

// i2d into a buffer that is wiped on release: the length first, then the bytes.
template <class T, class TFn> TSecretBytes SecretDer(T* object, TFn i2d, std::string_view what)
{
    const int length = i2d(object, nullptr);
    CheckOpenSsl(length > 0, what);
    TSecretBytes der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    CheckOpenSsl(i2d(object, &cursor) == length, what);
    return der;
}

}  // namespace

bool TCryptKeyRSA::LoadFromText(std::string_view base64, bool isPrivate)
{
    const TSecretBytes der = Base64DecodeSecret(base64);
    if (!LoadFromDer(der.Span(), isPrivate))
        return false;
    FKeyText = TSecretString(std::string(base64));
    return true;
}

bool TCryptKeyRSA::LoadFromDer(std::span<const uint8_t> der, bool isPrivate)
{
    FKey.reset();
    FKeyText.Wipe();
    FPrivate = isPrivate;
    if (der.empty() || der.size() > MaxKeyDer)
        return false;
    EnsureLoaded();
    const unsigned char* cursor = der.data();
    const long length = static_cast<long>(der.size());
    TPkeyPtr key(isPrivate ? d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, length)
                           : d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, length));
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA")) {
        TraceOpenSslErrors(isPrivate ? "d2i_RSAPrivateKey" : "d2i_RSAPublicKey");
        return false;
    }
    FKey = std::move(key);
    return true;
}

int TCryptKeyRSA::Size() const noexcept
{
    return FKey ? EVP_PKEY_get_size(FKey.get()) : 0;
}

std::vector<uint8_t> TCryptKeyRSA::Encrypt(std::span<const uint8_t> data) const
{
    CheckOpenSsl(FKey != nullptr, "RSA key");
    const auto size = static_cast<size_t>(Size());
    if (FPadding == TPadding::Raw) {
        CheckOpenSsl(FPrivate, "raw RSA needs the private key");
        return TransformBlocks(FKey.get(), TOperation::Sign, RSA_NO_PADDING, size, data);
    }
    CheckOpenSsl(size > MinPaddingOverhead + 1, "RSA size");
    return TransformBlocks(FKey.get(), TOperation::Encrypt, RSA_PKCS1_PADDING,
                           size - MinPaddingOverhead - 1, data);
}

std::vector<uint8_t> TCryptKeyRSA::Decrypt(std::span<const uint8_t> data) const
{
    CheckOpenSsl(FKey != nullptr, "RSA key");
    const auto size = static_cast<size_t>(Size());
    if (FPadding == TPadding::Raw)
        return TransformBlocks(FKey.get(), TOperation::VerifyRecover, RSA_NO_PADDING, size, data);
    CheckOpenSsl(FPrivate, "RSA decryption needs the private key");
    return TransformBlocks(FKey.get(), TOperation::Decrypt, RSA_PKCS1_PADDING, size, data);
}

TKeyPairText GenerateKeyPair(int bits, unsigned long publicExponent)
{
    EnsureLoaded();
    TPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    CheckOpenSsl(ctx != nullptr, "EVP_PKEY_CTX_new_from_name");
    CheckOpenSsl(EVP_PKEY_keygen_init(ctx.get()) == 1, "EVP_PKEY_keygen_init");
    CheckOpenSsl(EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) > 0, "RSA key bits");
    TBignumPtr exponent(BN_new());
    CheckOpenSsl(exponent && BN_set_word(exponent.get(), publicExponent) == 1, "BN_set_word");
    CheckOpenSsl(EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) > 0,
                 "RSA public exponent");
    EVP_PKEY* raw = nullptr;
    CheckOpenSsl(EVP_PKEY_generate(ctx.get(), &raw) == 1, "RSA_generate_key");
    const TPkeyPtr key(raw);

    TKeyPairText pair;
    const TSecretBytes publicDer = SecretDer(key.get(), i2d_PublicKey, "i2d_RSAPublicKey");
    pair.PublicKey = Base64Encode(publicDer.Span());
    const TSecretBytes privateDer = SecretDer(key.get(), i2d_PrivateKey, "i2d_RSAPrivateKey");
    pair.PrivateKey = Base64EncodeSecret(privateDer.Span());
    return pair;
}

std::vector<uint8_t> DigestInfoDer(std::string_view digestOid, std::span<const uint8_t> digest)
{
    CheckOpenSsl(digest.size() <= INT_MAX, "digest size");
    TX509SigPtr info(X509_SIG_new());
    CheckOpenSsl(info != nullptr, "X509_SIG_new");
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* octets = nullptr;
    X509_SIG_getm(info.get(), &algorithm, &octets);
    TAsn1ObjectPtr oid(OBJ_txt2obj(std::string(digestOid).c_str(), 1));
    CheckOpenSsl(oid != nullptr, "OBJ_txt2obj");
    CheckOpenSsl(X509_ALGOR_set0(algorithm, oid.get(), V_ASN1_NULL, nullptr) == 1, "X509_ALGOR_set0");
    oid.release();  // the algorithm identifier owns it now
    CheckOpenSsl(ASN1_OCTET_STRING_set(octets, digest.data(), static_cast<int>(digest.size())) == 1,
                 "ASN1_OCTET_STRING_set");
    const int length = i2d_X509_SIG(info.get(), nullptr);
    CheckOpenSsl(length > 0, "i2d_X509_SIG");
    std::vector<uint8_t> der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    CheckOpenSsl(i2d_X509_SIG(info.get(), &cursor) == length, "i2d_X509_SIG");
    return der;
}

TCryptResult RawSign(std::string_view privateKeyBase64, std::string_view publicKeyBase64,
                     std::string_view digestHex, std::string_view digestOid) noexcept
try {
    std::vector<uint8_t> digest;
    if (!UnitCodecs::HexDecodeStrict(digestHex, digest) || digest.empty())
        return Failure(Words::ContentUnrecognized);
    const std::vector<uint8_t> digestInfo = DigestInfoDer(digestOid, digest);

    TCryptKeyRSA publicKey;
    if (!publicKey.LoadFromText(publicKeyBase64, false))
        return Failure(Words::CryptError);
    const auto k = static_cast<size_t>(publicKey.Size());
    if (k < digestInfo.size() + MinPaddingOverhead)
        return Failure(Words::SmallKey);

    // 00 01 FF .. FF 00 DigestInfo, exactly k bytes.
    std::vector<uint8_t> block(k, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[k - digestInfo.size() - 1] = 0x00;
    std::copy(digestInfo.begin(), digestInfo.end(), block.end() - static_cast<long>(digestInfo.size()));

    TCryptKeyRSA privateKey;
    if (!privateKey.LoadFromText(privateKeyBase64, true))
        return Failure(Words::CryptError);
    privateKey.SetPadding(TCryptKeyRSA::TPadding::Raw);
    if (static_cast<size_t>(privateKey.Size()) != k) {
        UnitTrace::Trace("raw RSA signing: private and public key sizes differ");
        return Failure(Words::CryptError);
    }
    return {true, UnitCodecs::HexEncode(privateKey.Encrypt(block))};
} catch (const std::exception& e) {
    UnitTrace::Trace(std::string("raw RSA signing: ") + e.what());
    return Failure(Words::CryptError);
} catch (...) {
    return Failure(Words::CryptError);
}

TCryptResult RawVerify(std::string_view publicKeyBase64, std::string_view signatureHex) noexcept
try {
    std::vector<uint8_t> signature;
    if (!UnitCodecs::HexDecodeStrict(signatureHex, signature) || signature.empty())
        return Failure(Words::SignatureUnrecognized);
    TCryptKeyRSA publicKey;
    if (!publicKey.LoadFromText(publicKeyBase64, false))
        return Failure(Words::CryptError);
    publicKey.SetPadding(TCryptKeyRSA::TPadding::Raw);
    return {true, UnitCodecs::HexEncode(publicKey.Decrypt(signature))};
} catch (const std::exception& e) {
    UnitTrace::Trace(std::string("raw RSA verification: ") + e.what());
    return Failure(Words::CryptError);
} catch (...) {
    return Failure(Words::CryptError);
}

}  // namespace UnitCryptKeyRSA
