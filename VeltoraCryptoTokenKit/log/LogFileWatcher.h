#pragma once

#include "VeltoraCryptoTokenKit/log/ForkList.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veltora {

// Watches one open log file from a thread of its own: reports once when the
// file is deleted, renamed or its file system goes away (inotify), and when a
// one-shot due time has come. The callbacks run on the watcher's thread and
// must only hand the event on, never wait for whoever destroys the watcher.
// A watcher whose thread could not be started reports that once and watches
// nothing; its owner looks for itself and tries again with a new watcher.
//
// The file watch begins only after the file's first second: ending a watch
// holds up the process for several milliseconds, more than a short-lived
// process spends on its lines. Until the watch begins, its owner looks for
// itself (fileIsGone at each write); a change in that time is reported when it begins.
class LogFileWatcher {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    struct Events {
        std::function<void()> fileGone;
        std::function<void()> due;
    };

    // Watches `path`, open as `fd`; `fd` must stay open for the watcher's life.
    LogFileWatcher(const std::string& path, int fd, Events events);
    ~LogFileWatcher(); // stops and joins the thread
    LogFileWatcher(const LogFileWatcher&) = delete;
    LogFileWatcher& operator=(const LogFileWatcher&) = delete;

    // Arms the one-shot due time again, or disarms it with nothing.
    void setDueTime(std::optional<TimePoint> due);
    // False when its thread could not be started.
    bool running() const;
    // True once its thread watches the file (or has found it cannot).
    bool watching() const;

    // Whether the file open as `fd` is no longer the one at `path`.
    static bool fileIsGone(int fd, const std::string& path);
    static constexpr std::chrono::seconds kWatchDelay{1};

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace veltora
