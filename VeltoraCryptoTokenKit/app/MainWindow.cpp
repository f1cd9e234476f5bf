#include "VeltoraCryptoTokenKit/app/MainWindow.h"

#include "VeltoraCryptoTokenKit/app/AppDelegate.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

namespace veltora {

namespace {

// A cell opens as read-only text, so that part of it can be selected and copied.
class SelectableTextDelegate : public QStyledItemDelegate {
public:
    explicit SelectableTextDelegate(QObject* parent, std::optional<QFont> font = std::nullopt)
        : QStyledItemDelegate(parent), font_(std::move(font)) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        auto* editor = qobject_cast<QLineEdit*>(QStyledItemDelegate::createEditor(parent, option, index));
        if (editor != nullptr) {
            editor->setReadOnly(true);
        }
        return editor;
    }
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (font_) {
            option->font = *font_;
        }
    }

private:
    std::optional<QFont> font_;
};

int columnOf(std::string_view identifier) {
    const auto found =
        std::find(certificateColumnIdentifiers.begin(), certificateColumnIdentifiers.end(), identifier);
    return static_cast<int>(found - certificateColumnIdentifiers.begin());
}

} // namespace

// The desktop's icon theme when it has the icon, else the style's own.
QIcon MainWindow::themeIcon(const char* name, QStyle::StandardPixmap fallback) const {
    return QIcon::fromTheme(QString::fromLatin1(name), style()->standardIcon(fallback));
}

MainWindow::MainWindow(AppDelegate& delegate, QWidget* parent) : QMainWindow(parent), delegate_(delegate) {
    setWindowTitle(QStringLiteral("Veltora certificates"));
    setWindowIcon(QIcon::fromTheme(QStringLiteral("application-certificate")));
    buildTable();
    buildActions();

    progressIndicator_ = new QProgressBar(this);
    progressIndicator_->setObjectName(QStringLiteral("progressIndicator"));
    progressIndicator_->setMaximumWidth(120);
    progressIndicator_->setTextVisible(false);
    progressIndicator_->hide();
    statusBar()->addPermanentWidget(progressIndicator_);

    connect(&delegate_, &AppDelegate::busyChanged, this, &MainWindow::showBusy);
    connect(&delegate_, &AppDelegate::passEnded, this, &MainWindow::showRowCount);
    connect(&delegate_, &AppDelegate::passFailed, this,
            [this](const QString& message) { statusBar()->showMessage(message); });
    connect(&delegate_, &AppDelegate::configurationFailed, this,
            [this](const QString& message) { statusBar()->showMessage(message); });
    connect(&delegate_, &AppDelegate::certificatesUnloaded, this,
            [this] { statusBar()->showMessage(tr("All certificates unloaded.")); });
    resize(980, 420);
}

void MainWindow::buildTable() {
    certificateTableView_ = new QTableView(this);
    certificateTableView_->setObjectName(QStringLiteral("certificateTableView"));
    certificateTableView_->setModel(&delegate_.certificateTableModel());
    certificateTableView_->setItemDelegate(new SelectableTextDelegate(certificateTableView_));
    certificateTableView_->setEditTriggers(QAbstractItemView::DoubleClicked |
                                           QAbstractItemView::EditKeyPressed);
    certificateTableView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    certificateTableView_->setAlternatingRowColors(true);
    certificateTableView_->setWordWrap(false);
    certificateTableView_->setShowGrid(false);
    certificateTableView_->verticalHeader()->hide();
    certificateTableView_->setContextMenuPolicy(Qt::ActionsContextMenu);

    QHeaderView* header = certificateTableView_->horizontalHeader();
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setMinimumSectionSize(90);
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(columnOf("commonname"), QHeaderView::Stretch);

    // Hex fingerprints line up in a fixed-width font.
    certificateTableView_->setItemDelegateForColumn(
        columnOf("fingerprint"),
        new SelectableTextDelegate(certificateTableView_,
                                   QFontDatabase::systemFont(QFontDatabase::FixedFont)));

    emptyTableHint_ =
        new QLabel(tr("No certificates registered.\nChoose Synchronise to fetch them from the service."),
                   certificateTableView_->viewport());
    emptyTableHint_->setObjectName(QStringLiteral("emptyTableHint"));
    emptyTableHint_->setAlignment(Qt::AlignCenter);
    emptyTableHint_->setEnabled(false); // drawn in the placeholder's muted colour
    emptyTableHint_->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* hintLayout = new QVBoxLayout(certificateTableView_->viewport());
    hintLayout->addWidget(emptyTableHint_);
    connect(&delegate_.certificateTableModel(), &QAbstractItemModel::modelReset, this,
            [this] { emptyTableHint_->setVisible(delegate_.certificateTableModel().rowCount() == 0); });

    setCentralWidget(certificateTableView_);
}

void MainWindow::buildActions() {
    startAction_ = new QAction(themeIcon("view-refresh", QStyle::SP_BrowserReload), tr("Synchronise"), this);
    startAction_->setObjectName(QStringLiteral("start"));
    startAction_->setShortcut(QKeySequence::Refresh);
    startAction_->setToolTip(tr("Fetch the signing policies and register their certificates"));
    connect(startAction_, &QAction::triggered, &delegate_, &AppDelegate::start);

    unloadAction_ = new QAction(themeIcon("edit-clear", QStyle::SP_DialogDiscardButton), tr("Unload"), this);
    unloadAction_->setObjectName(QStringLiteral("unloadCertificates"));
    unloadAction_->setToolTip(tr("Remove every registered certificate"));
    connect(unloadAction_, &QAction::triggered, &delegate_, &AppDelegate::unloadCertificates);

    auto* copyAction =
        new QAction(QIcon::fromTheme(QStringLiteral("edit-copy")), tr("Copy"), certificateTableView_);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutContext(Qt::WidgetShortcut);
    connect(copyAction, &QAction::triggered, this, &MainWindow::copySelection);
    certificateTableView_->addAction(copyAction);

    QToolBar* toolBar = addToolBar(tr("Actions"));
    toolBar->setMovable(false);
    toolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolBar->addAction(startAction_);
    toolBar->addAction(unloadAction_);
}

void MainWindow::showBusy(bool busy) {
    // A range of 0 to 0 is Qt's busy animation.
    progressIndicator_->setRange(0, busy ? 0 : 1);
    progressIndicator_->setVisible(busy);
    if (busy) {
        statusBar()->showMessage(tr("Synchronising…"));
    }
}

void MainWindow::showRowCount() {
    const int rows = delegate_.certificateTableModel().rowCount();
    statusBar()->showMessage(rows == 0   ? tr("No certificates registered.")
                             : rows == 1 ? tr("1 certificate registered.")
                                         : tr("%1 certificates registered.").arg(rows));
}

void MainWindow::copySelection() {
    QModelIndexList selected = certificateTableView_->selectionModel()->selectedIndexes();
    std::sort(selected.begin(), selected.end());
    QString text;
    for (qsizetype i = 0; i < selected.size(); ++i) {
        if (i > 0) {
            text += selected[i].row() == selected[i - 1].row() ? QLatin1Char('\t') : QLatin1Char('\n');
        }
        text += selected[i].data().toString();
    }
    QApplication::clipboard()->setText(text);
}

} // namespace veltora
