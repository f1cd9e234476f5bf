#include "VeltoraCryptoTokenKit/log/LogFileWatcher.h"

#include "VeltoraCryptoTokenKit/base/ErrnoText.h"
#include "VeltoraCryptoTokenKit/base/FileDescriptor.h"
#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"
#include "VeltoraCryptoTokenKit/log/ProcessLog.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>

namespace veltora {

struct LogFileWatcher::State {
    State(const std::string& path, int watchedFd, Events watcherEvents);
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    static void* threadMain(void* state);
    void run();
    // Begins the file watch; false when the file is gone already.
    bool beginWatch();
    bool notifiedGone();
    int pollTimeout(std::optional<TimePoint> due) const;
    void wakeThread() const;

    const std::string path;
    const int fd;
    const Events events;
    FileDescriptor notifications;
    FileDescriptor wakeUp;
    std::mutex mutex;
    std::optional<TimePoint> dueTime;
    bool stopping = false;
    bool watchBegun = false;
    std::optional<pthread_t> thread;
    ForkList<State>::Link forkLink;
};

namespace {

// A fork child has none of the parent's watcher threads: it forgets them, so
// that it never joins one, and closes their descriptors, which it shares with
// the parent. Its sink goes on writing without a watcher until its next file.
struct ForkGuard {
    using Watchers = ForkList<LogFileWatcher::State>;

