#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"
#include "VeltoraCryptoTokenKit/client/HttpRequest.h"
#include "VeltoraCryptoTokenKit/client/HttpResponse.h"

#include <stop_token>

namespace veltora {

// Carries single HTTP exchanges over the process-wide connection pool.
// Every exchange is bounded by the session's timeout as a whole, and by the
// smaller of that timeout and the request's own interval as the longest time
// without data. TLS peers are always verified; SSL_CERT_FILE, else
// CURL_CA_BUNDLE, names the CA bundle to trust; https_proxy and no_proxy apply
// as in any libcurl program. Redirects are not followed, so the bearer token
// only ever goes to the configured host.
class HttpSession {
public:
    // Seconds; a timeout that is not a positive finite number is clamped to
    // the range of 1 millisecond to 24 hours (NaN counts as the longest).
    explicit HttpSession(float timeout) : timeout_(timeout) {}

    // Transport failures and cancellation, also by the end of the process
    // (ProcessEnd.h), are errors (see TransportError.h); any HTTP status is a
    // response. A body longer than the request's maxResponseBytes is refused
    // as soon as it passes that size, with the libcurl error
    // CURLE_FILESIZE_EXCEEDED naming the bound.
    Result<HttpResponse> send(const HttpRequest& request, std::stop_token stopToken) const;

    float timeout() const { return timeout_; }

private:
    float timeout_;
};

} // namespace veltora
