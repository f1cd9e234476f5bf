#pragma once

#include "VeltoraCryptoTokenKit/base/FileDescriptor.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <string>

namespace quillet {

// A Unix socket private to the user: its directory 0700, the socket 0600, the path bound only
// once complete (bound under a temporary name, then renamed over a stale socket). A path that
// exists and is no socket is left alone and refused.
class ListeningSocket {
public:
    static veltora::Result<ListeningSocket> open(const std::string& path);

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }

    // The next connection, -1 when none is waiting or on a failure (errno tells).
    int accept() const;

private:
    ListeningSocket(veltora::FileDescriptor fd, std::string path);

    veltora::FileDescriptor fd_;
    std::string path_;
};

} // namespace quillet
