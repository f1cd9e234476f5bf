#pragma once

namespace quillet {

// The token framework's error domain; code -9 means authentication is needed.
inline constexpr const char* TKErrorDomain = "TKErrorDomain";
inline constexpr long TKErrorCodeAuthenticationNeeded = -9;

} // namespace quillet
