#pragma once

#include <string>
#include <vector>

namespace veltora {

// Where the running deliverable lives: the program file, or, inside a loaded
// PKCS#11 module, the module file.
class MainBundle {
public:
    // Absolute path of the program or module file; empty when it cannot be told.
    static std::string bundlePath();
    // True when this code runs inside a shared object loaded by some application.
    static bool isLoadedModule();
    // The process's arguments, the program path first. Inside a module only the
    // program path: the application's own arguments are not our configuration.
    static std::vector<std::string> arguments();
};

} // namespace veltora
