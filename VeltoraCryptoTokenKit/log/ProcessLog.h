#pragma once

#include <string>
#include <string_view>

namespace veltora {

// The log facility's own diagnostics: one line on standard error, never
// through the registry.
void processLog(std::string_view text);

} // namespace veltora
