#include "Quillet/platform/TokenStore.h"

#include "Quillet/platform/ByteText.h"
#include "Quillet/platform/CryptoContext.h"
#include "Quillet/platform/DerCertificate.h"
#include "Quillet/platform/FileStamp.h"
#include "Quillet/platform/RegistrationCache.h"
#include "VeltoraCryptoTokenKit/base/ErrnoText.h"
#include "VeltoraCryptoTokenKit/base/FileContent.h"
#include "VeltoraCryptoTokenKit/base/FileDescriptor.h"
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
using veltora::FileDescriptor;
using veltora::Result;

constexpr std::size_t kMaximumRegistrationSize = 4 * 1024 * 1024;
constexpr std::size_t kLongestHexName = 200;

struct CloseDirectory {
    void operator()(DIR* listing) const { ::closedir(listing); }
};

Error systemError(const std::string& what, int error) {
    return Error{kTokenStoreErrorDomain, error, what + ": " + veltora::errnoText(error)};
}

std::string hex(std::string_view bytes) {
    return hexDescription({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
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
        return Error{kTokenStoreErrorDomain, EINVAL, "Not a usable store directory: " + given.string()};
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
    TKTokenConfiguration configuration = blank();
    configuration.values().instanceID = *instanceID;
    if (const auto data = textMember("configurationData")) {
        configuration.replaceConfigurationData(base64Decoded(*data));
        if (!configuration.configurationData()) {
            problem = "configuration data is not Base64";
            return std::nullopt;
        }
    }
    const auto certificate = then(textMember("certificate"), base64Decoded);
    const auto certificateObjectID = then(textMember("certificateObjectID"), unhex);
    const auto keyObjectID = then(textMember("keyObjectID"), unhex);
    if (certificate && certificateObjectID && keyObjectID) {
        const auto parsed = DerCertificate::parse(*certificate);
        auto keyItem = parsed ? TKTokenKeychainKey::make(parsed.value(), *keyObjectID) : parsed.error();
        if (!keyItem) {
            problem = "the certificate cannot be made into keychain items";
            return std::nullopt;
        }
        configuration.values().certificate =
            TKTokenKeychainCertificate::make(parsed.value(), *certificate, *certificateObjectID);
        configuration.values().key = std::move(keyItem).value();
    }
    return configuration;
}

namespace {

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

TKTokenConfiguration TokenStore::blank() const {
    TKTokenConfiguration configuration;
    configuration.values().save = [directory = directory_](const TKTokenConfiguration& changed) {
        return TokenStore(directory).write(changed);
    };
    return configuration;
}

void TokenStore::forgetKeptReads() {
    RegistrationCache::forgetAll();
}

std::string TokenStore::fileNameFor(const std::string& instanceID) {
    std::string name = hex(instanceID);
    if (name.size() <= kLongestHexName) {
        return "t-" + name + ".json";
    }
    const auto digest =
        CryptoContext::sha256({reinterpret_cast<const std::uint8_t*>(instanceID.data()), instanceID.size()});
    return "h-" + hexDescription(digest) + ".json";
}

veltora::Result<void> TokenStore::write(const TKTokenConfiguration& configuration) const {
    const auto directory = openDirectory(directory_);
    if (!directory) {
        return directory.error();
    }
    const FileDescriptor directoryFd(directory.value());
    const std::string name = fileNameFor(configuration.instanceID());
    // Unique per writer, also among threads of one process writing the same registration.
    static std::atomic<unsigned long> writes{0};
    const std::string temporary =
        "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(++writes) + ".tmp";
    const std::string text = encode(configuration);
    // Readers skip a file this large, so clearing would never find it to remove it.
    if (text.size() > kMaximumRegistrationSize) {
        return systemError("Cannot store " + (directory_ / name).string(), EFBIG);
    }
    {
        const FileDescriptor file(::openat(directoryFd.get(), temporary.c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file.valid()) {
            return systemError("Cannot create " + (directory_ / temporary).string(), errno);
        }
        if (const int error = veltora::writeAll(file.get(), text); error != 0) {
            ::unlinkat(directoryFd.get(), temporary.c_str(), 0);
            return systemError("Cannot write " + (directory_ / temporary).string(), error);
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
    const FileDescriptor directory(openStoreDirectory());
    if (!directory.valid()) {
        return errno == ENOENT ? Result<void>()
                               : Result<void>(systemError("Cannot open " + directory_.string(), errno));
    }
    const std::string name = fileNameFor(instanceID);
    if (::unlinkat(directory.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        return systemError("Cannot remove " + (directory_ / name).string(), errno);
    }
    return {};
}

int TokenStore::openStoreDirectory() const {
    return ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::optional<TKTokenConfiguration> TokenStore::load(int directoryFd, const std::string& name,
                                                     std::string& problem) const {
    const timespec readStart = FileStamp::now();
    struct stat status {};
    if (::fstatat(directoryFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        // Gone since it was listed, or never there: nothing to tell.
        problem = errno == ENOENT ? "" : veltora::errnoText(errno);
        return std::nullopt;
    }
    // Joined as text: a path object would parse it, for each file of every listing.
    const std::string path = directory_.native() + '/' + name;
    if (auto unchanged = RegistrationCache::findUnchanged(path, FileStamp(status))) {
        return unchanged;
    }
    const auto text =
        veltora::readRegularFile(directoryFd, name.c_str(), O_NOFOLLOW, kMaximumRegistrationSize, status);
    if (!text) {
        problem = text.error().localizedDescription();
        return std::nullopt;
    }
    if (auto kept = RegistrationCache::find(path, text.value(), FileStamp(status), readStart)) {
        return kept;
    }
    auto decoded = decode(text.value(), problem);
    if (decoded) {
        RegistrationCache::keep(path, text.value(), FileStamp(status), readStart, *decoded);
    }
    return decoded;
}

std::optional<TKTokenConfiguration> TokenStore::read(const std::string& instanceID) const {
    const FileDescriptor directory(openStoreDirectory());
    if (!directory.valid()) {
        return std::nullopt; // nothing registered yet
    }
    const std::string name = fileNameFor(instanceID);
    std::string problem;
    auto registration = load(directory.get(), name, problem);
    if (!registration) {
        if (!problem.empty()) {
            DDLogError("Skipping token registration " + (directory_ / name).string() + ": " + problem);
        }
        return std::nullopt;
    }
    // Only a file put there by hand holds another ID than its name says; a
    // walk of the store would not find it under this one.
    return registration->instanceID() == instanceID ? std::move(registration) : std::nullopt;
}

std::vector<TKTokenConfiguration> TokenStore::readAll() const {
    std::vector<TKTokenConfiguration> registrations;
    const FileDescriptor directory(openStoreDirectory());
    if (!directory.valid()) {
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
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (!isRegistrationFileName(name)) {
            continue;
        }
        std::string problem;
        auto configuration = load(directory.get(), name, problem);
        if (!configuration) {
            if (!problem.empty()) {
                DDLogError("Skipping token registration " + (directory_ / name).string() + ": " + problem);
            }
            continue;
        }
        registrations.push_back(std::move(*configuration));
    }
    return registrations;
}

} // namespace quillet