    static void add(LogFileWatcher::State* watcher) {
        installForkHandlers(ForkStage::logWatchers, {&prepare, &parent, &child});
        Watchers::add(watcher);
    }
    static void prepare() {
        Watchers::mutex().lock();
        Watchers::forEach([](LogFileWatcher::State& watcher) { watcher.mutex.lock(); });
    }
    static void parent() {
        Watchers::forEach([](LogFileWatcher::State& watcher) { watcher.mutex.unlock(); });
        Watchers::mutex().unlock();
    }
    static void child() {
        Watchers::forEach([](LogFileWatcher::State& watcher) {
            watcher.thread.reset();
            (void)watcher.notifications.close();
            (void)watcher.wakeUp.close();
            watcher.mutex.unlock();
        });
        Watchers::mutex().unlock();
    }
};

constexpr std::uint32_t watchedChanges = IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;

// Once per run of failures: a sink that tries again at each write must not flood the process log.
std::atomic<bool> startFailureReported{false};

void reportStart(int error) {
    if (error == 0) {
        startFailureReported.store(false);
    } else if (!startFailureReported.exchange(true)) {
        processLog("LogFileWatcher: cannot start its thread: " + errnoText(error) +
                   "; the file sink checks its file at each write and tries again");
    }
}

} // namespace

LogFileWatcher::State::State(const std::string& watchedPath, int watchedFd, Events watcherEvents)
    : path(watchedPath), fd(watchedFd), events(std::move(watcherEvents)) {
    wakeUp = FileDescriptor(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    const int wakeUpError = wakeUp.valid() ? 0 : errno;
    ForkGuard::add(this);
    std::lock_guard lock(mutex);
    pthread_t started{};
    const int error = wakeUpError != 0 ? wakeUpError : pthread_create(&started, nullptr, &threadMain, this);
    if (error == 0) {
        thread = started;
    }
    reportStart(error);
}

LogFileWatcher::State::~State() {
    std::optional<pthread_t> running;
    {
        std::lock_guard lock(mutex);
        stopping = true;
        running = thread;
        thread.reset();
    }
    wakeThread();
    if (running) {
        pthread_join(*running, nullptr);
    }
    ForkList<State>::remove(this);
}

void* LogFileWatcher::State::threadMain(void* state) {
    static_cast<State*>(state)->run();
    return nullptr;
}

void LogFileWatcher::State::wakeThread() const {
    if (wakeUp.valid()) {
        const std::uint64_t one = 1;
        (void)::write(wakeUp.get(), &one, sizeof one);
    }
}

int LogFileWatcher::State::pollTimeout(std::optional<TimePoint> due) const {
    if (!due) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::system_clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

bool LogFileWatcher::State::beginWatch() {
    FileDescriptor created(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    // Without inotify (its limits reached) the watcher still keeps the due time.
    if (created.valid() && inotify_add_watch(created.get(), path.c_str(), watchedChanges) < 0) {
        (void)created.close();
    }
    // Checked after the watch is set, so that no change falls between the two.
    const bool gone = fileIsGone(fd, path);
    std::lock_guard lock(mutex);
    notifications = std::move(created);
    watchBegun = true;
    return !gone;
}

// Deletion shows as a change of the link count while the file is still open.
bool LogFileWatcher::State::notifiedGone() {
    alignas(struct inotify_event) std::array<char, 4096> buffer{};
    bool gone = false;
    for (;;) {
        const ssize_t length = ::read(notifications.get(), buffer.data(), buffer.size());
        if (length <= 0) {
            break;
        }
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer.data() + at);
            if ((event->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT | IN_IGNORED)) != 0) {
                gone = true;
            }
            if ((event->mask & IN_ATTRIB) != 0) {
                struct stat status {};
                gone = gone || (fstat(fd, &status) == 0 && status.st_nlink == 0);
            }
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
    return gone;
}

void LogFileWatcher::State::run() {
    const TimePoint watchFrom = std::chrono::system_clock::now() + kWatchDelay;
    bool goneReported = false;
    for (;;) {
        std::optional<TimePoint> due;
        bool begun = false;
        {
            std::lock_guard lock(mutex);
            if (stopping) {
                return;
            }
            due = dueTime;
            begun = watchBegun;
        }
        if (!begun && std::chrono::system_clock::now() >= watchFrom) {
            begun = true;
            if (!beginWatch()) {
                goneReported = true;
                events.fileGone();
            }
        }
        std::array<pollfd, 2> watched{{{wakeUp.get(), POLLIN, 0}, {notifications.get(), POLLIN, 0}}};
        const nfds_t count = notifications.valid() && !goneReported ? 2 : 1;
        const int ready = poll(watched.data(), count,
                               pollTimeout(begun ? due : std::min(due.value_or(watchFrom), watchFrom)));
        if (ready < 0) {
            continue; // EINTR: look again
        }
        if ((watched[0].revents & POLLIN) != 0) {
            std::uint64_t ignored = 0;
            (void)::read(wakeUp.get(), &ignored, sizeof ignored);
        }
        if (count == 2 && (watched[1].revents & POLLIN) != 0 && notifiedGone()) {
            goneReported = true;
            events.fileGone();
        }
        bool fire = false;
        {
            std::lock_guard lock(mutex);
            if (dueTime && std::chrono::system_clock::now() >= *dueTime) {
                dueTime.reset();
                fire = !stopping;
            }
        }
        if (fire) {
            events.due();
        }
    }
}

LogFileWatcher::LogFileWatcher(const std::string& path, int fd, Events events)
    : state_(std::make_unique<State>(path, fd, std::move(events))) {}

LogFileWatcher::~LogFileWatcher() = default;

bool LogFileWatcher::running() const {
    std::lock_guard lock(state_->mutex);
    return state_->thread.has_value();
}

bool LogFileWatcher::watching() const {
    std::lock_guard lock(state_->mutex);
    return state_->thread.has_value() && state_->watchBegun;
}

bool LogFileWatcher::fileIsGone(int fd, const std::string& path) {
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 && (open.st_nlink == 0 || ::lstat(path.c_str(), &named) != 0 ||
                                       named.st_ino != open.st_ino || named.st_dev != open.st_dev);
}

void LogFileWatcher::setDueTime(std::optional<TimePoint> due) {
    {
        std::lock_guard lock(state_->mutex);
        state_->dueTime = due;
    }
    state_->wakeThread();
}

} // namespace veltora
