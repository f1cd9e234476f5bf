#include "VeltoraCryptoTokenKit/client/RetryableHttpClient.h"

#include "VeltoraCryptoTokenKit/base/Utf8.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <sys/utsname.h>

#include <charconv>
#include <cstdio>

namespace veltora {

namespace {

bool isRetryable(long status) {
    return status == 429 || status == 502 || status == 503 || status == 504;
}

std::string sixDecimals(float seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", static_cast<double>(seconds));
    return text;
}

// "6.1.0-18-amd64" gives "6.1.0"; missing parts are written as 0.
std::string threePartVersion(std::string_view release) {
    std::string version;
    const char* position = release.data();
    const char* const end = release.data() + release.size();
    for (int part = 0; part < 3; ++part) {
        unsigned long long number = 0;
        const auto [next, error] = std::from_chars(position, end, number);
        if (error == std::errc()) {
            position = next;
            if (position != end && *position == '.') {
                ++position;
            }
        } else {
            number = 0;
            position = end;
        }
        if (part > 0) {
            version += '.';
        }
        version += std::to_string(number);
    }
    return version;
}

Error ownError(std::int64_t code, std::string description) {
    return Error{std::string(RetryableHttpClient::kErrorDomain), code, std::move(description)};
}

} // namespace

RetryableHttpClient::RetryableHttpClient(float timeout, float firstRetryDelay, std::int64_t retryCount,
                                         BackoffWait::RandomSource random)
    : firstRetryDelay_(firstRetryDelay), retryCount_(retryCount), session_(timeout),
      backoff_(firstRetryDelay, std::move(random)) {}

std::string RetryableHttpClient::getUserAgentString() const {
    std::string system = "Linux";
    std::string release;
    std::string machine = "unknown";
    utsname names{};
    if (uname(&names) == 0) {
        system = names.sysname;
        release = names.release;
        machine = names.machine;
    }
    return "Veltora.Tokenwright/" VELTORA_VERSION " (" + system + " " + threePartVersion(release) + "; " +
           machine + ")";
}

Result<std::string> RetryableHttpClient::performRequest(const HttpRequest& request,
                                                        std::stop_token stopToken) const {
    HttpRequest sent = request;
    sent.setHeader("User-Agent", getUserAgentString());

    std::int64_t attempt = 0;
    while (attempt < retryCount_) {
        ++attempt;
        DDLogVerbose("Calling URL Optional(" + sent.url + "), attempt " + std::to_string(attempt) + " of " +
                     std::to_string(retryCount_));
        auto response = session_.send(sent, stopToken);
        if (!response) {
            return response.error();
        }
        const long status = response.value().status;
        if (status < 100) {
            return ownError(kInvalidResponseCode, "Invalid response.");
        }
        if (isRetryable(status)) {
            if (attempt == retryCount_) {
                break;
            }
            const auto wait = backoff_.afterAttempt(attempt);
            DDLogWarn("HTTP error: " + std::to_string(status) + ". Retrying in " + sixDecimals(wait.seconds) +
                      " seconds...");
            if (auto slept = BackoffWait::sleep(wait.nanoseconds, stopToken); !slept) {
                return slept.error();
            }
            continue;
        }
        std::string& body = response.value().body;
        if (status >= 200 && status <= 299) {
            DDLogVerbose("Received data: " + std::to_string(body.size()) + " bytes");
            return std::move(body);
        }
        const std::string text = isValidUtf8(body) ? logExcerpt(body) : std::string();
        DDLogError("HTTP Request failed with status code " + std::to_string(status) + " " + text);
        return ownError(status,
                        "HTTP request failed with status code " + std::to_string(status) + " " + text);
    }
    return ownError(kRetriesExhaustedCode,
                    "Request failed after " + std::to_string(retryCount_) + " attempts.");
}

} // namespace veltora
