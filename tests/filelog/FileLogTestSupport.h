#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace veltora::test {

// A fresh directory under the temporary directory, removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// Names of the entries of a directory, sorted.
std::vector<std::string> fileNames(const std::string& directory);
// Everything written into the directory's files, in no particular order of files.
std::string allContent(const std::string& directory);
// Polls until the condition holds or the time is up; returns the last answer.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// A process started from a built program, with a pipe to its standard input
// and one from its standard output. Killed and reaped if still running at the end.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // One line of its output, without the line feed; empty after the time limit.
    std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
    void closeInput();
    // The exit status, or -1 when it did not end in time.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    int pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

std::string helperProgram(const std::string& name);

} // namespace veltora::test
