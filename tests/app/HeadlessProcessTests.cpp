// The built host without a window, as its users run it: signals, the table on
// standard output, and the registration store before and after.

#include "tests/app/HostProcess.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <thread>

namespace veltora::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace std::chrono_literals;

const std::string kHeader = "commonname\tproject\tsigningpolicy\tfingerprint\texpires\n";

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::size_t policyRequests(const EmulatorProcess& emulator) {
    std::size_t count = 0;
    for (const auto& request : emulator.requests()) {
        count +=
            request.at("target").get<std::string>().find("MySigningPolicies") != std::string::npos ? 1 : 0;
    }
    return count;
}

class HeadlessHost : public ::testing::Test {
protected:
    HostSandbox sandbox;
};

TEST_F(HeadlessHost, LaunchClearsTheRegistrationsOfAKilledRun) {
    {
        EmulatorProcess emulator({"--generate", "2", "--key-bits", "1024"});
        HostProcess killed(sandbox, {"--headless"}, serviceEnvironment(emulator));
        ASSERT_TRUE(killed.waitForOutput(kHeader));
        killed.signal(SIGKILL);
        ASSERT_EQ(killed.wait(), 128 + SIGKILL);
    }
    ASSERT_EQ(sandbox.registrationCount(), 2u);

    // This run cannot read its configuration, so only launch can empty the store.
    HostProcess next(sandbox, {"--headless"});
    ASSERT_TRUE(next.waitForErrors("Error reading configuration "));
    EXPECT_EQ(sandbox.registrationCount(), 0u);
    next.signal(SIGTERM);
    EXPECT_EQ(next.wait(), 0);
}

class HeadlessHostQuits : public HeadlessHost, public ::testing::WithParamInterface<int> {};

TEST_P(HeadlessHostQuits, RemovingItsRegistrationsFlushingItsLogsWithStatusZero) {
    EmulatorProcess emulator({"--generate", "2", "--key-bits", "1024"});
    HostProcess host(sandbox, {"--headless"}, serviceEnvironment(emulator));
    ASSERT_TRUE(host.waitForOutput(kHeader));
    ASSERT_EQ(sandbox.registrationCount(), 2u);

    host.signal(GetParam());
    EXPECT_EQ(host.wait(), 0) << host.errors();
    EXPECT_EQ(sandbox.registrationCount(), 0u);
    // Written asynchronously by the clearing at quit: in the file only if the logs were flushed.
    EXPECT_THAT(sandbox.logText(), HasSubstr("found token: policy-id-2"));
}

INSTANTIATE_TEST_SUITE_P(Signals, HeadlessHostQuits, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "Sigterm" : "Sigint"; });

TEST_F(HeadlessHost, HangUpRunsAnotherPassAndEachPassPrintsItsTable) {
    EmulatorProcess emulator({"--generate", "2", "--key-bits", "1024"});
    HostProcess host(sandbox, {"--headless"}, serviceEnvironment(emulator));
    ASSERT_TRUE(host.waitForOutput(kHeader));
    host.signal(SIGHUP);
    ASSERT_TRUE(host.waitForOutput(kHeader, 2));
    host.signal(SIGTERM);
    ASSERT_EQ(host.wait(), 0);

    const auto lines = linesOf(host.output());
    ASSERT_EQ(lines.size(), 7u) << host.output();
    EXPECT_EQ(lines[0], "app did finish launching");
    for (const std::size_t table : {1u, 4u}) {
        EXPECT_EQ(lines[table] + "\n", kHeader);
        EXPECT_THAT(lines[table + 1], StartsWith("policy-1\tproject-1\tpolicy-1\t"));
        EXPECT_THAT(lines[table + 2], StartsWith("policy-2\tproject-2\tpolicy-2\t"));
        EXPECT_EQ(occurrences(lines[table + 1], "\t"), 4u);
    }
    EXPECT_EQ(policyRequests(emulator), 2u);
}

TEST_F(HeadlessHost, PassWithoutValidCertificatesPrintsTheHeaderAlone) {
    EmulatorProcess emulator({"--script", "policies=200:{\"signingPolicies\":[]}"});
    HostProcess host(sandbox, {"--headless"}, serviceEnvironment(emulator));
    ASSERT_TRUE(host.waitForOutput(kHeader));
    host.signal(SIGTERM);
    ASSERT_EQ(host.wait(), 0);
    EXPECT_EQ(host.output(), "app did finish launching\n" + kHeader);
}

