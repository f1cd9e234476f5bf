#include "VeltoraCryptoTokenKit/app/UnixSignalNotifier.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace veltora {

namespace {

std::atomic<int> signalPipe{-1};

extern "C" void writeSignalNumber(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe drops the byte: signals of the same kind are already waiting to be read.
    [[maybe_unused]] const ssize_t written = write(signalPipe.load(), &byte, 1);
    errno = savedErrno;
}

void setHandler(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}

} // namespace

UnixSignalNotifier::UnixSignalNotifier(std::vector<int> caughtSignals, QObject* parent)
    : QObject(parent), caughtSignals_(std::move(caughtSignals)) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("cannot make the signal pipe");
    }
    readEnd_ = FileDescriptor(ends[0]);
    writeEnd_ = FileDescriptor(ends[1]);
    signalPipe.store(writeEnd_.get());
    notifier_ = new QSocketNotifier(readEnd_.get(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &UnixSignalNotifier::readPending);
    for (const int signalNumber : caughtSignals_) {
        setHandler(signalNumber, &writeSignalNumber);
    }
}

UnixSignalNotifier::~UnixSignalNotifier() {
    for (const int signalNumber : caughtSignals_) {
        setHandler(signalNumber, SIG_DFL);
    }
    signalPipe.store(-1);
}

void UnixSignalNotifier::readPending() {
    unsigned char byte = 0;
    while (read(readEnd_.get(), &byte, 1) == 1) {
        Q_EMIT signalReceived(byte);
    }
}

} // namespace veltora
