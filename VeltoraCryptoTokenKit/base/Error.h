#pragma once

#include "VeltoraCryptoTokenKit/base/ErrorCodes.h"

#include <cstdint>
#include <string>
#include <utility>

namespace veltora {

// The one error value of the system: every failure that travels between
// components is a domain, a code and a human-readable description.
struct Error {
    std::string domain;
    std::int64_t code = 0;
    std::string description;

    const std::string& localizedDescription() const { return description; }
    bool operator==(const Error&) const = default;
};

} // namespace veltora
