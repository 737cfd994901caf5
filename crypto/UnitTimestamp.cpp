#include "crypto/UnitTimestamp.h"

#include "crypto/UnitCryptHash.h"
#include "encoding/UnitCodecs.h"
#include "platform/UnitTrace.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <charconv>
#include <cstring>

namespace UnitTimestamp {

namespace {

using UnitOpenSsl::TOwned;
using TTsReqPtr = TOwned<TS_REQ, TS_REQ_free>;
using TTsRespPtr = TOwned<TS_RESP, TS_RESP_free>;
using TTsImprintPtr = TOwned<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free>;
using TTsVerifyPtr = TOwned<TS_VERIFY_CTX, TS_VERIFY_CTX_free>;
using TAlgorPtr = TOwned<X509_ALGOR, X509_ALGOR_free>;
using TIntegerPtr = TOwned<ASN1_INTEGER, ASN1_INTEGER_free>;
using TPkcs7Ptr = TOwned<PKCS7, PKCS7_free>;
using TStorePtr = TOwned<X509_STORE, X509_STORE_free>;

void FreeSignerStack(STACK_OF(X509) * stack) noexcept
{
    sk_X509_free(stack);  // the certificates belong to the token
}
using TSignersPtr = TOwned<STACK_OF(X509), FreeSignerStack>;

using UnitXmlDoc::Prop;

std::string Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

TStampResult Failed(std::string_view word, std::string_view why)
{
    UnitTrace::Trace("Timestamp: " + std::string(word) + ": " + std::string(why));
    UnitOpenSsl::TraceOpenSslErrors("Timestamp");
    return {std::string(word), {}};
}

// The bytes of the token inside a TimeStampResp that d2i_TS_RESP accepted whole: the
// SEQUENCE's content after the status. The token goes into the signature exactly as the
// TSA signed it (a re-encoding could reorder what the TSA left unsorted).
std::span<const uint8_t> TokenBytes(std::span<const uint8_t> response)
{
    const unsigned char* p = response.data();
    long length = 0;
    int tag = 0;
    int cls = 0;
    int ret = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(response.size()));
    if ((ret & 0x80) != 0 || ret != V_ASN1_CONSTRUCTED || tag != V_ASN1_SEQUENCE)
        return {};
    const unsigned char* end = p + length;
    ret = ASN1_get_object(&p, &length, &tag, &cls, end - p);
    if ((ret & 0x80) != 0 || ret != V_ASN1_CONSTRUCTED || length > end - p)
        return {};
    p += length;
    return {p, static_cast<size_t>(end - p)};
}

}  // namespace

std::optional<TTimestampOptions> TakeOptions(TXmlDoc& request)
{
    TTimestampOptions options;
    if (TXmlDoc* password = request.GetPropertyByName("TimestampPassword", false)) {
        auto& text = *const_cast<std::string*>(&password->GetValue());
        options.Password = UnitOpenSsl::TSecretString(text);
        OPENSSL_cleanse(text.data(), text.size());
        password->SetValue({});
    }
    options.Url = Trimmed(Prop(request, "TimestampURL"));
    if (options.Url.empty())
        return std::nullopt;
    options.Policy = Trimmed(Prop(request, "TimestampPolicy"));
    const std::string hash = Trimmed(Prop(request, "TimestampHash"));
    if (!hash.empty())
        options.Hash = hash;
    options.User = Prop(request, "TimestampUser");
    const std::string timeout = Trimmed(Prop(request, "TimestampTimeout"));
    long seconds = 0;
    const auto [end, error] = std::from_chars(timeout.data(), timeout.data() + timeout.size(), seconds);
    if (error == std::errc() && end == timeout.data() + timeout.size() && seconds > 0)
        options.TimeoutSeconds = std::min(seconds, MaxTimeoutSeconds);
    return options;
}

TStampRequest MakeRequest(std::span<const uint8_t> data, const TTimestampOptions& options)
{
    TStampRequest result;
    auto refuse = [&](std::string_view why) {
        UnitTrace::Trace("Timestamp: " + std::string(TimestampUnavailable) + ": " + std::string(why));
        UnitOpenSsl::TraceOpenSslErrors("Timestamp");
        result.Word = TimestampUnavailable;
        result.Der.clear();
        return result;
    };
    const UnitOpenSsl::TMdPtr md(EVP_MD_fetch(nullptr, options.Hash.c_str(), nullptr));
    if (!md)
        return refuse("unknown digest " + options.Hash);
    std::vector<uint8_t> digest = UnitCodecs::HexDecode(UnitCryptHash::DigestBytes(data, md.get()));
    if (digest.empty())
        return refuse("digest failed");

    const TTsReqPtr request(TS_REQ_new());
    const TTsImprintPtr imprint(TS_MSG_IMPRINT_new());
    const TAlgorPtr algorithm(X509_ALGOR_new());
    if (!request || !imprint || !algorithm)
        return refuse("out of memory");
    ASN1_OBJECT* mdObject = OBJ_nid2obj(EVP_MD_get_type(md.get()));
    if (!mdObject || OBJ_obj2nid(mdObject) == NID_undef)
        return refuse("digest without an OID: " + options.Hash);
    if (X509_ALGOR_set0(algorithm.get(), mdObject, V_ASN1_NULL, nullptr) != 1 ||
        TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()) != 1 ||
        TS_MSG_IMPRINT_set_msg(imprint.get(), digest.data(), static_cast<int>(digest.size())) != 1 ||
        TS_REQ_set_version(request.get(), 1) != 1 || TS_REQ_set_msg_imprint(request.get(), imprint.get()) != 1 ||
        TS_REQ_set_cert_req(request.get(), 1) != 1)
        return refuse("request not built");
    if (!options.Policy.empty()) {
        const UnitOpenSsl::TAsn1ObjectPtr policy(OBJ_txt2obj(options.Policy.c_str(), 1));
        if (!policy || TS_REQ_set_policy_id(request.get(), policy.get()) != 1)
            return refuse("policy is not an OID: " + options.Policy);
    }
    // 64 random bits, positive.
    unsigned char nonceBytes[8];
    if (RAND_bytes(nonceBytes, sizeof nonceBytes) != 1)
        return refuse("no random nonce");
    nonceBytes[0] = static_cast<unsigned char>((nonceBytes[0] & 0x7F) | 0x01);
    const UnitOpenSsl::TBignumPtr nonceNumber(BN_bin2bn(nonceBytes, sizeof nonceBytes, nullptr));
    const TIntegerPtr nonce(nonceNumber ? BN_to_ASN1_INTEGER(nonceNumber.get(), nullptr) : nullptr);
    if (!nonce || TS_REQ_set_nonce(request.get(), nonce.get()) != 1)
        return refuse("nonce not set");

    unsigned char* der = nullptr;
    const int length = i2d_TS_REQ(request.get(), &der);
    if (length <= 0)
        return refuse("request not encoded");
    result.Der.assign(der, der + length);
    OPENSSL_free(der);
    return result;
}

