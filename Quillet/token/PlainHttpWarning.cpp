#include "Quillet/token/PlainHttpWarning.h"

#include "VeltoraCryptoTokenKit/client/CurlHandles.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <mutex>
#include <set>

namespace quillet {

namespace {

std::optional<std::string> urlPart(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK) {
        return std::nullopt;
    }
    const veltora::CurlText owned(text);
    return std::string(text);
}

bool isLoopback(std::string host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        return IN6_IS_ADDR_LOOPBACK(&v6);
    }
    return strcasecmp(host.c_str(), "localhost") == 0 || strcasecmp(host.c_str(), "localhost.") == 0;
}

} // namespace

std::optional<std::string> remotePlainHttpHost(const std::string& url) {
    const veltora::CurlUrlHandle parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    const auto scheme = urlPart(parsed.get(), CURLUPART_SCHEME);
    const auto host = urlPart(parsed.get(), CURLUPART_HOST);
    if (!scheme || !host || *scheme != "http" || isLoopback(*host)) {
        return std::nullopt;
    }
    return host;
}

void warnOfPlainHttp(const std::string& url) {
    static std::mutex mutex;
    static std::set<std::string> considered; // URLs: each signature passes its URL, and parsing it costs
    static std::set<std::string> warned;     // hosts
    {
        std::lock_guard lock(mutex);
        if (!considered.insert(url).second) {
            return;
        }
    }
    const auto host = remotePlainHttpHost(url);
    if (!host) {
        return;
    }
    {
        std::lock_guard lock(mutex);
        if (!warned.insert(*host).second) {
            return;
        }
    }
    DDLogWarn("The service at " + *host +
              " is reached over plain HTTP: the API token travels in clear text. Use https.");
}

} // namespace quillet
