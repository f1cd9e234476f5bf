#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"

#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"
#include "VeltoraCryptoTokenKit/base/UserAccount.h"
#include "VeltoraCryptoTokenKit/base/Utf8.h"
#include "VeltoraCryptoTokenKit/client/CurlHandles.h"
#include "VeltoraCryptoTokenKit/client/TransportError.h"
#include "VeltoraCryptoTokenKit/config/ConfigurationFields.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

namespace veltora {

namespace {

constexpr std::string_view kBoundary = "unique-consistent-string";

Error ownError(std::int64_t code, std::string description) {
    return Error{std::string(VeltoraClient::kErrorDomain), code, std::move(description)};
}

Error jsonError(std::string_view inner) {
    // The parser's message quotes the token it stopped in, which may be most of the body.
    return ownError(VeltoraClient::kJsonParsingCode, "Error parsing JSON data: " + logExcerpt(inner));
}

// The account database is read once per effective user, not per signature.
std::string loginName() {
    static std::mutex mutex;
    static std::optional<std::pair<uid_t, std::string>> known;
    static const bool forkSafe = [] {
        installForkHandlers(ForkStage::loginName,
                            {[] { mutex.lock(); }, [] { mutex.unlock(); }, [] { mutex.unlock(); }});
        return true;
    }();
    static_cast<void>(forkSafe);
    const uid_t user = geteuid();
    std::lock_guard lock(mutex);
    if (!known || known->first != user) {
        const auto account = UserAccount::lookUp(user);
        // Empty when the account database does not know the user.
        known.emplace(user, account ? account->loginName : std::string());
    }
    return known->second;
}

// Text placed between the quotes of a JSON string. Ordinary values come out
// byte for byte; a quote, backslash or control character is escaped so the
// artifact stays valid JSON whatever the login name or digest text holds.
std::string jsonStringContent(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '"':
            escaped += "\\\"";
            break;
        case '\\':
            escaped += "\\\\";
            break;
        case '\b':
            escaped += "\\b";
            break;
        case '\f':
            escaped += "\\f";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\r':
            escaped += "\\r";
            break;
        case '\t':
            escaped += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char code[8];
                std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
                escaped += code;
            } else {
                escaped += c;
            }
        }
    }
    return escaped;
}

std::string signingPayload(std::string_view dataToSignBase64, std::string_view rsaHashAlgorithm,
                           std::string_view user) {
    return R"({"Base64EncodedHash":")" + jsonStringContent(dataToSignBase64) +
           R"(","SignatureAlgorithm":"RsaPkcs1","RsaHashAlgorithm":")" + jsonStringContent(rsaHashAlgorithm) +
           R"(","Metadata":{"CreatingProcess":{"CommandLine":"","User":")" + jsonStringContent(user) +
           R"("}}})";
}

std::string multipartBody(std::string_view signingPolicyId, std::string_view payload) {
    const std::string delimiter = "--" + std::string(kBoundary) + "\r\n";
    std::string body;
    body += delimiter;
    body += "Content-Disposition: form-data; name=\"SigningPolicyId\"\r\n\r\n";
    body += signingPolicyId;
    body += "\r\n";
    body += delimiter;
    body += "Content-Disposition: form-data; name=\"IsFastSigningRequest\"\r\n\r\ntrue\r\n";
    body += delimiter;
    body += "Content-Disposition: form-data; name=\"Artifact\"; filename=\"payload.json\"\r\n";
    body += "Content-Type: application/json\r\n\r\n";
    body += payload;
    body += "\r\n";
    body += "--" + std::string(kBoundary) + "--\r\n";
    return body;
}

bool parsesAsUrl(const std::string& text) {
    const CurlUrlHandle url(curl_url());
    return url && curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS) == CURLUE_OK;
}

// The URL with its query replaced by the given items, each value encoded.
Result<std::string> urlWithQuery(const std::string& text,
                                 const std::vector<std::pair<std::string, std::string>>& queryItems) {
    const CurlUrlHandle url(curl_url());
    if (!url) {
        return libcurlError(CURLE_OUT_OF_MEMORY);
    }
    CURLUcode status = curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS);
    if (status == CURLUE_OK) {
        status = curl_url_set(url.get(), CURLUPART_QUERY, nullptr, 0);
    }
    for (const auto& [name, value] : queryItems) {
        if (status == CURLUE_OK) {
            const std::string item = name + "=" + value;
            status =
                curl_url_set(url.get(), CURLUPART_QUERY, item.c_str(), CURLU_APPENDQUERY | CURLU_URLENCODE);
        }
    }
    char* formed = nullptr;
    if (status == CURLUE_OK) {
        status = curl_url_get(url.get(), CURLUPART_URL, &formed, 0);
    }
    const CurlText owned(formed);
    if (status != CURLUE_OK || !owned) {
        return libcurlError(CURLE_URL_MALFORMAT, curl_url_strerror(status));
    }
    return std::string(owned.get());
}

} // namespace

