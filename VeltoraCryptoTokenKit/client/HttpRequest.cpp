#include "VeltoraCryptoTokenKit/client/HttpRequest.h"

#include <algorithm>
#include <cctype>

namespace veltora {

namespace {

bool sameHeaderName(std::string_view a, std::string_view b) {
    return std::ranges::equal(
        a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

} // namespace

void HttpRequest::setHeader(std::string_view name, std::string value) {
    std::erase_if(headers, [name](const auto& header) { return sameHeaderName(header.first, name); });
    headers.emplace_back(std::string(name), std::move(value));
}

const std::string* HttpRequest::header(std::string_view name) const {
    const auto found = std::ranges::find_if(
        headers, [name](const auto& header) { return sameHeaderName(header.first, name); });
    return found == headers.end() ? nullptr : &found->second;
}

} // namespace veltora
