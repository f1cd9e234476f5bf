#include "VeltoraCryptoTokenKit/config/CommandLineParser.h"

#include <gtest/gtest.h>

namespace veltora {
namespace {

Configuration parse(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/tool");
    return CommandLineParser(args).extractConfiguration();
}

TEST(CommandLineParser, ProgramPathAloneGivesEmptyTextsAndNoTimings) {
    const auto configuration = CommandLineParser({"/usr/bin/tool"}).extractConfiguration();
    for (const auto* field : {&configuration.apiUrl, &configuration.organizationId, &configuration.apiToken,
                              &configuration.projectSlug, &configuration.signingPolicySlug,
                              &configuration.configFile, &configuration.logLevel, &configuration.logPath}) {
        EXPECT_EQ(*field, std::optional<std::string>(""));
    }
    EXPECT_EQ(configuration.timeouts, TimeoutsConfiguration{});
}

TEST(CommandLineParser, EveryOptionTakesTheNextArgumentWhateverItIs) {
    auto configuration = parse({"--api-url", "--api-token", "secret"});
    EXPECT_EQ(configuration.apiUrl, "--api-token");
    EXPECT_EQ(configuration.apiToken, "secret");

    configuration = parse({"-x", "--api-url", "https://h/Api"});
    EXPECT_EQ(configuration.apiUrl, "https://h/Api");

    configuration = parse({"--api-token", "first", "--api-token", "second", "--organization-id", "org",
                           "--project-slug", "p", "--signing-policy-slug", "s", "--config", "/c.json"});
    EXPECT_EQ(configuration.apiToken, "second");
    EXPECT_EQ(configuration.organizationId, "org");
    EXPECT_EQ(configuration.projectSlug, "p");
    EXPECT_EQ(configuration.signingPolicySlug, "s");
    EXPECT_EQ(configuration.configFile, "/c.json");
}

TEST(CommandLineParser, UnmatchedFormsCountAsNotGiven) {
    EXPECT_EQ(parse({"--api-url"}).apiUrl, "");
    EXPECT_EQ(parse({"--api-url=https://h/Api"}).apiUrl, "");
    EXPECT_EQ(parse({"--API-URL", "https://h/Api"}).apiUrl, "");
    EXPECT_EQ(parse({"--api", "https://h/Api"}).apiUrl, "");
    EXPECT_EQ(parse({"--config", ""}).configFile, "");
    EXPECT_EQ(CommandLineParser({"/usr/bin/tool"}).getValue("nonsense"), std::nullopt);
    EXPECT_EQ(CommandLineParser({"/usr/bin/tool"}).getValue("apiUrl"), std::nullopt);
}

} // namespace
} // namespace veltora
