#include "VeltoraCryptoTokenKit/client/TransportError.h"

#include <curl/curl.h>

#include <string>

namespace veltora {

Error libcurlError(int curlCode, std::string_view detail) {
    std::string description = "libcurl error " + std::to_string(curlCode) + ": " +
                              curl_easy_strerror(static_cast<CURLcode>(curlCode));
    if (!detail.empty()) {
        description += " (";
        description += detail;
        description += ")";
    }
    return Error{std::string(kLibcurlErrorDomain), curlCode, std::move(description)};
}

Error cancellationError() {
    return Error{std::string(kCancellationErrorDomain), kCancellationErrorCode,
                 "The operation was cancelled."};
}

bool isCancellation(const Error& error) {
    return error.domain == kCancellationErrorDomain && error.code == kCancellationErrorCode;
}

} // namespace veltora
