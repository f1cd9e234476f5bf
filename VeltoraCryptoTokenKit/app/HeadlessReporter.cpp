#include "VeltoraCryptoTokenKit/app/HeadlessReporter.h"

#include "VeltoraCryptoTokenKit/app/AppDelegate.h"

#include <algorithm>

namespace veltora {

namespace {

// A field holding a tab or a line break would split its row.
std::string fieldText(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return text;
}

} // namespace

HeadlessReporter::HeadlessReporter(AppDelegate& delegate, std::ostream& output, std::ostream& errors,
                                   QObject* parent)
    : QObject(parent), delegate_(delegate), output_(output), errors_(errors) {
    const auto report = [this](const QString& message) { errors_ << message.toStdString() << std::endl; };
    connect(&delegate, &AppDelegate::passEnded, this, &HeadlessReporter::printRows);
    connect(&delegate, &AppDelegate::passFailed, this, report);
    connect(&delegate, &AppDelegate::configurationFailed, this, report);
}

std::string HeadlessReporter::tableText(const std::vector<Certificate>& rows) {
    std::string text;
    const auto appendLine = [&text](const auto& cell) {
        for (std::size_t column = 0; column < certificateColumnIdentifiers.size(); ++column) {
            text += (column == 0 ? "" : "\t") + cell(certificateColumnIdentifiers[column]);
        }
        text += '\n';
    };
    appendLine([](std::string_view identifier) { return std::string(identifier); });
    for (const Certificate& row : rows) {
        appendLine(
            [&row](std::string_view identifier) { return fieldText(row.cellText(identifier).value_or("")); });
    }
    return text;
}

void HeadlessReporter::printRows() {
    const auto& rows = delegate_.certificateTableModel().rows();
    output_ << tableText(rows.value_or(std::vector<Certificate>{})) << std::flush;
}

} // namespace veltora
