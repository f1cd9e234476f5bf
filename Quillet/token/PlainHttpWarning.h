#pragma once

#include <optional>
#include <string>

namespace quillet {

// The host of an http:// URL that leaves this machine; nothing for https, for
// loopback (127.0.0.0/8, ::1, localhost) and for what is not a URL.
std::optional<std::string> remotePlainHttpHost(const std::string& url);

// Logs one warning per host and process when the URL sends the API token in
// clear text to another machine.
void warnOfPlainHttp(const std::string& url);

} // namespace quillet
