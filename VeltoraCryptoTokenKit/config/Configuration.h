#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"
#include "VeltoraCryptoTokenKit/config/TimeoutsConfiguration.h"

#include <optional>
#include <string>
#include <string_view>

namespace veltora {

// The settings record both deliverables work from. Texts keep absent apart from empty.
struct Configuration {
    std::optional<std::string> apiUrl;
    std::optional<std::string> organizationId;
    std::optional<std::string> apiToken;
    std::optional<std::string> projectSlug;
    std::optional<std::string> signingPolicySlug;
    std::optional<std::string> configFile;
    TimeoutsConfiguration timeouts;
    std::optional<std::string> logLevel;
    std::optional<std::string> logPath;

    // For log lines: the API token shows only as its mask.
    std::string description() const;

    // The camelCase JSON form; absent fields are left out, "timeouts" is always written.
    std::string toJson() const;
    // Strict decode: "timeouts" required, wrong types fail, null counts as absent.
    static Result<Configuration> fromJson(std::string_view json);

    bool operator==(const Configuration&) const = default;
};

} // namespace veltora
