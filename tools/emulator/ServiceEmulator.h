#pragma once

#include "tools/emulator/EmulatorOptions.h"
#include "tools/emulator/FaultScript.h"
#include "tools/emulator/OpenSslHandles.h"
#include "tools/emulator/PolicyCatalog.h"
#include "tools/emulator/RequestLog.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace veltora::emulator {

// The emulated signing service on 127.0.0.1: the two API endpoints with
// their checks, fault injection and the control endpoints.
class ServiceEmulator {
public:
    ServiceEmulator(EmulatorOptions options, PolicyCatalog catalog);
    ~ServiceEmulator();
    ServiceEmulator(const ServiceEmulator&) = delete;
    ServiceEmulator& operator=(const ServiceEmulator&) = delete;

    // Listens (writing the CA file first with --tls) and returns the base URL.
    // Throws std::runtime_error when that is not possible.
    std::string bind();
    // Answers requests until stop(); returns when the server's threads are done,
    // which idle keep-alive connections can hold for seconds.
    void serve();
    // From any thread: stops listening and wakes hanging and delayed answers.
    void stop();
    // After stop(): true once no answer is being worked on, false when that
    // takes longer than the limit.
    bool waitUntilIdle(std::chrono::milliseconds limit);

private:
    void installRoutes();
    // Records the request, applies latency and the scripted fault, checks the
    // credentials; the step to answer with, or none when already answered.
    std::optional<FaultStep> beginAnswer(Endpoint endpoint, const httplib::Request& request,
                                         httplib::Response& response);
    void answerSigningRequest(const httplib::Request& request, httplib::Response& response);
    void answerSigningPolicies(const httplib::Request& request, httplib::Response& response);
    bool admitted(const httplib::Request& request, httplib::Response& response);
    void record(const httplib::Request& request);
    // Waits, and says false when the emulator is stopping.
    bool pause(std::chrono::milliseconds duration);
    void makeTlsMaterial();

    EmulatorOptions options_;
    PolicyCatalog catalog_;
    std::optional<std::string> policiesAnswer_; // --policies-answer
    FaultScript script_;
    RequestLog requestLog_;
    std::atomic<long> connectionsOpened_{0};

    PrivateKey authorityKey_;
    Certificate authorityCertificate_;
    PrivateKey serverKey_;
    Certificate serverCertificate_;
    std::unique_ptr<httplib::Server> server_;

    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    bool stopping_ = false;
    int answersInProgress_ = 0;

    friend class AnswerInProgress;
};

} // namespace veltora::emulator
