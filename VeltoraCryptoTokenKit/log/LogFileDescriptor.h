#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace veltora {

// Owns one open file descriptor.
class LogFileDescriptor {
public:
    LogFileDescriptor() = default;
    explicit LogFileDescriptor(int fd) : fd_(fd) {}
    ~LogFileDescriptor() { (void)close(); }
    LogFileDescriptor(LogFileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    LogFileDescriptor& operator=(LogFileDescriptor&& other) noexcept {
        if (this != &other) {
            (void)close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    LogFileDescriptor(const LogFileDescriptor&) = delete;
    LogFileDescriptor& operator=(const LogFileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // 0, or the error number of a failed close; the descriptor is gone either way.
    int close() {
        if (fd_ < 0) {
            return 0;
        }
        const int result = ::close(std::exchange(fd_, -1));
        return result == 0 || errno == EINTR ? 0 : errno;
    }

private:
    int fd_ = -1;
};

} // namespace veltora
