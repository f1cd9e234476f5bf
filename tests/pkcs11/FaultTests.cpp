// The built module in a client application (tests/pkcs11/client) while things
// break around it: the process exits in the middle of signing, thread starts
// fail, the service is down, hangs or storms with 503. Every run is a process
// of its own, bounded in time, that must end cleanly.

#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace quillet::test {
namespace {

using veltora::test::EmulatorProcess;
using Clock = std::chrono::steady_clock;

constexpr auto kRunLimit = std::chrono::seconds(60);

struct ClientRun {
    int status = -1; // the exit status, 128 + the signal, or -1 when it had to be killed
    std::string output;
    double secondsAfterExit = -1; // from its "exiting" line until it was gone
    std::vector<CK_RV> returnValues;
    std::vector<long long> milliseconds;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class T> std::vector<T> numbersAfter(const std::string& output, const std::string& tag) {
    std::vector<T> numbers;
    const auto line = output.find(tag + " ");
    if (line != std::string::npos) {
        std::istringstream in(output.substr(line + tag.size(), output.find('\n', line) - line - tag.size()));
        in >> std::setbase(0);
        for (T number{}; in >> number;) {
            numbers.push_back(number);
        }
    }
    return numbers;
}

// Runs the client with its log files in logHome.
ClientRun runClient(const std::vector<std::string>& arguments, const std::string& logHome) {
    std::vector<std::string> argv{"/usr/bin/env", "XDG_STATE_HOME=" + logHome,
                                  std::string(VELTORA_BINARY_DIR) + "/bin/quillet-fault-client"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> argvPointers;
    for (auto& argument : argv) {
        argvPointers.push_back(argument.data());
    }
    argvPointers.push_back(nullptr);

    ClientRun run;
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, argv[0].c_str(), &actions, nullptr, argvPointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    if (spawned != 0) {
        close(output[0]);
        return run;
    }
    const auto deadline = Clock::now() + kRunLimit;
    std::optional<Clock::time_point> exiting;
    bool ended = false;
    while (!ended && Clock::now() < deadline) {
        pollfd readable{output[0], POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = read(output[0], chunk, sizeof chunk);
        ended = got <= 0;
        run.output.append(chunk, got > 0 ? static_cast<std::size_t>(got) : 0);
        if (!exiting && run.output.find("exiting\n") != std::string::npos) {
            exiting = Clock::now();
        }
    }
    close(output[0]);
    if (!ended) {
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (exiting) {
        run.secondsAfterExit = secondsSince(*exiting);
    }
    if (ended) {
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    run.returnValues = numbersAfter<CK_RV>(run.output, "rv");
    run.milliseconds = numbersAfter<long long>(run.output, "ms");
    return run;
}

std::string allLogText(const std::string& directory) {
    std::string text;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path());
            text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    return text;
}

class ModuleFaults : public ::testing::Test {
protected:
    ModuleFaults() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillet-fault-logs-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            logHome = pattern;
        }
    }
    ~ModuleFaults() override {
        std::error_code ignored;
        std::filesystem::remove_all(logHome, ignored);
    }

    static veltora::Configuration configuration(const EmulatorProcess& emulator,
                                                veltora::TimeoutsConfiguration timeouts) {
        veltora::Configuration record = emulatorConfiguration(emulator);
        record.timeouts = timeouts;
        return record;
    }

    TemporaryStore store;
    std::string logHome;
};

TEST_F(ModuleFaults, ExitWhileSigningEndsPromptlyAndCleanly) {
    struct Case {
        const char* name;
        std::vector<std::string> emulatorArguments;
        veltora::TimeoutsConfiguration timeouts;
        std::vector<std::string> clientArguments;
    };
    const std::vector<std::string> exitAfter300ms{"exit-while-signing", "8", "300"};
    const Case cases[] = {
        {"answers after 0.2 s", {"--latency-ms", "200"}, {20.0f, 0.001f, 2}, exitAfter300ms},
        {"hangs", {"--script", "signing=hang*100000"}, {20.0f, 0.001f, 2}, exitAfter300ms},
        {"storms with 503",
         {"--latency-ms", "10", "--script", "signing=503*100000"},
         {20.0f, 0.05f, 1000},
         exitAfter300ms},
        // C_Finalize while signing, then exit.
        {"hangs (C_Finalize first)",
         {"--script", "signing=hang*100000"},
         {20.0f, 0.001f, 2},
         {"exit-while-signing", "8", "300", "finalize"}},
    };
    // Enough runs to catch a fault that shows once in ten.
    constexpr int kRuns = 10;
    for (const Case& c : cases) {
        EmulatorProcess emulator(c.emulatorArguments);
        registerToken("policy-id-1", policyCertificate(emulator, "policy-id-1"),
                      configuration(emulator, c.timeouts));
        double slowest = 0;
        for (int run = 0; run < kRuns; ++run) {
            const ClientRun result = runClient(c.clientArguments, logHome);
            EXPECT_EQ(result.status, 0) << c.name << ", run " << run << ":\n" << result.output;
            EXPECT_GE(result.secondsAfterExit, 0) << c.name;
            slowest = std::max(slowest, result.secondsAfterExit);
        }
        EXPECT_LT(slowest, 1.0) << c.name;
        std::printf("exit while the service %s: slowest end after exit() %.3f s\n", c.name, slowest);
        unregisterToken("policy-id-1");
    }
}

TEST_F(ModuleFaults, AFailedWorkerStartFailsTheCallAtOnceAndTheNextCallSigns) {
    EmulatorProcess emulator;
    registerToken("policy-id-1", policyCertificate(emulator, "policy-id-1"), emulatorConfiguration(emulator));
    const ClientRun result = runClient({"thread-start-fails"}, logHome);
    ASSERT_EQ(result.status, 0) << result.output;
    ASSERT_EQ(result.returnValues.size(), 2u) << result.output;
    EXPECT_EQ(result.returnValues[0], CKR_DEVICE_ERROR);
    EXPECT_LT(result.milliseconds[0], 1000);
    EXPECT_EQ(result.returnValues[1], CKR_OK);
    EXPECT_NE(allLogText(logHome).find("The signing request could not be started."), std::string::npos);
}

TEST_F(ModuleFaults, AModuleThatSignedUnloadsWithoutLeavingAnythingBehind) {
    EmulatorProcess emulator;
    registerToken("policy-id-1", policyCertificate(emulator, "policy-id-1"), emulatorConfiguration(emulator));
    const ClientRun result = runClient({"unload"}, logHome);
    EXPECT_EQ(result.status, 0) << result.output; // also no leak report
    EXPECT_EQ(result.returnValues, std::vector<CK_RV>{CKR_OK});
}

TEST_F(ModuleFaults, ServiceFaultsFailWithinTheConfiguredTimeouts) {
    struct Case {
        const char* name;
        std::vector<std::string> emulatorArguments; // none: nobody listens
        veltora::TimeoutsConfiguration timeouts;
        long long limitMilliseconds;
    };
    const Case cases[] = {
        {"down", {}, {1.0f, 0.01f, 3}, 500},
        // Only the request timeout ends it: a transport failure is not retried.
        {"hanging", {"--script", "signing=hang"}, {1.0f, 0.01f, 3}, 1500},
        // Three attempts and two short waits.
        {"storming with 503", {"--script", "signing=503*100"}, {1.0f, 0.01f, 3}, 1000},
    };
    for (const Case& c : cases) {
        EmulatorProcess emulator(c.emulatorArguments);
        veltora::Configuration record = configuration(emulator, c.timeouts);
        if (c.emulatorArguments.empty()) {
            record.apiUrl = "http://127.0.0.1:1/Api";
        }
        registerToken("policy-id-1", policyCertificate(emulator, "policy-id-1"), record);
        const ClientRun result = runClient({"sign"}, logHome);
        EXPECT_EQ(result.status, 0) << c.name << ":\n" << result.output;
        ASSERT_EQ(result.returnValues.size(), 1u) << c.name << ":\n" << result.output;
        EXPECT_EQ(result.returnValues[0], CKR_DEVICE_ERROR) << c.name;
        EXPECT_LT(result.milliseconds[0], c.limitMilliseconds) << c.name;
        std::printf("service %s: C_Sign failed after %lld ms\n", c.name, result.milliseconds[0]);
        unregisterToken("policy-id-1");
    }
}

} // namespace
} // namespace quillet::test
