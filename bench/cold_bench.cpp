// Cold signer processes, as a build runs them: each pkcs11-tool process loads
// the module, signs once with SHA256-RSA-PKCS over a new TLS connection and
// exits ("module"), beside curl processes that send the identical signing
// request ("raw", the reference), and beside signers through p11-kit's client
// to a warm `p11-kit server` serving the module from one long-lived process
// ("p11kit"), and beside the signer program's own start and end without
// signing ("toolOnly": pkcs11-tool showing p11-kit's trust module's
// information), the part of the module's figure that is not the module's.
// One process of each runs in turn per round, for
// VELTORA_COLD_PROCESSES rounds (default 30), in two settings: the emulator on
// loopback as it is, and a service about 20 ms away (20 ms before each answer,
// 40 ms before each new connection's TLS handshake). A case's time is the
// median per process of the children's wall time ("Wall") or processor time
// ("Cpu", the client process alone for p11kit). "Concurrent8" compares
// signatures per second of waves of 8 concurrent signers loading the module
// directly ("direct") and through the server. Each setting is measured once;
// the repetitions report the same figures, and a summary is printed as well.

#include "VeltoraCryptoTokenKit/config/EnvironmentNumbers.h"
#include "bench/PolicyRegistration.h"
#include "tests/support/EmulatorProcess.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using veltora::test::EmulatorProcess;
using Clock = std::chrono::steady_clock;

const veltora::TimeoutsConfiguration kTimeouts{30.0f, 1.6f, 10};
constexpr const char* kClientModule = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-client.so";
constexpr const char* kTrustModule = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so";
constexpr int kConcurrentSigners = 8;
constexpr std::chrono::seconds kServerStartLimit{20};
constexpr std::chrono::seconds kServerStopLimit{10};

int processCount() {
    const char* text = std::getenv("VELTORA_COLD_PROCESSES");
    const auto count = veltora::parseEnvironmentInteger(text != nullptr ? text : "");
    return count && *count > 0 && *count <= 10000 ? static_cast<int>(*count) : 30;
}

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

struct ProcessCost {
    double wall = 0;
    double cpu = 0;
};

// A program with its arguments and its whole environment.
struct Command {
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
};

class ChildProcesses {
public:
    explicit ChildProcesses(fs::path errorFile) : errorFile_(std::move(errorFile)) {}

    pid_t start(const Command& command) const {
        std::vector<char*> argv;
        std::vector<char*> envp;
        for (const auto& text : command.arguments) {
            argv.push_back(const_cast<char*>(text.c_str()));
        }
        for (const auto& text : command.environment) {
            envp.push_back(const_cast<char*>(text.c_str()));
        }
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile_.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        pid_t pid = -1;
        const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            throw std::runtime_error("cannot start " + command.arguments[0]);
        }
        return pid;
    }

    // Waits for the child; its processor time, and whether it exited with 0.
    double finish(pid_t pid, const Command& command) const {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::ifstream errors(errorFile_);
            std::stringstream text;
            text << errors.rdbuf();
            throw std::runtime_error(command.arguments[0] + " failed: " + text.str());
        }
        return seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }

    ProcessCost run(const Command& command) const {
        const auto started = Clock::now();
        const double cpu = finish(start(command), command);
        return {std::chrono::duration<double>(Clock::now() - started).count(), cpu};
    }

    // Signatures per second of a wave of concurrent processes.
    double waveRate(const Command& command, int count) const {
        const auto started = Clock::now();
        std::vector<pid_t> pids;
        for (int i = 0; i < count; ++i) {
            pids.push_back(start(command));
        }
        for (const pid_t pid : pids) {
            finish(pid, command);
        }
        return count / std::chrono::duration<double>(Clock::now() - started).count();
    }

private:
    fs::path errorFile_;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The figures of one setting.
