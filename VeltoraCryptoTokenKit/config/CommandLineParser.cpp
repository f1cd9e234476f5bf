#include "VeltoraCryptoTokenKit/config/CommandLineParser.h"

#include <array>
#include <utility>

namespace veltora {

namespace {

struct Option {
    const char* option;
    const char* storageKey;
};

constexpr std::array<Option, 6> optionTable{{
    {"--project-slug", "projectSlug"},
    {"--signing-policy-slug", "signingPolicySlug"},
    {"--config", "configPath"},
    {"--organization-id", "orgId"},
    {"--api-url", "apiUrl"},
    {"--api-token", "apiToken"},
}};

} // namespace

CommandLineParser::CommandLineParser(const std::vector<std::string>& args) {
    std::map<std::string, std::string> given;
    // Any argument starting with "-" takes the next one as its value, whatever it looks like.
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (!args[i].empty() && args[i][0] == '-') {
            given[args[i]] = args[i + 1];
        }
    }
    for (const auto& row : optionTable) {
        const auto found = given.find(row.option);
        argsStorage[row.storageKey] =
            found == given.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
}

std::optional<std::string> CommandLineParser::getValue(const std::string& key) const {
    const auto found = argsStorage.find(key);
    return found == argsStorage.end() ? std::nullopt : found->second;
}

Configuration CommandLineParser::extractConfiguration() const {
    const auto text = [this](const char* key) { return getValue(key).value_or(""); };
    Configuration configuration;
    configuration.apiUrl = text("apiUrl");
    configuration.organizationId = text("orgId");
    configuration.apiToken = text("apiToken");
    configuration.projectSlug = text("projectSlug");
    configuration.signingPolicySlug = text("signingPolicySlug");
    configuration.configFile = text("configPath");
    configuration.logLevel = "";
    configuration.logPath = "";
    return configuration;
}

} // namespace veltora
