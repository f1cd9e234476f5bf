#include "tests/app/HostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace veltora::test {

namespace {

// What the host may find in the test's own environment that would reach past its sandbox.
bool belongsToTheSandbox(const std::string& variable) {
    for (const char* prefix :
         {"VELTORA_", "HOME=", "XDG_", "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}) {
        if (variable.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

} // namespace

std::size_t filesUnder(const std::string& directory, std::string* content) {
    std::size_t count = 0;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->is_regular_file()) {
            ++count;
            if (content != nullptr) {
                *content += readFile(entry->path().string());
            }
        }
    }
    return count;
}

std::size_t HostSandbox::registrationCount() const {
    return filesUnder(storePath());
}

std::string HostSandbox::logText() const {
    std::string text;
    filesUnder(directory_ / "state", &text);
    return text;
}

std::map<std::string, std::string> serviceEnvironment(const EmulatorProcess& emulator) {
    return {{"VELTORA_API_URL", emulator.baseUrl()},
            {"VELTORA_ORGANIZATION_ID", EmulatorProcess::kOrganization},
            {"VELTORA_API_TOKEN", EmulatorProcess::kApiToken},
            {"VELTORA_TIMEOUTS_HTTP_REQUEST", "20"},
            {"VELTORA_TIMEOUTS_FIRST_RETRY_DELAY", "0.01"},
            {"VELTORA_TIMEOUTS_RETRY_COUNT", "2"}};
}

std::string HostProcess::programPath() {
    return VELTORA_BINARY_DIR "/bin/VeltoraCryptoTokenKit";
}

HostProcess::HostProcess(const HostSandbox& sandbox, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment, const std::string& program) {
    static std::atomic<int> runs{0};
    const std::string run = std::to_string(++runs);
    outputPath_ = sandbox.path() + "/stdout-" + run;
    errorsPath_ = sandbox.path() + "/stderr-" + run;

    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!belongsToTheSandbox(*entry)) {
            variables.emplace_back(*entry);
        }
    }
    std::map<std::string, std::string> settings{
        {"HOME", sandbox.path() + "/home"},           {"XDG_STATE_HOME", sandbox.path() + "/state"},
        {"XDG_DATA_HOME", sandbox.path() + "/data"},  {"XDG_CONFIG_HOME", sandbox.path() + "/config"},
        {"VELTORA_TOKEN_STORE", sandbox.storePath()}, {"VELTORA_LOG_FILE_LEVEL", "verbose"}};
    for (const auto& [name, value] : environment) {
        settings[name] = value;
    }
    for (const auto& [name, value] : settings) {
        variables.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    std::vector<std::string> argumentList{program};
    argumentList.insert(argumentList.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentList) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorsPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int started = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + program);
    }
}

HostProcess::~HostProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

void HostProcess::signal(int signalNumber) const {
    if (pid_ > 0) {
        ::kill(pid_, signalNumber);
    }
}

int HostProcess::wait(std::chrono::milliseconds limit) {
    eventually([this] { return !running(); }, limit);
    return status_;
}

bool HostProcess::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) {
        return true;
    }
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

std::string HostProcess::output() const {
    return readFile(outputPath_);
}

std::string HostProcess::errors() const {
    return readFile(errorsPath_);
}

bool HostProcess::waitForOutput(const std::string& text, std::size_t count,
                                std::chrono::milliseconds limit) const {
    return eventually([&] { return occurrences(output(), text) >= count; }, limit);
}

bool HostProcess::waitForErrors(const std::string& text, std::chrono::milliseconds limit) const {
    return eventually([&] { return errors().find(text) != std::string::npos; }, limit);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

} // namespace veltora::test
