#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"
#include "VeltoraCryptoTokenKit/config/ProcessInfo.h"

#include <optional>
#include <string>

namespace veltora {

// The service's public API endpoint, used when nothing else names one.
inline constexpr const char* defaultApiUrl = "https://api.veltora.example/Api";

// Loads the configuration from the command line, the environment and the JSON
// file (strongest first), fills the defaults and validates the result.
class ConfigHelper {
public:
    const std::string ENV_ORG_ID = "VELTORA_ORGANIZATION_ID";
    const std::string ENV_API_URL = "VELTORA_API_URL";
    const std::string ENV_API_TOKEN = "VELTORA_API_TOKEN";
    const std::string ENV_CONFIG_FILE = "VELTORA_CONFIG_FILE";
    const std::string ENV_PROJECT_SLUG = "VELTORA_PROJECT_SLUG";
    const std::string ENV_SIGNING_POLICY_SLUG = "VELTORA_SIGNING_POLICY_SLUG";
    const std::string ENV_TIMEOUTS_HTTP_REQUEST = "VELTORA_TIMEOUTS_HTTP_REQUEST";
    const std::string ENV_TIMEOUTS_FIRST_RETRY_DELAY = "VELTORA_TIMEOUTS_FIRST_RETRY_DELAY";
    const std::string ENV_TIMEOUTS_RETRY_COUNT = "VELTORA_TIMEOUTS_RETRY_COUNT";
    const std::string ENV_LOG_LEVEL = "VELTORA_LOG_FILE_LEVEL";
    const std::string ENV_LOG_PATH = "VELTORA_LOG_FILE_DIRECTORY";

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
    static constexpr std::size_t maximumFileSize = 1024 * 1024;

private:
    std::optional<ProcessInfo> fixedProcess_;
};

} // namespace veltora
