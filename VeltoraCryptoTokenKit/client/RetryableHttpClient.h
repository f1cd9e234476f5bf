#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"
#include "VeltoraCryptoTokenKit/client/BackoffWait.h"
#include "VeltoraCryptoTokenKit/client/HttpRequest.h"
#include "VeltoraCryptoTokenKit/client/HttpSession.h"

#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>

namespace veltora {

// Sends one request to the signing service and returns the body of the first
// 2xx answer. Answers 429, 502, 503 and 504 are retried after a growing,
// randomised wait, up to retryCount attempts in all.
//
// Errors of its own have the domain "RetryableHttpClient":
//   1006            "Invalid response."  (no HTTP status came back)
//   1007            "Request failed after <retryCount> attempts."
//   the HTTP status "HTTP request failed with status code <status> <body>"
//                   (body as UTF-8 text, empty when it is not valid UTF-8,
//                   cut to a logExcerpt (Utf8.h) when long)
// Transport failures and cancellation (TransportError.h) pass through unchanged
// and are never retried.
//
// Immutable after construction: concurrent calls are independent and share
// only the session.
class RetryableHttpClient {
public:
    static constexpr std::string_view kErrorDomain = errors::http::kDomain;
    static constexpr std::int64_t kInvalidResponseCode = errors::http::kInvalidResponse;
    static constexpr std::int64_t kRetriesExhaustedCode = errors::http::kRetriesExhausted;

    RetryableHttpClient(float timeout, float firstRetryDelay, std::int64_t retryCount,
                        BackoffWait::RandomSource random = BackoffWait::defaultRandomSource());
    RetryableHttpClient(const RetryableHttpClient&) = delete;
    RetryableHttpClient& operator=(const RetryableHttpClient&) = delete;

    // The caller's request is not modified; the copy sent carries our User-Agent.
    Result<std::string> performRequest(const HttpRequest& request, std::stop_token stopToken = {}) const;

    // "Veltora.Tokenwright/<version> (<sysname> <major.minor.patch>; <machine>)"
    std::string getUserAgentString() const;

    float timeout() const { return session_.timeout(); }
    float firstRetryDelay() const { return firstRetryDelay_; }
    std::int64_t retryCount() const { return retryCount_; }

private:
    float firstRetryDelay_;
    std::int64_t retryCount_;
    HttpSession session_;
    BackoffWait backoff_;
};

} // namespace veltora
