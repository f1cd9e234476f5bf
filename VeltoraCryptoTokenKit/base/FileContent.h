#pragma once

#include "VeltoraCryptoTokenKit/base/Result.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace veltora {

inline constexpr const char* posixErrorDomain = "NSPOSIXErrorDomain";

// 0, or the error number of the write that failed. Writes interrupted by a
// signal, or cut short, go on where they stopped.
int writeAll(int fd, std::string_view data);

// The whole text of a regular file of at most maximumSize bytes, `name` taken
// relative to the directory open as `directoryFd` (AT_FDCWD: the working
// directory), opened with O_CLOEXEC, O_NONBLOCK (a FIFO without a writer
// cannot hang the reader) and `extraFlags`. `status` is the file's, taken
// before it was read. The error's code is an errno value: EINVAL for what is
// no regular file, EFBIG for one too large.
Result<std::string> readRegularFile(int directoryFd, const char* name, int extraFlags,
                                    std::size_t maximumSize, struct stat& status);

} // namespace veltora
