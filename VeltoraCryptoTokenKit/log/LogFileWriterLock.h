#pragma once

#include <string>

namespace veltora {

// Tells the clean-up of any process which log files a live process is still
// writing. A writer holds a shared open-file-description lock on its file for
// as long as the file is open; the kernel drops it when the process ends,
// however it ends. These locks are independent of the flock taken for each
// write, so a writer never contends with itself or with another writer of the
// same file.
class LogFileWriterLock {
public:
    // Marks the open file as being written; silently nothing where the file
    // system has no such locks. The descriptor must be open for reading.
    static void hold(int fd);
    // True when a live process holds the file open for writing. A file that
    // cannot be checked counts as not being written.
    static bool isHeld(const std::string& path);
};

} // namespace veltora
