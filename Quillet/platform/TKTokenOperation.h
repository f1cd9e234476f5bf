#pragma once

#include <cstdint>

namespace quillet {

// What a client wants to do with a token key. Other values can arrive too.
using TKTokenOperation = std::int64_t;
inline constexpr TKTokenOperation TKTokenOperationNone = 0;
inline constexpr TKTokenOperation TKTokenOperationReadData = 1;
inline constexpr TKTokenOperation TKTokenOperationSignData = 2;
inline constexpr TKTokenOperation TKTokenOperationDecryptData = 3;
inline constexpr TKTokenOperation TKTokenOperationPerformKeyExchange = 4;

} // namespace quillet
