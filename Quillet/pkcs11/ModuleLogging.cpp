#include "Quillet/pkcs11/ModuleLogging.h"

#include "VeltoraCryptoTokenKit/config/VeltoraLogFactory.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogFileManagerDefault.h"

#include <mutex>

namespace quillet {

void setupModuleLogging() {
    static std::once_flag named;
    // Log files are named after the module, not after the application that loaded it.
    std::call_once(named,
                   [] { veltora::DDLogFileManagerDefault::setApplicationIdentifier("com.veltora.Quillet"); });
    veltora::VeltoraLogFactory::setupLogging();
}

void flushModuleLog() {
    veltora::DDLog::sharedInstance().flushLog();
}

} // namespace quillet
