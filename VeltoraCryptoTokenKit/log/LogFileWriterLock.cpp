#include "VeltoraCryptoTokenKit/log/LogFileWriterLock.h"

#include "VeltoraCryptoTokenKit/base/FileDescriptor.h"

#include <cerrno>
#include <fcntl.h>

namespace veltora {

namespace {

struct flock wholeFile(short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 0;
    return range;
}

} // namespace

void LogFileWriterLock::hold(int fd) {
    struct flock range = wholeFile(F_RDLCK);
    (void)fcntl(fd, F_OFD_SETLK, &range);
}

bool LogFileWriterLock::isHeld(const std::string& path) {
    // Opening a FIFO must not block, and a symbolic link is never a file a sink writes.
    const FileDescriptor file(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        return false;
    }
    // Probed, not kept: the descriptor closes, and the lock goes, on return.
    struct flock range = wholeFile(F_WRLCK);
    return fcntl(file.get(), F_OFD_SETLK, &range) != 0 && (errno == EAGAIN || errno == EACCES);
}

} // namespace veltora
