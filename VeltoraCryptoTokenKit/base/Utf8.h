#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veltora {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// The longest prefix of the text that fits in the byte count without cutting
// a UTF-8 sequence in two.
std::string utf8Prefix(std::string_view text, std::size_t maxBytes);

// How much of a text from outside (a response body, a parser's message about
// one) a log line or error description carries.
inline constexpr std::size_t kLogExcerptBytes = 4096;

// The text whole when it fits in kLogExcerptBytes; else its utf8Prefix of that
// size followed by "... (<count> bytes left out)". A service that answers
// megabytes must not push the failure itself out of a rolling log.
std::string logExcerpt(std::string_view text);

} // namespace veltora
