#pragma once

#include "Quillet/server/ListeningSocket.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <p11-kit/p11-kit.h>

#include <chrono>
#include <memory>
#include <string>

namespace quillet {

// The module loaded once through p11-kit as a managed module and kept initialised for the
// server's life, so that its connection pool and logging stay warm, and p11-kit's RPC served on
// each connection through a managed instance of its own: p11-kit counts C_Initialize and
// C_Finalize across the instances and keeps each instance's sessions apart, so one client's
// C_Finalize or C_CloseAllSessions leaves the others' sessions alone.
class ModuleServer {
public:
    static veltora::Result<std::unique_ptr<ModuleServer>> load(const std::string& modulePath);
    ~ModuleServer();
    ModuleServer(const ModuleServer&) = delete;
    ModuleServer& operator=(const ModuleServer&) = delete;

    // Accepts connections of this user, each served on its own thread, until stopFd is readable;
    // then shuts the open connections down and waits for them up to stopLimit; the process ends
    // at once (status 0) when some are still busy then.
    void serve(const ListeningSocket& listener, int stopFd, std::chrono::milliseconds stopLimit) const;

private:
    ModuleServer(std::string modulePath, CK_FUNCTION_LIST* warm);

    void serveConnection(int fd) const;

    std::string modulePath_;
    CK_FUNCTION_LIST* warm_;
};

} // namespace quillet
