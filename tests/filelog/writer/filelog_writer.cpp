// Logs lines through a file sink set up as the deliverables set it up (one
// kept file, a new file per process), then exits normally.
//
//   filelog_writer <logs directory> <label> <count> [--hold]
//
// Writes "<label> line <i>" for i below count. With --hold it then prints
// "ready" and waits for its standard input to close before writing
// "<label> more <i>" lines, so that a test can keep two writers alive at once.

#include "VeltoraCryptoTokenKit/log/DDFileLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: filelog_writer <logs directory> <label> <count> [--hold]\n", stderr);
        return 2;
    }
    const std::string label = argv[2];
    const int count = std::atoi(argv[3]);
    const bool hold = argc > 4 && std::string(argv[4]) == "--hold";

    veltora::DDLogFileManagerDefault::setApplicationIdentifier("com.veltora.FileLogWriter");
    auto manager = std::make_shared<veltora::DDLogFileManagerDefault>(argv[1]);
    auto logger = std::make_shared<veltora::DDFileLogger>(manager);
    manager->setMaximumNumberOfLogFiles(1);
    logger->setDoNotReuseLogFiles(true);
    veltora::DDLog::add(logger, veltora::DDLogLevel::info);

    for (int i = 0; i < count; ++i) {
        DDLogInfo(label + " line " + std::to_string(i));
    }
    if (hold) {
        veltora::DDLog::sharedInstance().flushLog();
        manager->waitForCleanUp();
        std::puts("ready");
        std::fflush(stdout);
        char ignored = 0;
        while (::read(STDIN_FILENO, &ignored, 1) > 0) {
        }
        for (int i = 0; i < count; ++i) {
            DDLogInfo(label + " more " + std::to_string(i));
        }
    }
    return 0; // the registry writes what is still queued as the process ends
}
