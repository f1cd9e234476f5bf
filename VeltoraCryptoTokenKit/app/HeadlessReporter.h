#pragma once

#include "VeltoraCryptoTokenKit/app/Certificate.h"

#include <QObject>

#include <ostream>
#include <vector>

namespace veltora {

class AppDelegate;

// The host without a window: after each pass the rows go to the output as
// tab-separated lines under a header line of the column identifiers; failures
// go to the error stream.
class HeadlessReporter : public QObject {
    Q_OBJECT

public:
    HeadlessReporter(AppDelegate& delegate, std::ostream& output, std::ostream& errors,
                     QObject* parent = nullptr);

    // The header line and one line per row, each ending in a line break.
    static std::string tableText(const std::vector<Certificate>& rows);

private:
    void printRows();

    AppDelegate& delegate_;
    std::ostream& output_;
    std::ostream& errors_;
};

} // namespace veltora