struct Figures {
    std::map<std::string, double> medianWall; // by variant
    std::map<std::string, double> medianCpu;
    std::map<std::string, double> concurrentRate; // signatures per second
    long serverConnections = 0;                   // opened while the server path signed processCount() times
};

// An emulator over TLS with the module's registration of its first policy, a
// throwaway home for the signers' logs, and a p11-kit server serving the module.
class ColdSetting {
public:
    explicit ColdSetting(const std::vector<std::string>& emulatorArguments)
        : emulator_(emulatorArguments, true), directory_(temporaryDirectory()),
          children_(directory_ / "errors.txt") {
        try {
            prepare();
        } catch (...) {
            cleanUp(); // no destructor runs for a constructor that throws
            throw;
        }
    }
    ~ColdSetting() { cleanUp(); }
    ColdSetting(const ColdSetting&) = delete;
    ColdSetting& operator=(const ColdSetting&) = delete;

    Figures measure(int rounds) {
        // One of each first: the signer's request is what curl sends, and each path works.
        children_.run(signer(VELTORA_BINARY_DIR "/lib/quillet-pkcs11.so", {}));
        const std::map<std::string, Command> commands{
            {"raw", curlRequest()},
            {"module", signer(VELTORA_BINARY_DIR "/lib/quillet-pkcs11.so", {})},
            {"p11kit", signer(kClientModule, {"P11_KIT_SERVER_ADDRESS=unix:path=" + socket().string()})},
            {"toolOnly", Command{{"pkcs11-tool", "--module", kTrustModule, "--show-info"}, environment_}}};
        for (const auto& [variant, command] : commands) {
            children_.run(command);
        }
        std::map<std::string, std::vector<double>> walls;
        std::map<std::string, std::vector<double>> cpus;
        for (int round = 0; round < rounds; ++round) {
            for (const auto& [variant, command] : commands) {
                const ProcessCost cost = children_.run(command);
                walls[variant].push_back(cost.wall);
                cpus[variant].push_back(cost.cpu);
            }
        }
        Figures figures;
        for (const auto& [variant, command] : commands) {
            figures.medianWall[variant] = median(walls[variant]);
            figures.medianCpu[variant] = median(cpus[variant]);
        }
        const long before = emulator_.connectionsOpened();
        for (int round = 0; round < rounds; ++round) {
            children_.run(commands.at("p11kit"));
        }
        // Less the connection the count is asked on.
        figures.serverConnections = emulator_.connectionsOpened() - before - 1;

        std::map<std::string, std::vector<double>> rates;
        for (int wave = 0; wave < std::max(1, rounds / kConcurrentSigners); ++wave) {
            rates["direct"].push_back(children_.waveRate(commands.at("module"), kConcurrentSigners));
            rates["p11kit"].push_back(children_.waveRate(commands.at("p11kit"), kConcurrentSigners));
        }
        for (const auto& [variant, values] : rates) {
            figures.concurrentRate[variant] = median(values);
        }
        return figures;
    }

private:
    void prepare() {
        fs::create_directories(directory_ / "store");
        fs::create_directories(directory_ / "home");
        std::ofstream(directory_ / "message.txt") << "A message to sign\n";
        const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
        environment_ = {"PATH=" + path, "HOME=" + (directory_ / "home").string(),
                        "VELTORA_TOKEN_STORE=" + (directory_ / "store").string(),
                        "SSL_CERT_FILE=" + emulator_.caFile()};
        setenv("VELTORA_TOKEN_STORE", (directory_ / "store").c_str(), 1);
        setenv("SSL_CERT_FILE", emulator_.caFile().c_str(), 1);
        veltora::bench::registerFirstPolicy(emulator_, kTimeouts);
        startServer();
    }

