#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace veltora {

// HTTP timing of the service client. The defaults are the loader's, not the record's.
struct TimeoutsConfiguration {
    std::optional<float> httpRequest;     // seconds
    std::optional<float> firstRetryDelay; // seconds
    std::optional<std::int64_t> retryCount;

    std::string description() const;
    bool operator==(const TimeoutsConfiguration&) const = default;
};

} // namespace veltora
