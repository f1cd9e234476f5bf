#define P11_KIT_FUTURE_UNSTABLE_API
#include "Quillet/server/ModuleServer.h"

#include "Quillet/server/ConnectionThreads.h"
#include "Quillet/server/ServerLog.h"

#include <p11-kit/remote.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace quillet {

namespace {

constexpr std::chrono::milliseconds kAcceptPause{100};

// The peer's user, or -1 when the kernel cannot tell.
long peerUser(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0
               ? static_cast<long>(credentials.uid)
               : -1;
}

std::string loadError() {
    const char* message = p11_kit_message();
    return message != nullptr ? message : "unknown error";
}

} // namespace

veltora::Result<std::unique_ptr<ModuleServer>> ModuleServer::load(const std::string& modulePath) {
    CK_FUNCTION_LIST* warm = p11_kit_module_load(modulePath.c_str(), 0);
    if (warm == nullptr) {
        return veltora::Error{std::string(veltora::errors::server::kDomain), veltora::errors::server::kModule,
                              "cannot load " + modulePath + ": " + loadError()};
    }
    if (const CK_RV rv = p11_kit_module_initialize(warm); rv != CKR_OK) {
        p11_kit_module_release(warm);
        return veltora::Error{std::string(veltora::errors::server::kDomain), veltora::errors::server::kModule,
                              "cannot initialise " + modulePath + ": " + p11_kit_strerror(rv)};
    }
    return std::unique_ptr<ModuleServer>(new ModuleServer(modulePath, warm));
}

ModuleServer::ModuleServer(std::string modulePath, CK_FUNCTION_LIST* warm)
    : modulePath_(std::move(modulePath)), warm_(warm) {}

ModuleServer::~ModuleServer() {
    (void)p11_kit_module_finalize(warm_);
    p11_kit_module_release(warm_);
}

void ModuleServer::serve(const ListeningSocket& listener, int stopFd,
                         std::chrono::milliseconds stopLimit) const {
    ConnectionThreads threads([this](int fd) { serveConnection(fd); });
    const uid_t user = ::geteuid();
    for (;;) {
        pollfd watched[] = {{listener.fd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0 && errno != EINTR) {
            serverLog("cannot wait for connections, stopping");
            break;
        }
        if (watched[1].revents != 0) {
            break;
        }
        if (watched[0].revents == 0) {
            continue;
        }
        veltora::FileDescriptor connection(listener.accept());
        if (!connection.valid()) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == ENOBUFS) {
                // The waiting connection stays readable: a pause keeps this loop from spinning.
                std::this_thread::sleep_for(kAcceptPause);
            }
            continue;
        }
        if (const long peer = peerUser(connection.get()); peer != static_cast<long>(user)) {
            serverLog("refused a connection of user " + std::to_string(peer));
            continue;
        }
        if (!threads.start(std::move(connection))) {
            serverLog("cannot start a thread, a connection refused");
        }
    }
    threads.shutDownAll();
    if (!threads.waitForAll(stopLimit)) {
        // A call still running in the module cannot be interrupted, and its thread cannot be
        // joined in time: the process ends around it, as a stop must.
        serverLog(std::to_string(threads.running()) + " connections still busy at the stop");
        std::_Exit(EXIT_SUCCESS);
    }
}

void ModuleServer::serveConnection(int fd) const {
    CK_FUNCTION_LIST* instance = p11_kit_module_load(modulePath_.c_str(), 0);
    if (instance == nullptr) {
        serverLog("cannot load " + modulePath_ + " for a connection: " + loadError());
        return;
    }
    (void)p11_kit_remote_serve_module(instance, fd, fd);
    // The client's own C_Finalize may have come first; then there is nothing left to finalize.
    (void)p11_kit_module_finalize(instance);
    p11_kit_module_release(instance);
}

} // namespace quillet
