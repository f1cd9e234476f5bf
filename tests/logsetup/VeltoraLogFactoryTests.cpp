#include "VeltoraCryptoTokenKit/config/VeltoraLogFactory.h"
#include "tests/filelog/FileLogTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace veltora {
namespace {

using test::ChildProcess;
using test::TemporaryDirectory;

// The probe's environment: only what a test sets reaches its configuration.
class ProbeEnvironment {
public:
    ProbeEnvironment() {
        for (const char* name :
             {"VELTORA_ORGANIZATION_ID", "VELTORA_API_TOKEN", "VELTORA_API_URL", "VELTORA_CONFIG_FILE",
              "VELTORA_LOG_FILE_LEVEL", "VELTORA_LOG_FILE_DIRECTORY", "XDG_STATE_HOME", "HOME"}) {
            if (const char* value = std::getenv(name)) {
                saved_.emplace_back(name, value);
            }
            ::unsetenv(name);
        }
    }
    ~ProbeEnvironment() {
        for (const auto& [name, value] : saved_) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ProbeEnvironment(const ProbeEnvironment&) = delete;
    ProbeEnvironment& operator=(const ProbeEnvironment&) = delete;

    void set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }
    void setValidService() {
        set("VELTORA_ORGANIZATION_ID", "org");
        set("VELTORA_API_TOKEN", "token");
    }

private:
    std::vector<std::pair<std::string, std::string>> saved_;
};

// The probe's only log file in the directory; empty when there is not exactly one.
std::string runProbeAndReadItsFile(const std::string& logsDirectory) {
    EXPECT_EQ(ChildProcess({test::helperProgram("logsetup_probe")}).wait(), 0);
    const auto names = test::fileNames(logsDirectory);
    EXPECT_EQ(names.size(), 1u) << logsDirectory;
    if (names.size() != 1) {
        return {};
    }
    EXPECT_TRUE(names[0].starts_with("com.veltora.LogSetupProbe ")) << names[0];
    return test::readFile(logsDirectory + "/" + names[0]);
}

std::size_t occurrences(const std::string& content, const std::string& text) {
    std::size_t count = 0;
    for (auto at = content.find(text); at != std::string::npos; at = content.find(text, at + 1)) {
        ++count;
    }
    return count;
}

TEST(VeltoraLogFactory, ParsesLevelNamesExactly) {
    EXPECT_EQ(VeltoraLogFactory::parseLogLevel("error"), DDLogLevel::error);
    EXPECT_EQ(VeltoraLogFactory::parseLogLevel("warning"), DDLogLevel::warning);
    EXPECT_EQ(VeltoraLogFactory::parseLogLevel("info"), DDLogLevel::info);
    EXPECT_EQ(VeltoraLogFactory::parseLogLevel("debug"), DDLogLevel::debug);
    EXPECT_EQ(VeltoraLogFactory::parseLogLevel("verbose"), DDLogLevel::verbose);
    for (const char* other : {"Verbose", "Debug", " error", "error ", "", "off"}) {
        EXPECT_EQ(VeltoraLogFactory::parseLogLevel(other), DDLogLevel::info) << other;
    }
}

TEST(VeltoraLogFactory, ManyThreadsInstallOneFileSinkAtTheConfiguredLevel) {
    TemporaryDirectory directory;
    const std::string logs = directory / "configured/logs";
    ProbeEnvironment environment;
    environment.setValidService();
    environment.set("VELTORA_LOG_FILE_DIRECTORY", logs);
    environment.set("VELTORA_LOG_FILE_LEVEL", "verbose");

    const std::string content = runProbeAndReadItsFile(logs);
    EXPECT_EQ(occurrences(content, "  Setup logging with Log Directory: " + logs + "\n"), 1u) << content;
    for (const char* line : {"probe verbose", "probe info", "probe warning", "probe error"}) {
        EXPECT_EQ(occurrences(content, line), 1u) << line << "\n" << content;
    }
}

TEST(VeltoraLogFactory, CapitalisedLevelMeansInfo) {
    TemporaryDirectory directory;
    ProbeEnvironment environment;
    environment.setValidService();
    environment.set("VELTORA_LOG_FILE_DIRECTORY", directory.path());
    environment.set("VELTORA_LOG_FILE_LEVEL", "Verbose");

    const std::string content = runProbeAndReadItsFile(directory.path());
    EXPECT_EQ(content.find("verbose"), std::string::npos) << content;
    EXPECT_EQ(content.find("Setup logging"), std::string::npos) << content;
    EXPECT_EQ(occurrences(content, "probe info"), 1u) << content;
}

TEST(VeltoraLogFactory, WithoutConfigurationLogsAtInfoIntoTheDefaultDirectory) {
    TemporaryDirectory home;
    ProbeEnvironment environment;
    environment.set("HOME", home.path());
    environment.set("VELTORA_LOG_FILE_LEVEL", "verbose"); // no service settings: not a valid configuration

    const std::string content = runProbeAndReadItsFile(home / ".local/state/veltora/logs/logsetup_probe");
    EXPECT_EQ(content.find("verbose"), std::string::npos) << content;
    EXPECT_EQ(content.find("error reading configuration"), std::string::npos) << content;
    EXPECT_EQ(occurrences(content, "probe info"), 1u) << content;
}

} // namespace
} // namespace veltora
