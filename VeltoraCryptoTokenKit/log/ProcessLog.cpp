#include "VeltoraCryptoTokenKit/log/ProcessLog.h"

#include <cerrno>
#include <system_error>
#include <unistd.h>

namespace veltora {

void processLog(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    // One write call, so that diagnostics of several threads never interleave.
    const char* next = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, next, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
}

std::string errorText(int error) {
    return std::system_category().message(error);
}

} // namespace veltora
