#pragma once

#include <map>
#include <string>
#include <vector>

namespace veltora {

// What the configuration loader reads of its process: arguments, environment
// and where the running deliverable lives.
struct ProcessInfo {
    std::vector<std::string> arguments; // the program path first
    std::map<std::string, std::string> environment;
    std::string bundlePath; // the program or module file

    // The running process, read now.
    static ProcessInfo current();
};

} // namespace veltora
