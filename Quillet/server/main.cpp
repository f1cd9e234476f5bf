// quillet-pkcs11-server: serves the module to p11-kit-client.so from one long-lived process.
#include "Quillet/server/ListeningSocket.h"
#include "Quillet/server/ModuleServer.h"
#include "Quillet/server/ServerLog.h"
#include "Quillet/server/ServerOptions.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::chrono::seconds kStopLimit{5};

} // namespace

int main(int argc, char** argv) {
    using quillet::serverLog;
    const auto options = quillet::ServerOptions::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (!options) {
        serverLog(options.error().description);
        std::fputs(quillet::ServerOptions::usage().c_str(), stderr);
        return 2;
    }
    if (options.value().action == quillet::ServerOptions::Action::help) {
        std::fputs(quillet::ServerOptions::usage().c_str(), stdout);
        return 0;
    }
    if (options.value().action == quillet::ServerOptions::Action::version) {
        std::puts("quillet-pkcs11-server " VELTORA_VERSION);
        return 0;
    }

    // A client that goes mid-answer must not end the server; the stop signals are read from a
    // descriptor, blocked in every thread started from here on.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const veltora::FileDescriptor stop(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (!stop.valid()) {
        serverLog("cannot watch the stop signals");
        return 1;
    }

    const auto server = quillet::ModuleServer::load(options.value().modulePath);
    if (!server) {
        serverLog(server.error().description);
        return 1;
    }
    const auto listener = quillet::ListeningSocket::open(options.value().socketPath);
    if (!listener) {
        serverLog(listener.error().description);
        return 1;
    }
    serverLog("listening on " + listener.value().path() + ", serving " + options.value().modulePath);
    server.value()->serve(listener.value(), stop.get(), kStopLimit);
    ::unlink(listener.value().path().c_str());
    serverLog("stopped");
    return 0;
}
