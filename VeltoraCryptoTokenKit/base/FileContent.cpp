#include "VeltoraCryptoTokenKit/base/FileContent.h"

#include "VeltoraCryptoTokenKit/base/ErrnoText.h"
#include "VeltoraCryptoTokenKit/base/FileDescriptor.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

namespace veltora {

namespace {

Error fileError(int code, std::string description) {
    return Error{posixErrorDomain, code, std::move(description)};
}

} // namespace

int writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return errno;
        }
        if (written == 0) {
            return EIO; // nothing taken: trying again would loop for ever
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

Result<std::string> readRegularFile(int directoryFd, const char* name, int extraFlags,
                                    std::size_t maximumSize, struct stat& status) {
    const FileDescriptor file(::openat(directoryFd, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | extraFlags));
    if (!file.valid() || ::fstat(file.get(), &status) != 0) {
        const int error = errno;
        return fileError(error, errnoText(error));
    }
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) > maximumSize) {
        return fileError(S_ISREG(status.st_mode) ? EFBIG : EINVAL, "not a regular file of a sensible size");
    }
    std::string text;
    text.reserve(static_cast<std::size_t>(status.st_size));
    std::array<char, 16384> buffer{};
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
        if (count == 0) {
            return text;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            const int error = errno;
            return fileError(error, errnoText(error));
        }
        if (text.size() + static_cast<std::size_t>(count) > maximumSize) {
            return fileError(EFBIG, "too large"); // grew while being read
        }
        text.append(buffer.data(), static_cast<std::size_t>(count));
    }
}

} // namespace veltora
