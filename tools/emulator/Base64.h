#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veltora::emulator {

// Standard alphabet with padding, no line breaks.
std::string base64Encode(std::string_view bytes);
// Strict: standard alphabet, padded to a multiple of four, nothing else.
std::optional<std::string> base64Decode(std::string_view text);

} // namespace veltora::emulator
