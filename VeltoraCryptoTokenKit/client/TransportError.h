#pragma once

#include "VeltoraCryptoTokenKit/base/Error.h"

#include <string_view>

namespace veltora {

// Failures of the network layer itself. The HTTP client and the service client
// pass them to their callers unchanged, and never retry them.
//
// - Domain "libcurl": code is the CURLcode; the description is
//   "libcurl error <code>: <libcurl's text for the code>", followed by
//   " (<libcurl's detail message>)" when it gave one. A URL that cannot be
//   formed is CURLE_URL_MALFORMAT (3).
// - Domain "Cancellation", code 1, "The operation was cancelled.": the
//   caller's std::stop_token was triggered while a request was in flight or
//   while waiting between attempts.
inline constexpr std::string_view kLibcurlErrorDomain = errors::transport::kLibcurlDomain;
inline constexpr std::string_view kCancellationErrorDomain = errors::transport::kCancellationDomain;
inline constexpr std::int64_t kCancellationErrorCode = errors::transport::kCancelled;

Error libcurlError(int curlCode, std::string_view detail = {});
Error cancellationError();

bool isCancellation(const Error& error);

} // namespace veltora
