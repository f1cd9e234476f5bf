#include "VeltoraCryptoTokenKit/config/CommandLineParser.h"
#include "VeltoraCryptoTokenKit/config/ConfigHelper.h"
#include "VeltoraCryptoTokenKit/config/ConfigurationFile.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <sstream>

namespace veltora {
namespace {

template <class T> std::string shown(const std::optional<T>& value) {
    std::ostringstream text;
    if (value) {
        text << *value;
    }
    return text.str();
}

// Every name of each setting, written out here rather than taken from the field
// table, so that a row pointing at the wrong member or misspelling a name fails.
struct Setting {
    const char* environmentName;
    const char* file; // a configuration file that sets it to 7, or nullptr
    const char* json; // its JSON form, set to 7
    const char* option;
    const char* filledDefault;
    std::function<std::string(const Configuration&)> value;
};

const Setting settings[] = {
    {"VELTORA_API_URL", R"({"ApiUrl":"7"})", R"({"timeouts":{},"apiUrl":"7"})", "--api-url",
     "https://api.veltora.example/Api", [](const Configuration& c) { return shown(c.apiUrl); }},
    {"VELTORA_ORGANIZATION_ID", R"({"OrganizationId":"7"})", R"({"timeouts":{},"organizationId":"7"})",
     "--organization-id", "", [](const Configuration& c) { return shown(c.organizationId); }},
    {"VELTORA_API_TOKEN", R"({"ApiToken":"7"})", R"({"timeouts":{},"apiToken":"7"})", "--api-token", "",
     [](const Configuration& c) { return shown(c.apiToken); }},
    {"VELTORA_PROJECT_SLUG", R"({"ProjectSlug":"7"})", R"({"timeouts":{},"projectSlug":"7"})",
     "--project-slug", "", [](const Configuration& c) { return shown(c.projectSlug); }},
    {"VELTORA_SIGNING_POLICY_SLUG", R"({"SigningPolicySlug":"7"})",
     R"({"timeouts":{},"signingPolicySlug":"7"})", "--signing-policy-slug", "",
     [](const Configuration& c) { return shown(c.signingPolicySlug); }},
    {"VELTORA_CONFIG_FILE", nullptr, R"({"timeouts":{},"configFile":"7"})", "--config", "/d/config.json",
     [](const Configuration& c) { return shown(c.configFile); }},
    {"VELTORA_TIMEOUTS_HTTP_REQUEST", R"({"Timeouts":{"HttpRequest":7}})",
     R"({"timeouts":{"httpRequest":7}})", nullptr, "30",
     [](const Configuration& c) { return shown(c.timeouts.httpRequest); }},
    {"VELTORA_TIMEOUTS_FIRST_RETRY_DELAY", R"({"Timeouts":{"FirstRetryDelay":7}})",
     R"({"timeouts":{"firstRetryDelay":7}})", nullptr, "1.6",
     [](const Configuration& c) { return shown(c.timeouts.firstRetryDelay); }},
    {"VELTORA_TIMEOUTS_RETRY_COUNT", R"({"Timeouts":{"RetryCount":7}})", R"({"timeouts":{"retryCount":7}})",
     nullptr, "10", [](const Configuration& c) { return shown(c.timeouts.retryCount); }},
    {"VELTORA_LOG_FILE_LEVEL", R"({"Log":{"File":{"Level":"7"}}})", R"({"timeouts":{},"logLevel":"7"})",
     nullptr, "", [](const Configuration& c) { return shown(c.logLevel); }},
    {"VELTORA_LOG_FILE_DIRECTORY", R"({"Log":{"File":{"Directory":"7"}}})",
     R"({"timeouts":{},"logPath":"7"})", nullptr, "",
     [](const Configuration& c) { return shown(c.logPath); }},
};

TEST(ConfigurationFields, EverySourceSetsTheSameMember) {
    for (const auto& setting : settings) {
        SCOPED_TRACE(setting.environmentName);
        ProcessInfo process;
        process.environment = {{setting.environmentName, "7"}};
        EXPECT_EQ(setting.value(*ConfigHelper(process).readEnvironmentConfig(process)), "7");

        const auto fromFile = configurationFromFileText(setting.file ? setting.file : "{}");
        ASSERT_TRUE(fromFile);
        EXPECT_EQ(setting.value(*fromFile), setting.file ? "7" : "");

        const auto fromJson = Configuration::fromJson(setting.json);
        ASSERT_TRUE(fromJson);
        EXPECT_EQ(setting.value(fromJson.value()), "7");
        EXPECT_EQ(nlohmann::json::parse(fromJson.value().toJson()), nlohmann::json::parse(setting.json));

        const auto commandLine =
            CommandLineParser({"/bin/tool", setting.option ? setting.option : "--none", "7"})
                .extractConfiguration();
        EXPECT_EQ(setting.value(commandLine), setting.option ? "7" : "");

        EXPECT_EQ(setting.value(ConfigHelper::fillConfiguration(std::nullopt, "/d/config.json")),
                  setting.filledDefault);
    }
}

} // namespace
} // namespace veltora