TEST_F(HeadlessHost, ConfigurationErrorKeepsTheHostUp) {
    HostProcess host(sandbox, {"--headless"}, {{"VELTORA_API_TOKEN", "token-without-organization"}});
    ASSERT_TRUE(host.waitForErrors("Error reading configuration The organization id is missing"))
        << host.errors();
    // No service client: a pass asked for ends at once, reported on standard error.
    host.signal(SIGHUP);
    EXPECT_TRUE(host.waitForErrors("No signing policies found."));
    EXPECT_TRUE(host.running());
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0);
    EXPECT_EQ(host.output(), "app did finish launching\n");
}

TEST_F(HeadlessHost, SeesTheDriverOnlyWhereTheModuleIsInstalledBesideIt) {
    EmulatorProcess emulator;
    // The program in a tree of its own, first without the module.
    const std::filesystem::path program = sandbox / "tree/bin/VeltoraCryptoTokenKit";
    std::filesystem::create_directories(program.parent_path());
    std::error_code notLinked;
    std::filesystem::create_hard_link(HostProcess::programPath(), program, notLinked);
    if (notLinked) {
        std::filesystem::copy_file(HostProcess::programPath(), program);
    }
    {
        HostProcess host(sandbox, {"--headless"}, serviceEnvironment(emulator), program);
        ASSERT_TRUE(host.waitForOutput(kHeader)) << host.errors();
        host.signal(SIGTERM);
        ASSERT_EQ(host.wait(), 0);
        EXPECT_EQ(host.output(), "app did finish launching\n" + kHeader);
        EXPECT_THAT(sandbox.logText(), HasSubstr("TokenDriver not found"));
        EXPECT_EQ(sandbox.registrationCount(), 0u);
    }

    // The module where cmake --install puts it.
    const std::filesystem::path module = program.parent_path() / QUILLET_INSTALLED_MODULE;
    std::filesystem::create_directories(module.parent_path());
    std::filesystem::create_symlink(quillet::test::modulePath(), module);
    HostProcess host(sandbox, {"--headless"}, serviceEnvironment(emulator), program);
    ASSERT_TRUE(host.waitForOutput("\tpolicy-1\t")) << host.errors();
    EXPECT_EQ(sandbox.registrationCount(), 1u);
    host.signal(SIGTERM);
    ASSERT_EQ(host.wait(), 0);
    EXPECT_EQ(sandbox.registrationCount(), 0u);
}

TEST_F(HeadlessHost, QuittingWhileAPassRegistersLeavesNoRegistration) {
    EmulatorProcess emulator({"--generate", "400", "--key-bits", "1024"});
    HostProcess host(sandbox, {"--headless"}, serviceEnvironment(emulator));
    ASSERT_TRUE(eventually([&] { return sandbox.registrationCount() > 0; }, 60s));
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0);
    EXPECT_EQ(sandbox.registrationCount(), 0u);
    EXPECT_EQ(occurrences(host.output(), kHeader), 0u) << "the pass ended before the signal";
}

TEST_F(HeadlessHost, QuittingWhileTheServiceIsSlowStopsTheRequest) {
    EmulatorProcess emulator({"--latency-ms", "30000"});
    HostProcess host(sandbox, {"--headless"}, serviceEnvironment(emulator));
    ASSERT_TRUE(host.waitForOutput("app did finish launching"));
    std::this_thread::sleep_for(500ms); // the pass is waiting for the answer
    const auto signalled = std::chrono::steady_clock::now();
    host.signal(SIGINT);
    EXPECT_EQ(host.wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 10s);
    EXPECT_EQ(sandbox.registrationCount(), 0u);
}

TEST_F(HeadlessHost, HelpAndVersionNeedNeitherDisplayNorConfiguration) {
    HostProcess help(sandbox, {"--help"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_THAT(help.output(), StartsWith("Usage: VeltoraCryptoTokenKit [--headless]"));
    HostProcess version(sandbox, {"--api-url", "x", "--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.output(), std::string("VeltoraCryptoTokenKit ") + VELTORA_VERSION + "\n");
}

TEST_F(HeadlessHost, WindowedHostReadsItsConfigurationBesideQtOptionsAndQuitsTheSameWay) {
    EmulatorProcess emulator;
    HostProcess host(sandbox, {"-platform", "offscreen", "--api-url", emulator.baseUrl(), "--organization-id",
                               EmulatorProcess::kOrganization, "--api-token", EmulatorProcess::kApiToken});
    ASSERT_TRUE(eventually([&] { return sandbox.registrationCount() == 1; }, 60s)) << host.errors();
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0) << host.errors();
    EXPECT_EQ(sandbox.registrationCount(), 0u);
    EXPECT_EQ(host.output(), "app did finish launching\n");
}

} // namespace
} // namespace veltora::test
