// A loadable module carrying its own copy of the log facility, as the token
// module does: loaded, used and unloaded by the unload test.

#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <fstream>
#include <memory>
#include <string>

namespace {

// Appends each line to a file; only a flush at unload gets the last ones there in time.
class FileAppendLogger : public veltora::DDAbstractLogger {
public:
    explicit FileAppendLogger(std::string path) : DDAbstractLogger("module-file"), path_(std::move(path)) {}
    void logMessage(const veltora::DDLogMessage& message) override {
        std::ofstream(path_, std::ios::app) << message.message << '\n';
    }

private:
    std::string path_;
};

} // namespace

extern "C" __attribute__((visibility("default"))) void moduleLogLines(const char* path, int count) {
    veltora::DDLog::add(std::make_shared<FileAppendLogger>(path), veltora::DDLogLevel::info);
    for (int i = 0; i < count; ++i) {
        DDLogInfo("module line " + std::to_string(i));
    }
}
