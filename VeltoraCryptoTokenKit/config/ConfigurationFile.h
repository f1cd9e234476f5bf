#pragma once

#include "VeltoraCryptoTokenKit/config/Configuration.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veltora {

// Reads the PascalCase JSON configuration file. A missing, unreadable or
// malformed file is logged and contributes nothing; members of an unexpected
// shape count as not given. Only regular files up to maximumSize are read, so
// a FIFO, a device or a huge file can neither hang the caller nor exhaust memory.
std::optional<Configuration> readConfigurationFile(const std::string& path, std::size_t maximumSize);

// The configuration in the text of such a file, with the same rules; a
// malformed text is logged and gives nothing.
std::optional<Configuration> configurationFromFileText(std::string_view text);

} // namespace veltora
