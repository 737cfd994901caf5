// HTTP POST for the few requests the library sends itself (a time-stamp authority). The
// interface is handed to whoever needs it, so tests can answer with a client of their own;
// TCurlHttpClient is the real one, on libcurl.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace UnitHttp {

struct THttpPost {
    std::string Url;                   // http:// or https:// only
    std::string ContentType;           // of the body
    std::string Accept;                // the answer's expected type ("" sends none)
    std::vector<uint8_t> Body;
    std::string User;                  // basic authentication when not empty
    const std::string* Password = nullptr;  // borrowed; the caller owns and wipes it
    long TimeoutSeconds = 10;          // the whole exchange, connection included
    size_t MaxAnswerBytes = 1024 * 1024;
};

struct THttpAnswer {
    bool Delivered = false;            // an HTTP answer arrived (whatever its status)
    long Status = 0;                   // HTTP status code
    bool TooLarge = false;             // the body passed MaxAnswerBytes and was dropped
    std::string ContentType;
    std::vector<uint8_t> Body;
    std::string Error;                 // why nothing was delivered (for the trace)
};

class THttpClient {
public:
    virtual ~THttpClient() = default;
    virtual THttpAnswer Post(const THttpPost& post) = 0;
};

// libcurl: TLS peers and host names verified, proxies from the environment as curl reads
// them (http_proxy, https_proxy, no_proxy...), no redirects followed, only http and https.
class TCurlHttpClient : public THttpClient {
public:
    TCurlHttpClient();
    THttpAnswer Post(const THttpPost& post) override;
};

// Whether the URL names the http or https scheme (any letter case).
bool IsHttpUrl(const std::string& url);

}  // namespace UnitHttp
