#pragma once

#include <string>
#include <string_view>

namespace quillet {

// A token's serial number: 16 hexadecimal digits from a hash of its instance
// ID, so every registration has its own and keeps it across processes.
std::string tokenSerial(std::string_view instanceID);

} // namespace quillet
