#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <string>
#include <vector>

namespace quillet {

// The server's command line.
struct ServerOptions {
    enum class Action { serve, help, version };

    Action action = Action::serve;
    std::string socketPath; // --socket, else $XDG_RUNTIME_DIR/veltora/pkcs11
    std::string modulePath; // --module, else the module installed beside the program

    // The options of these arguments (the program name left out); an error names what is wrong.
    static veltora::Result<ServerOptions> parse(const std::vector<std::string>& arguments);
    static std::string usage();
};

} // namespace quillet
