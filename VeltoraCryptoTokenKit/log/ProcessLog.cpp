#include "VeltoraCryptoTokenKit/log/ProcessLog.h"

#include "VeltoraCryptoTokenKit/base/FileContent.h"

#include <unistd.h>

namespace veltora {

void processLog(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    // One write call, so that diagnostics of several threads never interleave.
    static_cast<void>(writeAll(STDERR_FILENO, line));
}

} // namespace veltora
