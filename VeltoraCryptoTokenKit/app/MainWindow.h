#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QStyle>

class QAction;
class QLabel;
class QProgressBar;
class QTableView;

namespace veltora {

class AppDelegate;

// The host's one window: the certificate table, the two actions, a busy
// indicator and a status line, all following the delegate.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(AppDelegate& delegate, QWidget* parent = nullptr);

    QTableView* certificateTableView() const { return certificateTableView_; }
    QProgressBar* progressIndicator() const { return progressIndicator_; }
    QAction* startAction() const { return startAction_; }
    QAction* unloadAction() const { return unloadAction_; }

private:
    QIcon themeIcon(const char* name, QStyle::StandardPixmap fallback) const;
    void buildTable();
    void buildActions();
    void showBusy(bool busy);
    void showRowCount();
    void copySelection();

    AppDelegate& delegate_;
    QTableView* certificateTableView_ = nullptr;
    QLabel* emptyTableHint_ = nullptr;
    QProgressBar* progressIndicator_ = nullptr;
    QAction* startAction_ = nullptr;
    QAction* unloadAction_ = nullptr;
};

} // namespace veltora