    void cleanUp() {
        stopServer();
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    static fs::path temporaryDirectory() {
        std::string pattern = (fs::temp_directory_path() / "veltora-cold-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        return pattern;
    }

    fs::path socket() const { return directory_ / "p11-kit.socket"; }

    Command signer(const std::string& module, const std::vector<std::string>& extraEnvironment) const {
        Command command{{"pkcs11-tool", "--module", module, "--token-label", "policy-1", "--sign",
                         "--mechanism", "SHA256-RSA-PKCS", "--label", "policy-1", "--input-file",
                         (directory_ / "message.txt").string(), "--output-file",
                         (directory_ / "message.sig").string()},
                        environment_};
        command.environment.insert(command.environment.end(), extraEnvironment.begin(),
                                   extraEnvironment.end());
        return command;
    }

    // curl sending the signer's last request, byte for byte, with its headers, and
    // keeping the answer in a file as the signer keeps the signature.
    Command curlRequest() const {
        const auto requests = emulator_.requests();
        const auto signing = std::find_if(requests.rbegin(), requests.rend(), [](const auto& request) {
            return request.at("method") == "POST" &&
                   request.at("target").template get<std::string>().ends_with("/SigningRequests");
        });
        if (signing == requests.rend()) {
            throw std::runtime_error("the signer sent no signing request");
        }
        const fs::path body = directory_ / "request.body";
        std::ofstream(body, std::ios::binary) << EmulatorProcess::body(*signing);
        Command command{{"curl", "-q", "-sS", "--fail", "-o", (directory_ / "answer.json").string(),
                         "--cacert", emulator_.caFile()},
                        environment_};
        for (const auto& header : signing->at("headers")) {
            const std::string name = header.at(0);
            if (name != "Host" && name != "Content-Length") {
                command.arguments.insert(command.arguments.end(),
                                         {"-H", name + ": " + header.at(1).get<std::string>()});
            }
        }
        command.arguments.insert(command.arguments.end(),
                                 {"--data-binary", "@" + body.string(),
                                  emulator_.origin() + signing->at("target").get<std::string>()});
        return command;
    }

    void startServer() {
        Command command{{"p11-kit", "server", "-f", "--provider", VELTORA_BINARY_DIR "/lib/quillet-pkcs11.so",
                         "-n", socket().string(), "pkcs11:"},
                        environment_};
        server_ = children_.start(command);
        const auto deadline = Clock::now() + kServerStartLimit;
        while (!fs::exists(socket())) {
            if (waitpid(server_, nullptr, WNOHANG) != 0) {
                server_ = -1; // ended, and reaped
                throw std::runtime_error("p11-kit server ended without opening its socket");
            }
            if (Clock::now() > deadline) {
                throw std::runtime_error("p11-kit server did not open its socket");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void stopServer() {
        if (server_ <= 0) {
            return;
        }
        kill(server_, SIGTERM);
        const auto deadline = Clock::now() + kServerStopLimit;
        while (waitpid(server_, nullptr, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(server_, SIGKILL);
                waitpid(server_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        server_ = -1;
    }

    EmulatorProcess emulator_;
    fs::path directory_;
    ChildProcesses children_;
    std::vector<std::string> environment_;
    pid_t server_ = -1;
};

struct SettingSpec {
    std::string name;
    std::vector<std::string> emulatorArguments;
};

const std::vector<SettingSpec>& settings() {
    static const std::vector<SettingSpec> all{{"loopback", {}},
                                              {"20ms", {"--latency-ms", "20", "--connect-delay-ms", "40"}}};
    return all;
}

void printSummary(const std::string& setting, int rounds, const Figures& figures) {
    const auto ms = [](double value) { return std::to_string(static_cast<int>(value * 1000 + 0.5)) + " ms"; };
    const auto ratio = [](double value) {
        char text[16];
        std::snprintf(text, sizeof text, "%.2f", value);
        return std::string(text);
    };
    const auto& wall = figures.medianWall;
    const auto& cpu = figures.medianCpu;
    std::cout << "cold signers, " << setting << ", " << rounds
              << " of each, interleaved (median per process):\n"
              << "  curl:          wall " << ms(wall.at("raw")) << ", CPU " << ms(cpu.at("raw")) << "\n"
              << "  module:        wall " << ms(wall.at("module")) << ", CPU " << ms(cpu.at("module"))
              << "  -> module/curl wall " << ratio(wall.at("module") / wall.at("raw")) << ", CPU "
              << ratio(cpu.at("module") / cpu.at("raw")) << "\n"
              << "  p11-kit client: wall " << ms(wall.at("p11kit")) << ", CPU " << ms(cpu.at("p11kit"))
              << "  -> p11kit/curl wall " << ratio(wall.at("p11kit") / wall.at("raw")) << ", CPU "
              << ratio(cpu.at("p11kit") / cpu.at("raw")) << "\n"
              << "  pkcs11-tool alone, no signing: wall " << ms(wall.at("toolOnly")) << ", CPU "
              << ms(cpu.at("toolOnly")) << "\n"
              << "  service connections opened by " << rounds
              << " signers through the p11-kit server: " << figures.serverConnections << "\n"
              << "  " << kConcurrentSigners
              << " concurrent signers: " << ratio(figures.concurrentRate.at("p11kit"))
              << "/s through the server, " << ratio(figures.concurrentRate.at("direct"))
              << "/s loading the module directly\n"
              << std::flush;
}

// Measured on first use, once per setting; a failure is kept as well.
const Figures& figuresOf(const std::string& setting) {
    static std::map<std::string, Figures> measured;
    static std::map<std::string, std::string> failed;
    if (const auto found = measured.find(setting); found != measured.end()) {
        return found->second;
    }
    if (const auto found = failed.find(setting); found != failed.end()) {
        throw std::runtime_error(found->second);
    }
    const auto spec = std::find_if(settings().begin(), settings().end(),
                                   [&](const SettingSpec& candidate) { return candidate.name == setting; });
    const int rounds = processCount();
    try {
        ColdSetting cold(spec->emulatorArguments);
        const Figures& figures = measured.emplace(setting, cold.measure(rounds)).first->second;
        printSummary(setting, rounds, figures);
        return figures;
    } catch (const std::exception& error) {
        failed.emplace(setting, error.what());
        throw;
    }
}

enum class Figure { wall, cpu, concurrent };

void report(benchmark::State& state, const std::string& setting, Figure figure, const std::string& variant) {
    try {
        const Figures& figures = figuresOf(setting);
        double time = 0;
        if (figure == Figure::concurrent) {
            const double rate = figures.concurrentRate.at(variant);
            state.counters["items_per_second"] = rate;
            time = kConcurrentSigners / rate;
        } else {
            time = (figure == Figure::wall ? figures.medianWall : figures.medianCpu).at(variant);
        }
        if (variant == "p11kit") {
            state.counters["service_connections"] = static_cast<double>(figures.serverConnections);
        }
        for (auto _ : state) {
            state.SetIterationTime(time);
        }
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

void registerAll() {
    for (const auto& spec : settings()) {
        const std::pair<Figure, std::string> figures[] = {{Figure::wall, "BM_ColdSignWall_"},
                                                          {Figure::cpu, "BM_ColdSignCpu_"}};
        for (const auto& [figure, prefix] : figures) {
            for (const char* variant : {"raw", "module", "p11kit", "toolOnly"}) {
                benchmark::RegisterBenchmark((prefix + spec.name + "/" + variant).c_str(), report, spec.name,
                                             figure, variant)
                    ->UseManualTime()
                    ->Iterations(1)
                    ->Unit(benchmark::kMillisecond);
            }
        }
        for (const char* variant : {"direct", "p11kit"}) {
            benchmark::RegisterBenchmark(("BM_ColdSignConcurrent8_" + spec.name + "/" + variant).c_str(),
                                         report, spec.name, Figure::concurrent, variant)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
