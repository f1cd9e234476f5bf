#include "VeltoraCryptoTokenKit/config/Configuration.h"
#include "VeltoraCryptoTokenKit/config/ConfigurationFile.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>

namespace veltora {
namespace {

TEST(Configuration, DescriptionMasksTokenAndShowsAbsentTimingsAsNil) {
    EXPECT_EQ(
        Configuration{}.description(),
        "fullUrl: '///' apiToken: '<null>' configFile: '' timeouts: httpRequest: nil, firstRetryDelay: nil, "
        "retryCount: nil logLevel: '' logPath: ''");

    Configuration configuration;
    configuration.apiUrl = "https://h/Api";
    configuration.organizationId = "org";
    configuration.signingPolicySlug = "policy";
    configuration.apiToken = "";
    configuration.timeouts.retryCount = 3;
    EXPECT_EQ(
        configuration.description(),
        "fullUrl: 'https://h/Api/org//policy' apiToken: '<empty>' configFile: '' timeouts: httpRequest: nil, "
        "firstRetryDelay: nil, retryCount: 3x logLevel: '' logPath: ''");

    for (const std::string& token : {std::string("Z"), std::string(200, 'Z')}) {
        configuration.apiToken = token;
        const auto text = configuration.description();
        EXPECT_NE(text.find("apiToken: '#####'"), std::string::npos);
        EXPECT_EQ(text.find(token), std::string::npos);
    }
}

TEST(Configuration, FloatsUseTheShortestTextThatReadsBack) {
    const TimeoutsConfiguration defaults{30.0f, 1.6f, 10};
    EXPECT_EQ(defaults.description(), "httpRequest: 30.0s, firstRetryDelay: 1.6s, retryCount: 10x");
    EXPECT_EQ((TimeoutsConfiguration{0.5f, 0.1f, -1}).description(),
              "httpRequest: 0.5s, firstRetryDelay: 0.1s, retryCount: -1x");
    EXPECT_EQ(std::bit_cast<std::uint32_t>(1.6f), 0x3FCCCCCDu);
}

TEST(Configuration, JsonRoundTripKeepsAbsentApartFromEmpty) {
    Configuration empty;
    EXPECT_EQ(empty.toJson(), R"({"timeouts":{}})");
    auto decoded = Configuration::fromJson(empty.toJson());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded.value(), empty);

    Configuration full;
    full.apiUrl = "https://h/Api";
    full.organizationId = "";
    full.apiToken = "t\"\\ok";
    full.projectSlug = "p";
    full.signingPolicySlug = "s";
    full.configFile = "/etc/x.json";
    full.timeouts = {30.0f, 1.6f, 9223372036854775807};
    full.logLevel = "verbose";
    full.logPath = "/tmp/l";
    const std::string json = full.toJson();
    EXPECT_NE(json.find(R"("firstRetryDelay":1.6)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("httpRequest":30.0)"), std::string::npos) << json;
    decoded = Configuration::fromJson(json);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded.value(), full);
}

// The encoder writes the largest float as "3.4028235e+38", which lies just above it.
TEST(Configuration, SecondsThatRoundToAFiniteFloatAreReadAndRoundTrip) {
    constexpr float largest = std::numeric_limits<float>::max();
    const std::pair<const char*, std::optional<float>> rows[] = {
        {"3.4028235e+38", largest},
        {"-3.4028235e38", -largest},
        {"3.4028234e38", largest},
        {"3.4028235677973362e38", largest},      // just below halfway to the next power of two
        {"3.4028235677973366e38", std::nullopt}, // halfway rounds to infinity
        {"1e39", std::nullopt},
        {"1e-46", 0.0f},
    };
    for (const auto& [number, expected] : rows) {
        const auto decoded =
            Configuration::fromJson(std::string(R"({"timeouts":{"httpRequest":)") + number + "}}");
        ASSERT_EQ(decoded.ok(), expected.has_value()) << number;
        const auto fromFile =
            configurationFromFileText(std::string(R"({"Timeouts":{"HttpRequest":)") + number + "}}");
        ASSERT_TRUE(fromFile) << number;
        EXPECT_EQ(fromFile->timeouts.httpRequest, expected) << number;
        if (decoded) {
            EXPECT_EQ(decoded.value().timeouts.httpRequest, expected) << number;
            const auto again = Configuration::fromJson(decoded.value().toJson());
            ASSERT_TRUE(again) << decoded.value().toJson();
            EXPECT_EQ(again.value(), decoded.value()) << number;
        }
    }
}

TEST(Configuration, DecodingIsStrict) {
    const char* failing[] = {
        "",
        "not json",
        "[]",
        R"({"apiUrl":"x"})",
        R"({"timeouts":null})",
        R"({"timeouts":[]})",
        R"({"timeouts":{},"apiUrl":5})",
        R"({"timeouts":{"retryCount":"3"}})",
        R"({"timeouts":{"retryCount":2.5}})",
        R"({"timeouts":{"retryCount":9223372036854775808}})",
        R"({"timeouts":{"httpRequest":"30"}})",
        R"({"timeouts":{"httpRequest":1e39}})",
        R"({"timeouts":{},"logPath":true})",
    };
    for (const char* json : failing) {
        const auto result = Configuration::fromJson(json);
        EXPECT_FALSE(result) << json;
        if (!result) {
            EXPECT_FALSE(result.error().description.empty());
        }
    }

    auto decoded = Configuration::fromJson(
        R"({"timeouts":{"httpRequest":30,"retryCount":3.0},"apiUrl":null,"unknown":{"x":1}})");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded.value().timeouts.httpRequest, 30.0f);
    EXPECT_EQ(decoded.value().timeouts.retryCount, 3);
    EXPECT_FALSE(decoded.value().apiUrl.has_value());
}

} // namespace
} // namespace veltora
