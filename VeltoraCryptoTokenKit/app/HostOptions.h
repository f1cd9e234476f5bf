#pragma once

#include <string>
#include <vector>

namespace veltora {

// The host's own switches. They are picked out of the same argument list the
// configuration loader reads, which still sees every argument: an unknown
// argument is left to the loader, never refused.
struct HostOptions {
    bool headless = false; // run without a window
    bool help = false;
    bool version = false;

    // The whole argument list, the program path first.
    static HostOptions parse(const std::vector<std::string>& arguments);
    static std::string helpText(const std::string& programName);
    static std::string versionText();
};

} // namespace veltora
