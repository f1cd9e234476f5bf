#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"
#include "VeltoraCryptoTokenKit/config/ConfigurationFields.h"
#include "VeltoraCryptoTokenKit/config/ProcessInfo.h"

#include <optional>
#include <string>

namespace veltora {

// Loads the configuration from the command line, the environment and the JSON
// file (strongest first), fills the defaults and validates the result.
class ConfigHelper {
public:
    const std::string ENV_ORG_ID = environmentNameOf(&Configuration::organizationId);
    const std::string ENV_API_URL = environmentNameOf(&Configuration::apiUrl);
    const std::string ENV_API_TOKEN = environmentNameOf(&Configuration::apiToken);
    const std::string ENV_CONFIG_FILE = environmentNameOf(&Configuration::configFile);
    const std::string ENV_PROJECT_SLUG = environmentNameOf(&Configuration::projectSlug);
    const std::string ENV_SIGNING_POLICY_SLUG = environmentNameOf(&Configuration::signingPolicySlug);
    const std::string ENV_TIMEOUTS_HTTP_REQUEST = environmentNameOf(&TimeoutsConfiguration::httpRequest);
    const std::string ENV_TIMEOUTS_FIRST_RETRY_DELAY =
        environmentNameOf(&TimeoutsConfiguration::firstRetryDelay);
    const std::string ENV_TIMEOUTS_RETRY_COUNT = environmentNameOf(&TimeoutsConfiguration::retryCount);
    const std::string ENV_LOG_LEVEL = environmentNameOf(&Configuration::logLevel);
    const std::string ENV_LOG_PATH = environmentNameOf(&Configuration::logPath);

    // Reads the running process afresh on every load.
    ConfigHelper() = default;
    // Reads the given process picture instead (tests).
    explicit ConfigHelper(ProcessInfo process) : fixedProcess_(std::move(process)) {}

    Result<Configuration> readConfig() const;

    // The loader's steps, public so that each can be checked on its own.
    std::optional<Configuration> readConfigInternal(const ProcessInfo& process) const;
    std::optional<Configuration> readEnvironmentConfig(const ProcessInfo& process) const;
    std::optional<Configuration> readFileConfig(const std::optional<std::string>& configPath,
                                                const ProcessInfo& process) const;
    static std::optional<Configuration>
    mergeConfiguration(const std::optional<Configuration>& fromConfiguration,
                       const std::optional<Configuration>& toConfiguration);
    static Configuration fillConfiguration(const std::optional<Configuration>& configuration,
                                           const std::string& defaultConfigPath);
    static Result<void> validateConfiguration(const std::optional<Configuration>& configuration);
    static std::string getApplicationDirectoryConfigPath(const ProcessInfo& process);

    // The largest configuration file read; anything larger, or anything that
    // is not a regular file, is an unreadable file.
    static constexpr std::size_t kMaximumFileSize = 1024 * 1024;

private:
    std::optional<ProcessInfo> fixedProcess_;
};

} // namespace veltora
