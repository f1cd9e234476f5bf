// Sets logging up as a deliverable does, from eight threads at once and then
// again, writes one line per level and exits normally.

#include "VeltoraCryptoTokenKit/config/VeltoraLogFactory.h"
#include "VeltoraCryptoTokenKit/log/DDFileLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <thread>
#include <vector>

int main() {
    veltora::DDLogFileManagerDefault::setApplicationIdentifier("com.veltora.LogSetupProbe");
    {
        std::vector<std::jthread> callers;
        for (int i = 0; i < 8; ++i) {
            callers.emplace_back([] { veltora::VeltoraLogFactory::setupLogging(); });
        }
    }
    veltora::VeltoraLogFactory::setupLogging();
    DDLogVerbose("probe verbose");
    DDLogInfo("probe info");
    DDLogWarn("probe warning");
    DDLogError("probe error");
    return 0;
}
