#include "Quillet/platform/TokenStore.h"

#include "Quillet/platform/ByteText.h"
#include "Quillet/platform/CryptoContext.h"
#include "Quillet/platform/RegistrationCache.h"
#include "Quillet/platform/StoreSnapshot.h"
#include "VeltoraCryptoTokenKit/base/ErrnoText.h"
#include "VeltoraCryptoTokenKit/base/UserAccount.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace quillet {

namespace {

using nlohmann::json;
using veltora::Error;
using veltora::Result;

constexpr std::size_t maximumRegistrationSize = 4 * 1024 * 1024;
constexpr std::size_t longestHexName = 200;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

struct CloseDirectory {
    void operator()(DIR* listing) const { ::closedir(listing); }
};

Error systemError(const std::string& what, int error) {
    return Error{tokenStoreErrorDomain, error, what + ": " + veltora::errnoText(error)};
}

std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::optional<std::string> unhex(const std::string& text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const auto value = [](char c) -> int {
            if (c >= '0' && c <= '9') {
                return c - '0';
            }
            return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        };
        const int high = value(text[i]);
        const int low = value(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

// Makes the directory and its missing parents, each created one 0700 whatever
// the umask. Links on the way to the store are the user's own set-up and are
// followed; the driver directory itself and every directory made here are
// opened without following a link, so nothing is written through one planted
// inside the store. The caller owns the returned descriptor.
Result<int> openDirectory(const std::filesystem::path& given) {
    std::error_code noWorkingDirectory;
    const std::filesystem::path directory = std::filesystem::absolute(given, noWorkingDirectory);
    if (noWorkingDirectory || !directory.has_relative_path()) {
        return Error{tokenStoreErrorDomain, EINVAL, "Not a usable store directory: " + given.string()};
    }
    std::filesystem::path built = "/";
    int current = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (current < 0) {
        return systemError("Cannot open /", errno);
    }
    const std::filesystem::path relative = directory.relative_path();
    const auto last = std::prev(relative.end());
    for (auto part = relative.begin(); part != relative.end(); ++part) {
        if (part->empty() || *part == ".") {
            continue;
        }
        built /= *part;
        const bool created = ::mkdirat(current, part->c_str(), 0700) == 0;
        if (!created && errno != EEXIST) {
            const int error = errno;
            ::close(current);
            return systemError("Cannot create " + built.string(), error);
        }
        const int noFollow = created || part == last ? O_NOFOLLOW : 0;
        const int next = ::openat(current, part->c_str(), O_RDONLY | O_DIRECTORY | noFollow | O_CLOEXEC);
        const int error = errno;
        ::close(current);
        if (next < 0) {
            return systemError("Cannot open " + built.string(), error);
        }
        current = next;
        if (created && ::fchmod(current, 0700) != 0) {
            const int chmodError = errno;
            ::close(current);
            return systemError("Cannot protect " + built.string(), chmodError);
        }
    }
    return current;
}

// The value of the function applied to the text, when there is a text.
template <class Function>
auto then(const std::optional<std::string>& text, Function function) -> decltype(function(*text)) {
    return text ? function(*text) : std::nullopt;
}

std::string encode(const TKTokenConfiguration& configuration) {
    json record = json::object();
    record["instanceID"] = hex(configuration.instanceID());
    if (const auto& data = configuration.configurationData()) {
        record["configurationData"] = base64Encoded(*data);
    }
    if (configuration.certificateItem() && configuration.keyItem()) {
        record["certificate"] = base64Encoded(configuration.certificateItem()->data());
        record["certificateObjectID"] = hex(configuration.certificateItem()->objectID());
        record["keyObjectID"] = hex(configuration.keyItem()->objectID());
    }
    return record.dump();
}

} // namespace

std::optional<TKTokenConfiguration> TokenStore::decode(const std::string& text, std::string& problem) const {
    const std::filesystem::path& directory = directory_;
    const json record = json::parse(text, nullptr, false);
    const auto textMember = [&record](const char* key) -> std::optional<std::string> {
        const auto found = record.find(key);
        return found != record.end() && found->is_string() ? std::optional(found->get<std::string>())
                                                           : std::nullopt;
    };
    if (!record.is_object()) {
        problem = "not a JSON object";
        return std::nullopt;
    }
    const auto instanceID = then(textMember("instanceID"), unhex);
    if (!instanceID) {
        problem = "no valid instance ID";
        return std::nullopt;
    }
    TKTokenConfiguration configuration;
    configuration.driverDirectory_ = directory;
    configuration.instanceID_ = *instanceID;
    if (const auto data = textMember("configurationData")) {
        configuration.replaceConfigurationData(base64Decoded(*data));
        if (!configuration.configurationData_) {
            problem = "configuration data is not Base64";
            return std::nullopt;
        }
    }
    const auto certificate = then(textMember("certificate"), base64Decoded);
    const auto certificateObjectID = then(textMember("certificateObjectID"), unhex);
    const auto keyObjectID = then(textMember("keyObjectID"), unhex);
    if (certificate && certificateObjectID && keyObjectID) {
        auto certificateItem = TKTokenKeychainCertificate::make(*certificate, *certificateObjectID);
        auto keyItem = TKTokenKeychainKey::make(*certificate, *keyObjectID);
        if (!certificateItem || !keyItem) {
            problem = "the certificate cannot be made into keychain items";
            return std::nullopt;
        }
        configuration.certificate_ = std::move(certificateItem).value();
        configuration.key_ = std::move(keyItem).value();
    }
    return configuration;
}

namespace {

// The file's text, and its status taken before it was read.
std::optional<std::string> readRegistration(int directory, const char* name, struct stat& status,
                                            std::string& problem) {
    Fd file(::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0) {
        problem = veltora::errnoText(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode) || static_cast<std::size_t>(status.st_size) > maximumRegistrationSize) {
        problem = "not a regular file of a sensible size";
        return std::nullopt;
    }
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count == 0) {
            return text;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 || text.size() + static_cast<std::size_t>(count) > maximumRegistrationSize) {
            problem = count < 0 ? veltora::errnoText(errno) : "too large";
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

bool isRegistrationFileName(const std::string& name) {
    return name.size() >= 7 && (name.rfind("t-", 0) == 0 || name.rfind("h-", 0) == 0) &&
           name.compare(name.size() - 5, 5, ".json") == 0;
}

} // namespace

std::filesystem::path TokenStore::rootDirectory() {
    const auto variable = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0' ? std::optional<std::string>(value) : std::nullopt;
    };
    if (const auto store = variable("VELTORA_TOKEN_STORE")) {
        return *store;
    }
    // A relative XDG_DATA_HOME is to be ignored.
    if (const auto data = variable("XDG_DATA_HOME"); data && data->front() == '/') {
        return std::filesystem::path(*data) / "veltora" / "tokens";
    }
    std::string home = variable("HOME").value_or("");
    if (home.empty()) {
        if (const auto account = veltora::UserAccount::lookUp(::geteuid())) {
            home = account->homeDirectory;
        }
    }
    return std::filesystem::path(home.empty() ? "/tmp" : home) / ".local" / "share" / "veltora" / "tokens";
}

void TokenStore::forgetKeptReads() {
    StoreSnapshot::forgetAll();
    RegistrationCache::forgetAll();
}

std::string TokenStore::fileNameFor(const std::string& instanceID) {
    std::string name = hex(instanceID);
    if (name.size() <= longestHexName) {
        return "t-" + name + ".json";
    }
    const auto digest =
        CryptoContext::sha256({reinterpret_cast<const std::uint8_t*>(instanceID.data()), instanceID.size()});
    return "h-" + hex({reinterpret_cast<const char*>(digest.data()), digest.size()}) + ".json";
}

veltora::Result<void> TokenStore::write(const TKTokenConfiguration& configuration) const {
    const auto directory = openDirectory(directory_);
    if (!directory) {
        return directory.error();
    }
    const Fd directoryFd(directory.value());
    const std::string name = fileNameFor(configuration.instanceID());
    // Unique per writer, also among threads of one process writing the same registration.
    static std::atomic<unsigned long> writes{0};
    const std::string temporary =
        "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(++writes) + ".tmp";
    const std::string text = encode(configuration);
    // Readers skip a file this large, so clearing would never find it to remove it.
    if (text.size() > maximumRegistrationSize) {
        return systemError("Cannot store " + (directory_ / name).string(), EFBIG);
    }
    {
        Fd file(::openat(directoryFd.get(), temporary.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file.get() < 0) {
            return systemError("Cannot create " + (directory_ / temporary).string(), errno);
        }
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t count = ::write(file.get(), text.data() + written, text.size() - written);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0) {
                const int error = errno;
                ::unlinkat(directoryFd.get(), temporary.c_str(), 0);
                return systemError("Cannot write " + (directory_ / temporary).string(), error);
            }
            written += static_cast<std::size_t>(count);
        }
        if (::fchmod(file.get(), 0600) != 0 || ::fsync(file.get()) != 0) {
            const int error = errno;
            ::unlinkat(directoryFd.get(), temporary.c_str(), 0);
            return systemError("Cannot store " + (directory_ / temporary).string(), error);
        }
    }
    if (::renameat(directoryFd.get(), temporary.c_str(), directoryFd.get(), name.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(directoryFd.get(), temporary.c_str(), 0);
        return systemError("Cannot replace " + (directory_ / name).string(), error);
    }
    ::fsync(directoryFd.get());
    return {};
}

veltora::Result<void> TokenStore::remove(const std::string& instanceID) const {
    const Fd directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (directory.get() < 0) {
        return errno == ENOENT ? Result<void>()
                               : Result<void>(systemError("Cannot open " + directory_.string(), errno));
    }
    const std::string name = fileNameFor(instanceID);
    if (::unlinkat(directory.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        return systemError("Cannot remove " + (directory_ / name).string(), errno);
    }
    return {};
}

std::vector<TKTokenConfiguration> TokenStore::readAll() const {
    if (auto unchanged = StoreSnapshot::unchanged(directory_.string())) {
        return std::move(*unchanged);
    }
    std::vector<TKTokenConfiguration> registrations;
    const Fd directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (directory.get() < 0) {
        return registrations; // nothing registered yet
    }
    const int listingFd = ::dup(directory.get());
    const std::unique_ptr<DIR, CloseDirectory> listing(listingFd < 0 ? nullptr : ::fdopendir(listingFd));
    if (!listing) {
        const int error = errno;
        if (listingFd >= 0) {
            ::close(listingFd);
        }
        DDLogError("Cannot list token registrations in " + directory_.string() + ": " +
                   veltora::errnoText(error));
        return registrations;
    }
    StoreSnapshot snapshot(directory_.string(), directory.get());
    while (const dirent* entry = ::readdir(listing.get())) {
        std::string name = entry->d_name;
        if (!isRegistrationFileName(name)) {
            continue;
        }
        std::string problem;
        struct stat status {};
        const auto text = readRegistration(directory.get(), name.c_str(), status, problem);
        auto configuration = text ? RegistrationCache::find(directory_.string(), *text) : std::nullopt;
        if (text && !configuration) {
            configuration = decode(*text, problem);
            if (configuration) {
                RegistrationCache::keep(directory_.string(), *text, *configuration);
            }
        }
        if (!configuration) {
            DDLogError("Skipping token registration " + (directory_ / name).string() + ": " + problem);
            snapshot.markIncomplete();
            continue;
        }
        snapshot.addFile(std::move(name), status, *configuration);
        registrations.push_back(std::move(*configuration));
    }
    std::move(snapshot).keep();
    return registrations;
}

} // namespace quillet
