#include "Quillet/server/ServerOptions.h"

#include "Quillet/platform/TKTokenDriverConfiguration.h"

#include <cstdlib>

namespace quillet {

namespace {

veltora::Error optionError(const std::string& description) {
    return veltora::Error{std::string(veltora::errors::server::kDomain), veltora::errors::server::kUsage,
                          description};
}

} // namespace

veltora::Result<ServerOptions> ServerOptions::parse(const std::vector<std::string>& arguments) {
    ServerOptions options;
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        if (argument == "--help") {
            options.action = Action::help;
        } else if (argument == "--version") {
            options.action = Action::version;
        } else if (argument == "--socket" || argument == "--module") {
            if (at + 1 == arguments.size() || arguments[at + 1].empty()) {
                return optionError(argument + " needs a path");
            }
            (argument == "--socket" ? options.socketPath : options.modulePath) = arguments[++at];
        } else {
            return optionError("unknown argument " + argument);
        }
    }
    if (options.action != Action::serve) {
        return options;
    }
    if (options.socketPath.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime == nullptr || *runtime != '/') {
            return optionError("no --socket and no XDG_RUNTIME_DIR");
        }
        options.socketPath = std::string(runtime) + "/veltora/pkcs11";
    }
    if (options.modulePath.empty()) {
        options.modulePath = TKTokenDriverConfiguration::moduleBesideProgram();
        if (options.modulePath.empty()) {
            return optionError("no --module and no module installed beside the program");
        }
    }
    return options;
}

std::string ServerOptions::usage() {
    return "Usage: quillet-pkcs11-server [--socket PATH] [--module PATH]\n"
           "Serves the Quillet PKCS#11 module to p11-kit-client.so from one long-lived process\n"
           "(P11_KIT_SERVER_ADDRESS=unix:path=PATH in the signers).\n"
           "  --socket PATH  the socket, default $XDG_RUNTIME_DIR/veltora/pkcs11\n"
           "  --module PATH  the module, default the one installed beside this program\n"
           "  --help         this text\n"
           "  --version      the version\n";
}

} // namespace quillet
