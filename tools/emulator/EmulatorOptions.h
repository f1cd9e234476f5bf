#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"
#include "tools/emulator/FaultScript.h"

#include <string>
#include <utility>
#include <vector>

namespace veltora::emulator {

// The emulator's command line.
struct EmulatorOptions {
    int port = 0; // 0: any free port
    bool tls = false;
    std::string caFile; // where --tls writes its CA certificate
    std::string organization = "test-org";
    std::string apiToken = "test-token";
    std::string policiesFile;       // empty: generated policies
    std::string policiesAnswerFile; // not empty: the policies answer, verbatim
    int generatedPolicies = 1;
    int keyBits = 2048;
    int latencyMilliseconds = 0;
    int connectDelayMilliseconds = 0; // before each new connection's TLS handshake
    int threads = 32;
    std::vector<std::pair<Endpoint, std::vector<FaultStep>>> scripts;
    bool help = false;

    // An error's description says what is wrong with the arguments.
    static Result<EmulatorOptions> parse(const std::vector<std::string>& arguments);
    static const char* helpText();
};

} // namespace veltora::emulator
