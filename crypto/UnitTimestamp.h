// Time stamps from an RFC 3161 time-stamp authority over a signature value: the request
// (message imprint, random nonce, certReq), the HTTP exchange through the client the caller
// hands in, and the checks of the answer before its token is used.
#pragma once

#include "core/UnitStatusWords.h"

#include "core/UnitXmlDoc.h"
#include "crypto/UnitOpenSsl.h"
#include "platform/UnitHttp.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UnitTimestamp {

// Failure words (core/UnitStatusWords.h).
using Words::TimestampUnavailable;
using Words::TimestampRejected;
using Words::TimestampInvalid;

// The unsigned attribute that carries the token.
inline constexpr std::string_view TimeStampTokenOid = "1.2.840.113549.1.9.16.2.14";

inline constexpr long DefaultTimeoutSeconds = 10;
inline constexpr long MaxTimeoutSeconds = 600;

struct TTimestampOptions {
    std::string Url;                     // "TimestampURL"
    std::string Policy;                  // "TimestampPolicy": an OID, "" for the TSA's own
    std::string Hash = "SHA256";         // "TimestampHash": a digest name or OID
    std::string User;                    // "TimestampUser"
    UnitOpenSsl::TSecretString Password; // "TimestampPassword"
    long TimeoutSeconds = DefaultTimeoutSeconds;  // "TimestampTimeout"
};

// The request's "Timestamp..." properties; no value without a "TimestampURL". The password
// is taken out of the node: its text there is overwritten and emptied.
std::optional<TTimestampOptions> TakeOptions(TXmlDoc& request);

struct TStampResult {
    std::string Word;                    // "" when the token is good
    std::vector<uint8_t> Token;          // the TimeStampToken (ContentInfo) as the TSA sent it
};

// The DER of a TimeStampReq over the digest of `data`; "" word on success.
struct TStampRequest {
    std::string Word;
    std::vector<uint8_t> Der;
};
TStampRequest MakeRequest(std::span<const uint8_t> data, const TTimestampOptions& options);

// Checks a TimeStampResp against the request it answers (its DER): status granted, a token
// whose imprint, nonce and policy match, whose signature verifies with the signer certificate
// it carries, that certificate holding the critical timeStamping extended key usage only.
TStampResult CheckResponse(std::span<const uint8_t> response, std::span<const uint8_t> requestDer);

// The whole exchange for `data` (a signature value).
TStampResult Stamp(std::span<const uint8_t> data, const TTimestampOptions& options, UnitHttp::THttpClient& http);

}  // namespace UnitTimestamp
