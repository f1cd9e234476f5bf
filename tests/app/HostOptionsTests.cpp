#include "VeltoraCryptoTokenKit/app/HostOptions.h"

#include <gtest/gtest.h>

namespace veltora {
namespace {

struct OptionsCase {
    const char* name;
    std::vector<std::string> arguments;
    bool headless;
    bool help;
    bool version;
    friend void PrintTo(const OptionsCase& row, std::ostream* out) { *out << row.name; }
};

class HostOptionsParse : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(HostOptionsParse, PicksTheHostSwitchesAndLeavesTheRest) {
    const auto& row = GetParam();
    const HostOptions options = HostOptions::parse(row.arguments);
    EXPECT_EQ(options.headless, row.headless);
    EXPECT_EQ(options.help, row.help);
    EXPECT_EQ(options.version, row.version);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, HostOptionsParse,
    ::testing::Values(OptionsCase{"ProgramOnly", {"host"}, false, false, false},
                      OptionsCase{"Headless", {"host", "--headless"}, true, false, false},
                      OptionsCase{"BetweenConfigurationOptions",
                                  {"host", "--api-url", "u", "--headless", "--api-token", "t"},
                                  true,
                                  false,
                                  false},
                      // The configuration's parser still reads "--headless" as the URL here; each argument is
                      // also its own switch.
                      OptionsCase{
                          "AlsoAnOptionsValue", {"host", "--api-url", "--headless"}, true, false, false},
                      OptionsCase{"HelpAndVersion", {"host", "--version", "--help"}, false, true, true},
                      OptionsCase{"ProgramPathIsNoSwitch", {"--headless"}, false, false, false},
                      OptionsCase{"ExactSpellingOnly",
                                  {"host", "--Headless", "--headless=1", "-headless", "--help "},
                                  false,
                                  false,
                                  false},
                      OptionsCase{"UnknownAndQtOptionsIgnored",
                                  {"host", "-platform", "offscreen", "--frobnicate"},
                                  false,
                                  false,
                                  false}),
    [](const auto& info) { return info.param.name; });

TEST(HostOptionsText, VersionIsTheProjectVersion) {
    EXPECT_EQ(HostOptions::versionText(), std::string("VeltoraCryptoTokenKit ") + VELTORA_VERSION + "\n");
}

} // namespace
} // namespace veltora
