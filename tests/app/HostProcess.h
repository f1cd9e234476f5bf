#pragma once

#include "tests/filelog/FileLogTestSupport.h"
#include "tests/support/EmulatorProcess.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace veltora::test {

// A home of its own for runs of the host: HOME, the XDG directories and the
// registration store under one temporary directory, shared by the runs that
// one test starts.
class HostSandbox {
public:
    const std::string& path() const { return directory_.path(); }
    std::string operator/(const std::string& name) const { return directory_ / name; }
    std::string storePath() const { return directory_ / "store"; }
    // Files in the registration store.
    std::size_t registrationCount() const;
    // Everything in the host's log files.
    std::string logText() const;

private:
    TemporaryDirectory directory_;
};

// The service settings of the emulator as the host's environment, with short timeouts.
std::map<std::string, std::string> serviceEnvironment(const EmulatorProcess& emulator);

// The built program build/bin/VeltoraCryptoTokenKit (or a link to it) running in a sandbox, its
// standard output and standard error kept in files. Killed if still running at the end.
class HostProcess {
public:
    HostProcess(const HostSandbox& sandbox, const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment = {},
                const std::string& program = programPath());
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    static std::string programPath();

    void signal(int signalNumber) const;
    // The exit status (128 + the signal for a killed process), or -1 when it did not end in time.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    bool running();

    std::string output() const;
    std::string errors() const;
    // True once standard output holds the text at least count times.
    bool waitForOutput(const std::string& text, std::size_t count = 1,
                       std::chrono::milliseconds limit = std::chrono::seconds(60)) const;
    bool waitForErrors(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(60)) const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outputPath_;
    std::string errorsPath_;
};

// The regular files under the directory, their contents appended to content when given.
std::size_t filesUnder(const std::string& directory, std::string* content = nullptr);

// How often the text occurs in the string.
std::size_t occurrences(const std::string& text, const std::string& part);

} // namespace veltora::test
