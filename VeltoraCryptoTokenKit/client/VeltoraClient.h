#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"
#include "VeltoraCryptoTokenKit/client/RetryableHttpClient.h"
#include "VeltoraCryptoTokenKit/config/TimeoutsConfiguration.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace veltora {

// The signing service's two REST operations, over the retrying HTTP client.
//
// Errors of its own have the domain "VeltoraClient":
//   1001 "Invalid URL: <url>"                         (nothing sent)
//   1002 "Failed to convert payload string to data."  (nothing sent)
//   1003 "Error parsing JSON data: <inner description>"
// A policies URL that cannot be formed is the libcurl error
// CURLE_URL_MALFORMAT (TransportError.h). Every failure of the HTTP client
// passes through unchanged. The client logs nothing itself.
//
// Immutable after construction; several operations may run at once.
class VeltoraClient {
public:
    static constexpr std::string_view kErrorDomain = errors::client::kDomain;
    static constexpr std::int64_t kInvalidUrlCode = errors::client::kInvalidUrl;
    static constexpr std::int64_t kPayloadEncodingCode = errors::client::kPayloadEncoding;
    static constexpr std::int64_t kJsonParsingCode = errors::client::kJsonParsing;
    // Longer answers are refused as they arrive (HttpSession): a signature is
    // a few KiB at most, a policies answer many thousands of certificates.
    static constexpr std::size_t kMaxSigningAnswerBytes = 64u * 1024u;
    static constexpr std::size_t kMaxPoliciesAnswerBytes = 64u * 1024u * 1024u;

    // Absent timeouts take the loader's defaults. Nothing is validated here.
    VeltoraClient(std::string baseUrl, std::string orgId, std::string apiToken,
                  const TimeoutsConfiguration& timeoutsConfig);
    VeltoraClient(const VeltoraClient&) = delete;
    VeltoraClient& operator=(const VeltoraClient&) = delete;

    // Posts a fast signing request for the Base64 digest and returns the
    // answer's "Signature" text unchanged.
    Result<std::string> sendSigningRequest(const std::string& dataToSignBase64,
                                           const std::string& signingPolicyId,
                                           const std::string& rsaHashAlgorithm,
                                           std::stop_token stopToken = {}) const;

    // The signing policies the API token may use: the answer's top-level
    // object. An absent or empty slug adds no filter.
    Result<nlohmann::json> mySigningPolicies(const std::optional<std::string>& projectSlug,
                                             const std::optional<std::string>& signingPolicySlug,
                                             std::stop_token stopToken = {}) const;

    // The decoding of the two answers' bodies, on their own so that they can
    // be tried without a service.
    static Result<std::string> signatureFromAnswer(std::string_view body);
    static Result<nlohmann::json> signingPoliciesFromAnswer(std::string_view body);

    const std::string& apiBaseUrl() const { return apiBaseUrl_; }
    const std::string& orgId() const { return orgId_; }
    const std::string& apiToken() const { return apiToken_; }
    const RetryableHttpClient& httpClient() const { return httpClient_; }

private:
    std::string apiBaseUrl_;
    std::string orgId_;
    std::string apiToken_;
    RetryableHttpClient httpClient_;
};

} // namespace veltora
