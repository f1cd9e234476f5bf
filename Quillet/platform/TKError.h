#pragma once

#include "VeltoraCryptoTokenKit/base/ErrorCodes.h"

namespace quillet {

// The token framework's error domain and its code for "authentication is needed", by the framework's names.
inline constexpr const char* TKErrorDomain = veltora::errors::token::kFrameworkDomain.data();
inline constexpr long TKErrorCodeAuthenticationNeeded = veltora::errors::token::kAuthenticationNeeded;

} // namespace quillet
