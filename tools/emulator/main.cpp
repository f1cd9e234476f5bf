// The local stand-in of the hosted signing service; see --help.
#include "tools/emulator/EmulatorOptions.h"
#include "tools/emulator/PolicyCatalog.h"
#include "tools/emulator/ServiceEmulator.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

using namespace veltora::emulator;

namespace {

PolicyCatalog loadPolicies(const EmulatorOptions& options) {
    if (options.policiesFile.empty()) {
        return PolicyCatalog::generate(options.generatedPolicies, options.keyBits);
    }
    std::ifstream file(options.policiesFile, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + options.policiesFile);
    }
    std::stringstream text;
    text << file.rdbuf();
    return PolicyCatalog::fromJson(nlohmann::json::parse(text.str()), options.keyBits);
}

constexpr std::chrono::seconds kLongestFinalAnswer{10};

// Turns SIGTERM and SIGINT into a stop of the emulator. The signals are
// blocked in every thread and taken here, so no handler runs in signal context.
// Once the answers in progress are out the process ends at once: the HTTP
// server would otherwise keep idle keep-alive connections open for seconds,
// and the emulator has nothing else to finish.
void stopOnSignal(std::stop_token stopToken, const sigset_t& signals, ServiceEmulator& emulator,
                  const std::string& caFile) {
    const timespec interval{0, 200'000'000};
    while (!stopToken.stop_requested()) {
        if (sigtimedwait(&signals, nullptr, &interval) > 0) {
            emulator.stop();
            const bool idle = emulator.waitUntilIdle(kLongestFinalAnswer);
            if (!caFile.empty()) {
                std::remove(caFile.c_str());
            }
            std::cout.flush();
            std::cerr.flush();
            std::_Exit(idle ? 0 : 1);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto options = EmulatorOptions::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (!options) {
        std::cerr << "veltora-service-emulator: " << options.error().description << " (see --help)\n";
        return 2;
    }
    if (options.value().help) {
        std::cout << EmulatorOptions::helpText();
        return 0;
    }
    const std::string caFile = options.value().tls ? options.value().caFile : "";
    try {
        auto catalog = loadPolicies(options.value());
        const auto policyCount = catalog.size();
        ServiceEmulator emulator(std::move(options.value()), std::move(catalog));
        const std::string baseUrl = emulator.bind();
        std::jthread signalWatcher([&signals, &emulator, &caFile](std::stop_token stopToken) {
            stopOnSignal(stopToken, signals, emulator, caFile);
        });

        std::cout << baseUrl << std::endl;
        std::cerr << "veltora-service-emulator: serving " << policyCount << " signing policies at " << baseUrl
                  << (caFile.empty() ? "" : ", CA certificate in " + caFile) << "\n";
        emulator.serve();
    } catch (const std::exception& error) {
        std::cerr << "veltora-service-emulator: " << error.what() << "\n";
        if (!caFile.empty()) {
            std::remove(caFile.c_str());
        }
        return 1;
    }
    if (!caFile.empty()) {
        std::remove(caFile.c_str());
    }
    return 0;
}
