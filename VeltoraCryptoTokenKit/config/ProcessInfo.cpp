#include "VeltoraCryptoTokenKit/config/ProcessInfo.h"

#include "VeltoraCryptoTokenKit/config/MainBundle.h"

#include <unistd.h>

namespace veltora {

ProcessInfo ProcessInfo::current() {
    ProcessInfo info;
    info.arguments = MainBundle::arguments();
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string variable(*entry);
        const auto equals = variable.find('=');
        if (equals != std::string::npos) {
            info.environment.emplace(variable.substr(0, equals), variable.substr(equals + 1));
        }
    }
    info.bundlePath = MainBundle::bundlePath();
    return info;
}

} // namespace veltora
