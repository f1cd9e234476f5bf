#pragma once

#include "VeltoraCryptoTokenKit/base/FileDescriptor.h"

#include <QObject>

#include <vector>

class QSocketNotifier;

namespace veltora {

// Turns Unix signals into a Qt signal on the thread that owns this object. The
// handler only writes the signal number into a pipe; the event loop reads it,
// so no work happens inside the handler. One instance per process at a time.
class UnixSignalNotifier : public QObject {
    Q_OBJECT

public:
    explicit UnixSignalNotifier(std::vector<int> caughtSignals, QObject* parent = nullptr);
    ~UnixSignalNotifier() override; // the signals get their default handling back

Q_SIGNALS:
    void signalReceived(int signalNumber);

private:
    void readPending();

    std::vector<int> caughtSignals_;
    FileDescriptor readEnd_;
    FileDescriptor writeEnd_;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace veltora
