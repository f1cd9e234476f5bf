#include "Quillet/server/ListeningSocket.h"

#include "VeltoraCryptoTokenKit/base/ErrnoText.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace quillet {

namespace {

constexpr int kBacklog = 64;

veltora::Error socketError(const std::string& description) {
    return veltora::Error{std::string(veltora::errors::server::kDomain), veltora::errors::server::kSocket,
                          description};
}

veltora::Error socketError(const std::string& what, int error) {
    return socketError(what + ": " + veltora::errnoText(error));
}

// Keeps the process's umask at 077 while files are made, so nothing is ever more open.
class PrivateUmask {
public:
    PrivateUmask() : previous_(::umask(077)) {}
    ~PrivateUmask() { ::umask(previous_); }
    PrivateUmask(const PrivateUmask&) = delete;
    PrivateUmask& operator=(const PrivateUmask&) = delete;

private:
    mode_t previous_;
};

bool fillAddress(sockaddr_un& address, const std::string& path) {
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Whether a server answers on the socket at this path.
bool someoneListens(const std::string& path) {
    sockaddr_un address{};
    const veltora::FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe.valid() && fillAddress(address, path) &&
           ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

veltora::Result<void> checkPath(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return errno == ENOENT ? veltora::Result<void>() : socketError(path, errno);
    }
    if (!S_ISSOCK(status.st_mode)) {
        return socketError(path + " exists and is not a socket");
    }
    if (someoneListens(path)) {
        return socketError("another server listens on " + path);
    }
    return {}; // a stale socket, replaced below
}

} // namespace

ListeningSocket::ListeningSocket(veltora::FileDescriptor fd, std::string path)
    : fd_(std::move(fd)), path_(std::move(path)) {}

veltora::Result<ListeningSocket> ListeningSocket::open(const std::string& path) {
    const PrivateUmask privateFiles;
    const std::filesystem::path directory = std::filesystem::path(path).parent_path();
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        return socketError(directory.string(), error.value());
    }
    if (auto checked = checkPath(path); !checked) {
        return checked.error();
    }
    const std::string temporary = path + "." + std::to_string(::getpid());
    sockaddr_un address{};
    if (!fillAddress(address, temporary)) {
        return socketError(path + " is too long for a socket");
    }
    veltora::FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return socketError("socket", errno);
    }
    ::unlink(temporary.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return socketError(temporary, errno);
    }
    // Listening before the rename: a signer that sees the path can connect.
    if (::chmod(temporary.c_str(), 0600) != 0 || ::listen(fd.get(), kBacklog) != 0 ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int failure = errno;
        ::unlink(temporary.c_str());
        return socketError(path, failure);
    }
    return ListeningSocket(std::move(fd), path);
}

int ListeningSocket::accept() const {
    return ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
}

} // namespace quillet
