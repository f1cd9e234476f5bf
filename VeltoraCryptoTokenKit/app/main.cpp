// The host program: a window by default, none with --headless. Either way
// SIGHUP synchronises again, and SIGINT and SIGTERM quit through the same
// termination as closing the window, so the registrations are removed.

#include "VeltoraCryptoTokenKit/app/AppDelegate.h"
#include "VeltoraCryptoTokenKit/app/HeadlessReporter.h"
#include "VeltoraCryptoTokenKit/app/HostOptions.h"
#include "VeltoraCryptoTokenKit/app/MainWindow.h"
#include "VeltoraCryptoTokenKit/app/UnixSignalNotifier.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace veltora;
    const std::vector<std::string> arguments(argv, argv + argc);
    const HostOptions options = HostOptions::parse(arguments);
    if (options.help) {
        std::cout << HostOptions::helpText(std::filesystem::path(arguments.at(0)).filename().string());
        return 0;
    }
    if (options.version) {
        std::cout << HostOptions::versionText();
        return 0;
    }
    // A reader that went away must not end the host before it has removed its registrations.
    std::signal(SIGPIPE, SIG_IGN);

    // Qt takes its own options out of the list it is handed: give it a copy. The configuration
    // reads the process's full argument list by itself.
    std::vector<char*> qtArguments(argv, argv + argc);
    qtArguments.push_back(nullptr);
    int qtArgumentCount = argc;
    const std::unique_ptr<QCoreApplication> application =
        options.headless ? std::make_unique<QCoreApplication>(qtArgumentCount, qtArguments.data())
                         : std::make_unique<QApplication>(qtArgumentCount, qtArguments.data());
    QCoreApplication::setApplicationName(QStringLiteral("VeltoraCryptoTokenKit"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTORA_VERSION));

    AppDelegate delegate;
    std::unique_ptr<HeadlessReporter> reporter;
    std::unique_ptr<MainWindow> window;
    if (options.headless) {
        reporter = std::make_unique<HeadlessReporter>(delegate, std::cout, std::cerr);
    } else {
        window = std::make_unique<MainWindow>(delegate);
        window->show(); // closing it quits: the last window closed ends the event loop
    }

    UnixSignalNotifier signalNotifier({SIGHUP, SIGINT, SIGTERM});
    QObject::connect(&signalNotifier, &UnixSignalNotifier::signalReceived, &delegate,
                     [&delegate](int signalNumber) {
                         if (signalNumber == SIGHUP) {
                             delegate.start();
                         } else {
                             QCoreApplication::quit();
                         }
                     });

    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    const int status = application->exec();
    delegate.applicationWillTerminate();
    return status;
}
