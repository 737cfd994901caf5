#include "platform/UnitHttp.h"

#include "platform/UnitTrace.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace UnitHttp {

namespace {

struct TCurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct TListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct TSink {
    THttpAnswer* Answer;
    size_t Limit;
};

size_t Write(char* data, size_t size, size_t count, void* user)
{
    auto* sink = static_cast<TSink*>(user);
    const size_t n = size * count;
    if (sink->Answer->Body.size() + n > sink->Limit) {
        sink->Answer->TooLarge = true;
        return 0;  // ends the transfer
    }
    sink->Answer->Body.insert(sink->Answer->Body.end(), data, data + n);
    return n;
}

bool StartsWithNoCase(const std::string& text, const char* prefix)
{
    const size_t n = std::strlen(prefix);
    return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

}  // namespace

bool IsHttpUrl(const std::string& url)
{
    return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

TCurlHttpClient::TCurlHttpClient()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

THttpAnswer TCurlHttpClient::Post(const THttpPost& post)
{
    THttpAnswer answer;
    if (!IsHttpUrl(post.Url)) {
        answer.Error = "only http and https URLs are used";
        return answer;
    }
    std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
    if (!curl) {
        answer.Error = "curl_easy_init failed";
        return answer;
    }
    CURL* c = curl.get();
    char errorText[CURL_ERROR_SIZE] = {};
    TSink sink{&answer, post.MaxAnswerBytes};

    std::unique_ptr<curl_slist, TListDeleter> headers;
    auto addHeader = [&](const std::string& line) {
        curl_slist* list = curl_slist_append(headers.get(), line.c_str());
        if (list) {
            (void)headers.release();
            headers.reset(list);
        }
    };
    if (!post.ContentType.empty())
        addHeader("Content-Type: " + post.ContentType);
    if (!post.Accept.empty())
        addHeader("Accept: " + post.Accept);
    addHeader("Expect:");  // no 100-continue round for a small body

    const long timeoutMs = (post.TimeoutSeconds > 0 ? post.TimeoutSeconds : 10) * 1000L;
    bool set = curl_easy_setopt(c, CURLOPT_URL, post.Url.c_str()) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_POST, 1L) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_POSTFIELDS, post.Body.data()) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.Body.size())) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Write) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_USERAGENT, "dorvik") == CURLE_OK;
    if (set && !post.User.empty()) {
        set = curl_easy_setopt(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC)) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_USERNAME, post.User.c_str()) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_PASSWORD, post.Password ? post.Password->c_str() : "") == CURLE_OK;
    }
    if (!set) {
        answer.Error = "curl option refused";
        return answer;
    }
    const CURLcode code = curl_easy_perform(c);
    // The password copy libcurl keeps goes with the handle; ours is the caller's to wipe.
    if (code != CURLE_OK) {
        answer.Body.clear();
        answer.Error = errorText[0] ? errorText : curl_easy_strerror(code);
        return answer;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    char* type = nullptr;
    if (curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type)
        answer.ContentType = type;
    answer.Status = status;
    answer.Delivered = true;
    return answer;
}

}  // namespace UnitHttp
