#include "VeltoraCryptoTokenKit/config/MainBundle.h"

#include <dlfcn.h>
#include <fstream>
#include <limits.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <unistd.h>

namespace veltora {

namespace {

// An address inside the object this code was linked into.
void anchor() {}

Dl_info objectOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0) {
        info = Dl_info{};
    }
    return info;
}

std::string executablePath() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

} // namespace

bool MainBundle::isLoadedModule() {
    // Asked on every signing request; the answer is fixed once this code is loaded.
    static const bool loaded = [] {
        const Dl_info self = objectOf(reinterpret_cast<const void*>(&anchor));
        const Dl_info program = objectOf(reinterpret_cast<const void*>(getauxval(AT_PHDR)));
        return self.dli_fbase != nullptr && self.dli_fbase != program.dli_fbase;
    }();
    return loaded;
}

std::string MainBundle::bundlePath() {
    if (!isLoadedModule()) {
        return executablePath();
    }
    const Dl_info self = objectOf(reinterpret_cast<const void*>(&anchor));
    if (self.dli_fname == nullptr) {
        return {};
    }
    char resolved[PATH_MAX];
    return realpath(self.dli_fname, resolved) ? std::string(resolved) : std::string(self.dli_fname);
}

std::vector<std::string> MainBundle::arguments() {
    if (isLoadedModule()) {
        return {executablePath()};
    }
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(cmdline, argument, '\0');) {
        arguments.push_back(argument);
    }
    if (arguments.empty()) {
        arguments.push_back(executablePath());
    }
    return arguments;
}

} // namespace veltora