TStampResult CheckResponse(std::span<const uint8_t> response, std::span<const uint8_t> requestDer)
{
    const unsigned char* p = response.data();
    const TTsRespPtr answer(d2i_TS_RESP(nullptr, &p, static_cast<long>(response.size())));
    if (!answer || p != response.data() + response.size())
        return Failed(TimestampInvalid, "the answer is not a time-stamp response");
    const ASN1_INTEGER* status = TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(answer.get()));
    const long statusValue = status ? ASN1_INTEGER_get(status) : -1;
    // 0 granted, 1 granted with modifications; 2 rejection, 3 waiting, 4 and 5 revocation.
    if (statusValue != 0 && statusValue != 1)
        return Failed(TimestampRejected, "status " + std::to_string(statusValue));
    PKCS7* token = TS_RESP_get_token(answer.get());
    const std::span<const uint8_t> tokenBytes = TokenBytes(response);
    if (!token || tokenBytes.empty())
        return Failed(TimestampInvalid, "granted without a token");

    const unsigned char* q = requestDer.data();
    const TTsReqPtr request(d2i_TS_REQ(nullptr, &q, static_cast<long>(requestDer.size())));
    if (!request)
        return Failed(TimestampInvalid, "request unreadable");

    // The token's own signer certificate is the anchor: what is checked is that this TSA
    // certificate signed this answer to this request, not who the TSA is.
    if (!PKCS7_type_is_signed(token))
        return Failed(TimestampInvalid, "token is not signed data");
    const TSignersPtr signers(PKCS7_get0_signers(token, nullptr, 0));
    if (!signers || sk_X509_num(signers.get()) != 1)
        return Failed(TimestampInvalid, "token does not carry its signer certificate");
    X509* signer = sk_X509_value(signers.get(), 0);
    if (X509_check_purpose(signer, X509_PURPOSE_TIMESTAMP_SIGN, 0) != 1)
        return Failed(TimestampInvalid, "TSA certificate lacks the critical timeStamping extended key usage");

    TStorePtr store(X509_STORE_new());
    if (!store || X509_STORE_add_cert(store.get(), signer) != 1 ||
        X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN) != 1)
        return Failed(TimestampInvalid, "no store");
    const TTsVerifyPtr verify(TS_REQ_to_TS_VERIFY_CTX(request.get(), nullptr));
    if (!verify)
        return Failed(TimestampInvalid, "no verify context");
    TS_VERIFY_CTX_add_flags(verify.get(), TS_VFY_SIGNATURE);
    TS_VERIFY_CTX_set_store(verify.get(), store.release());  // the context owns it now
    if (TS_RESP_verify_response(verify.get(), answer.get()) != 1)
        return Failed(TimestampInvalid, "imprint, nonce, policy or signature do not match");
    ERR_clear_error();
    return {std::string(), std::vector<uint8_t>(tokenBytes.begin(), tokenBytes.end())};
}

TStampResult Stamp(std::span<const uint8_t> data, const TTimestampOptions& options, UnitHttp::THttpClient& http)
{
    if (!UnitHttp::IsHttpUrl(options.Url))
        return Failed(TimestampUnavailable, "only http and https URLs are used");
    TStampRequest request = MakeRequest(data, options);
    if (!request.Word.empty())
        return {request.Word, {}};
    UnitHttp::THttpPost post;
    post.Url = options.Url;
    post.ContentType = "application/timestamp-query";
    post.Accept = "application/timestamp-reply";
    post.Body = request.Der;
    post.User = options.User;
    post.Password = &options.Password.Text();
    post.TimeoutSeconds = options.TimeoutSeconds;
    UnitTrace::Trace("Timestamp: asking the authority");
    const UnitHttp::THttpAnswer answer = http.Post(post);
    if (answer.TooLarge)
        return Failed(TimestampInvalid, "answer too large");
    if (!answer.Delivered)
        return Failed(TimestampUnavailable, answer.Error);
    if (answer.Status != 200)
        return Failed(TimestampUnavailable, "HTTP status " + std::to_string(answer.Status));
    return CheckResponse(answer.Body, request.Der);
}

}  // namespace UnitTimestamp
