#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace veltora {

// A float as strtof reads it in the POSIX locale; absent unless the whole
// text is one number with no leading or trailing white space.
std::optional<float> parseEnvironmentFloat(const std::string& text);

// An optional single sign and one or more ASCII digits, within 64 bits.
std::optional<std::int64_t> parseEnvironmentInteger(const std::string& text);

} // namespace veltora