VeltoraClient::VeltoraClient(std::string baseUrl, std::string orgId, std::string apiToken,
                             const TimeoutsConfiguration& timeoutsConfig)
    : apiBaseUrl_(std::move(baseUrl)), orgId_(std::move(orgId)), apiToken_(std::move(apiToken)),
      httpClient_(timeoutsConfig.httpRequest.value_or(*kDefaultTimeouts.httpRequest),
                  timeoutsConfig.firstRetryDelay.value_or(*kDefaultTimeouts.firstRetryDelay),
                  timeoutsConfig.retryCount.value_or(*kDefaultTimeouts.retryCount)) {}

Result<std::string> VeltoraClient::sendSigningRequest(const std::string& dataToSignBase64,
                                                      const std::string& signingPolicyId,
                                                      const std::string& rsaHashAlgorithm,
                                                      std::stop_token stopToken) const {
    HttpRequest request;
    request.url = apiBaseUrl_ + "/v1/" + orgId_ + "/SigningRequests";
    if (!parsesAsUrl(request.url)) {
        return ownError(kInvalidUrlCode, "Invalid URL: " + request.url);
    }
    const std::string payload = signingPayload(dataToSignBase64, rsaHashAlgorithm, loginName());
    if (!isValidUtf8(payload)) {
        return ownError(kPayloadEncodingCode, "Failed to convert payload string to data.");
    }
    request.method = "POST";
    request.setHeader("Authorization", "Bearer " + apiToken_);
    request.setHeader("Content-Type",
                      "multipart/form-data; boundary=" + std::string(kBoundary) + "; charset=utf-8");
    request.body = multipartBody(signingPolicyId, payload);
    request.maxResponseBytes = kMaxSigningAnswerBytes;

    auto body = httpClient_.performRequest(request, std::move(stopToken));
    if (!body) {
        return body.error();
    }
    return signatureFromAnswer(body.value());
}

Result<std::string> VeltoraClient::signatureFromAnswer(std::string_view body) {
    try {
        const auto answer = nlohmann::json::parse(body);
        const auto signature = answer.is_object() ? answer.find("Signature") : answer.end();
        if (!answer.is_object() || signature == answer.end() || !signature->is_string()) {
            return jsonError("Failed to parse JSON data or Signature not found in the response.");
        }
        return signature->get<std::string>();
    } catch (const nlohmann::json::exception& error) {
        return jsonError(error.what());
    }
}

Result<nlohmann::json> VeltoraClient::mySigningPolicies(const std::optional<std::string>& projectSlug,
                                                        const std::optional<std::string>& signingPolicySlug,
                                                        std::stop_token stopToken) const {
    std::vector<std::pair<std::string, std::string>> queryItems;
    if (projectSlug && !projectSlug->empty()) {
        queryItems.emplace_back("ProjectSlug", *projectSlug);
    }
    if (signingPolicySlug && !signingPolicySlug->empty()) {
        queryItems.emplace_back("SigningPolicySlug", *signingPolicySlug);
    }
    auto url = urlWithQuery(apiBaseUrl_ + "/v1/" + orgId_ + "/Cryptoki/MySigningPolicies", queryItems);
    if (!url) {
        return url.error();
    }
    HttpRequest request;
    request.url = std::move(url.value());
    request.method = "GET";
    request.setHeader("Authorization", "Bearer " + apiToken_);
    request.maxResponseBytes = kMaxPoliciesAnswerBytes;

    auto body = httpClient_.performRequest(request, std::move(stopToken));
    if (!body) {
        return body.error();
    }
    return signingPoliciesFromAnswer(body.value());
}

Result<nlohmann::json> VeltoraClient::signingPoliciesFromAnswer(std::string_view body) {
    try {
        auto answer = nlohmann::json::parse(body);
        if (!answer.is_object()) {
            return jsonError("Failed to parse JSON data.");
        }
        return answer;
    } catch (const nlohmann::json::exception& error) {
        return jsonError(error.what());
    }
}

} // namespace veltora
