#include "VeltoraCryptoTokenKit/config/ConfigHelper.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "tests/support/RecordingLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace veltora {
namespace {

namespace fs = std::filesystem;

class ConfigHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory = fs::temp_directory_path() / ("config-test-" + std::to_string(getpid()));
        fs::create_directories(directory);
        process.arguments = {"/opt/veltora/bin/tool"};
        process.bundlePath = (directory / "bin" / "tool").string();
        firstLine = logLines().size();
    }
    void TearDown() override { fs::remove_all(directory); }

    std::string writeFile(const std::string& name, const std::string& content) {
        const auto path = directory / name;
        std::ofstream(path) << content;
        return path.string();
    }

    Configuration load() {
        auto merged = ConfigHelper(process).readConfigInternal(process);
        EXPECT_TRUE(merged.has_value());
        return merged.value_or(Configuration{});
    }

    // One sink for the whole program: the registry keeps its sinks until the process ends.
    static std::shared_ptr<test::RecordingLogger> sharedRecorder() {
        static const auto recorder = [] {
            auto logger = std::make_shared<test::RecordingLogger>();
            DDLog::sharedInstance().addLogger(logger, DDLogLevel::all);
            return logger;
        }();
        return recorder;
    }

    // The lines written since this test began.
    std::vector<std::string> logLines() {
        DDLog::sharedInstance().flushLog();
        auto lines = sharedRecorder()->lines();
        lines.erase(lines.begin(),
                    lines.begin() + static_cast<std::ptrdiff_t>(std::min(firstLine, lines.size())));
        return lines;
    }

    bool logged(const std::string& line) {
        const auto lines = logLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    fs::path directory;
    ProcessInfo process;
    std::size_t firstLine = 0;
};

TEST_F(ConfigHelperTest, NothingConfiguredGivesDefaultsAndFailsOnTheOrganization) {
    const auto configuration = load();
    EXPECT_EQ(configuration.apiUrl, "https://api.veltora.example/Api");
    EXPECT_EQ(configuration.organizationId, "");
    EXPECT_EQ(configuration.configFile, (directory / "bin" / "config.json").string());
    EXPECT_EQ(configuration.timeouts, (TimeoutsConfiguration{30.0f, 1.6f, 10}));
    EXPECT_EQ(configuration.logLevel, "");
    EXPECT_TRUE(logged("Failed to find file at path " + (directory / "bin" / "config.json").string() + "."));

    const auto result = ConfigHelper(process).readConfig();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), (Error{"VeltoraClient", errors::client::kOrganizationIdMissing,
                                     "The organization id is missing"}));
}

