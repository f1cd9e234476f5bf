#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace veltora {

// Owns one open file descriptor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { (void)close(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            (void)close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

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
