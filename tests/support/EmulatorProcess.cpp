#include "tests/support/EmulatorProcess.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <strings.h>
#include <thread>

extern char** environ;

namespace veltora::test {

namespace {

// Generous: key generation under sanitizers on a busy machine.
constexpr std::chrono::seconds kStartLimit{60};
constexpr std::chrono::seconds kStopLimit{15};

struct Fd {
    int value = -1;
    ~Fd() {
        if (value >= 0) {
            close(value);
        }
    }
};

// The first line the child writes, without its line break.
std::string readFirstLine(int fd) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0) {
            continue;
        }
        char c = 0;
        const ssize_t got = read(fd, &c, 1);
        if (got <= 0) {
            break;
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
    throw std::runtime_error("the emulator did not print its URL (got \"" + line + "\")");
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

} // namespace

std::string EmulatorProcess::executablePath() {
    return VELTORA_BINARY_DIR "/bin/veltora-service-emulator";
}

EmulatorProcess::EmulatorProcess(std::vector<std::string> arguments, bool tls) {
    if (tls) {
        char pattern[] = "/tmp/veltora-emulator-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        temporaryDirectory_ = pattern;
        caFile_ = temporaryDirectory_ + "/ca.pem";
        arguments.insert(arguments.end(), {"--tls", "--ca-file", caFile_});
    }
    std::vector<std::string> argv{executablePath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (auto& argument : argv) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make a pipe");
    }
    Fd readEnd{ends[0]};
    Fd writeEnd{ends[1]};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.value, STDOUT_FILENO);
    const int spawned = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0]);
    }
    close(writeEnd.value);
    writeEnd.value = -1;
    try {
        baseUrl_ = readFirstLine(readEnd.value);
    } catch (...) {
        stop();
        throw;
    }
}

EmulatorProcess::~EmulatorProcess() {
    stop();
}

void EmulatorProcess::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
    }
    if (!temporaryDirectory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(temporaryDirectory_, ignored);
        temporaryDirectory_.clear();
    }
}

std::string EmulatorProcess::origin() const {
    return baseUrl_.substr(0, baseUrl_.rfind("/Api"));
}

std::pair<long, std::string> EmulatorProcess::control(const std::string& method, const std::string& path,
                                                      const std::string& body) const {
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        throw std::runtime_error("libcurl is not available");
    }
    const std::string url = origin() + path;
    std::string answer;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
    if (!body.empty() || method == "PUT" || method == "POST") {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
    }
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    if (!caFile_.empty()) {
        curl_easy_setopt(curl.get(), CURLOPT_CAINFO, caFile_.c_str());
    }
    const CURLcode code = curl_easy_perform(curl.get());
    if (code != CURLE_OK) {
        throw std::runtime_error(std::string("emulator control request failed: ") + curl_easy_strerror(code));
    }
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    return {status, answer};
}

void EmulatorProcess::script(std::string_view endpoint, std::string_view steps) const {
    const auto [status, answer] =
        control("PUT", "/_emulator/script/" + std::string(endpoint), std::string(steps));
    if (status != 204) {
        throw std::runtime_error("script refused: " + answer);
    }
}

void EmulatorProcess::setLatency(int milliseconds) const {
    const auto [status, answer] = control("PUT", "/_emulator/latency", std::to_string(milliseconds));
    if (status != 204) {
        throw std::runtime_error("latency refused: " + answer);
    }
}

nlohmann::json EmulatorProcess::requests() const {
    const auto [status, answer] = control("GET", "/_emulator/requests");
    if (status != 200) {
        throw std::runtime_error("request list refused: " + answer);
    }
    return nlohmann::json::parse(answer);
}

void EmulatorProcess::clearRequests() const {
    control("DELETE", "/_emulator/requests");
}

long EmulatorProcess::connectionsOpened() const {
    const auto [status, answer] = control("GET", "/_emulator/connections");
    if (status != 200) {
        throw std::runtime_error("connection count refused: " + answer);
    }
    return nlohmann::json::parse(answer).at("opened").get<long>();
}

std::string EmulatorProcess::body(const nlohmann::json& request) {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned buffer = 0;
    int bits = 0;
    for (const char c : request.at("bodyBase64").get<std::string>()) {
        const auto value = alphabet.find(c);
        if (value == std::string_view::npos) {
            continue; // padding
        }
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return bytes;
}

std::string EmulatorProcess::header(const nlohmann::json& request, std::string_view name) {
    for (const auto& header : request.at("headers")) {
        const auto& headerName = header.at(0).get_ref<const std::string&>();
        if (headerName.size() == name.size() &&
            strncasecmp(headerName.c_str(), name.data(), name.size()) == 0) {
            return header.at(1).get<std::string>();
        }
    }
    return {};
}

} // namespace veltora::test
