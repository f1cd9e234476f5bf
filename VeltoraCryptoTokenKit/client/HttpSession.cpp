#include "VeltoraCryptoTokenKit/client/HttpSession.h"

#include "VeltoraCryptoTokenKit/client/CurlConnectionPool.h"
#include "VeltoraCryptoTokenKit/client/ProcessEnd.h"
#include "VeltoraCryptoTokenKit/client/TransportError.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace veltora {

namespace {

constexpr double kShortestLimitMs = 1.0;
constexpr double kLongestLimitMs = 24.0 * 3600.0 * 1000.0;

long limitMilliseconds(double seconds) {
    const double milliseconds = seconds * 1000.0;
    if (std::isnan(milliseconds)) {
        return static_cast<long>(kLongestLimitMs);
    }
    return static_cast<long>(std::clamp(milliseconds, kShortestLimitMs, kLongestLimitMs));
}

// The state one exchange shares with libcurl's callbacks.
struct Exchange {
    std::string body;
    std::size_t maxBodyBytes = 0;
    bool bodyTooLarge = false;
    std::stop_token stopToken;
    bool cancelled = false;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* userdata) {
    auto& exchange = *static_cast<Exchange*>(userdata);
    const std::size_t bytes = size * count;
    if (bytes > exchange.maxBodyBytes - exchange.body.size()) {
        exchange.bodyTooLarge = true;
        return 0;
    }
    exchange.body.append(data, bytes);
    return bytes;
}

int checkCancellation(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& exchange = *static_cast<Exchange*>(userdata);
    if (exchange.stopToken.stop_requested() || ProcessEnd::underway()) {
        exchange.cancelled = true;
        return 1;
    }
    return 0;
}

const char* trustedCaBundle() {
    for (const char* name : {"SSL_CERT_FILE", "CURL_CA_BUNDLE"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return nullptr;
}

bool breaksHeaderLine(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != text.npos;
}

// The request's headers as libcurl wants them. A name or value that would end
// its line early could smuggle in headers of its own: such a request is refused.
Result<CurlHeaderList> headerList(const HttpRequest& request) {
    CurlHeaderList list;
    const auto append = [&list](const std::string& line) {
        curl_slist* extended = curl_slist_append(list.get(), line.c_str());
        if (extended == nullptr) {
            return false;
        }
        static_cast<void>(list.release());
        list.reset(extended);
        return true;
    };
    for (const auto& [name, value] : request.headers) {
        if (name.empty() || breaksHeaderLine(name) || breaksHeaderLine(value) ||
            name.find(':') != std::string::npos) {
            return libcurlError(CURLE_BAD_FUNCTION_ARGUMENT, "a request header is not a single line");
        }
        // "Name;" is libcurl's way of sending a header with an empty value.
        if (!append(value.empty() ? name + ";" : name + ": " + value)) {
            return libcurlError(CURLE_OUT_OF_MEMORY);
        }
    }
    // No "Expect: 100-continue" round trip before larger bodies.
    if (request.header("Expect") == nullptr && !append("Expect:")) {
        return libcurlError(CURLE_OUT_OF_MEMORY);
    }
    return list;
}

bool isMethodToken(const std::string& method) {
    return !method.empty() &&
           std::ranges::all_of(method, [](unsigned char c) { return c > 0x20 && c < 0x7F; });
}

void setMethodAndBody(CURL* curl, const HttpRequest& request) {
    if (request.method == "GET" && request.body.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        return;
    }
    if (request.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        return;
    }
    if (request.method == "POST" || !request.body.empty()) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    }
    if (request.method != "POST") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
}

} // namespace

Result<HttpResponse> HttpSession::send(const HttpRequest& request, std::stop_token stopToken) const {
    if (stopToken.stop_requested() || ProcessEnd::underway()) {
        return cancellationError();
    }
    if (!isMethodToken(request.method)) {
        return libcurlError(CURLE_BAD_FUNCTION_ARGUMENT, "the request method is not a single word");
    }
    auto headers = headerList(request);
    if (!headers) {
        return headers.error();
    }
    Exchange exchange;
    exchange.stopToken = std::move(stopToken);
    exchange.maxBodyBytes = request.maxResponseBytes;
    std::array<char, CURL_ERROR_SIZE> detail{};

    // Declared last: the handle forgets the pointers above before they die.
    auto lease = CurlConnectionPool::shared().acquire();
    if (!lease) {
        return libcurlError(CURLE_FAILED_INIT);
    }
    CURL* curl = lease.get();

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail.data());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.value().get());
    setMethodAndBody(curl, request);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &checkCancellation);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &exchange);

    const long totalMs = limitMilliseconds(timeout_);
    const long idleMs = std::min(totalMs, limitMilliseconds(request.timeoutInterval));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, totalMs);
    if (idleMs < totalMs) {
        // libcurl counts stalls in whole seconds: less than one byte per second
        // over that span ends the exchange.
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, std::max(1L, (idleMs + 999) / 1000));
    }
    if (const char* bundle = trustedCaBundle()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, bundle);
    }

    const CURLcode code = curl_easy_perform(curl);
    // The end of the process also fails an exchange by shutting its connection down.
    if (exchange.cancelled || ProcessEnd::underway()) {
        return cancellationError();
    }
    if (exchange.bodyTooLarge) {
        return libcurlError(CURLE_FILESIZE_EXCEEDED, "the answer is larger than the bound of " +
                                                         std::to_string(request.maxResponseBytes) + " bytes");
    }
    if (code != CURLE_OK) {
        return libcurlError(code, detail.data());
    }
    HttpResponse response;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    response.body = std::move(exchange.body);
    return response;
}

} // namespace veltora
