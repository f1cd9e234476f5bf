#pragma once

#include "Quillet/platform/TKTokenKeyAlgorithm.h"
#include "Quillet/platform/TKTokenOperation.h"

#include <optional>
#include <string>
#include <string_view>

namespace quillet {

// The operation's name for log lines; "Unknown TKTokenOperation" for values outside the framework's five.
std::string_view getOperationString(TKTokenOperation operation);

// The name of the first known algorithm the object matches (raw RSA, SHA-256
// digest, SHA-1 digest), else "unknown".
std::string_view GetAlgorithmStringFromTKTokenKeyAlgorithm(const TKTokenKeyAlgorithm& algorithm);

// The matching algorithm constant; none (and a warning line) for any other algorithm.
std::optional<SecKeyAlgorithm> GetAlgorithmFromTKTokenKeyAlgorithm(const TKTokenKeyAlgorithm& algorithm);

// The hash algorithm OID the service signs with: SHA-256 and SHA-1 digests
// only; none (and a warning line) for any other algorithm, raw RSA included.
std::optional<std::string_view> GetAlgorithmOidFromTKTokenKeyAlgorithm(const TKTokenKeyAlgorithm& algorithm);

} // namespace quillet
