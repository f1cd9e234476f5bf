#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltora {

// One prepared HTTP request: what the service client builds and the HTTP
// client sends. A plain value; copies are independent.
struct HttpRequest {
    std::string url;
    std::string method = "GET";
    std::vector<std::pair<std::string, std::string>> headers; // sent in this order
    std::string body;
    // The request's own limit in seconds, on top of the session's limits.
    double timeoutInterval = 60.0;
    // The longest answer body taken; a longer one ends the exchange as soon as
    // it passes this size (see HttpSession).
    std::size_t maxResponseBytes = 128u * 1024u * 1024u;

    // Replaces every header of that name (names compare without letter case).
    void setHeader(std::string_view name, std::string value);
    // The first header of that name, or nullptr.
    const std::string* header(std::string_view name) const;
};

} // namespace veltora