TEST_F(ConfigHelperTest, StrongerSourcesWinButEmptyTextNeverHidesAWeakerOne) {
    process.environment = {{"VELTORA_API_TOKEN", "from-env"},
                           {"VELTORA_ORGANIZATION_ID", ""},
                           {"VELTORA_TIMEOUTS_RETRY_COUNT", "0"},
                           {"VELTORA_CONFIG_FILE", writeFile("c.json", R"({"OrganizationId":"from-file",
                               "ApiToken":"file-token","Timeouts":{"RetryCount":5,"HttpRequest":12},
                               "Log":{"File":{"Level":"verbose","Directory":"/var/log/x"}}})")}};
    process.arguments = {"/opt/veltora/bin/tool", "--api-token", "from-cli"};
    auto configuration = load();
    EXPECT_EQ(configuration.apiToken, "from-cli");
    EXPECT_EQ(configuration.organizationId, "from-file");
    EXPECT_EQ(configuration.timeouts.retryCount, 0); // zero is a value, not "not given"
    EXPECT_EQ(configuration.timeouts.httpRequest, 12.0f);
    EXPECT_EQ(configuration.logLevel, "verbose");
    EXPECT_EQ(configuration.logPath, "/var/log/x");
    EXPECT_EQ(configuration.configFile, process.environment["VELTORA_CONFIG_FILE"]);

    process.arguments = {"/opt/veltora/bin/tool", "--api-token", ""};
    EXPECT_EQ(load().apiToken, "from-env");
    process.arguments = {"/opt/veltora/bin/tool", "--config", (directory / "missing.json").string()};
    configuration = load();
    EXPECT_EQ(configuration.configFile, (directory / "missing.json").string());
    EXPECT_EQ(configuration.apiToken, "from-env");
    EXPECT_TRUE(logged("Failed to find file at path " + (directory / "missing.json").string() + "."));
    process.arguments = {"/opt/veltora/bin/tool"};
    process.environment["VELTORA_API_TOKEN"] = "";
    EXPECT_EQ(load().apiToken, "file-token");

    const auto result = ConfigHelper(process).readConfig();
    ASSERT_TRUE(result);
    EXPECT_TRUE(logged("using merged config: " + result.value().description()));
}

TEST_F(ConfigHelperTest, EnvironmentNumbersParseLikeStrtofInThePosixLocaleOrCountAsNotGiven) {
    const std::pair<const char*, std::optional<float>> floats[] = {
        {"5", 5.0f},          {"5e0", 5.0f},      {"0x1.4p2", 5.0f},     {" 5", std::nullopt},
        {"5 ", std::nullopt}, {"", std::nullopt}, {"5,0", std::nullopt}, {"abc", std::nullopt},
    };
    for (const auto& [text, expected] : floats) {
        process.environment = {{"VELTORA_TIMEOUTS_HTTP_REQUEST", text}};
        const auto environment = ConfigHelper(process).readEnvironmentConfig(process);
        EXPECT_EQ(environment->timeouts.httpRequest, expected) << '"' << text << '"';
    }
    process.environment = {{"VELTORA_TIMEOUTS_FIRST_RETRY_DELAY", "inf"}};
    EXPECT_TRUE(std::isinf(*ConfigHelper(process).readEnvironmentConfig(process)->timeouts.firstRetryDelay));

    const std::pair<const char*, std::optional<std::int64_t>> counts[] = {
        {"3", 3},
        {"+3", 3},
        {"-3", -3},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"1.5", std::nullopt},
        {" 3", std::nullopt},
        {"3 ", std::nullopt},
        {"+-3", std::nullopt},
        {"+", std::nullopt},
        {"abc", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : counts) {
        process.environment = {{"VELTORA_TIMEOUTS_RETRY_COUNT", text}};
        EXPECT_EQ(ConfigHelper(process).readEnvironmentConfig(process)->timeouts.retryCount, expected)
            << '"' << text << '"';
    }
}

TEST_F(ConfigHelperTest, FileMembersOfTheWrongShapeCountAsNotGiven) {
    process.environment = {{"VELTORA_CONFIG_FILE", writeFile("shape.json", R"({
        "ApiUrl": 5, "OrganizationId": "org", "ConfigFile": "/elsewhere.json",
        "Timeouts": {"HttpRequest": "30", "FirstRetryDelay": true, "RetryCount": 3.5},
        "Log": {"Level": "debug"}})")}};
    auto configuration = load();
    EXPECT_EQ(configuration.apiUrl, "https://api.veltora.example/Api");
    EXPECT_EQ(configuration.organizationId, "org");
    EXPECT_EQ(configuration.configFile, process.environment["VELTORA_CONFIG_FILE"]);
    EXPECT_EQ(configuration.timeouts, (TimeoutsConfiguration{30.0f, 1.0f, 10}));
    EXPECT_EQ(configuration.logLevel, "");

    const auto array = writeFile("array.json", R"([{"OrganizationId":"org"}])");
    process.environment["VELTORA_CONFIG_FILE"] = array;
    firstLine += logLines().size();
    EXPECT_EQ(load().organizationId, "");
    EXPECT_EQ(logLines(), std::vector<std::string>{"Reading config from file at path " + array});

    process.environment["VELTORA_CONFIG_FILE"] =
        writeFile("count.json", R"({"Timeouts":{"RetryCount":3.0}})");
    EXPECT_EQ(load().timeouts.retryCount, 3);

    process.environment["VELTORA_CONFIG_FILE"] = writeFile("broken.json", "{\"ApiUrl\":");
    EXPECT_EQ(load().apiUrl, "https://api.veltora.example/Api");
    const auto lines = logLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& line) {
        return line.rfind("Failed to parse JSON data: ", 0) == 0;
    }));
}

TEST_F(ConfigHelperTest, OnlyRegularFilesOfAtMostOneMebibyteAreRead) {
    const auto fifo = (directory / "fifo.json").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto huge = writeFile("huge.json", "{\"OrganizationId\":\"org\",\"Pad\":\"" +
                                                 std::string(ConfigHelper::kMaximumFileSize, 'x') + "\"}");
    for (const auto& path : {fifo, huge, directory.string(), std::string("/dev/zero")}) {
        process.environment = {{"VELTORA_CONFIG_FILE", path}};
        EXPECT_EQ(load().organizationId, "") << path;
        EXPECT_TRUE(logged("Failed to read JSON file at path " + path + ".")) << path;
    }
}

TEST(ConfigHelperValidation, FirstFailingCheckDecides) {
    const auto message = [](const std::optional<Configuration>& configuration) {
        const auto result = ConfigHelper::validateConfiguration(configuration);
        return result ? std::string() : result.error().description;
    };
    Configuration configuration;
    EXPECT_EQ(message(std::nullopt), "No configuration was provided");
    EXPECT_EQ(message(configuration), "The api url is missing");
    configuration.apiUrl = "u";
    configuration.apiToken = "t";
    EXPECT_EQ(message(configuration), "The organization id is missing");
    configuration.organizationId = "o";
    configuration.apiToken = "";
    EXPECT_EQ(message(configuration), "The api token is missing");
    configuration.apiToken = "t";
    EXPECT_EQ(message(configuration), "");
}

} // namespace
} // namespace veltora
