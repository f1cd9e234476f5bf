#include "VeltoraCryptoTokenKit/config/MainBundle.h"

#include <cstring>
#include <string>

namespace {

void copyOut(const std::string& text, char* buffer, std::size_t size) {
    std::strncpy(buffer, text.c_str(), size - 1);
    buffer[size - 1] = '\0';
}

} // namespace

extern "C" {

int configModuleIsLoadedModule() {
    return veltora::MainBundle::isLoadedModule() ? 1 : 0;
}

void configModuleBundlePath(char* buffer, std::size_t size) {
    copyOut(veltora::MainBundle::bundlePath(), buffer, size);
}

// The arguments as one text, each followed by a line feed.
void configModuleArguments(char* buffer, std::size_t size) {
    std::string all;
    for (const auto& argument : veltora::MainBundle::arguments()) {
        all += argument + "\n";
    }
    copyOut(all, buffer, size);
}
}
