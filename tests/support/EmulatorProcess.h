#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltora::test {

// The signing service emulator (build/bin/veltora-service-emulator) as a child
// process for one test or fixture: started with the given arguments, its base
// URL read from its first output line, stopped with SIGTERM when the object
// dies. See `veltora-service-emulator --help` for the arguments; by default it
// accepts organization "test-org" and API token "test-token" and serves one
// policy "policy-id-1".
class EmulatorProcess {
public:
    static constexpr const char* kOrganization = "test-org";
    static constexpr const char* kApiToken = "test-token";

    // With tls, the emulator serves HTTPS and writes its CA certificate to
    // caFile(). Throws std::runtime_error when the emulator does not start.
    explicit EmulatorProcess(std::vector<std::string> arguments = {}, bool tls = false);
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    static std::string executablePath();

    // e.g. "http://127.0.0.1:40123/Api"
    const std::string& baseUrl() const { return baseUrl_; }
    // e.g. "http://127.0.0.1:40123": where the control endpoints are.
    std::string origin() const;
    // PEM CA certificate to trust for HTTPS; empty without tls.
    const std::string& caFile() const { return caFile_; }
    pid_t pid() const { return pid_; }

    // Control endpoints; each throws std::runtime_error when refused.
    void script(std::string_view endpoint, std::string_view steps) const;
    void setLatency(int milliseconds) const;
    // The requests received, oldest first (see --help for the shape).
    nlohmann::json requests() const;
    void clearRequests() const;
    // Connections the emulator has accepted so far, counting the one this asks on.
    long connectionsOpened() const;
    // The body of a recorded request, decoded.
    static std::string body(const nlohmann::json& request);
    // The value of a recorded request's header (names without letter case), or "".
    static std::string header(const nlohmann::json& request, std::string_view name);

    // A plain request to the emulator, trusting its CA: status and body.
    std::pair<long, std::string> control(const std::string& method, const std::string& path,
                                         const std::string& body = {}) const;

private:
    void stop();

    pid_t pid_ = -1;
    std::string baseUrl_;
    std::string temporaryDirectory_;
    std::string caFile_;
};

} // namespace veltora::test
